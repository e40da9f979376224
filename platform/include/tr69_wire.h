// Frames of the channel between the TR-069 data-model library and the
// TR-069 agent (TCP, 127.0.0.1:TR69_AGENT_PORT), shared by both ends.
//
// Every frame is
//     type (1 byte) | length (4 bytes, big-endian) | payload (length bytes)
// and the payload length of each type is fixed (tr69_wire_payload_size). A
// reader checks type and length before it reads the payload and fails the
// channel on anything else, so a peer can never make it read more than the
// largest fixed payload.
//
// Library -> agent:
//   'O' open          app name[64] | mailbox (i32 BE)                      68
//   'E' entry         name[260] | flags | id | type | block[11] (u32 BE)  316
//   'A' entries       count (u32 BE) | TR69_WIRE_ATOMICITY_MAX rows of
//                     name[260] | flags | id | type | handler | end        2244
//   'r' reply         tr69_reply, raw (host byte order: same host)         528
//   'N' event         event code[104] | name[257] | attribute              362
// Agent -> library:
//   'o' open answer   fault (i32 BE) | channel id (i32 BE)                   8
//   'e' entry answer  fault (i32 BE)                                         4
//   'a' entries ans.  fault (i32 BE) | failing row index (u32 BE)            8
//   'R' request       tr69_request, raw (host byte order)                 2088
//
// Text fields are zero-padded and always carry their terminating zero byte;
// a receiver forces the last byte of each text field to zero all the same.
// References (handlers, names) travel as the 32-bit values tr69_ref issued;
// only the application that issued them resolves them.
#pragma once

#include "platform/include/tr69_lib.h"
#include "platform/rt.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <span>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

// Frame types.
constexpr uint8_t TR69_FRAME_OPEN = 'O';
constexpr uint8_t TR69_FRAME_ENTRY = 'E';
constexpr uint8_t TR69_FRAME_ENTRIES = 'A';
constexpr uint8_t TR69_FRAME_REPLY = 'r';
constexpr uint8_t TR69_FRAME_EVENT = 'N';
constexpr uint8_t TR69_FRAME_OPEN_ANSWER = 'o';
constexpr uint8_t TR69_FRAME_ENTRY_ANSWER = 'e';
constexpr uint8_t TR69_FRAME_ENTRIES_ANSWER = 'a';
constexpr uint8_t TR69_FRAME_REQUEST = 'R';

constexpr size_t TR69_WIRE_HEADER = 5;
constexpr size_t TR69_WIRE_APP_NAME = 64;          // application name field of 'O'
constexpr size_t TR69_WIRE_NAME = 260;             // entry name field of 'E' and 'A'
constexpr size_t TR69_WIRE_ATOMICITY_MAX = 8;      // rows one 'A' frame carries
constexpr uint32_t TR69_WIRE_NO_ROW = 0xFFFFFFFFu; // failing row index: none

constexpr size_t TR69_WIRE_OPEN_SIZE = TR69_WIRE_APP_NAME + 4;
constexpr size_t TR69_WIRE_ENTRY_SIZE = TR69_WIRE_NAME + 3 * 4 + TR69_HANDLER_BLOCK_WORDS * 4;
constexpr size_t TR69_WIRE_ATOM_ROW_SIZE = TR69_WIRE_NAME + 5 * 4;
constexpr size_t TR69_WIRE_ENTRIES_SIZE = 4 + TR69_WIRE_ATOMICITY_MAX * TR69_WIRE_ATOM_ROW_SIZE;
constexpr size_t TR69_WIRE_EVENT_SIZE = TR69_EVENT_CODE_SIZE + TR69_EVENT_PARAM_SIZE;
static_assert(TR69_WIRE_OPEN_SIZE == 68);
static_assert(TR69_WIRE_ENTRY_SIZE == 316);
static_assert(TR69_WIRE_ATOM_ROW_SIZE == 280);
static_assert(TR69_WIRE_ENTRIES_SIZE == 2244);
static_assert(TR69_WIRE_EVENT_SIZE == 362);

// Largest payload of any frame type.
constexpr size_t TR69_WIRE_MAX_PAYLOAD = TR69_WIRE_ENTRIES_SIZE;
static_assert(sizeof(tr69_request) <= TR69_WIRE_MAX_PAYLOAD);

// The fixed payload length of a frame type, or 0 for an unknown type.
constexpr size_t tr69_wire_payload_size(uint8_t type) {
    switch (type) {
    case TR69_FRAME_OPEN:
        return TR69_WIRE_OPEN_SIZE;
    case TR69_FRAME_ENTRY:
        return TR69_WIRE_ENTRY_SIZE;
    case TR69_FRAME_ENTRIES:
        return TR69_WIRE_ENTRIES_SIZE;
    case TR69_FRAME_REPLY:
        return sizeof(tr69_reply);
    case TR69_FRAME_EVENT:
        return TR69_WIRE_EVENT_SIZE;
    case TR69_FRAME_OPEN_ANSWER:
        return 8;
    case TR69_FRAME_ENTRY_ANSWER:
        return 4;
    case TR69_FRAME_ENTRIES_ANSWER:
        return 8;
    case TR69_FRAME_REQUEST:
        return sizeof(tr69_request);
    default:
        return 0;
    }
}

// Big-endian integers, independent of the host's byte order.
inline void tr69_put_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline uint32_t tr69_get_u32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline void tr69_put_i32(uint8_t* p, int32_t v) {
    tr69_put_u32(p, static_cast<uint32_t>(v));
}
inline int32_t tr69_get_i32(const uint8_t* p) {
    return static_cast<int32_t>(tr69_get_u32(p));
}

