// Message library: mailboxes (a listening socket and its receive thread)
// and channels (the sending side), over TCP on 127.0.0.1.
#include "platform/include/msg.h"
#include "platform/net.h"

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t TAG_MESSAGE = 'M';
constexpr uint8_t TAG_ACK = 'A';
// 'M' | sender | sequence | code | length
constexpr size_t HEADER_SIZE = 1 + 4 + 4 + 4 + 4;
constexpr size_t OFF_SENDER = 1;
constexpr size_t OFF_SEQ = 5;
constexpr size_t OFF_CODE = 9;
constexpr size_t OFF_LENGTH = 13;
static_assert(OFF_LENGTH + 4 == HEADER_SIZE, "message header layout");
// 'A' | sequence
constexpr size_t ACK_SIZE = 1 + 4;

constexpr int TABLE_LIMIT = 1024;        // largest max accepted by MSG_Init
constexpr size_t MAX_CONNECTIONS = 64;   // open connections per mailbox
constexpr size_t MAX_SENDERS = 64;       // senders remembered per mailbox for duplicates
constexpr size_t MAX_CALLBACKS = 64;     // message codes per mailbox
constexpr size_t READ_CHUNK = 4096;      // receive buffer of a connection between large frames
constexpr size_t ACK_BACKLOG_MAX = 4096; // unsent ack bytes before a peer is dropped
constexpr int STALL_MS = 2 * MSG_ACK_TIMEOUT_MS; // part of a frame, then nothing
constexpr int POLL_MS = 1000;
constexpr int RETRY_PAUSE_MS = 200;

std::atomic<int> g_debug{1};
std::atomic<int> g_mode{2};

__attribute__((format(printf, 2, 3))) void msg_log(int level, const char* fmt, ...) {
    if (g_debug.load(std::memory_order_relaxed) < level) return;
    char line[512];
    int n = snprintf(line, sizeof line, "msg: ");
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(n) + (m < 0 ? 0 : static_cast<size_t>(m));
    if (len > sizeof line - 2) len = sizeof line - 2;
    line[len++] = '\n';
    // One write per line: lines of two threads never interleave.
    ssize_t w = write(2, line, len);
    (void)w;
}

int ms_left(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// ---- mailboxes ----

struct Conn {
    int fd = -1;
    std::vector<uint8_t> in; // received bytes; the first `have` are valid
    size_t have = 0;
    std::vector<uint8_t> out; // acknowledgements not yet written
    Clock::time_point last_progress;
    bool dead = false;
};

struct Sender {
    uint32_t id = 0;
    uint32_t last_seq = 0;
    uint64_t used = 0; // 0: free entry; else the mailbox's tick of its last message
};

struct Callback {
    uint32_t code = 0;
    MSG_Callback fn = nullptr;
};

struct Mailbox {
    int id = -1;
    int port = 0;
    int listen_fd = -1;
    int wake[2] = {-1, -1}; // written by MSG_CloseMailbox to end the thread

    std::mutex mu; // guards what follows, up to the receive-thread state
    std::array<Callback, MAX_CALLBACKS> callbacks{};
    size_t ncallbacks = 0;
    bool started = false;
    bool closed = false;
    std::thread thread;
    std::thread::id thread_id;

    std::atomic<bool> stop{false};

    // Receive-thread state, touched by that thread only.
    std::vector<Conn> conns;
    std::array<Sender, MAX_SENDERS> senders{};
    uint64_t tick = 0;
};

struct Channel {
    int id = -1;
    std::mutex mu; // one message at a time; guards everything below
    sockaddr_in addr{};
    int port = 0;
    int fd = -1;
    uint32_t sender = 0;
    uint32_t next_seq = 1;
    // The last call failed: its message may have been taken by the mailbox.
    bool pending = false;
    uint32_t pending_seq = 0;
    uint32_t pending_code = 0;
    std::vector<uint8_t> pending_payload;
    char why[96] = ""; // why the last attempt failed
};

// The tables live as long as the process: receive threads may still run
// while it exits, so nothing of theirs is ever destroyed.
struct Tables {
    std::mutex mu; // guards the two tables and the limit
    size_t max = 0;
    std::vector<std::unique_ptr<Mailbox>> mailboxes;
    std::vector<std::unique_ptr<Channel>> channels;
};
Tables& g_tables = *new Tables;
std::mutex& g_mu = g_tables.mu;
size_t& g_max = g_tables.max;
std::vector<std::unique_ptr<Mailbox>>& g_mailboxes = g_tables.mailboxes;
std::vector<std::unique_ptr<Channel>>& g_channels = g_tables.channels;

Mailbox* find_mailbox(int id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (id < 0 || static_cast<size_t>(id) >= g_mailboxes.size()) return nullptr;
    return g_mailboxes[static_cast<size_t>(id)].get();
}

Channel* find_channel(int id) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (id < 0 || static_cast<size_t>(id) >= g_channels.size()) return nullptr;
    return g_channels[static_cast<size_t>(id)].get();
}

