// Configuration-database client: handles, reads, writes, deletes, set walks
// and closes, each a short ordered exchange of items with the server.
#include "db/kx_db.h"

#include "platform/include/alloc.h"
#include "platform/include/ipc.h"
#include "platform/include/set.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>

const char* const KX_DB_cmd_names[4][KX_DB_CMD_COUNT] = {
    {"rg_conf_get_exist", "rg_conf_set_path_value", "rg_conf_set_free", "rg_conf_set_set_path"},
    {"rg_conf_ram_get_exist", "rg_conf_ram_set_path_value", "rg_conf_ram_set_free",
     "rg_conf_ram_set_set_path"},
    {"rg_conf_priv_get_exist", "rg_conf_priv_set_path_value", "rg_conf_priv_set_free",
     "rg_conf_priv_set_set_path"},
    {"rg_factory_get_exist", "rg_factory_set_value", "rg_factory_free", nullptr},
};

namespace {

constexpr int KX_DB_ALLOC_TAG = 514;

// The command of the handle's kind; null for a kind outside 0 to 3 or a
// missing entry, which the callers treat as a failed step.
const char* command(const KX_DB_handle* h, int op) {
    return h->kind < 4 ? KX_DB_cmd_names[h->kind][op] : nullptr;
}

// Each step runs only while the handle is healthy; a failed step marks it
// failed for good.
bool write_str(KX_DB_handle* h, const char* s) {
    if (h->ipc_err) return false;
    if (!s || ipc_string_write(h->ipc, s) != 0) h->ipc_err = 1;
    return h->ipc_err == 0;
}

bool write_u32(KX_DB_handle* h, uint32_t v) {
    if (h->ipc_err) return false;
    if (ipc_u32_write(h->ipc, v) != 0) h->ipc_err = 1;
    return h->ipc_err == 0;
}

char* read_str(KX_DB_handle* h) {
    if (h->ipc_err) return nullptr;
    char* s = ipc_string_read(h->ipc);
    if (!s) h->ipc_err = 1;
    return s;
}

// One request carrying a set handle, answered by a set handle in "%x".
uint32_t node_request(KX_DB_handle* h, const char* cmd, const char* arg) {
    if (!write_str(h, cmd) || !write_str(h, arg)) return 0;
    char* reply = read_str(h);
    if (!reply) return 0;
    unsigned int node = 0;
    if (sscanf(reply, "%x", &node) != 1) node = 0;
    free(reply);
    return node;
}

} // namespace

KX_DB_handle* KX_DB_Open(uint32_t kind) {
    int fd = ipc_connect(KX_DB_PORT);
    if (fd < 0) return nullptr;
    auto* h = static_cast<KX_DB_handle*>(malloc_log(KX_DB_ALLOC_TAG, sizeof(KX_DB_handle)));
    if (!h) {
        ipc_client_close(fd, 1);
        return nullptr;
    }
    h->ipc = fd;
    h->ipc_err = 0;
    h->kind = kind;
    return h;
}

char* KX_DB_Get(KX_DB_handle* h, const char* path) {
    if (!h || h->ipc_err || !path) return nullptr;
    if (!write_str(h, command(h, KX_DB_CMD_READ)) || !write_str(h, path)) return nullptr;
    char* reply = read_str(h);
    if (!reply) return nullptr;
    char* value = nullptr;
    if (reply[0] != '\0') {
        set_t* set = nullptr;
        if (set_read(reply, &set) == 0) value = strdup_n(set_son_get_str(set));
        set_free(&set);
    }
    free(reply);
    return value;
}

int KX_DB_Is_Defined(KX_DB_handle* h, const char* path) {
    char* value = KX_DB_Get(h, path);
    if (!value) return 0;
    free(value);
    return 1;
}

int KX_DB_Set(KX_DB_handle* h, const char* path, const char* value) {
    if (!h || h->ipc_err || !path || !value) return -1;
    write_str(h, command(h, KX_DB_CMD_WRITE)) && write_str(h, path) && write_str(h, value);
    return h->ipc_err == 0 ? 0 : -1;
}

void KX_DB_Delete(KX_DB_handle* h, const char* path) {
    if (!h || h->ipc_err || !path) return;
    write_str(h, command(h, KX_DB_CMD_DELETE)) && write_str(h, path);
}

void KX_DB_Close_Reconf(KX_DB_handle* h, int reconf) {
    if (!h) return;
    switch (h->kind) {
    case KX_DB_MAIN:
    case KX_DB_RAM:
    case KX_DB_PRIV:
        if (h->ipc_err == 0) {
            if (reconf) write_str(h, "reconf") && write_u32(h, h->kind == KX_DB_PRIV ? 2 : 4);
            h->ipc_err |= ipc_string_write(h->ipc, "close") != 0 ? 1u : 0u;
        }
        break;
    case KX_DB_FACTORY:
        h->ipc_err |= ipc_string_write(h->ipc, "close") != 0 ? 1u : 0u;
        break;
    default:
        break;
    }
    ipc_client_close(h->ipc, h->ipc_err);
    free(h);
}

// The set operations are given handles their callers have checked; a null
// one is still refused rather than followed.
uint32_t KX_get_set(KX_DB_handle* h, const char* path) {
    if (!h || h->ipc_err || !path) return 0;
    return node_request(h, h->kind == KX_DB_RAM ? "rg_conf_ram_get_set" : "rg_conf_get_set", path);
}

uint32_t KX_set_get_son(KX_DB_handle* h, uint32_t set, int index) {
    if (!h || h->ipc_err || set == 0) return 0;
    char arg[32];
    snprintf(arg, sizeof arg, "%" PRIx32 " %d", set, index);
    return node_request(h, "rg_conf_set_get_son", arg);
}

uint32_t KX_set_get_next(KX_DB_handle* h, uint32_t node) {
    if (!h || h->ipc_err || node == 0) return 0;
    char arg[16];
    snprintf(arg, sizeof arg, "%" PRIx32, node);
    return node_request(h, "rg_conf_set_get_next", arg);
}

uint32_t KX_set_get_nsons(KX_DB_handle* h, uint32_t set) {
    if (!h || h->ipc_err || set == 0) return 0;
    char arg[16];
    snprintf(arg, sizeof arg, "%" PRIx32, set);
    if (!write_str(h, "rg_conf_set_get_nsons") || !write_str(h, arg)) return 0;
    char* reply = read_str(h);
    if (!reply) return 0;
    int n = 0;
    if (sscanf(reply, "%d", &n) != 1 || n < 0) n = 0;
    free(reply);
    return static_cast<uint32_t>(n);
}

char* KX_set_get_value(KX_DB_handle* h, uint32_t node) {
    if (!h || h->ipc_err || node == 0) return nullptr;
    char arg[16];
    snprintf(arg, sizeof arg, "%" PRIx32, node);
    if (!write_str(h, "rg_conf_set_get_value") || !write_str(h, arg)) return nullptr;
    return read_str(h);
}

int s_str_to_int(const char* s, int32_t* out) {
    if (!s || !*s) return -1;
    char* end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno == ERANGE || *end != '\0' || end == s) return -1;
    if (v < INT32_MIN || v > INT32_MAX) return -1;
    *out = static_cast<int32_t>(v);
    return 0;
}
