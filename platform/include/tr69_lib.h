// TR-069 data-model library: the channel between an application (here
// tr111d) and the TR-069 agent that owns the data model.
//
// The application opens one channel, registers its entries (parameter rows
// with their handler blocks, and atomicity rows), then receives request
// records and sends reply records for the rest of its life. Value-change
// events travel on the same channel and may be sent from another thread
// while one thread waits for a request.
//
// Records are byte-exact on every target: integers are 32-bit in host byte
// order, and every field that holds an address (a name, a handler) holds a
// 32-bit reference instead. A reference is issued by tr69_ref() for an
// address and resolved by tr69_addr(); 0 stands for the null address and
// 0xFFFFFFFF is never issued (it is the end mark of handler blocks). So the
// same code is right where an address has 32 bits and where it has 64.
//
// Transport: TCP to the agent on 127.0.0.1:TR69_AGENT_PORT, frames
//     type (1 byte) | length (4 bytes, big-endian) | payload
// whose payload lengths are fixed per type and checked on receipt (see
// tr69_wire.h). A channel refuses a frame of unexpected type or length.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t TR69_AGENT_PORT = 7100;

// Request record, filled by tr69_rx_msg.
struct tr69_request {
    char name[260];        // parameter name as the agent sent it, zero-terminated
    uint32_t handler;      // reference of the handler to run
    uint32_t id;           // id under which the entry was registered
    uint32_t echo;         // returned unchanged in the reply
    uint32_t status;       // 10000: not to be dispatched, no reply
    uint32_t instances[5]; // instance numbers, first is the outermost {i}
    char value_in[1792];   // input value of a write (attribute: first byte)
};
static_assert(sizeof(tr69_request) == 2088);
static_assert(offsetof(tr69_request, name) == 0);
static_assert(offsetof(tr69_request, handler) == 260);
static_assert(offsetof(tr69_request, id) == 264);
static_assert(offsetof(tr69_request, echo) == 268);
static_assert(offsetof(tr69_request, status) == 272);
static_assert(offsetof(tr69_request, instances) == 276);
static_assert(offsetof(tr69_request, value_in) == 296);

// Reply record, given to tr69_tx_msg.
struct tr69_reply {
    char name[260];
    uint32_t id;
    uint32_t echo;
    int32_t result;
    char value[256];
};
static_assert(sizeof(tr69_reply) == 528);
static_assert(offsetof(tr69_reply, name) == 0);
static_assert(offsetof(tr69_reply, id) == 260);
static_assert(offsetof(tr69_reply, echo) == 264);
static_assert(offsetof(tr69_reply, result) == 268);
static_assert(offsetof(tr69_reply, value) == 272);

constexpr uint32_t TR69_STATUS_NO_DISPATCH = 10000;
constexpr size_t TR69_EVENT_CODE_SIZE = 104;  // event code text field
constexpr size_t TR69_EVENT_NAME_SIZE = 257;  // parameter name text field
constexpr size_t TR69_EVENT_PARAM_SIZE = 258; // name field + attribute byte

// Handler block of a parameter row: 11 words, starting at word 5 of the row.
constexpr size_t TR69_HANDLER_BLOCK_WORDS = 11;
constexpr uint32_t TR69_END_MARK = 0xFFFFFFFFu;

// One row of an atomicity table (tr69_register_entries); a row whose name is
// 0 ends the table.
struct tr69_atomicity_row {
    uint32_t name; // reference of the entry name text
    uint32_t flags;
    uint32_t id;
    uint32_t type;
    uint32_t handler; // reference of the handler
    uint32_t end;     // TR69_END_MARK
    uint32_t reserved[8];
};
static_assert(sizeof(tr69_atomicity_row) == 56);
static_assert(offsetof(tr69_atomicity_row, handler) == 16);
static_assert(offsetof(tr69_atomicity_row, end) == 20);

// References for addresses. tr69_ref returns the same reference (1 to
// TR69_REF_MAX) for the same address, 0 for the null address; at most
// TR69_REF_MAX different addresses can be held, and once the table is full
// tr69_ref returns 0 for a new address (and says so once on stderr).
// tr69_addr gives back the address, or null for 0 and for a reference never
// issued. Both are lock-free and safe from any thread, also during static
// initialisation (the table needs no constructor).
constexpr unsigned TR69_REF_MAX = 256;
uint32_t tr69_ref(const void* addr);
const void* tr69_addr(uint32_t ref);
// Function addresses: any function pointer type, converted.
template <typename F>
inline uint32_t tr69_ref_fn(F* fn) {
    return tr69_ref(reinterpret_cast<const void*>(fn));
}
template <typename F>
inline F* tr69_fn(uint32_t ref) {
    return reinterpret_cast<F*>(const_cast<void*>(tr69_addr(ref)));
}

