// Control port of mgmtd (127.0.0.1:3499) for the mgmt CLI: one command
// string per connection, one reply string. Each connection is served on a
// thread of its own, so a "start" waiting for the daemon does not hold up a
// "status".
#include "lab/mgmtd/mgmtd.h"
#include "platform/include/ipc.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

constexpr int MAX_CLIENTS = 16;
constexpr int COMMAND_WAIT_MS = 5000; // for the command to arrive

int g_listen = -1;
std::atomic<int> g_clients{0};

std::string status_reply() {
    const char* state = "none";
    switch (daemon_state()) {
    case DaemonState::Started:
        state = "started";
        break;
    case DaemonState::Hello:
        state = "hello";
        break;
    case DaemonState::None:
        break;
    }
    ForwardCounts n = forward_counts();
    return std::string("daemon: ") + state + "\nforwarded: " + std::to_string(n.forwarded) +
           "\ndropped: " + std::to_string(n.dropped) + "\nqueued: " + std::to_string(n.queued) +
           "\nqueued_bytes: " + std::to_string(n.queued_bytes) +
           "\ndropped_queue_full: " + std::to_string(n.dropped_full) +
           "\nqueue_limit: " + std::to_string(n.max_records) + " records, " +
           std::to_string(n.max_bytes) + " bytes";
}

void serve(int fd) {
    ipc_set_timeout(fd, COMMAND_WAIT_MS);
    char* raw = ipc_string_read(fd);
    if (!raw) {
        mgmtd_log("control: no command received; connection closed");
        ipc_client_close(fd, 1);
        return;
    }
    std::string cmd(raw);
    free(raw);
    std::string reply;
    if (cmd == "status") {
        reply = status_reply();
    } else if (cmd == "start") {
        reply = daemon_command_start();
    } else if (cmd == "stop") {
        reply = daemon_command_stop();
    } else {
        std::string shown = mgmtd_printable(cmd, 40);
        mgmtd_log("control: unknown command \"%s\"", shown.c_str());
        reply = "error: unknown command \"" + shown + "\" (start, stop, status)";
    }
    ipc_set_timeout(fd, COMMAND_WAIT_MS);
    uint32_t err = ipc_string_write(fd, reply.c_str()) != 0;
    if (err) mgmtd_log("control: reply to \"%s\" not delivered", cmd.c_str());
    ipc_client_close(fd, err);
}

void accept_loop() {
    for (;;) {
        int fd = accept4(g_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != ECONNABORTED) {
                mgmtd_log("control: accept: %s", strerror(errno));
                sleep(1);
            }
            continue;
        }
        if (g_clients.load() >= MAX_CLIENTS) {
            ipc_string_write(fd, "error: busy");
            close(fd);
            continue;
        }
        ++g_clients;
        try {
            std::thread([fd] {
                serve(fd);
                --g_clients;
            }).detach();
        } catch (const std::system_error&) {
            --g_clients;
            ipc_string_write(fd, "error: busy");
            close(fd);
        }
    }
}

} // namespace

int control_start() {
    g_listen = ipc_listen(MGMTD_CONTROL_PORT);
    if (g_listen < 0) return -1;
    std::thread(accept_loop).detach();
    return 0;
}
