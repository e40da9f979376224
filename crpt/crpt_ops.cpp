// Pass-through rule operations: switch a rule on or off, point it at a new
// device address, delete it, and read back its ports, address and state.
//
// Each operation opens its own handle, tests or reads, writes or deletes,
// and closes the handle: with reconfiguration after a successful change so
// that the gateway applies it, without after reads and failures. A step
// whose connection broke is a database failure (-11), never an absent rule.
#include "crpt/crpt.h"

#include "db/tr111_db.h"
#include "main/tr111.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_crpt";

namespace {

constexpr size_t CRPT_IP_BUF = 16; // dotted IPv4 text and its terminator
constexpr int32_t CRPT_PORT_MAX = 65535;

struct Path {
    char s[80];
    Path(const char* fmt, int32_t rule) { snprintf(s, sizeof s, fmt, static_cast<int>(rule)); }
};
static_assert(sizeof(EXTERNAL_PORT_PATH) + 11 <= sizeof(Path::s));
static_assert(sizeof(PORT_MAPPING_INTERNAL_CLIENT_PATH) + 11 <= sizeof(Path::s));

bool broken(const tr111::DbHandle& db) {
    return db && db.get()->ipc_err != 0;
}

} // namespace

int crpt_enable(int32_t rule) {
    Path obj(OBJECT_PORTMAPPING_DEL_PATH, rule);
    TR111_INFOF("OBJECT_PORTMAPPING_DEL_PATH = %s \n", obj.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_DB;
    }
    if (!KX_DB_Is_Defined(db.get(), obj.s)) {
        if (broken(db)) {
            TR111_ERR("configuration database connection failed");
            return CRPT_ERR_DB;
        }
        TR111_INFO("PortMapping ID Not found");
        return CRPT_ERR_ABSENT;
    }
    Path enabled(PORT_MAPPING_ENABLE_PATH_PATH, rule);
    TR111_INFOF("PORT_MAPPING_ENABLE_PATH_PATH = %s \n", enabled.s);
    if (KX_DB_Set(db.get(), enabled.s, "1") != 0) {
        TR111_ERR("Set Enable portMapping failed");
        return CRPT_ERR_DB;
    }
    db.close_set();
    return 0;
}

int crpt_disable(int32_t rule) {
    Path obj(OBJECT_PORTMAPPING_DEL_PATH, rule);
    TR111_INFOF("OBJECT_PORTMAPPING_DEL_PATH = %s \n", obj.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_DB;
    }
    if (!KX_DB_Is_Defined(db.get(), obj.s)) {
        if (broken(db)) {
            TR111_ERR("configuration database connection failed");
            return CRPT_ERR_DB;
        }
        TR111_ERR("PortMapping ID Not found");
        return CRPT_ERR_ABSENT;
    }
    Path enabled(PORT_MAPPING_ENABLE_PATH_PATH, rule);
    TR111_INFOF("PORT_MAPPING_ENABLE_PATH_PATH = %s \n", enabled.s);
    int rc = KX_DB_Set(db.get(), enabled.s, "0");
    // Closed for writing whatever the outcome: a failed write has marked the
    // handle failed, and that close sends nothing.
    db.close_set();
    if (rc != 0) {
        TR111_ERR("Disable portMapping rule failed");
        return CRPT_ERR_DB;
    }
    return 0;
}

int crpt_set_dev_ip(int32_t rule, const char* ip) {
    Path enabled(PORT_MAPPING_ENABLE_PATH_PATH, rule);
    TR111_INFOF("PORT_MAPPING_ENABLE_PATH_PATH = %s \n", enabled.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_DB;
    }
    if (!KX_DB_Is_Defined(db.get(), enabled.s)) {
        if (broken(db)) {
            TR111_ERR("configuration database connection failed");
            return CRPT_ERR_DB;
        }
        TR111_INFO("PortMapping ID Not found");
        return CRPT_ERR_ABSENT;
    }
    Path host(PORT_MAPPING_INTERNAL_CLIENT_PATH, rule);
    TR111_INFOF("Internal Client_PATH = %s \n", host.s);
    if (KX_DB_Set(db.get(), host.s, ip) != 0) {
        TR111_ERR("Set InternalClient_PATH failed");
        return CRPT_ERR_DB;
    }
    db.close_set();
    return 0;
}

