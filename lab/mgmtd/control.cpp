// Control port of mgmtd (127.0.0.1:3499) for the mgmt CLI: one command
// string per connection (and, for "inject", the items that follow it), one
// reply string. Each connection is served on a thread of its own, so a
// "start" waiting for the daemon does not hold up a "status".
#include "lab/mgmtd/mgmtd.h"
#include "main/tr111_main.h"
#include "platform/include/ipc.h"
#include "platform/include/msg.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int MAX_CLIENTS = 16;
constexpr int COMMAND_WAIT_MS = 5000; // for the command to arrive
constexpr long INJECT_RECORDS_MAX = 64;
constexpr long INJECT_REPEAT_MAX = 1000000;

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

bool read_item(int fd, std::string* out) {
    char* s = ipc_string_read(fd);
    if (!s) return false;
    *out = s;
    free(s);
    return true;
}

bool read_count(int fd, long max, long* out) {
    std::string text;
    if (!read_item(fd, &text) || text.empty() || text.size() > 7 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = atol(text.c_str());
    return *out >= 1 && *out <= max;
}

// "inject": a repeat count, a record count, then the records as three
// strings each (path, action, parameter text). They go to the daemon as
// CHANGE_DB messages straight away, beside the forwarding queue and its
// filter, in order, each acknowledged before the next; the whole list is
// sent repeat times. The reply comes after the last acknowledgement.
std::string inject(int fd) {
    long repeat = 0, count = 0;
    if (!read_count(fd, INJECT_REPEAT_MAX, &repeat) || !read_count(fd, INJECT_RECORDS_MAX, &count))
        return "error: inject takes a repeat count (1 to 1000000), a record count (1 to 64), "
               "then path, action and text of each record";
    std::vector<std::vector<uint8_t>> payloads(static_cast<size_t>(count));
    for (auto& p : payloads) {
        std::string path, action, text;
        if (!read_item(fd, &path) || !read_item(fd, &action) || !read_item(fd, &text))
            return "error: inject: a record is missing";
        if (action.size() != 1 || !strchr("CUD", action[0]))
            return "error: inject: action \"" + mgmtd_printable(action, 20) + "\" (C, U or D)";
        if (!forward_payload(path, action[0], text, p))
            return "error: inject: record too large for a message";
    }
    int ch = daemon_channel();
    if (ch < 0) return "error: daemon mailbox not reachable";
    long sent = 0;
    for (long r = 0; r < repeat; ++r) {
        for (const auto& p : payloads) {
            if (MSG_SendMessageRetry(ch, MSG_CHANGE_DB, p.data(), static_cast<uint32_t>(p.size()),
                                     MGMTD_SEND_ATTEMPTS) != 0) {
                mgmtd_log("control: inject: record %ld not delivered", sent + 1);
                return "error: record " + std::to_string(sent + 1) + " not delivered (" +
                       std::to_string(sent) + " sent)";
            }
            ++sent;
        }
    }
    mgmtd_log("control: %ld record(s) injected", sent);
    return "ack " + std::to_string(sent);
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
    } else if (cmd == "inject") {
        reply = inject(fd);
        if (reply.rfind("error", 0) == 0) mgmtd_log("control: %s", reply.c_str());
    } else {
        std::string shown = mgmtd_printable(cmd, 40);
        mgmtd_log("control: unknown command \"%s\"", shown.c_str());
        reply = "error: unknown command \"" + shown + "\" (start, stop, status, inject)";
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
