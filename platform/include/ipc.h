// IPC transport to the configuration server: items over TCP on 127.0.0.1.
//
// Framing (both directions): every item is one frame
//     tag (1 byte) | length (4 bytes, big-endian) | payload (length bytes)
// tag 'S': a string; the payload is its bytes without the terminating zero
//          byte and contains no zero byte; at most IPC_STRING_MAX bytes.
// tag 'U': an unsigned 32-bit integer; length 4, payload big-endian.
// A reader never trusts a peer's length: a string longer than
// IPC_STRING_MAX, a 'U' frame whose length is not 4, an unknown tag or a
// zero byte inside a string fails the read (and, for the client, the
// handle that made it).
//
// Nothing waits without a limit: ipc_connect gives up after IPC_TIMEOUT_MS
// (a server whose accept queue is full does not hold it); client sockets get
// a receive timeout of IPC_TIMEOUT_MS, so a stalled server fails the
// operation instead of blocking a thread for ever; a string item, once its
// first byte has come, must arrive whole within IPC_TIMEOUT_MS, and every
// item written must be taken whole within IPC_TIMEOUT_MS, so a server that
// trickles fails it too. Writes never raise SIGPIPE.
//
// Pipelining: items written are handed to the kernel corked, and go out
// when the writing thread next reads that connection, uses another one or
// closes it (or after 200 ms, if it does none of these), so a batch of
// requests written before their replies are read leaves in a few segments.
// A thread's writes reach their servers in the order it made them; a reader
// thread pushes out what another thread wrote on the connection before it
// waits. A client connection's reads take what the socket holds at once and
// keep the rest for its next reads, in the thread that opened it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t IPC_STRING_MAX = 64 * 1024;
constexpr int IPC_TIMEOUT_MS = 5000;
constexpr uint8_t IPC_TAG_STRING = 'S';
constexpr uint8_t IPC_TAG_U32 = 'U';

// Connects to 127.0.0.1:port within IPC_TIMEOUT_MS. Returns the connection
// descriptor, or -1.
int ipc_connect(uint16_t port);
// Writes one string item. Returns 0 on success, -1 on failure (null string included).
int ipc_string_write(int fd, const char* s);
// Writes one unsigned 32-bit item. Returns 0 on success, -1 on failure.
int ipc_u32_write(int fd, uint32_t v);
// Reads one string item. Returns a heap string the caller frees, or null on
// failure (closed connection, timeout, bad frame, a 'U' item).
char* ipc_string_read(int fd);
// Closes the connection. err is the caller's error flag: non-zero when the
// connection failed, in which case it is reset rather than closed gracefully.
void ipc_client_close(int fd, uint32_t err);

// Server side, used by the stand-in programs.

// Listening socket on 127.0.0.1:port (SO_REUSEADDR). Returns it, or -1.
int ipc_listen(uint16_t port);
// Sets the receive and send timeout of a socket; 0 means wait for ever.
int ipc_set_timeout(int fd, int ms);

// One decoded item of an incoming byte stream.
struct ipc_item {
    uint8_t tag;      // IPC_TAG_STRING or IPC_TAG_U32
    uint32_t u32;     // value of a 'U' item
    const char* str;  // bytes of an 'S' item (not terminated; points into the input)
    uint32_t str_len; // their count
};

// Incremental frame parser over bytes received so far.
// Returns the number of bytes the first item takes (> 0) and fills *item;
// 0 when more bytes are needed; -1 when the bytes can never form a valid
// item (the connection is to be dropped).
long ipc_item_parse(const uint8_t* data, size_t len, ipc_item* item);
// Appends the frame of a string item of len bytes to out (at least 5 + len
// bytes of room). Returns the bytes written.
size_t ipc_frame_string(uint8_t* out, const char* s, uint32_t len);
// Appends the frame of a 'U' item (9 bytes of room). Returns 9.
size_t ipc_frame_u32(uint8_t* out, uint32_t v);

// Observer of the client side (ipc_connect, ipc_string_write, ipc_u32_write,
// ipc_string_read, ipc_client_close), for tracing and for tests. Each
// callback may be null. on_write is called before an item is written and
// on_read after a string was read; a non-zero result makes that operation
// fail as a broken connection would (the string read is then freed and
// null returned). Install the hooks before other threads use the client;
// the callbacks run on the calling thread and must do their own locking.
struct ipc_hooks {
    void* ctx;
    void (*on_connect)(void* ctx, int fd, uint16_t port);
    int (*on_write)(void* ctx, int fd, const ipc_item* item);
    int (*on_read)(void* ctx, int fd, const char* s);
    void (*on_close)(void* ctx, int fd, uint32_t err);
};
// Installs hooks (copied), or removes them with null.
void ipc_set_hooks(const ipc_hooks* hooks);
