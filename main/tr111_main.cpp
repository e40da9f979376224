// Start-up: the debug switches, the notification state and the status
// table, the message library, registration with the TR-069 agent, the link
// to the management process, the wait for START and the request loop.
#include "main/tr111_main.h"

#include "datamodel/datamodel.h"
#include "db/tr111_db.h"
#include "main/tr111.h"
#include "notify/notify.h"
#include "registry/md.h"
#include "tr69/tr69_dm.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static constexpr char TR111_MODULE[] = "TR111_main";

int32_t lib_msg_comm_mode = 0;
int32_t tr111_automate_idmailbox = -1;
sem_t start_sem;

namespace {

constexpr int kRegisterTries = 10;

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

int tr111_main(int argc, char** argv) {
    int32_t msg_debug_level = 0;
    if (argc >= 2) {
        int32_t level = 0;
        debug_level = s_str_to_int(argv[1], &level) == 0 ? static_cast<uint32_t>(level) : 4;
    }
    if (argc >= 3) {
        if (s_str_to_int(argv[2], &msg_debug_level) != 0) msg_debug_level = 4;
        MSG_Debug(msg_debug_level);
    }
    tr111_status_debug_activ = get_debug_activation_status();

    init_notification();
    md_initilize();

    if (init_lib_msg() != 0 && tr111_status_debug_activ != 0 && debug_level != 0)
        tr111_debug_plain(TR111_MODULE, __LINE__, __func__, "Init_lib_msg : failed");

    int tries = 0;
    for (; tries < kRegisterTries; ++tries) {
        if (tr69dm_register_app(tr111_automate_idmailbox) == 0) break;
        sleep(1);
    }
    if (tries == kRegisterTries) {
        TR111_ERRF("TR111 application registration failed after %d tries\n", kRegisterTries);
        return -1;
    }
    TR111_INFO("TR111 application is registred to TR69");

    int32_t ret = tr69_register_app_dm();
    if (ret != 0) {
        TR111_ERRF("TR111 data model registration failed : fault code : %d\n", ret);
        return -1;
    }
    TR111_INFO("TR111 Data Model is registred");

    if (register_atomicity_support() != 0) {
        TR111_ERR("TR111 atomicity support registration failed");
        return -1;
    }
    TR111_INFO("TR111 atomicity support is registred");

    if (sem_init(&start_sem, 0, 0) != 0) {
        TR111_ERRF("init_rx_msg_channel | semaphore data response init failed!!!");
        return -1;
    }

    if (EstablishCommunicationWithAutomate() != 0) {
        TR111_ERR("EstablishCommunicationWithAutomate failed");
        return -1;
    }

    while (sem_wait(&start_sem) != 0 && errno == EINTR) {
    }
    TR111_INFO("TR111 in RunState");

    tr69dm_handle_data_req();
    return -1;
}