// Fault codes of the library itself.
constexpr int TR69_ERR_CONNECT = 9001; // no agent to connect to
constexpr int TR69_ERR_CHANNEL = 9003; // unknown or broken channel
constexpr int TR69_ERR_REFUSED = 9004; // the agent refused the request
constexpr int TR69_ERR_AGAIN = 9005;   // tr69_rx_msg without waiting: no request yet
constexpr int TR69_ERR_TIMEOUT = 9006; // the agent took nothing of a frame in time

// The open, from connect() to the agent's answer, gives up after this long.
constexpr int TR69_OPEN_TIMEOUT_MS = 1000;
// A frame to the agent must be taken whole within this long; so must one
// from the agent, once it has begun, and the agent's answer to a registration.
constexpr int TR69_FRAME_TIMEOUT_MS = 10000;

// Channels. The channel handle is the address of the application's
// channel-id variable: the library knows a channel by that address, and
// writes the id the agent gave it there when the channel opens. A few
// channels can be open at once (one per handle). Opening again with the
// same handle replaces that handle's channel once the new one is open; a
// refused open leaves the old one as it was.
//
// Threads: the open, the registrations and tr69_rx_msg / tr69_tx_msg of a
// channel are made in this calling order by one thread; tr69_notify_event
// may be called from any thread at any time. Writes to the agent are
// serialised by a lock per channel; only the receiving call reads.
//
// Once the agent closes the channel, or sends a frame of wrong type or
// length, or does not complete a frame within TR69_FRAME_TIMEOUT_MS of its
// start, or a write to it fails or goes out only in part within
// TR69_FRAME_TIMEOUT_MS, the channel is broken: every later call on it fails
// with TR69_ERR_CHANNEL (tr69_notify_event with its negative). A frame of
// which the agent took nothing in that time fails its call with
// TR69_ERR_TIMEOUT and leaves the channel as it was (a notification the
// agent does not take is lost, the requests go on).

// Opens the channel of application app (at most 63 characters); writes the
// channel id (never 0) through channel and announces mailbox (the
// application's message-library mailbox, any value) as the channel's
// receive mailbox. Returns 0 or a fault code: TR69_ERR_CONNECT when no
// agent listens, the agent's fault when it refuses, TR69_ERR_CHANNEL when
// it does not accept the connection or answer within TR69_OPEN_TIMEOUT_MS,
// or answers wrongly.
int tr69_open_channel_use_rx_mbx(const char* app, int32_t* channel, int mailbox);
// Registers one parameter entry: name (without instance placeholders, at
// most 259 characters), its flags, id, type and the address of its handler
// block. The block is read up to its end mark (TR69_END_MARK) and at most
// TR69_HANDLER_BLOCK_WORDS words; words after the end mark go to the agent
// as 0. Returns 0 or a fault code (the agent's, or TR69_ERR_REFUSED for a
// name that does not fit).
int tr69_register_entry(const char* name, uint32_t flags, uint32_t id, uint32_t type,
                        const uint32_t* handler_block, int32_t* channel);
// Registers the rows of an atomicity table (ended by a row whose name is 0)
// as one whole: either all rows are registered or none. Each row's name
// reference is resolved with tr69_addr and sent as text. Returns 0, or a
// fault code with the failing row's address stored through failed_row
// (the first row when the agent names no row; TR69_ERR_REFUSED without
// asking the agent when a table has more than 8 rows or a row's name cannot
// be resolved or is too long).
int tr69_register_entries(const tr69_atomicity_row* table, int32_t* channel,
                          const tr69_atomicity_row** failed_row);
// Fills request with the next request of the agent. flag 1: wait without
// limit; any other flag: do not wait, TR69_ERR_AGAIN when none is waiting.
// The name and value_in fields always end with a zero byte.
// Returns 0, or a fault code when the channel failed (TR69_ERR_CHANNEL also
// when the agent closed it).
int tr69_rx_msg(tr69_request* request, int32_t* channel, int flag);
// Sends one reply. Returns 0, or a fault code.
int tr69_tx_msg(const tr69_reply* reply, int32_t* channel);
// Sends a value-change event: the 104-byte event code field and the 258-byte
// parameter record (name field and attribute byte). Safe while another
// thread waits in tr69_rx_msg on the same channel. Returns 0, or the
// negative of a fault code (-TR69_ERR_TIMEOUT: not taken, channel intact).
int tr69_notify_event(int32_t* channel, const char* event_code, const uint8_t* param);
