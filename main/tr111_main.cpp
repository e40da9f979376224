// Start-up: the process-wide variables, the debug key of the configuration
// database and the com_mode key of the configuration file. The main
// sequence itself is main() in tr111d.cpp.
#include "main/tr111_main.h"

#include "db/tr111_db.h"
#include "main/tr111.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_main";

int32_t lib_msg_comm_mode = 0;
int32_t tr111_automate_idmailbox = -1;
sem_t start_sem;

namespace {

// A FILE that is closed on every return path.
struct File {
    FILE* f;
    explicit File(const char* path) : f(fopen(path, "r")) {}
    ~File() {
        if (f) fclose(f);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

} // namespace

int32_t get_debug_activation_status() {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    if (!h) {
        TR111_INFO("get_debug_activation_status : unable to open RAM database");
        return -1;
    }
    tr111::DbString value(KX_DB_Get(h, TR111_DEBUG_KEY));
    KX_DB_Close_Reconf(h, 0);
    if (!value) {
        tr111_print("get_debug_activation_status : path does not exist\n");
        return 0;
    }
    int status = atoi(value.get());
    tr111_print("get_debug_activation_status : activ_status=%d\n", status);
    if (static_cast<unsigned>(status) < 2) return status;
    tr111_print("get_debug_activation_status :return 0\n");
    return 0;
}

int32_t get_lib_msg_comm_mode(const char* path) {
    File file(path);
    if (!file.f) return -1;
    int32_t mode = 2; // no com_mode line
    char line[80];
    while (fgets(line, sizeof line, file.f)) {
        char* save = nullptr;
        const char* key = strtok_r(line, "\t\n\r ", &save);
        if (!key || strncmp(key, "com_mode", 8) != 0) continue;
        const char* text = strtok_r(nullptr, "\t\n\r ", &save);
        int32_t value = 0;
        if (!text || s_str_to_int(text, &value) != 0) return -1;
        switch (value) {
        case 1:
            mode = 1;
            break;
        case 0:
            mode = 2;
            break;
        case 2:
            mode = 0;
            break;
        default:
            return -1;
        }
    }
    return mode;
}
