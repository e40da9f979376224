// Message library: mailboxes (a listening socket and its receive thread)
// and channels (the sending side), over TCP on 127.0.0.1.
//
// Everything lives in fixed tables of static storage that are never
// destroyed: receive threads may still run while the process exits.
#include "platform/include/msg.h"
#include "platform/net.h"
#include "platform/rt.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

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

constexpr int TABLE_LIMIT = 1024;                // largest max accepted by MSG_Init
constexpr size_t ACK_OUT_MAX = 32 * ACK_SIZE;    // acknowledgements a connection may owe
constexpr int STALL_MS = 2 * MSG_ACK_TIMEOUT_MS; // part of a frame, then nothing
constexpr int POLL_MS = 1000;
constexpr int RETRY_PAUSE_MS = 200;
static_assert(MSG_SEQ_WINDOW <= 32, "a sender's window is one 32-bit word");

std::atomic<int> g_debug{1};
std::atomic<int> g_mode{2};
std::atomic<int> g_attempt_ms{MSG_ACK_TIMEOUT_MS};

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

void sleep_ms(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The tables' allocation and the limit of MSG_Init.
rt::Mutex g_mu;
int g_max = 0;

// ---- mailboxes ----

struct Conn {
    int fd = -1;
    uint8_t* in = nullptr; // received bytes (malloc'd, cap bytes); the first `have` are valid
    size_t cap = 0;
    size_t have = 0;
    uint8_t out[ACK_OUT_MAX] = {}; // acknowledgements not yet written
    size_t out_len = 0;
    int64_t last_progress = 0;
    bool dead = false; // to be closed
    bool gone = false; // the peer reads no more: no acknowledgement goes out
};

// What a mailbox took from one sender: the newest sequence number and, bit
// i of taken, whether it took the number i below it.
struct Sender {
    uint32_t id = 0;
    uint32_t top = 0;
    uint32_t taken = 0;
    uint32_t used = 0; // 0: free entry; else the mailbox's tick of its last message
};

struct Callback {
    uint32_t code = 0;
    MSG_Callback fn = nullptr;
};

struct Mailbox {
    rt::Mutex mu;      // guards id to thread: what the calls of other threads touch
    int id = -1;       // -1: free slot
    uint32_t uses = 0; // mailboxes this slot has held, for fresh ids
    int port = 0;
    int listen_fd = -1;
    int wake[2] = {-1, -1}; // written by MSG_CloseMailbox to end the thread
    Callback callbacks[MSG_CALLBACK_MAX] = {};
    int ncallbacks = 0;
    bool started = false;
    bool closing = false;
    pthread_t thread = {};

    std::atomic<bool> stop{false};

    // Receive-thread state, touched by that thread only (and by
    // MSG_CloseMailbox once the thread has ended).
    Conn conns[MSG_CONNECTION_MAX] = {};
    int nconns = 0;
    Sender senders[MSG_SENDER_MAX] = {};
    uint32_t tick = 0;
};

Mailbox g_mailboxes[MSG_MAILBOX_MAX];

// The slot of a mailbox id (its mutex is to be taken before anything else).
Mailbox* slot_of(int id) {
    return id < 0 ? nullptr : &g_mailboxes[id % MSG_MAILBOX_MAX];
}

// With the slot's mutex held: the slot holds that mailbox, open.
bool is_open(const Mailbox* mb, int id) {
    return mb->id == id && !mb->closing;
}

MSG_Callback find_callback(Mailbox* mb, uint32_t code) {
    rt::Lock lk(mb->mu);
    for (int i = 0; i < mb->ncallbacks; ++i)
        if (mb->callbacks[i].code == code) return mb->callbacks[i].fn;
    return nullptr;
}

Sender* find_sender(Mailbox* mb, uint32_t sender) {
    for (Sender& s : mb->senders)
        if (s.used != 0 && s.id == sender) return &s;
    return nullptr;
}

// Whether the mailbox took the sender's message seq already. A number older
// than the window counts as taken: the channel gives such a message up.
bool taken(const Sender* s, uint32_t seq) {
    if (!s) return false;
    uint32_t back = s->top - seq;
    if (static_cast<int32_t>(back) < 0) return false; // newer than any taken
    return back >= MSG_SEQ_WINDOW || ((s->taken >> back) & 1u) != 0;
}

void record_taken(Mailbox* mb, Sender* s, uint32_t sender, uint32_t seq) {
    if (++mb->tick == 0) mb->tick = 1;
    if (!s) {
        // A new sender takes a free entry, or that of the sender silent the longest.
        s = &mb->senders[0];
        for (Sender& e : mb->senders)
            if (e.used < s->used) s = &e;
        *s = Sender{sender, seq, 1u, 0};
    } else if (static_cast<int32_t>(seq - s->top) > 0) {
        uint32_t ahead = seq - s->top;
        s->taken = ahead >= 32 ? 1u : (s->taken << ahead) | 1u;
        s->top = seq;
    } else {
        s->taken |= 1u << (s->top - seq);
    }
    s->used = mb->tick;
}

void drop(Mailbox* mb, Conn& c, const char* why) {
    if (!c.dead) msg_log(1, "mailbox %d (port %d): %s; connection dropped", mb->id, mb->port, why);
    c.dead = true;
}

void flush_acks(Conn& c) {
    while (c.out_len != 0 && !c.dead && !c.gone) {
        ssize_t n = send(c.fd, c.out, c.out_len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out_len -= static_cast<size_t>(n);
            memmove(c.out, c.out + n, c.out_len);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            // The peer went away: the whole messages it sent are still
            // taken; a re-send of them will be dropped.
            c.gone = true;
            c.out_len = 0;
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
    bool resend = taken(known, seq);
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
    if (c.out_len + ACK_SIZE > sizeof c.out) flush_acks(c);
    if (c.out_len + ACK_SIZE > sizeof c.out) {
        drop(mb, c, "peer does not read its acknowledgements");
        return;
    }
    if (!resend) record_taken(mb, known, sender, seq);
    if (!c.gone) {
        c.out[c.out_len] = TAG_ACK;
        put_be32(c.out + c.out_len + 1, seq);
        c.out_len += ACK_SIZE;
        flush_acks(c);
    }

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

// Sizes a connection's buffer to cap bytes. False when there is no memory.
bool resize(Conn& c, size_t cap) {
    auto* p = static_cast<uint8_t*>(realloc(c.in, cap));
    if (!p) return false;
    c.in = p;
    c.cap = cap;
    return true;
}

// Reads what a connection has for us and takes every whole message in it.
void read_conn(Mailbox* mb, Conn& c) {
    ssize_t n = recv(c.fd, c.in + c.have, c.cap - c.have, MSG_DONTWAIT);
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
    c.last_progress = rt::now_ms();

    size_t off = 0;
    while (c.have > off) {
        const uint8_t* frame = c.in + off;
        if (frame[0] != TAG_MESSAGE) {
            char why[64];
            snprintf(why, sizeof why, "frame starting with byte 0x%02x", frame[0]);
            drop(mb, c, why);
            return;
        }
        if (c.have - off < HEADER_SIZE) break;
        uint32_t length = get_be32(frame + OFF_LENGTH);
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
        memmove(c.in, c.in + off, c.have - off);
        c.have -= off;
    }
    if (c.have >= HEADER_SIZE) {
        // A frame larger than the buffer is coming: make room for all of it.
        size_t need = HEADER_SIZE + get_be32(c.in + OFF_LENGTH);
        if (c.cap < need && !resize(c, need)) drop(mb, c, "no memory for the message");
    } else if (c.cap > MSG_READ_CHUNK) {
        resize(c, MSG_READ_CHUNK); // a failed shrink keeps the larger buffer
    }
}

void release(Conn& c) {
    close(c.fd);
    free(c.in);
    c = Conn{};
}

// Removes connection i, keeping the order of the others.
void remove_conn(Mailbox* mb, int i) {
    release(mb->conns[i]);
    for (int k = i; k + 1 < mb->nconns; ++k)
        mb->conns[k] = mb->conns[k + 1];
    mb->conns[--mb->nconns] = Conn{};
}

// Makes room for a new connection when the mailbox holds its most: the
// connection silent the longest with no message under way and nothing
// left to acknowledge is closed (its peer reconnects when it next sends),
// so peers that open connections and leave them idle cannot lock the
// others out. False when every connection is in the middle of something.
bool evict_idle(Mailbox* mb) {
    int oldest = -1;
    for (int i = 0; i < mb->nconns; ++i) {
        const Conn& c = mb->conns[i];
        if (c.dead || c.have != 0 || c.out_len != 0) continue;
        int unread = 0; // bytes arrived since the last read: not idle
        if (ioctl(c.fd, FIONREAD, &unread) != 0 || unread != 0) continue;
        if (oldest < 0 || c.last_progress < mb->conns[oldest].last_progress) oldest = i;
    }
    if (oldest < 0) return false;
    msg_log(1, "mailbox %d (port %d): %d connections open; the one idle longest is closed", mb->id,
            mb->port, mb->nconns);
    remove_conn(mb, oldest);
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
                sleep_ms(100);
            }
            return;
        }
        if (mb->nconns >= MSG_CONNECTION_MAX && !evict_idle(mb)) {
            msg_log(1, "mailbox %d (port %d): %d connections open; a new one is refused", mb->id,
                    mb->port, mb->nconns);
            close(fd);
            continue;
        }
        Conn& c = mb->conns[mb->nconns];
        c.fd = fd;
        if (!resize(c, MSG_READ_CHUNK)) {
            msg_log(1, "mailbox %d: no memory for a connection; refused", mb->id);
            release(c);
            continue;
        }
        set_nodelay(fd);
        c.last_progress = rt::now_ms();
        ++mb->nconns;
    }
}

void* receive_loop(void* arg) {
    auto* mb = static_cast<Mailbox*>(arg);
    pollfd pfds[2 + MSG_CONNECTION_MAX];
    while (!mb->stop.load()) {
        pfds[0] = {mb->wake[0], POLLIN, 0};
        pfds[1] = {mb->listen_fd, POLLIN, 0};
        const int polled = mb->nconns; // connections accepted below wait for the next round
        for (int i = 0; i < polled; ++i) {
            const Conn& c = mb->conns[i];
            pfds[2 + i] = {c.fd, static_cast<short>(POLLIN | (c.out_len ? POLLOUT : 0)), 0};
        }
        int n = poll(pfds, static_cast<nfds_t>(2 + polled), POLL_MS);
        if (n < 0) {
            if (errno != EINTR) {
                msg_log(1, "mailbox %d: poll: %s", mb->id, strerror(errno));
                sleep_ms(10);
            }
            continue;
        }
        if (pfds[0].revents) break;
        for (int i = 0; i < polled; ++i) {
            Conn& c = mb->conns[i];
            short re = pfds[2 + i].revents;
            if (re & POLLOUT) flush_acks(c);
            if (!c.dead && (re & (POLLIN | POLLHUP | POLLERR))) read_conn(mb, c);
        }
        // Dead connections go before new ones are let in.
        const int64_t now = rt::now_ms();
        for (int i = 0; i < mb->nconns;) {
            Conn& c = mb->conns[i];
            if (!c.dead && c.have != 0 && now - c.last_progress > STALL_MS)
                drop(mb, c, "peer stalled inside a frame");
            if (c.dead)
                remove_conn(mb, i);
            else
                ++i;
        }
        if (pfds[1].revents & POLLIN) accept_conns(mb);
    }
    return nullptr;
}

// ---- channels ----

// A message the channel sent and the mailbox has not confirmed: that of the
// call under way, and those whose calls failed, kept so that a re-send gets
// the same number.
struct Unconfirmed {
    bool used = false;
    bool on_wire = false;   // written on the current connection, acknowledgement not read
    bool delivered = false; // acknowledged after its call had failed
    uint32_t seq = 0;
    uint32_t code = 0;
    uint32_t length = 0;
    uint8_t* copy = nullptr; // the payload (malloc'd) once its call has failed
};

struct Channel {
    rt::Mutex mu; // one message at a time; guards everything below
    sockaddr_in addr = {};
    int port = 0;
    int fd = -1;
    bool draining = false;      // writing side closed after part of a message
    uint8_t ack[ACK_SIZE] = {}; // an acknowledgement read in part
    size_t ack_have = 0;
    uint32_t sender = 0;
    uint32_t next_seq = 1;
    Unconfirmed unconfirmed[MSG_UNCONFIRMED_MAX] = {};
    char why[96] = ""; // why the last attempt failed
};

Channel g_channels[MSG_CHANNEL_MAX];
std::atomic<int> g_nchannels{0}; // ids 0 to g_nchannels - 1 exist; grows under g_mu

Channel* find_channel(int id) {
    if (id < 0 || id >= g_nchannels.load(std::memory_order_acquire)) return nullptr;
    return &g_channels[id];
}

int channel_id(const Channel* ch) {
    return static_cast<int>(ch - g_channels);
}

void give_up(Unconfirmed& u) {
    free(u.copy);
    u = Unconfirmed{};
}

// Gives up the messages the mailbox could no longer tell apart from new
// ones (MSG_SEQ_WINDOW numbers old).
void give_up_old(Channel* ch) {
    for (Unconfirmed& u : ch->unconfirmed)
        if (u.used && ch->next_seq - u.seq >= MSG_SEQ_WINDOW) {
            msg_log(1, "channel %d: code %u seq %u given up: %u newer messages went out",
                    channel_id(ch), static_cast<unsigned>(u.code), static_cast<unsigned>(u.seq),
                    static_cast<unsigned>(MSG_SEQ_WINDOW));
            give_up(u);
        }
}

// The unconfirmed message with this code and payload, or null.
Unconfirmed* find_same(Channel* ch, uint32_t code, const uint8_t* bytes, uint32_t length) {
    for (Unconfirmed& u : ch->unconfirmed)
        if (u.used && u.code == code && u.length == length &&
            (length == 0 || memcmp(u.copy, bytes, length) == 0))
            return &u;
    return nullptr;
}

// A new entry with the next number; the oldest entry is given up when none is free.
Unconfirmed* new_message(Channel* ch, uint32_t code, uint32_t length) {
    Unconfirmed* slot = nullptr;
    for (Unconfirmed& u : ch->unconfirmed) {
        if (!u.used) {
            slot = &u;
            break;
        }
        if (!slot || static_cast<int32_t>(u.seq - slot->seq) < 0) slot = &u;
    }
    if (slot->used) {
        msg_log(1, "channel %d: code %u seq %u given up: %d newer messages unconfirmed",
                channel_id(ch), static_cast<unsigned>(slot->code), static_cast<unsigned>(slot->seq),
                MSG_UNCONFIRMED_MAX);
        give_up(*slot);
    }
    slot->used = true;
    slot->seq = ch->next_seq;
    slot->code = code;
    slot->length = length;
    if (++ch->next_seq == 0) ch->next_seq = 1;
    return slot;
}

// Closes the channel's connection: what was on it and not acknowledged
// goes again on the next.
void close_conn(Channel* ch) {
    if (ch->fd >= 0) close(ch->fd);
    ch->fd = -1;
    ch->draining = false;
    ch->ack_have = 0;
    for (Unconfirmed& u : ch->unconfirmed)
        u.on_wire = false;
}

enum class Ack { Got, Late, Broken };

// Reads acknowledgements until that of seq comes (0: none is awaited, read
// what is there), the deadline passes or the connection ends. Each marks its
// message delivered.
Ack read_acks(Channel* ch, uint32_t seq, int64_t deadline) {
    for (;;) {
        pollfd p{ch->fd, POLLIN, 0};
        int r = poll(&p, 1, rt::ms_left(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return Ack::Broken;
        if (r == 0) return Ack::Late;
        ssize_t n = recv(ch->fd, ch->ack + ch->ack_have, ACK_SIZE - ch->ack_have, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return Ack::Broken;
        ch->ack_have += static_cast<size_t>(n);
        if (ch->ack_have < ACK_SIZE) continue;
        ch->ack_have = 0;
        if (ch->ack[0] != TAG_ACK) return Ack::Broken;
        uint32_t got = get_be32(ch->ack + 1);
        for (Unconfirmed& u : ch->unconfirmed)
            if (u.used && u.seq == got && u.on_wire) {
                u.on_wire = false;
                u.delivered = true;
            }
        if (got == seq && seq != 0) return Ack::Got;
    }
}

enum class Write { Whole, Nothing, Part, Broken };

// Writes the message's frame within the deadline.
Write write_frame(Channel* ch, const Unconfirmed& u, const uint8_t* payload, int64_t deadline) {
    uint8_t header[HEADER_SIZE];
    header[0] = TAG_MESSAGE;
    put_be32(header + OFF_SENDER, ch->sender);
    put_be32(header + OFF_SEQ, u.seq);
    put_be32(header + OFF_CODE, u.code);
    put_be32(header + OFF_LENGTH, u.length);
    iovec iov[2] = {{header, HEADER_SIZE}, {const_cast<uint8_t*>(payload), u.length}};
    int iovcnt = u.length ? 2 : 1;
    size_t sent = 0;
    switch (send_iov_within(ch->fd, iov, iovcnt, deadline, &sent)) {
    case 0:
        return Write::Whole;
    case -1:
        return Write::Broken;
    default:
        return sent == 0 ? Write::Nothing : Write::Part;
    }
}

// Connects to addr within the deadline. Returns the socket (non-blocking), or -1.
int connect_to(const sockaddr_in& addr, int64_t deadline) {
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
            r = poll(&p, 1, rt::ms_left(deadline));
        } while (r < 0 && errno == EINTR);
        int err = r == 0 ? ETIMEDOUT : errno;
        socklen_t len = sizeof err;
        if (r > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (r <= 0 || err != 0) {
            close(fd);
            errno = err;
            return -1;
        }
    }
    set_nodelay(fd);
    return fd;
}

// An attempt that failed: why, kept for the line of the call's outcome
// (every attempt's own line needs level 2).
__attribute__((format(printf, 2, 3))) bool attempt_failed(Channel* ch, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(ch->why, sizeof ch->why, fmt, ap);
    va_end(ap);
    msg_log(2, "channel %d: attempt failed: %s", channel_id(ch), ch->why);
    return false;
}

// One attempt to have the message confirmed. True once it is.
bool attempt(Channel* ch, Unconfirmed& u, const uint8_t* payload) {
    const int ms = g_attempt_ms.load(std::memory_order_relaxed);
    const int64_t deadline = rt::now_ms() + ms;
    // Acknowledgements that came late, and a connection the mailbox closed.
    if (ch->fd >= 0 && read_acks(ch, 0, 0) == Ack::Broken) {
        msg_log(2, "channel %d: connection to port %d found closed", channel_id(ch), ch->port);
        close_conn(ch);
    }
    if (u.delivered) return true;
    if (ch->draining) {
        // What was whole on that connection is taken before anything goes on the next.
        if (read_acks(ch, 0, deadline) != Ack::Broken)
            return attempt_failed(ch, "the mailbox has not closed the previous connection");
        close_conn(ch);
        if (u.delivered) return true;
    }
    if (ch->fd < 0) {
        ch->fd = connect_to(ch->addr, deadline);
        if (ch->fd < 0) return attempt_failed(ch, "cannot connect: %s", strerror(errno));
    }
    if (!u.on_wire) {
        switch (write_frame(ch, u, payload, deadline)) {
        case Write::Whole:
            u.on_wire = true;
            break;
        case Write::Nothing:
            return attempt_failed(ch, "not taken within %d ms", ms);
        case Write::Part:
            // The rest cannot follow later: end the connection after what is
            // whole on it, and wait for the mailbox to take that.
            shutdown(ch->fd, SHUT_WR);
            ch->draining = true;
            return attempt_failed(ch, "only part sent within %d ms", ms);
        case Write::Broken: {
            const int err = errno;
            close_conn(ch);
            return attempt_failed(ch, "send failed: %s", strerror(err));
        }
        }
    }
    switch (read_acks(ch, u.seq, deadline)) {
    case Ack::Got:
        return true;
    case Ack::Late:
        return attempt_failed(ch, "no acknowledgement within %d ms", ms);
    case Ack::Broken:
        break;
    }
    close_conn(ch);
    return attempt_failed(ch, "connection lost before the acknowledgement");
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

    rt::Lock lk(ch->mu);
    give_up_old(ch);
    Unconfirmed* u = find_same(ch, code, bytes, length);
    bool resend = u != nullptr;
    if (!u) u = new_message(ch, code, length);
    bool ok = false;
    for (int i = 0; i < attempts && !ok; ++i) {
        if (i > 0) sleep_ms(RETRY_PAUSE_MS);
        ok = attempt(ch, *u, bytes);
    }
    const unsigned seq = u->seq;
    if (ok) {
        msg_log(2, "channel %d: %s code %u seq %u length %u to port %d", channel,
                resend ? "confirmed re-sent" : "sent", static_cast<unsigned>(code), seq,
                static_cast<unsigned>(length), ch->port);
        give_up(*u);
        return 0;
    }
    if (length != 0 && !u->copy) {
        // Kept to recognise a re-send.
        u->copy = static_cast<uint8_t*>(malloc(length));
        if (u->copy) {
            memcpy(u->copy, bytes, length);
        } else {
            msg_log(1, "channel %d: code %u seq %u given up: no memory to keep it", channel,
                    static_cast<unsigned>(code), seq);
            give_up(*u);
        }
    }
    msg_log(1, "channel %d: code %u not delivered to port %d after %d attempt(s): %s", channel,
            static_cast<unsigned>(code), ch->port, attempts, ch->why);
    return -1;
}

uint32_t new_sender_id() {
    uint32_t id = 0;
    if (getrandom(&id, sizeof id, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof id)) {
        static std::atomic<uint32_t> counter{0};
        id = static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(time(nullptr)) ^
             (++counter * 40503u);
    }
    return id ? id : 1;
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

int MSG_SetAttemptTime(int ms) {
    if (ms < 1 || ms > 600000) return -1;
    g_attempt_ms.store(ms);
    return 0;
}

int MSG_Init(int max) {
    if (max < 1 || max > TABLE_LIMIT) {
        msg_log(1, "init: limit %d out of range 1..%d", max, TABLE_LIMIT);
        return -1;
    }
    rt::Lock lk(g_mu);
    if (max > g_max) g_max = max;
    return 0;
}

int MSG_CreateChannel(int port) {
    if (port < 1 || port > 65535) {
        msg_log(1, "mailbox: port %d out of range", port);
        return -1;
    }
    rt::Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) return -1;
    int one = 1;
    const sockaddr_in sa = loopback_addr(static_cast<uint16_t>(port));
    if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(fd.get(), 64) != 0) {
        msg_log(1, "mailbox: cannot listen on 127.0.0.1:%d: %s", port, strerror(errno));
        return -1;
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    rt::Fd wake_r(wake[0]), wake_w(wake[1]);

    rt::Lock lk(g_mu);
    int open = 0;
    Mailbox* free_slot = nullptr;
    for (Mailbox& m : g_mailboxes) {
        rt::Lock ml(m.mu);
        if (m.id >= 0)
            ++open;
        else if (!free_slot)
            free_slot = &m;
    }
    if (g_max == 0 || open >= g_max || !free_slot) {
        msg_log(1, "mailbox: %s", g_max == 0 ? "library not initialised" : "table full");
        return -1;
    }
    Mailbox* mb = free_slot;
    rt::Lock ml(mb->mu);
    const int slot = static_cast<int>(mb - g_mailboxes);
    mb->id = static_cast<int>((mb->uses++ * MSG_MAILBOX_MAX + static_cast<uint32_t>(slot)) &
                              0x7fffffffu);
    mb->port = port;
    mb->listen_fd = fd.release();
    mb->wake[0] = wake_r.release();
    mb->wake[1] = wake_w.release();
    mb->ncallbacks = 0;
    mb->started = false;
    mb->closing = false;
    mb->stop.store(false);
    mb->nconns = 0;
    for (Sender& s : mb->senders)
        s = Sender{};
    mb->tick = 0;
    return mb->id;
}

uint32_t MSG_StartThread(int mailbox) {
    Mailbox* mb = slot_of(mailbox);
    if (!mb) return 0;
    rt::Lock lk(mb->mu);
    if (!is_open(mb, mailbox)) return 0;
    if (!mb->started) {
        int err = pthread_create(&mb->thread, nullptr, receive_loop, mb);
        if (err != 0) {
            msg_log(1, "mailbox %d: receive thread not started: %s", mailbox, strerror(err));
            return 0;
        }
        mb->started = true;
    }
    return static_cast<uint32_t>(mailbox) + 1;
}

int MSG_CloseMailbox(int mailbox) {
    Mailbox* mb = slot_of(mailbox);
    if (!mb) return -1;
    bool started;
    {
        rt::Lock lk(mb->mu);
        if (!is_open(mb, mailbox) || (mb->started && pthread_equal(pthread_self(), mb->thread)))
            return -1;
        mb->closing = true;
        mb->ncallbacks = 0;
        started = mb->started;
    }

    mb->stop.store(true);
    uint8_t b = 1;
    ssize_t w = write(mb->wake[1], &b, 1);
    (void)w;
    if (started) pthread_join(mb->thread, nullptr);
    while (mb->nconns > 0)
        remove_conn(mb, mb->nconns - 1);
    close(mb->listen_fd);
    close(mb->wake[0]);
    close(mb->wake[1]);

    rt::Lock glk(g_mu);
    rt::Lock lk(mb->mu);
    mb->listen_fd = mb->wake[0] = mb->wake[1] = -1;
    mb->started = false;
    mb->id = -1; // the slot is free
    return 0;
}

int MSG_RegisterMessage(int mailbox, uint32_t code, MSG_Callback callback) {
    Mailbox* mb = slot_of(mailbox);
    if (!mb || !callback) return -1;
    rt::Lock lk(mb->mu);
    if (!is_open(mb, mailbox)) return -1;
    for (int i = 0; i < mb->ncallbacks; ++i) {
        if (mb->callbacks[i].code == code) {
            mb->callbacks[i].fn = callback;
            return 0;
        }
    }
    if (mb->ncallbacks >= MSG_CALLBACK_MAX) {
        msg_log(1, "mailbox %d: no room for the callback of code %u", mailbox,
                static_cast<unsigned>(code));
        return -1;
    }
    mb->callbacks[mb->ncallbacks++] = Callback{code, callback};
    return 0;
}

int MSG_OpenChannel(const char* host, int port) {
    if (!host || port < 1 || port > 65535) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (strcmp(host, "localhost") == 0) {
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        msg_log(1, "channel: host \"%s\" is not an IPv4 address", host);
        return -1;
    }
    auto table_full = [] {
        int n = g_nchannels.load();
        return g_max == 0 || n >= g_max || n >= MSG_CHANNEL_MAX;
    };
    {
        rt::Lock lk(g_mu);
        if (table_full()) {
            msg_log(1, "channel: %s", g_max == 0 ? "library not initialised" : "table full");
            return -1;
        }
    }
    rt::Fd fd(connect_to(addr, rt::now_ms() + g_attempt_ms.load()));
    if (fd.get() < 0) {
        msg_log(1, "channel: cannot connect to %s:%d: %s", host, port, strerror(errno));
        return -1;
    }
    rt::Lock lk(g_mu);
    if (table_full()) return -1;
    const int id = g_nchannels.load();
    Channel& ch = g_channels[id];
    {
        rt::Lock cl(ch.mu);
        ch.addr = addr;
        ch.port = port;
        ch.fd = fd.release();
        ch.sender = new_sender_id();
    }
    g_nchannels.store(id + 1, std::memory_order_release);
    return id;
}

int MSG_SendMessage(int channel, uint32_t code, const void* payload, uint32_t length) {
    return send_message(channel, code, payload, length, 1);
}

int MSG_SendMessageRetry(int channel, uint32_t code, const void* payload, uint32_t length,
                         int retries) {
    return send_message(channel, code, payload, length, retries);
}
