// mgmt start|stop|status|inject: one exchange with mgmtd's control port.
//
// Exit status: 0 when the reply is "ack" (inject: "ack N") or a status, 1
// when it is a timeout or an error, 2 when mgmtd cannot be reached (or on a
// usage error).
#include "lab/mgmtd/control_port.h"
#include "platform/include/ipc.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage() {
    fprintf(stderr,
            "usage: mgmt start|stop|status\n"
            "       mgmt inject [--repeat N] PATH ACTION TEXT [PATH ACTION TEXT]...\n"
            "  start   send START to the daemon and wait for its acknowledgement\n"
            "  stop    send STOP to the daemon and show its acknowledgement\n"
            "  status  the daemon's state and the forwarding counters\n"
            "  inject  send CHANGE_DB records (action C, U or D) straight to the daemon,\n"
            "          N times over, each acknowledged before the next\n"
            "talks to mgmtd on 127.0.0.1:%d\n",
            MGMTD_CONTROL_PORT);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // mgmtd or the reader of the output gone: an error, never the end of mgmt.
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) return usage();
    std::string cmd = argv[1];
    // inject: the repeat count, the record count, then the records' strings.
    std::vector<std::string> items;
    if (cmd == "inject") {
        int first = 2;
        std::string repeat = "1";
        if (argc > 3 && strcmp(argv[2], "--repeat") == 0) {
            repeat = argv[3];
            first = 4;
        }
        if (argc - first < 3 || (argc - first) % 3 != 0) return usage();
        items = {repeat, std::to_string((argc - first) / 3)};
        items.insert(items.end(), argv + first, argv + argc);
    } else if (argc != 2 || (cmd != "start" && cmd != "stop" && cmd != "status")) {
        return usage();
    }

    int fd = ipc_connect(MGMTD_CONTROL_PORT);
    if (fd < 0) {
        fprintf(stderr, "mgmt: mgmtd not reachable on 127.0.0.1:%d\n", MGMTD_CONTROL_PORT);
        return 2;
    }
    // start and stop wait for the daemon: longer than the library's own
    // timeout; inject as long as its records take (each send is bounded).
    ipc_set_timeout(fd, cmd == "inject" ? 0 : MGMTD_CONTROL_REPLY_MS);
    char* reply = nullptr;
    bool sent = ipc_string_write(fd, cmd.c_str()) == 0;
    for (const auto& item : items)
        sent = sent && ipc_string_write(fd, item.c_str()) == 0;
    if (!sent || !(reply = ipc_string_read(fd))) {
        ipc_client_close(fd, 1);
        fprintf(stderr, "mgmt: no reply from mgmtd on 127.0.0.1:%d\n", MGMTD_CONTROL_PORT);
        return 2;
    }
    ipc_client_close(fd, 0);
    std::string text = reply;
    free(reply);
    printf("%s\n", text.c_str());
    std::string first = text.substr(0, text.find('\n'));
    if (first == "ack" || (cmd == "inject" && first.rfind("ack ", 0) == 0) ||
        (cmd == "status" && first.rfind("daemon: ", 0) == 0))
        return 0;
    return 1;
}
