// tr111d: the gateway side of TR-111 device-gateway association.
//
// main runs the start-up sequence: the debug switches, the notification
// state and the status table, the message library, registration with the
// TR-069 agent (ten tries a second apart), the parameter table and the
// atomicity entries, the link to the management process; then it waits for
// START and serves the TR-069 agent until the channel fails. It returns -1
// on every path.
#include "db/tr111_db.h"
#include "main/tr111.h"
#include "main/tr111_main.h"
#include "notify/notify.h"
#include "platform/rt.h"
#include "registry/md.h"
#include "tr69/tr69_dm.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

static constexpr char TR111_MODULE[] = "TR111_main";

namespace {

constexpr int kRegisterTries = 10;

} // namespace

int main(int argc, char** argv) {
    // A closed debug pipe (standard output read by a logger that went away)
    // must not end a gateway daemon: writes to it fail and are dropped.
    signal(SIGPIPE, SIG_IGN);
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

    // Tries start one second apart: the pause after a failed try is what is
    // left of its second, so an agent that accepts nothing (each try waits
    // out the library's open time limit) is given up after about 10 s too.
    int tries = 0;
    for (; tries < kRegisterTries; ++tries) {
        const int64_t next_try = rt::now_ms() + 1000;
        if (tr69dm_register_app(tr111_automate_idmailbox) == 0) break;
        while (int left = rt::ms_left(next_try)) {
            const timespec pause{left / 1000, (left % 1000) * 1000000L};
            nanosleep(&pause, nullptr);
        }
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
