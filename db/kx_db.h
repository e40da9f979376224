// Configuration-database client: one handle is one connection to the
// configuration server on port 7000; every operation is a short ordered
// exchange of items on it. The first failing step of any operation makes
// the handle's ipc_err non-zero for good, after which every operation is
// refused without touching the connection.
#pragma once

#include <cstdint>

constexpr uint16_t KX_DB_PORT = 7000;

// Database kinds.
constexpr uint32_t KX_DB_MAIN = 0;    // main (persistent) configuration
constexpr uint32_t KX_DB_RAM = 1;     // RAM (volatile) configuration
constexpr uint32_t KX_DB_PRIV = 2;    // private configuration
constexpr uint32_t KX_DB_FACTORY = 3; // factory settings

struct KX_DB_handle {
    int32_t ipc;      // connection descriptor
    uint32_t ipc_err; // sticky error flag
    uint32_t kind;    // database kind
};
static_assert(sizeof(KX_DB_handle) == 12);

// Command names by kind and operation (read, write, delete, create path).
enum { KX_DB_CMD_READ, KX_DB_CMD_WRITE, KX_DB_CMD_DELETE, KX_DB_CMD_CREATE, KX_DB_CMD_COUNT };
extern const char* const KX_DB_cmd_names[4][KX_DB_CMD_COUNT];

KX_DB_handle* KX_DB_Open(uint32_t kind);
char* KX_DB_Get(KX_DB_handle* h, const char* path);
int KX_DB_Is_Defined(KX_DB_handle* h, const char* path);
int KX_DB_Set(KX_DB_handle* h, const char* path, const char* value);
void KX_DB_Delete(KX_DB_handle* h, const char* path);
void KX_DB_Close_Reconf(KX_DB_handle* h, int reconf);

uint32_t KX_get_set(KX_DB_handle* h, const char* path);
uint32_t KX_set_get_son(KX_DB_handle* h, uint32_t set, int index);
uint32_t KX_set_get_next(KX_DB_handle* h, uint32_t node);
uint32_t KX_set_get_nsons(KX_DB_handle* h, uint32_t set);
char* KX_set_get_value(KX_DB_handle* h, uint32_t node);

// Pipelined reads. A batch holds up to KX_DB_BATCH_MAX read requests
// (value reads, son and value requests of a set walk) that do not depend on
// each other's replies. KX_DB_Batch_Run writes every request's items, the
// very items its single operation writes, then reads the replies in order
// and turns each into what that operation returns: one wait for the whole
// batch instead of one per request. A request its single operation would
// refuse (son of set 0, value of node 0) is not sent and yields 0 or null.
// The bound keeps the requests of a batch (at most KX_DB_BATCH_ARG bytes of
// argument each, a few KiB together) within the socket buffers, so that
// writing them never waits for the server, which may stop reading while
// its replies wait to be read.
constexpr uint32_t KX_DB_BATCH_MAX = 64;
constexpr uint32_t KX_DB_BATCH_ARG = 80;

struct KX_DB_batch {
    uint32_t n; // requests queued
    struct {
        uint8_t op;
        char arg[KX_DB_BATCH_ARG]; // the request's second item
        char* text;                // value read or son's value: heap, owned until taken
        uint32_t node;             // son request: the son's set handle
    } req[KX_DB_BATCH_MAX];
};

void KX_DB_Batch_Init(KX_DB_batch* b);
// Queue a request; its slot, or -1 when the batch is full or the path does
// not fit (null path included).
int KX_DB_Batch_Get(KX_DB_batch* b, const char* path);
int KX_DB_Batch_Son(KX_DB_batch* b, uint32_t set, int index);
int KX_DB_Batch_Value(KX_DB_batch* b, uint32_t node);
// Sends the queued requests and reads their replies. 0 when every request
// was answered; -1 when a step failed (the handle is then failed and every
// result of the batch is 0 or null).
int KX_DB_Batch_Run(KX_DB_handle* h, KX_DB_batch* b);
// The text of a value or son-value slot, handed to the caller (who frees
// it), or null.
char* KX_DB_Batch_Take(KX_DB_batch* b, int slot);
// The set handle a son slot got, or 0.
uint32_t KX_DB_Batch_Node(const KX_DB_batch* b, int slot);
// Frees the texts not taken and empties the batch for reuse.
void KX_DB_Batch_Clear(KX_DB_batch* b);

// Strict decimal conversion of a whole string to a signed 32-bit integer.
// Returns 0 and stores the value, or -1 and leaves *out unchanged.
int s_str_to_int(const char* s, int32_t* out);