MSG_Callback find_callback(Mailbox* mb, uint32_t code) {
    std::lock_guard<std::mutex> lk(mb->mu);
    for (size_t i = 0; i < mb->ncallbacks; ++i)
        if (mb->callbacks[i].code == code) return mb->callbacks[i].fn;
    return nullptr;
}

// The duplicate-detection entry of a sender, or null.
Sender* find_sender(Mailbox* mb, uint32_t sender) {
    for (auto& s : mb->senders)
        if (s.used != 0 && s.id == sender) return &s;
    return nullptr;
}

// A sender's numbers only grow (modulo 2^32): one not newer than the last
// taken is a re-send.
bool is_resend(const Sender* s, uint32_t seq) {
    return s && static_cast<int32_t>(seq - s->last_seq) <= 0;
}

void record_taken(Mailbox* mb, Sender* s, uint32_t sender, uint32_t seq) {
    ++mb->tick;
    if (!s) {
        // A new sender takes a free entry, or that of the sender silent the longest.
        s = &mb->senders[0];
        for (auto& e : mb->senders)
            if (e.used < s->used) s = &e;
        s->id = sender;
    }
    s->last_seq = seq;
    s->used = mb->tick;
}

void drop(Mailbox* mb, Conn& c, const char* why) {
    if (!c.dead) msg_log(1, "mailbox %d (port %d): %s; connection dropped", mb->id, mb->port, why);
    c.dead = true;
}

void flush_acks(Mailbox* mb, Conn& c) {
    while (!c.out.empty() && !c.dead) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out.erase(c.out.begin(), c.out.begin() + n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (c.out.size() > ACK_BACKLOG_MAX)
                drop(mb, c, "peer does not read its acknowledgements");
            return;
        } else {
            // The peer went away; what it sent is taken, its re-send will be dropped.
            c.dead = true;
            return;
        }
    }
}

// One whole message at the start of frame: acknowledge it, then run its callback.
void take_message(Mailbox* mb, Conn& c, const uint8_t* frame) {
    uint32_t sender = get_be32(frame + OFF_SENDER);
    uint32_t seq = get_be32(frame + OFF_SEQ);
    uint32_t code = get_be32(frame + OFF_CODE);
    uint32_t length = get_be32(frame + OFF_LENGTH);
    Sender* known = find_sender(mb, sender);
    bool resend = is_resend(known, seq);
    MSG_Callback fn = resend ? nullptr : find_callback(mb, code);
    if (!resend && !fn) {
        // Not taken, so not acknowledged: the sender learns that it was not
        // delivered (and may try again once the callback is registered).
        char why[64];
        snprintf(why, sizeof why, "no callback for code %u; message refused",
                 static_cast<unsigned>(code));
        drop(mb, c, why);
        return;
    }
    if (!resend) record_taken(mb, known, sender, seq);

    uint8_t ack[ACK_SIZE];
    ack[0] = TAG_ACK;
    put_be32(ack + 1, seq);
    c.out.insert(c.out.end(), ack, ack + ACK_SIZE);
    flush_acks(mb, c);

    if (resend) {
        msg_log(2, "mailbox %d: code %u seq %u from %08x is a re-send of one taken; dropped",
                mb->id, static_cast<unsigned>(code), static_cast<unsigned>(seq),
                static_cast<unsigned>(sender));
        return;
    }
    msg_log(2, "mailbox %d: received code %u seq %u length %u from %08x", mb->id,
            static_cast<unsigned>(code), static_cast<unsigned>(seq), static_cast<unsigned>(length),
            static_cast<unsigned>(sender));
    MSG_Message msg{code, length, mb->id};
    fn(&msg, length ? frame + HEADER_SIZE : nullptr, length);
}

