// Raw TCP for tests that play one end of a protocol themselves, on sockets
// made with ipc_listen and ipc_connect (platform/include/ipc.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tr111test {

// Accepts one connection on a listening socket; -1 if none comes within timeout_ms.
int accept_within(int listen_fd, int timeout_ms = 10000);
// Sends all of bytes; false when the connection fails.
bool send_bytes(int fd, std::string_view bytes);
// Reads n bytes; fewer when the peer closes, or sends nothing for timeout_ms.
std::string recv_bytes(int fd, size_t n, int timeout_ms = 5000);
// True once the peer has closed or reset the connection (what it sends
// meanwhile is read and dropped); false when it has not within timeout_ms.
bool closed_by_peer(int fd, int timeout_ms = 5000);

} // namespace tr111test
