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

// Strict decimal conversion of a whole string to a signed 32-bit integer.
// Returns 0 and stores the value, or -1 and leaves *out unchanged.
int s_str_to_int(const char* s, int32_t* out);
