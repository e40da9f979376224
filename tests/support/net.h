// Raw TCP for tests that play one end of a protocol themselves, on sockets
// made with ipc_listen and ipc_connect (platform/include/ipc.h); a mailbox of
// the message library played by the test, and the record of what the test's
// real mailboxes received.
#pragma once

#include "platform/include/ipc.h"
#include "platform/include/msg.h"
#include "tests/support/proc.h"

#include <algorithm>
#include <mutex>
#include <poll.h>
#include <string_view>

namespace tr111test {

using Strings = std::vector<std::string>;

// 32-bit words, big-endian, one after the other.
inline std::string be(std::initializer_list<uint32_t> words) {
    std::string out;
    for (uint32_t w : words)
        out += {char(w >> 24), char(w >> 16), char(w >> 8), char(w)};
    return out;
}

// What the test's mailboxes received, in order: "CODE:PAYLOAD" (or "CODE:null").
inline std::mutex inbox_mu;
inline Strings inbox_got;

inline int inbox_record(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    std::string p = payload ? std::string(reinterpret_cast<const char*>(payload), length) : "null";
    std::lock_guard<std::mutex> l(inbox_mu);
    inbox_got.push_back(std::to_string(msg->code) + ":" + p);
    return 0;
}
// The messages received, once there are at least n.
inline Strings inbox(size_t n) {
    Strings got;
    eventually([&] {
        std::lock_guard<std::mutex> l(inbox_mu);
        return (got = inbox_got).size() >= n;
    });
    return got;
}

// Accepts one connection on a listening socket; -1 if none comes within timeout_ms.
inline int accept_within(int listen_fd, int timeout_ms = 10000) {
    pollfd p{listen_fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1 ? accept(listen_fd, nullptr, nullptr) : -1;
}

// Sends all of bytes; false when the connection fails.
inline bool send_bytes(int fd, std::string_view bytes) {
    for (ssize_t n = 0; !bytes.empty(); bytes.remove_prefix(static_cast<size_t>(n)))
        if ((n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return false;
    return true;
}

// Reads n bytes; fewer when the peer closes, or sends nothing for timeout_ms.
inline std::string recv_bytes(int fd, size_t n, int timeout_ms = 5000) {
    std::string out;
    char buf[4096];
    for (pollfd p{fd, POLLIN, 0}; out.size() < n && poll(&p, 1, timeout_ms) == 1;) {
        ssize_t got = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

// A mailbox played by the test (the message library's wire): records each
// message as "SEQ CODE PAYLOAD" (read once its thread has ended) and
// acknowledges it; instead closes the connection while drop > 0.
struct FakeMailbox {
    int lfd;
    std::atomic<int> drop{0}, conn{-1};
    Strings frames;
    std::jthread thread{[this](std::stop_token stop) {
        auto be = [](const std::string& h, size_t at) {
            return std::to_string(uint32_t(uint8_t(h[at])) << 24 | uint8_t(h[at + 1]) << 16 |
                                  uint8_t(h[at + 2]) << 8 | uint8_t(h[at + 3]));
        };
        for (int fd; !stop.stop_requested(); conn = -1) {
            if ((conn = fd = accept_within(lfd, 20)) < 0) continue;
            for (std::string h; (h = recv_bytes(fd, 17, 60000)).size() == 17;) {
                std::string p = recv_bytes(fd, static_cast<uint8_t>(h[16]));
                frames.push_back(be(h, 5) + " " + be(h, 9) + " " + p);
                if (drop > 0 && drop-- > 0) break;
                send_bytes(fd, std::string("A").append(h, 5, 4));
            }
            close(fd);
        }
    }};
    explicit FakeMailbox(int port) : lfd(ipc_listen(port)) {}
    ~FakeMailbox() {
        thread = {};
        close(lfd);
    }
};

} // namespace tr111test