// Reads what a connection has for us and takes every whole message in it.
void read_conn(Mailbox* mb, Conn& c) {
    ssize_t n = recv(c.fd, c.in.data() + c.have, c.in.size() - c.have, MSG_DONTWAIT);
    if (n == 0) {
        if (c.have != 0) msg_log(2, "mailbox %d: peer closed inside a frame", mb->id);
        c.dead = true;
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.dead = true;
        return;
    }
    c.have += static_cast<size_t>(n);
    c.last_progress = Clock::now();

    size_t off = 0;
    uint32_t length = 0;
    while (c.have > off) {
        const uint8_t* frame = c.in.data() + off;
        if (frame[0] != TAG_MESSAGE) {
            char why[64];
            snprintf(why, sizeof why, "frame starting with byte 0x%02x", frame[0]);
            drop(mb, c, why);
            return;
        }
        if (c.have - off < HEADER_SIZE) break;
        length = get_be32(frame + OFF_LENGTH);
        if (length > MSG_PAYLOAD_MAX) {
            char why[64];
            snprintf(why, sizeof why, "message length %u above %u", static_cast<unsigned>(length),
                     static_cast<unsigned>(MSG_PAYLOAD_MAX));
            drop(mb, c, why);
            return;
        }
        if (c.have - off < HEADER_SIZE + length) break;
        take_message(mb, c, frame);
        if (c.dead) return;
        off += HEADER_SIZE + length;
    }
    if (off != 0) {
        memmove(c.in.data(), c.in.data() + off, c.have - off);
        c.have -= off;
    }
    if (c.have >= HEADER_SIZE) {
        // A frame larger than the buffer is coming: make room for all of it.
        size_t need = HEADER_SIZE + get_be32(c.in.data() + OFF_LENGTH);
        if (c.in.size() < need) c.in.resize(need);
    } else if (c.in.size() > READ_CHUNK) {
        c.in.resize(READ_CHUNK);
        c.in.shrink_to_fit();
    }
}

// Makes room for a new connection when the mailbox holds its most: the
// connection silent the longest with no message under way and nothing
// left to acknowledge is closed (its peer reconnects when it next sends),
// so peers that open connections and leave them idle cannot lock the
// others out. False when every connection is in the middle of something.
bool evict_idle(Mailbox* mb) {
    Conn* oldest = nullptr;
    for (auto& c : mb->conns) {
        if (c.dead || c.have != 0 || !c.out.empty()) continue;
        int unread = 0; // bytes arrived since the last read: not idle
        if (ioctl(c.fd, FIONREAD, &unread) != 0 || unread != 0) continue;
        if (!oldest || c.last_progress < oldest->last_progress) oldest = &c;
    }
    if (!oldest) return false;
    msg_log(1, "mailbox %d (port %d): %zu connections open; the one idle longest is closed", mb->id,
            mb->port, mb->conns.size());
    close(oldest->fd);
    mb->conns.erase(mb->conns.begin() + (oldest - mb->conns.data()));
    return true;
}

void accept_conns(Mailbox* mb) {
    for (;;) {
        int fd = accept4(mb->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                msg_log(1, "mailbox %d: accept: %s", mb->id, strerror(errno));
                // Out of descriptors: the listening socket stays readable;
                // do not spin on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            return;
        }
        if (mb->conns.size() >= MAX_CONNECTIONS && !evict_idle(mb)) {
            msg_log(1, "mailbox %d (port %d): %zu connections open; a new one is refused", mb->id,
                    mb->port, mb->conns.size());
            close(fd);
            continue;
        }
        set_nodelay(fd);
        Conn c;
        c.fd = fd;
        c.in.resize(READ_CHUNK);
        c.last_progress = Clock::now();
        mb->conns.push_back(std::move(c));
    }
}

