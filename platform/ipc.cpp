// IPC transport to the configuration server: framed items over TCP on the
// loopback interface. Client side (blocking sockets with timeouts) and the
// pieces the stand-in servers build on (listening socket, frame parser).
#include "platform/include/ipc.h"
#include "platform/net.h"
#include "platform/rt.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr size_t IPC_HEADER = 5; // tag, 4-byte big-endian length

// The installed observer: a copy, published through an atomic pointer.
ipc_hooks hooks_slot;
std::atomic<const ipc_hooks*> hooks{nullptr};

const ipc_hooks* observer() {
    return hooks.load(std::memory_order_acquire);
}

// Items are sent corked (MSG_MORE): the kernel holds them until the writer
// reads from that connection, uses another one, closes it, or 200 ms have
// passed, so the requests of a pipelined walk reach the server in a few
// segments and wake it a few times, not once per item. What one thread
// wrote on its connections still reaches the servers in the order it was
// written.
thread_local bool corked;   // this thread's last write may wait in the kernel
thread_local int corked_fd; // on this connection

// Sends what the kernel holds corked on fd now.
void push(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Before the thread writes, reads, closes or opens a connection other than
// fd (-1: any), its last writes go out: nothing it does later overtakes them.
void push_other(int fd) {
    if (corked && corked_fd != fd) {
        push(corked_fd);
        corked = false;
    }
}

// Sends every byte of the iovecs within IPC_TIMEOUT_MS; goes on after
// partial sends and signals. The socket's send timeout bounds each wait, the
// deadline the whole item, so a server that takes a few bytes now and then
// cannot hold the caller longer.
int send_all(int fd, iovec* iov, int cnt) {
    push_other(fd);
    size_t sent = 0;
    int rc = send_iov_within(fd, iov, cnt, rt::now_ms() + IPC_TIMEOUT_MS, &sent, MSG_MORE);
    corked = true;
    corked_fd = fd;
    return rc == 0 ? 0 : -1;
}

// Receives at most cap bytes, at least one; -1 on end of stream, timeout or
// error. With a deadline (a rt::now_ms value) the wait ends then, however
// long the socket's receive timeout. What the caller wrote goes out first.
ssize_t recv_some(int fd, uint8_t* buf, size_t cap, int64_t deadline) {
    push_other(fd);
    push(fd); // also what another thread wrote on it
    if (corked_fd == fd) corked = false;
    for (;;) {
        if (deadline >= 0) {
            int left = rt::ms_left(deadline);
            if (left <= 0) return -1;
            pollfd p{fd, POLLIN, 0};
            int r = poll(&p, 1, left);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return -1;
        }
        ssize_t n = recv(fd, buf, cap, 0);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 ? n : -1;
    }
}

// A client connection's read-ahead: what the socket held past the item
// read, kept for the next reads. The connections a thread opened with
// ipc_connect have one, taken from the heap at their first read and given
// back at their close, so a walk's replies cost a few receives, not three
// per item. Only that thread's reads use it (another thread reading the
// connection reads the socket itself): a connection is read by the thread
// that opened it, or by another one only from its first byte on.
constexpr size_t AHEAD_SIZE = 4096;
constexpr int AHEAD_CONNS = 4;

// All zero at first (no initialiser: no room taken in the thread data).
struct Ahead {
    int fd[AHEAD_CONNS];
    bool used[AHEAD_CONNS];
    uint8_t* buf[AHEAD_CONNS];
    uint32_t pos[AHEAD_CONNS], end[AHEAD_CONNS];
};
thread_local Ahead ahead;

int ahead_slot(int fd) {
    for (int i = 0; i < AHEAD_CONNS; ++i)
        if (ahead.used[i] && ahead.fd[i] == fd) return i;
    return -1;
}

// Receives exactly len bytes; -1 on end of stream, timeout or error. With a
// deadline, every byte must have come by then, however slowly the peer
// trickles them (the socket's receive timeout only bounds each wait).
int recv_all(int fd, uint8_t* buf, size_t len, int64_t deadline = -1) {
    int i = ahead_slot(fd);
    if (i >= 0 && !ahead.buf[i]) ahead.buf[i] = static_cast<uint8_t*>(malloc(AHEAD_SIZE));
    uint8_t* held = i >= 0 ? ahead.buf[i] : nullptr;
    while (len > 0) {
        ssize_t n = 0;
        if (held && ahead.pos[i] < ahead.end[i]) {
            n = static_cast<ssize_t>(std::min<size_t>(len, ahead.end[i] - ahead.pos[i]));
            memcpy(buf, held + ahead.pos[i], static_cast<size_t>(n));
            ahead.pos[i] += static_cast<uint32_t>(n);
        } else if (held && len < AHEAD_SIZE) {
            if ((n = recv_some(fd, held, AHEAD_SIZE, deadline)) < 0) return -1;
            ahead.pos[i] = 0;
            ahead.end[i] = static_cast<uint32_t>(n);
            continue;
        } else if ((n = recv_some(fd, buf, len, deadline)) < 0) {
            return -1;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

void ipc_set_hooks(const ipc_hooks* h) {
    if (!h) {
        hooks.store(nullptr, std::memory_order_release);
        return;
    }
    hooks_slot = *h;
    hooks.store(&hooks_slot, std::memory_order_release);
}

int ipc_set_timeout(int fd, int ms) {
    if (ms < 0) return -1;
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return -1;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return -1;
    return 0;
}

int ipc_connect(uint16_t port) {
    push_other(-1);
    int fd = loopback_connect_within(port, IPC_TIMEOUT_MS);
    if (fd < 0) return -1;
    if (ipc_set_timeout(fd, IPC_TIMEOUT_MS) != 0) {
        close(fd);
        return -1;
    }
    // A slot left by a connection closed without ipc_client_close is stale.
    if (int i = ahead_slot(fd); i >= 0) ahead.used[i] = false;
    for (int i = 0; i < AHEAD_CONNS; ++i) {
        if (ahead.used[i]) continue;
        ahead.fd[i] = fd;
        ahead.used[i] = true;
        ahead.pos[i] = ahead.end[i] = 0;
        break;
    }
    if (const ipc_hooks* h = observer(); h && h->on_connect) h->on_connect(h->ctx, fd, port);
    return fd;
}

int ipc_string_write(int fd, const char* s) {
    if (fd < 0 || !s) return -1;
    size_t len = strlen(s);
    if (len > IPC_STRING_MAX) return -1;
    if (const ipc_hooks* h = observer(); h && h->on_write) {
        ipc_item item{IPC_TAG_STRING, 0, s, static_cast<uint32_t>(len)};
        if (h->on_write(h->ctx, fd, &item) != 0) return -1;
    }
    uint8_t head[IPC_HEADER];
    head[0] = IPC_TAG_STRING;
    put_be32(head + 1, static_cast<uint32_t>(len));
    iovec iov[2] = {{head, sizeof head}, {const_cast<char*>(s), len}};
    return send_all(fd, iov, len > 0 ? 2 : 1);
}

int ipc_u32_write(int fd, uint32_t v) {
    if (fd < 0) return -1;
    if (const ipc_hooks* h = observer(); h && h->on_write) {
        ipc_item item{IPC_TAG_U32, v, nullptr, 0};
        if (h->on_write(h->ctx, fd, &item) != 0) return -1;
    }
    uint8_t frame[IPC_HEADER + 4];
    ipc_frame_u32(frame, v);
    iovec iov[1] = {{frame, sizeof frame}};
    return send_all(fd, iov, 1);
}

char* ipc_string_read(int fd) {
    if (fd < 0) return nullptr;
    uint8_t head[IPC_HEADER];
    // The first byte may take as long as the socket's receive timeout lets
    // it (no limit on a subscription); once an item has begun, all of it
    // must arrive within IPC_TIMEOUT_MS.
    if (recv_all(fd, head, 1) != 0) return nullptr;
    const int64_t deadline = rt::now_ms() + IPC_TIMEOUT_MS;
    if (recv_all(fd, head + 1, sizeof head - 1, deadline) != 0) return nullptr;
    uint32_t len = get_be32(head + 1);
    // The length is checked before anything is allocated for it.
    if (head[0] != IPC_TAG_STRING || len > IPC_STRING_MAX) return nullptr;
    auto* s = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
    if (!s) return nullptr;
    if (recv_all(fd, reinterpret_cast<uint8_t*>(s), len, deadline) != 0 || memchr(s, '\0', len)) {
        free(s);
        return nullptr;
    }
    s[len] = '\0';
    if (const ipc_hooks* h = observer(); h && h->on_read && h->on_read(h->ctx, fd, s) != 0) {
        free(s);
        return nullptr;
    }
    return s;
}

void ipc_client_close(int fd, uint32_t err) {
    if (fd < 0) return;
    if (const ipc_hooks* h = observer(); h && h->on_close) h->on_close(h->ctx, fd, err);
    if (int i = ahead_slot(fd); i >= 0) {
        ahead.used[i] = false;
        free(std::exchange(ahead.buf[i], nullptr));
    }
    push_other(fd);
    if (corked && corked_fd == fd) corked = false; // a close sends what it holds
    if (err) {
        // A failed connection may hold half an exchange: reset it (after
        // what was written went out) so the peer does not take what it got
        // for a complete request.
        push(fd);
        linger lg{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    close(fd);
}

int ipc_listen(uint16_t port) {
    return loopback_listen(port, SOMAXCONN);
}

long ipc_item_parse(const uint8_t* data, size_t len, ipc_item* item) {
    if (len < 1) return 0;
    uint8_t tag = data[0];
    if (tag != IPC_TAG_STRING && tag != IPC_TAG_U32) return -1;
    if (len < IPC_HEADER) return 0;
    uint32_t n = get_be32(data + 1);
    if (tag == IPC_TAG_U32) {
        if (n != 4) return -1;
        if (len < IPC_HEADER + 4) return 0;
        item->tag = tag;
        item->u32 = get_be32(data + IPC_HEADER);
        item->str = nullptr;
        item->str_len = 0;
        return static_cast<long>(IPC_HEADER + 4);
    }
    if (n > IPC_STRING_MAX) return -1;
    if (len - IPC_HEADER < n) return 0;
    if (n > 0 && memchr(data + IPC_HEADER, '\0', n)) return -1;
    item->tag = tag;
    item->u32 = 0;
    item->str = reinterpret_cast<const char*>(data + IPC_HEADER);
    item->str_len = n;
    return static_cast<long>(IPC_HEADER + n);
}

size_t ipc_frame_string(uint8_t* out, const char* s, uint32_t len) {
    out[0] = IPC_TAG_STRING;
    put_be32(out + 1, len);
    if (len > 0) memcpy(out + IPC_HEADER, s, len);
    return IPC_HEADER + len;
}

size_t ipc_frame_u32(uint8_t* out, uint32_t v) {
    out[0] = IPC_TAG_U32;
    put_be32(out + 1, 4);
    put_be32(out + IPC_HEADER, v);
    return IPC_HEADER + 4;
}