// Deletes the rule with its whole subtree. A delete that never reached the
// server (broken connection) is a failure, so the caller keeps the rule id.
int crpt_remove(int32_t rule) {
    Path obj(OBJECT_PORTMAPPING_DEL_PATH, rule);
    TR111_INFOF("OBJECT_PORTMAPPING_DEL_PATH = %s \n", obj.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_DB;
    }
    if (!KX_DB_Is_Defined(db.get(), obj.s)) {
        if (broken(db)) {
            TR111_ERR("configuration database connection failed");
            return CRPT_ERR_DB;
        }
        TR111_INFO("PortMapping rule not found");
        return CRPT_ERR_ABSENT;
    }
    KX_DB_Delete(db.get(), obj.s);
    if (broken(db)) {
        TR111_ERRF("connection failed while deleting %s\n", obj.s);
        return CRPT_ERR_DB;
    }
    db.close_set();
    return 0;
}

int crpt_get_lan_port(int32_t rule) {
    errno = 0;
    Path from(INTERNAL_PORT_PATH, rule);
    TR111_INFOF("Internal client path = %s \n", from.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_DB;
    }
    if (!KX_DB_Is_Defined(db.get(), from.s)) {
        if (broken(db)) {
            TR111_ERR("configuration database connection failed");
            return CRPT_ERR_DB;
        }
        TR111_INFO("PortMapping rule not found");
        return CRPT_ERR_ABSENT;
    }
    tr111::DbString v(TR111_KX_DB_Get(db.get(), from.s));
    bool failed = broken(db);
    db.close_get();
    if (failed) {
        TR111_ERR("configuration database connection failed");
        return CRPT_ERR_DB;
    }
    if (!v) {
        TR111_INFO("CRPT not found");
        return CRPT_ERR_ABSENT;
    }
    int32_t port = 0;
    // A port out of 0..65535 is as invalid as a non-number, and a negative
    // one would read as a result code.
    if (s_str_to_int(v.get(), &port) != 0 || port < 0 || port > CRPT_PORT_MAX) {
        TR111_ERR("Invalid port wan value");
        return CRPT_ERR_DB;
    }
    return port;
}

int crpt_get_wan_port(int32_t rule) {
    errno = 0;
    Path start(EXTERNAL_PORT_PATH, rule);
    TR111_INFOF("External port path= %s \n", start.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_DB;
    }
    tr111::DbString v(TR111_KX_DB_Get(db.get(), start.s));
    bool failed = broken(db);
    db.close_get();
    if (failed) {
        TR111_ERR("configuration database connection failed");
        return CRPT_ERR_DB;
    }
    if (!v) {
        TR111_ERRF("Port mapping rule with id :%d not found\n", static_cast<int>(rule));
        return CRPT_ERR_ABSENT;
    }
    int32_t port = 0;
    // A port out of 0..65535 is as invalid as a non-number, and a negative
    // one would read as a result code.
    if (s_str_to_int(v.get(), &port) != 0 || port < 0 || port > CRPT_PORT_MAX) {
        TR111_ERR("Invalid port wan value ");
        return CRPT_ERR_DB;
    }
    return port;
}

// Copies the rule's device address into out (16 bytes, zero-filled behind
// the text). A stored text of 16 characters or more is not a dotted IPv4
// address and would leave out unterminated: it is refused as -11.
int crpt_get_dev_ip(int32_t rule, char* out) {
    Path host(PORT_MAPPING_INTERNAL_CLIENT_PATH, rule);
    TR111_INFOF("Port mapping internal client path = %s \n", host.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_DB;
    }
    tr111::DbString v(TR111_KX_DB_Get(db.get(), host.s));
    bool failed = broken(db);
    db.close_get();
    if (failed) {
        TR111_ERR("configuration database connection failed");
        return CRPT_ERR_DB;
    }
    if (!v) {
        TR111_INFO("CRPT not found");
        return CRPT_ERR_ABSENT;
    }
    size_t n = strnlen(v.get(), CRPT_IP_BUF);
    if (n >= CRPT_IP_BUF) {
        TR111_ERRF("device address of rule %d longer than %d characters\n", static_cast<int>(rule),
                   static_cast<int>(CRPT_IP_BUF - 1));
        return CRPT_ERR_DB;
    }
    memset(out, 0, CRPT_IP_BUF);
    memcpy(out, v.get(), n);
    return 0;
}

int crpt_is_enabled(int32_t rule) {
    errno = 0;
    Path enabled(PORT_MAPPING_ENABLE_PATH_PATH, rule);
    TR111_INFOF("PORT_MAPPING_ENABLE_PATH_PATH = %s \n", enabled.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_DB;
    }
    tr111::DbString v(TR111_KX_DB_Get(db.get(), enabled.s));
    bool failed = broken(db);
    db.close_get();
    if (failed) {
        TR111_ERR("configuration database connection failed");
        return CRPT_ERR_DB;
    }
    if (!v) return CRPT_ERR_ABSENT;
    int32_t value = 0;
    if (s_str_to_int(v.get(), &value) != 0) {
        TR111_ERR("Invalid port wan value ");
        return CRPT_ERR_DB;
    }
    return value;
}