void receive_loop(Mailbox* mb) {
    std::vector<pollfd> pfds;
    while (!mb->stop.load()) {
        pfds.clear();
        pfds.push_back({mb->wake[0], POLLIN, 0});
        pfds.push_back({mb->listen_fd, POLLIN, 0});
        for (const auto& c : mb->conns)
            pfds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
        int n = poll(pfds.data(), pfds.size(), POLL_MS);
        if (n < 0) {
            if (errno != EINTR) {
                msg_log(1, "mailbox %d: poll: %s", mb->id, strerror(errno));
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            continue;
        }
        if (pfds[0].revents) break;
        // Connections accepted below are polled from the next round on.
        size_t polled = mb->conns.size();
        for (size_t i = 0; i < polled; ++i) {
            Conn& c = mb->conns[i];
            short re = pfds[i + 2].revents;
            if (re & POLLOUT) flush_acks(mb, c);
            if (!c.dead && (re & (POLLIN | POLLHUP | POLLERR))) read_conn(mb, c);
        }
        if (pfds[1].revents & POLLIN) accept_conns(mb);
        auto now = Clock::now();
        for (auto& c : mb->conns) {
            if (!c.dead && c.have != 0 &&
                now - c.last_progress > std::chrono::milliseconds(STALL_MS))
                drop(mb, c, "peer stalled inside a frame");
        }
        for (size_t i = 0; i < mb->conns.size();) {
            if (mb->conns[i].dead) {
                close(mb->conns[i].fd);
                mb->conns.erase(mb->conns.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
    }
}

// ---- channels ----

uint32_t new_sender_id() {
    uint32_t id = 0;
    if (getrandom(&id, sizeof id, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof id)) {
        static std::atomic<uint32_t> counter{0};
        id = static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(time(nullptr)) ^
             (++counter * 40503u);
    }
    return id ? id : 1;
}

// Connects to addr within the deadline. Returns the socket, or -1.
int connect_to(const sockaddr_in& addr, Clock::time_point deadline) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            int err = errno;
            close(fd);
            errno = err;
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int r;
        do {
            r = poll(&p, 1, ms_left(deadline));
        } while (r < 0 && errno == EINTR);
        int err = 0;
        socklen_t len = sizeof err;
        if (r <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            close(fd);
            errno = r == 0 ? ETIMEDOUT : err;
            return -1;
        }
    }
    set_nodelay(fd);
    return fd;
}

// False when the peer has closed or reset the connection, or sent something
// we did not ask for (no acknowledgement is due between two messages).
bool connection_alive(int fd) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, 0);
    if (r == 0) return true;
    if (r < 0) return errno == EINTR;
    return false;
}

void close_channel_fd(Channel* ch) {
    if (ch->fd >= 0) close(ch->fd);
    ch->fd = -1;
}

enum class Attempt { Delivered, Failed };

// An attempt that failed: why, kept for the line of the call's outcome
// (every attempt's own line needs level 2); the connection is closed.
__attribute__((format(printf, 2, 3))) Attempt attempt_failed(Channel* ch, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(ch->why, sizeof ch->why, fmt, ap);
    va_end(ap);
    msg_log(2, "channel %d: attempt failed: %s", ch->id, ch->why);
    close_channel_fd(ch);
    return Attempt::Failed;
}

Attempt send_once(Channel* ch, uint32_t seq, uint32_t code, const uint8_t* payload,
                  uint32_t length) {
    auto deadline = Clock::now() + std::chrono::milliseconds(MSG_ACK_TIMEOUT_MS);
    if (ch->fd >= 0 && !connection_alive(ch->fd)) {
        msg_log(2, "channel %d: connection to port %d found broken; reconnecting", ch->id,
                ch->port);
        close_channel_fd(ch);
    }
    if (ch->fd < 0) {
        ch->fd = connect_to(ch->addr, deadline);
        if (ch->fd < 0) return attempt_failed(ch, "cannot connect: %s", strerror(errno));
    }

    uint8_t header[HEADER_SIZE];
    header[0] = TAG_MESSAGE;
    put_be32(header + OFF_SENDER, ch->sender);
    put_be32(header + OFF_SEQ, seq);
    put_be32(header + OFF_CODE, code);
    put_be32(header + OFF_LENGTH, length);
    iovec iov[2] = {{header, HEADER_SIZE}, {const_cast<uint8_t*>(payload), length}};
    int iovcnt = length ? 2 : 1;
    iovec* cur = iov;
    while (iovcnt > 0) {
        msghdr mh{};
        mh.msg_iov = cur;
        mh.msg_iovlen = static_cast<size_t>(iovcnt);
        ssize_t n = sendmsg(ch->fd, &mh, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            pollfd p{ch->fd, POLLOUT, 0};
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && poll(&p, 1, ms_left(deadline)) > 0)
                continue;
            return attempt_failed(ch, "send failed: %s",
                                  errno == EAGAIN ? "timed out" : strerror(errno));
        }
        size_t done = static_cast<size_t>(n);
        while (iovcnt > 0 && done >= cur->iov_len) {
            done -= cur->iov_len;
            ++cur;
            --iovcnt;
        }
        if (iovcnt > 0) {
            cur->iov_base = static_cast<uint8_t*>(cur->iov_base) + done;
            cur->iov_len -= done;
        }
    }

    uint8_t ack[ACK_SIZE];
    size_t got = 0;
    while (got < ACK_SIZE) {
        pollfd p{ch->fd, POLLIN, 0};
        int r = poll(&p, 1, ms_left(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0)
            return attempt_failed(ch, "no acknowledgement within %d ms", MSG_ACK_TIMEOUT_MS);
        ssize_t n = r > 0 ? recv(ch->fd, ack + got, ACK_SIZE - got, MSG_DONTWAIT) : -1;
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return attempt_failed(ch, "connection lost before the acknowledgement");
        got += static_cast<size_t>(n);
    }
    if (ack[0] != TAG_ACK || get_be32(ack + 1) != seq)
        return attempt_failed(ch, "bad acknowledgement");
    return Attempt::Delivered;
}

