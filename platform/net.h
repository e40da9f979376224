// Small network helpers shared by our platform libraries, the lab programs,
// the benchmarks and the fuzz targets: loopback TCP sockets on 127.0.0.1
// (close-on-exec) and big-endian 32-bit integers.
#pragma once

#include "platform/rt.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

inline void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t get_be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline sockaddr_in loopback_addr(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// The end of a connect: fd with TCP_NODELAY when err is 0, else fd closed
// and -1 with errno err.
inline int loopback_connected(int fd, int err) {
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// A socket connected to 127.0.0.1:port, with TCP_NODELAY, or -1 (errno set).
inline int loopback_connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in a = loopback_addr(port);
    return loopback_connected(
        fd, connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ? errno : 0);
}

// Like loopback_connect, but gives up after timeout_ms (errno ETIMEDOUT):
// a peer whose accept queue is full lets a plain connect() wait for minutes.
// The socket returned blocks, as one of loopback_connect does.
inline int loopback_connect_within(uint16_t port, int timeout_ms) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int64_t deadline = rt::now_ms() + timeout_ms;
    const sockaddr_in a = loopback_addr(port);
    int err = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            pollfd p{fd, POLLOUT, 0};
            int r;
            while ((r = poll(&p, 1, rt::ms_left(deadline))) < 0 && errno == EINTR) {
            }
            socklen_t len = sizeof err;
            if (r == 0)
                err = ETIMEDOUT;
            else if (r < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
    }
    int flags = fcntl(fd, F_GETFL);
    if (err == 0 && (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) err = errno;
    return loopback_connected(fd, err);
}

// Sends every byte of the cnt iovecs (advanced in place) on fd without
// blocking, waiting for room until deadline (a rt::now_ms value); goes on
// after partial sends and signals. Adds what went out to *sent. Returns 0
// when all went, -1 when the connection broke (errno set), -2 when the
// deadline passed first. flags adds to the send's own (MSG_MORE).
inline int send_iov_within(int fd, iovec* iov, int cnt, int64_t deadline, size_t* sent,
                           int flags = 0) {
    while (cnt > 0) {
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = static_cast<decltype(mh.msg_iovlen)>(cnt);
        ssize_t n = sendmsg(fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT | flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            pollfd p{fd, POLLOUT, 0};
            int r = poll(&p, 1, rt::ms_left(deadline));
            if (r > 0 || (r < 0 && errno == EINTR)) continue;
            return -2;
        }
        *sent += static_cast<size_t>(n);
        auto left = static_cast<size_t>(n);
        while (cnt > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --cnt;
        }
        if (cnt > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return 0;
}

// A socket listening on 127.0.0.1:port (SO_REUSEADDR), or -1 (errno set).
inline int loopback_listen(uint16_t port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = loopback_addr(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd, backlog) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}
