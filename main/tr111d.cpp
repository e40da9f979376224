// tr111d: the gateway side of TR-111 device-gateway association.
#include "main/tr111_main.h"

int main(int argc, char** argv) {
    return tr111_main(argc, argv);
}