int send_message(int channel, uint32_t code, const void* payload, uint32_t length, int attempts) {
    Channel* ch = find_channel(channel);
    if (!ch) {
        msg_log(1, "send: no channel %d", channel);
        return -1;
    }
    if (length > MSG_PAYLOAD_MAX || (length != 0 && payload == nullptr)) {
        msg_log(1, "channel %d: code %u refused: payload of %u bytes", channel,
                static_cast<unsigned>(code), static_cast<unsigned>(length));
        return -1;
    }
    if (attempts < 1) attempts = 1;
    const auto* bytes = static_cast<const uint8_t*>(payload);

    std::lock_guard<std::mutex> lk(ch->mu);
    uint32_t seq;
    if (ch->pending && ch->pending_code == code && ch->pending_payload.size() == length &&
        (length == 0 || memcmp(ch->pending_payload.data(), bytes, length) == 0)) {
        seq = ch->pending_seq; // a re-send of the message the last call failed to deliver
    } else {
        seq = ch->next_seq++;
        if (ch->next_seq == 0) ch->next_seq = 1;
    }
    for (int i = 0; i < attempts; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(RETRY_PAUSE_MS));
        if (send_once(ch, seq, code, bytes, length) == Attempt::Delivered) {
            ch->pending = false;
            ch->pending_payload.clear();
            msg_log(2, "channel %d: sent code %u seq %u length %u to port %d", channel,
                    static_cast<unsigned>(code), static_cast<unsigned>(seq),
                    static_cast<unsigned>(length), ch->port);
            return 0;
        }
    }
    ch->pending = true;
    ch->pending_seq = seq;
    ch->pending_code = code;
    ch->pending_payload.assign(bytes, bytes + length);
    msg_log(1, "channel %d: code %u not delivered to port %d after %d attempt(s): %s", channel,
            static_cast<unsigned>(code), ch->port, attempts, ch->why);
    return -1;
}

} // namespace

void MSG_Debug(int level) {
    g_debug.store(level);
}

int MSG_SetMode(int mode) {
    if (mode < 0 || mode > 2) return -1;
    g_mode.store(mode);
    return 0;
}

int MSG_Init(int max) {
    if (max < 1 || max > TABLE_LIMIT) {
        msg_log(1, "init: limit %d out of range 1..%d", max, TABLE_LIMIT);
        return -1;
    }
    std::lock_guard<std::mutex> lk(g_mu);
    if (static_cast<size_t>(max) > g_max) g_max = static_cast<size_t>(max);
    return 0;
}

int MSG_CreateChannel(int port) {
    if (port < 1 || port > 65535) {
        msg_log(1, "mailbox: port %d out of range", port);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (g_max == 0 || g_mailboxes.size() >= g_max) {
            msg_log(1, "mailbox: %s", g_max == 0 ? "library not initialised" : "table full");
            return -1;
        }
    }
    auto mb = std::make_unique<Mailbox>();
    mb->port = port;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int one = 1;
    const sockaddr_in sa = loopback_addr(static_cast<uint16_t>(port));
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 64) != 0) {
        msg_log(1, "mailbox: cannot listen on 127.0.0.1:%d: %s", port, strerror(errno));
        close(fd);
        return -1;
    }
    if (pipe2(mb->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    mb->listen_fd = fd;
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_mailboxes.size() >= g_max) {
        close(fd);
        close(mb->wake[0]);
        close(mb->wake[1]);
        return -1;
    }
    mb->id = static_cast<int>(g_mailboxes.size());
    g_mailboxes.push_back(std::move(mb));
    return g_mailboxes.back()->id;
}

