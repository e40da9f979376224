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
#include <cstring>
#include <utility>

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

// A reply naming a set handle in "%x" (consumed): the handle, 0 for none.
uint32_t node_of_reply(char* reply) {
    if (!reply) return 0;
    unsigned int node = 0;
    if (sscanf(reply, "%x", &node) != 1) node = 0;
    free(reply);
    return node;
}

// The reply to a read (consumed): a serialized set describing the path,
// empty when it does not exist. A heap copy of its value, or null.
char* value_of_reply(char* reply) {
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

// One request carrying a set handle, answered by a set handle in "%x".
uint32_t node_request(KX_DB_handle* h, const char* cmd, const char* arg) {
    if (!write_str(h, cmd) || !write_str(h, arg)) return 0;
    return node_of_reply(read_str(h));
}

// Batch requests and the command each writes first.
enum : uint8_t { BATCH_GET, BATCH_SON, BATCH_VALUE, BATCH_REFUSED };

const char* batch_command(const KX_DB_handle* h, uint8_t op) {
    switch (op) {
    case BATCH_GET:
        return command(h, KX_DB_CMD_READ);
    case BATCH_SON:
        return "rg_conf_set_get_son";
    case BATCH_VALUE:
        return "rg_conf_set_get_value";
    default:
        return nullptr;
    }
}

// Queues a request whose second item is arg; its slot, or -1.
int batch_add(KX_DB_batch* b, uint8_t op, const char* arg) {
    if (b->n >= KX_DB_BATCH_MAX || !arg) return -1;
    auto& r = b->req[b->n];
    size_t len = strlen(arg);
    if (len >= sizeof r.arg) return -1;
    memcpy(r.arg, arg, len + 1);
    r.op = op;
    r.text = nullptr;
    r.node = 0;
    return static_cast<int>(b->n++);
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
    return value_of_reply(read_str(h));
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

void KX_DB_Batch_Init(KX_DB_batch* b) {
    b->n = 0;
}

int KX_DB_Batch_Get(KX_DB_batch* b, const char* path) {
    return batch_add(b, BATCH_GET, path);
}

int KX_DB_Batch_Son(KX_DB_batch* b, uint32_t set, int index) {
    char arg[32];
    snprintf(arg, sizeof arg, "%" PRIx32 " %d", set, index);
    return batch_add(b, set == 0 ? BATCH_REFUSED : BATCH_SON, arg);
}

int KX_DB_Batch_Value(KX_DB_batch* b, uint32_t node) {
    char arg[16];
    snprintf(arg, sizeof arg, "%" PRIx32, node);
    return batch_add(b, node == 0 ? BATCH_REFUSED : BATCH_VALUE, arg);
}

int KX_DB_Batch_Run(KX_DB_handle* h, KX_DB_batch* b) {
    if (!h) return -1;
    for (uint32_t i = 0; i < b->n; ++i) {
        auto& r = b->req[i];
        if (r.op != BATCH_REFUSED &&
            (!write_str(h, batch_command(h, r.op)) || !write_str(h, r.arg)))
            break;
    }
    for (uint32_t i = 0; i < b->n && h->ipc_err == 0; ++i) {
        auto& r = b->req[i];
        if (r.op == BATCH_REFUSED) continue;
        char* reply = read_str(h);
        if (r.op == BATCH_GET)
            r.text = value_of_reply(reply);
        else if (r.op == BATCH_SON)
            r.node = node_of_reply(reply);
        else
            r.text = reply;
    }
    if (h->ipc_err == 0) return 0;
    // Half a batch is no answer: every result goes.
    for (uint32_t i = 0; i < b->n; ++i) {
        free(std::exchange(b->req[i].text, nullptr));
        b->req[i].node = 0;
    }
    return -1;
}

char* KX_DB_Batch_Take(KX_DB_batch* b, int slot) {
    if (slot < 0 || static_cast<uint32_t>(slot) >= b->n) return nullptr;
    return std::exchange(b->req[slot].text, nullptr);
}

uint32_t KX_DB_Batch_Node(const KX_DB_batch* b, int slot) {
    if (slot < 0 || static_cast<uint32_t>(slot) >= b->n) return 0;
    return b->req[slot].node;
}

void KX_DB_Batch_Clear(KX_DB_batch* b) {
    for (uint32_t i = 0; i < b->n; ++i)
        free(std::exchange(b->req[i].text, nullptr));
    b->n = 0;
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
