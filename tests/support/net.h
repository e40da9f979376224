// Raw TCP for tests that play one end of a protocol themselves, on sockets
// made with ipc_listen and ipc_connect (platform/include/ipc.h).
#pragma once

#include "tests/support/proc.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <string_view>

namespace tr111test {

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

// True once the peer closes or resets the connection (data is dropped meanwhile).
inline bool closed_by_peer(int fd, int timeout_ms = 5000) {
    return eventually(
        [fd] {
            char buf[4096];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
            }
            return n == 0 || (errno != EAGAIN && errno != EINTR);
        },
        timeout_ms);
}

} // namespace tr111test