uint32_t MSG_StartThread(int mailbox) {
    Mailbox* mb = find_mailbox(mailbox);
    if (!mb) return 0;
    std::lock_guard<std::mutex> lk(mb->mu);
    if (mb->closed) return 0;
    if (!mb->started) {
        try {
            mb->thread = std::thread(receive_loop, mb);
        } catch (const std::system_error& e) {
            msg_log(1, "mailbox %d: receive thread not started: %s", mailbox, e.what());
            return 0;
        }
        mb->thread_id = mb->thread.get_id();
        mb->started = true;
    }
    return static_cast<uint32_t>(mailbox) + 1;
}

int MSG_CloseMailbox(int mailbox) {
    Mailbox* mb = find_mailbox(mailbox);
    if (!mb) return -1;
    std::thread thread;
    {
        std::lock_guard<std::mutex> lk(mb->mu);
        if (mb->closed) return -1;
        if (mb->started && std::this_thread::get_id() == mb->thread_id) return -1;
        mb->closed = true;
        mb->ncallbacks = 0;
        thread = std::move(mb->thread);
    }
    mb->stop.store(true);
    uint8_t b = 1;
    ssize_t w = write(mb->wake[1], &b, 1);
    (void)w;
    if (thread.joinable()) thread.join();
    for (auto& c : mb->conns)
        close(c.fd);
    mb->conns.clear();
    close(mb->listen_fd);
    close(mb->wake[0]);
    close(mb->wake[1]);
    mb->listen_fd = mb->wake[0] = mb->wake[1] = -1;
    return 0;
}

int MSG_RegisterMessage(int mailbox, uint32_t code, MSG_Callback callback) {
    Mailbox* mb = find_mailbox(mailbox);
    if (!mb || !callback) return -1;
    std::lock_guard<std::mutex> lk(mb->mu);
    if (mb->closed) return -1;
    for (size_t i = 0; i < mb->ncallbacks; ++i) {
        if (mb->callbacks[i].code == code) {
            mb->callbacks[i].fn = callback;
            return 0;
        }
    }
    if (mb->ncallbacks >= MAX_CALLBACKS) {
        msg_log(1, "mailbox %d: no room for the callback of code %u", mailbox,
                static_cast<unsigned>(code));
        return -1;
    }
    mb->callbacks[mb->ncallbacks++] = Callback{code, callback};
    return 0;
}

int MSG_OpenChannel(const char* host, int port) {
    if (!host || port < 1 || port > 65535) return -1;
    auto ch = std::make_unique<Channel>();
    ch->addr.sin_family = AF_INET;
    ch->addr.sin_port = htons(static_cast<uint16_t>(port));
    if (strcmp(host, "localhost") == 0) {
        ch->addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else if (inet_pton(AF_INET, host, &ch->addr.sin_addr) != 1) {
        msg_log(1, "channel: host \"%s\" is not an IPv4 address", host);
        return -1;
    }
    ch->port = port;
    ch->sender = new_sender_id();
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (g_max == 0 || g_channels.size() >= g_max) {
            msg_log(1, "channel: %s", g_max == 0 ? "library not initialised" : "table full");
            return -1;
        }
    }
    ch->fd = connect_to(ch->addr, Clock::now() + std::chrono::milliseconds(MSG_ACK_TIMEOUT_MS));
    if (ch->fd < 0) {
        msg_log(1, "channel: cannot connect to %s:%d: %s", host, port, strerror(errno));
        return -1;
    }
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_channels.size() >= g_max) {
        close(ch->fd);
        return -1;
    }
    ch->id = static_cast<int>(g_channels.size());
    g_channels.push_back(std::move(ch));
    return g_channels.back()->id;
}

int MSG_SendMessage(int channel, uint32_t code, const void* payload, uint32_t length) {
    return send_message(channel, code, payload, length, 1);
}

int MSG_SendMessageRetry(int channel, uint32_t code, const void* payload, uint32_t length,
                         int retries) {
    return send_message(channel, code, payload, length, retries);
}
