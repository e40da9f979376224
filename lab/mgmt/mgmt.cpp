// mgmt start|stop|status: one exchange with mgmtd's control port.
//
// Exit status: 0 when the reply is "ack" or a status, 1 when it is a
// timeout or an error, 2 when mgmtd cannot be reached (or on a usage error).
#include "lab/mgmtd/control_port.h"
#include "platform/include/ipc.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage() {
    fprintf(stderr,
            "usage: mgmt start|stop|status\n"
            "  start   send START to the daemon and wait for its acknowledgement\n"
            "  stop    send STOP to the daemon and show its acknowledgement\n"
            "  status  the daemon's state and the forwarding counters\n"
            "talks to mgmtd on 127.0.0.1:%d\n",
            MGMTD_CONTROL_PORT);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // mgmtd or the reader of the output gone: an error, never the end of mgmt.
    signal(SIGPIPE, SIG_IGN);
    if (argc != 2) return usage();
    std::string cmd = argv[1];
    if (cmd != "start" && cmd != "stop" && cmd != "status") return usage();

    int fd = ipc_connect(MGMTD_CONTROL_PORT);
    if (fd < 0) {
        fprintf(stderr, "mgmt: mgmtd not reachable on 127.0.0.1:%d\n", MGMTD_CONTROL_PORT);
        return 2;
    }
    // start and stop wait for the daemon: longer than the library's own timeout.
    ipc_set_timeout(fd, MGMTD_CONTROL_REPLY_MS);
    char* reply = nullptr;
    if (ipc_string_write(fd, cmd.c_str()) != 0 || !(reply = ipc_string_read(fd))) {
        ipc_client_close(fd, 1);
        fprintf(stderr, "mgmt: no reply from mgmtd on 127.0.0.1:%d\n", MGMTD_CONTROL_PORT);
        return 2;
    }
    ipc_client_close(fd, 0);
    std::string text = reply;
    free(reply);
    printf("%s\n", text.c_str());
    std::string first = text.substr(0, text.find('\n'));
    if (first == "ack" || (cmd == "status" && first.rfind("daemon: ", 0) == 0)) return 0;
    return 1;
}
