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
    char name[260];          // parameter name as the agent sent it, zero-terminated
    uint32_t handler;        // reference of the handler to run
    uint32_t id;             // id under which the entry was registered
    uint32_t echo;           // returned unchanged in the reply
    uint32_t status;         // 10000: not to be dispatched, no reply
    uint32_t instances[5];   // instance numbers, first is the outermost {i}
    char value_in[1792];     // input value of a write (attribute: first byte)
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
constexpr size_t TR69_EVENT_CODE_SIZE = 104;   // event code text field
constexpr size_t TR69_EVENT_NAME_SIZE = 257;   // parameter name text field
constexpr size_t TR69_EVENT_PARAM_SIZE = 258;  // name field + attribute byte

// Handler block of a parameter row: 11 words, starting at word 5 of the row.
constexpr size_t TR69_HANDLER_BLOCK_WORDS = 11;
constexpr uint32_t TR69_END_MARK = 0xFFFFFFFFu;

// One row of an atomicity table (tr69_register_entries); a row whose name is
// 0 ends the table.
struct tr69_atomicity_row {
    uint32_t name;     // reference of the entry name text
    uint32_t flags;
    uint32_t id;
    uint32_t type;
    uint32_t handler;  // reference of the handler
    uint32_t end;      // TR69_END_MARK
    uint32_t reserved[8];
};
static_assert(sizeof(tr69_atomicity_row) == 56);
static_assert(offsetof(tr69_atomicity_row, handler) == 16);
static_assert(offsetof(tr69_atomicity_row, end) == 20);

// References for addresses. tr69_ref returns the same reference for the
// same address; at most TR69_REF_MAX different addresses can be held.
// Safe to call from any thread, including during static initialisation.
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
constexpr int TR69_ERR_CONNECT = 9001;   // no agent to connect to
constexpr int TR69_ERR_CHANNEL = 9003;   // unknown or broken channel
constexpr int TR69_ERR_REFUSED = 9004;   // the agent refused the request

// Opens the channel of application app; writes the channel id through
// channel and uses mailbox (the application's message-library mailbox) as the
// channel's receive mailbox id, announced to the agent. Returns 0 or a fault code.
int tr69_open_channel_use_rx_mbx(const char* app, int32_t* channel, int mailbox);
// Registers one parameter entry: name (without instance placeholders), its
// flags, id, type and the address of its handler block. Returns 0 or a fault code.
int tr69_register_entry(const char* name, uint32_t flags, uint32_t id, uint32_t type,
                        const uint32_t* handler_block, int32_t* channel);
// Registers the rows of an atomicity table (ended by a row whose name is 0).
// Returns 0, or a fault code with the failing row's address stored through failed_row.
int tr69_register_entries(const tr69_atomicity_row* table, int32_t* channel,
                          const tr69_atomicity_row** failed_row);
// Waits for the next request and fills request. flag 1: wait without limit.
// Returns 0, or a fault code when the channel failed.
int tr69_rx_msg(tr69_request* request, int32_t* channel, int flag);
// Sends one reply. Returns 0, or a fault code.
int tr69_tx_msg(const tr69_reply* reply, int32_t* channel);
// Sends a value-change event: the 104-byte event code field and the 258-byte
// parameter record (name field and attribute byte). Safe while another
// thread waits in tr69_rx_msg on the same channel. Returns 0, or a negative
// value on failure.
int tr69_notify_event(int32_t* channel, const char* event_code, const uint8_t* param);