// Copies text into a zero-padded field of field.size() bytes. Returns false
// (the field then holds the cut text) when the text and its zero byte do not fit.
inline bool tr69_put_text(std::span<uint8_t> field, std::string_view text) {
    std::memset(field.data(), 0, field.size());
    size_t n = text.size() < field.size() ? text.size() : field.size() - 1;
    std::memcpy(field.data(), text.data(), n);
    return n == text.size();
}
// The text of a received field: up to its first zero byte, at most
// field.size() - 1 bytes (the last byte is never part of the text).
inline std::string_view tr69_get_text(std::span<const uint8_t> field) {
    size_t n = 0;
    while (n + 1 < field.size() && field[n] != 0)
        ++n;
    return {reinterpret_cast<const char*>(field.data()), n};
}

// Result of tr69_wire_send_all and tr69_wire_send besides 0 (all written)
// and -1 (the connection is broken, or only part of the bytes went out in
// time: the stream is no longer in step).
constexpr int TR69_WIRE_NOTHING_SENT = 1; // not a byte taken in time; the stream is intact

// Writes all of buf; retries on EINTR. timeout_ms < 0 waits without limit;
// otherwise the whole buffer must be taken within timeout_ms, so a peer that
// takes a few bytes now and then cannot hold the writer (and the lock it
// holds) any longer. Returns 0, TR69_WIRE_NOTHING_SENT or -1.
inline int tr69_wire_send_all(int fd, const uint8_t* buf, size_t len, int timeout_ms = -1) {
    const int64_t deadline = rt::now_ms() + (timeout_ms < 0 ? 0 : timeout_ms);
    bool sent = false;
    while (len > 0) {
        pollfd p{fd, POLLOUT, 0};
        int r = poll(&p, 1, timeout_ms < 0 ? -1 : rt::ms_left(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return sent ? -1 : TR69_WIRE_NOTHING_SENT;
        if (r < 0) return -1;
        ssize_t n = send(fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return -1;
        sent = true;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// Payload length of each frame type of a protocol; 0 for a type it lacks.
using tr69_wire_sizes = size_t (*)(uint8_t type);

// Sends one frame, header and payload with one send, so that a frame is
// never split by a concurrent writer that takes the same lock and never
// waits for an acknowledgement between header and payload. Returns as
// tr69_wire_send_all (-1 also for a payload not of the type's size).
inline int tr69_wire_send(int fd, uint8_t type, std::span<const uint8_t> payload,
                          tr69_wire_sizes sizes = tr69_wire_payload_size, int timeout_ms = -1) {
    uint8_t buf[TR69_WIRE_HEADER + TR69_WIRE_MAX_PAYLOAD];
    if (payload.size() == 0 || payload.size() != sizes(type) ||
        payload.size() > TR69_WIRE_MAX_PAYLOAD)
        return -1;
    buf[0] = type;
    tr69_put_u32(buf + 1, static_cast<uint32_t>(payload.size()));
    std::memcpy(buf + TR69_WIRE_HEADER, payload.data(), payload.size());
    return tr69_wire_send_all(fd, buf, TR69_WIRE_HEADER + payload.size(), timeout_ms);
}

// Reads exactly len bytes by the deadline (a rt::now_ms value; < 0: no
// limit). Returns 0, 1 on a clean end of the connection before the first
// byte, -1 on failure or when the deadline passes.
inline int tr69_wire_recv_all(int fd, uint8_t* buf, size_t len, int64_t deadline) {
    size_t got = 0;
    while (got < len) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, deadline < 0 ? -1 : rt::ms_left(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        ssize_t n = recv(fd, buf + got, len - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 && got == 0) return 1;
        if (n <= 0) return -1;
        got += static_cast<size_t>(n);
    }
    return 0;
}

// Result of tr69_wire_recv.
enum tr69_wire_status : int {
    TR69_WIRE_OK = 0,
    TR69_WIRE_CLOSED = 1,    // the peer closed the connection between frames
    TR69_WIRE_BROKEN = -1,   // read failure, timeout or a frame cut short
    TR69_WIRE_BAD_FRAME = -2 // unexpected type, or a length other than the type's
};

// Reads one frame whose type is one of allowed; its payload goes into
// payload and its type into *type. Type and length are checked before the
// payload is read: a frame of another type, or whose length is not the
// type's fixed length, is refused without reading further. timeout_ms < 0
// waits without limit; otherwise the whole frame must have come within it.
inline tr69_wire_status tr69_wire_recv(int fd, std::string_view allowed, uint8_t* type,
                                       std::span<uint8_t> payload, int timeout_ms,
                                       tr69_wire_sizes sizes = tr69_wire_payload_size) {
    const int64_t deadline = timeout_ms < 0 ? -1 : rt::now_ms() + timeout_ms;
    uint8_t head[TR69_WIRE_HEADER];
    int r = tr69_wire_recv_all(fd, head, sizeof head, deadline);
    if (r == 1) return TR69_WIRE_CLOSED;
    if (r != 0) return TR69_WIRE_BROKEN;
    if (head[0] == 0 || allowed.find(static_cast<char>(head[0])) == std::string_view::npos)
        return TR69_WIRE_BAD_FRAME;
    size_t want = sizes(head[0]);
    if (want == 0 || tr69_get_u32(head + 1) != want || want > payload.size())
        return TR69_WIRE_BAD_FRAME;
    if (tr69_wire_recv_all(fd, payload.data(), want, deadline) != 0) return TR69_WIRE_BROKEN;
    *type = head[0];
    return TR69_WIRE_OK;
}
