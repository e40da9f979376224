// Pass-through rule creation: a port-mapping rule under
// /fw/rule/loc_srv/<id>/ that forwards one free WAN port of 30000..40000 to
// the device's connection-request port. The rule is born disabled.
//
// Three steps, each on connections of its own: the next rule id (one above
// the highest present), the first WAN port that no rule holds (tested
// through the entity's instance list and each rule's first external port),
// then the eight keys on one handle, closed with reconfiguration only when
// all eight went out, so the server never applies a half-written rule.
#include "crpt/crpt.h"

#include "db/tr111_db.h"
#include "main/tr111.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_crpt";

namespace {

constexpr size_t CRPT_INSTANCE_LIST = 256;

struct RuleKey {
    const char* fmt;   // path format of the key
    const char* name;  // name in the informational line
    const char* error; // plain error line when the write fails, or null
};

// The keys of a new rule in the order they are written; the first one's
// error line carries the path and is printed on its own.
constexpr RuleKey RULE_KEYS[] = {
    {EXTERNAL_PORT_PATH, "EXTERNAL_PORT_PATH", nullptr},
    {EXTERNAL_PORT_PATH_END, "EXTERNAL_PORT_PATH_END", nullptr},
    {INTERNAL_PORT_PATH, "INTERNAL_PORT_PATH", "Unable to set_DB_port_lan\r"},
    {INTERNAL_PORT_END_PATH, "INTERNAL_PORT_END_PATH", "ERROR in set_DB_port_lan\r"},
    {DB_PROTOCOL_PATH, "DB_PROTOCOL_PATH", "ERROR in set_DB_port_wan\r"},
    {DESCRIPTION_PATH, "DESCRIPTION_PATH", "Unable to set DB_DESCRIPTION_PATH\r"},
    {PORT_MAPPING_ENABLE_PATH_PATH, "PORT_MAPPING_ENABLE_PATH_PATH",
     "Unable to set DB_PORT_MAPPING_ENABLE_PATH_PATH\r"},
    {PORT_MAPPING_INTERNAL_CLIENT_PATH, "PORT_MAPPING_INTERNAL_CLIENT_PATH",
     "Unable to set DB_PORT_MAPPING_INTERNAL_CLIENT_PATH\r"},
};
static_assert(sizeof RULE_KEYS / sizeof RULE_KEYS[0] == 8);
static_assert(sizeof(EXTERNAL_PORT_PATH_END) + 11 <= 96);

bool broken(const tr111::DbHandle& db) {
    return db && db.get()->ipc_err != 0;
}

} // namespace

int crpt_maxPortMappingId() {
    errno = 0;
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_DB;
    }
    uint32_t set = KX_get_set(db.get(), CRPT_ENTITY);
    if (set == 0) {
        // A broken connection is not an empty firewall: id 0 might be taken.
        if (broken(db)) {
            TR111_ERR("configuration database connection failed");
            return CRPT_ERR_DB;
        }
        TR111_INFO("There is no set for /fw/rule/loc_srv ");
        return CRPT_ERR_ABSENT;
    }
    int32_t max = -1;
    for (uint32_t node = KX_set_get_son(db.get(), set, 0); node != 0;
         node = KX_set_get_next(db.get(), node)) {
        tr111::DbString key(KX_set_get_value(db.get(), node));
        int32_t id = 0;
        if (!key || s_str_to_int(key.get(), &id) != 0) {
            TR111_ERR("Invalid port wan value ");
            return CRPT_ERR_DB;
        }
        if (id >= max) max = id;
    }
    // A walk cut short would hand out an id that may already be in use.
    if (broken(db)) {
        TR111_ERR("configuration database connection failed");
        return CRPT_ERR_DB;
    }
    db.close_get();
    return max;
}

int crpt_port_wan_is_used(int port) {
    char list[CRPT_INSTANCE_LIST];
    memset(list, 0, sizeof list);
    int rc = entity_get_instance_nbr(CRPT_ENTITY, list);
    if (rc != 0) {
        TR111_ERRF("Entity_get_instance_nbr code error:%d \n", rc);
        return CRPT_ERR_DB;
    }
    for (size_t i = 0; i < sizeof list && list[i] != '\0'; ++i) {
        int rule = static_cast<unsigned char>(list[i]) - 1;
        if (crpt_get_wan_port(rule) == port) {
            TR111_INFOF("Port wan nb: %d in use \n", port);
            return CRPT_PORT_USED;
        }
    }
    return CRPT_PORT_FREE;
}

int crpt_create(uint32_t lan_port, const char* dev_ip) {
    int max = crpt_maxPortMappingId();
    if (max == CRPT_ERR_DB) return CRPT_ERR_DB;
    // A rule id above 254 is handed out like any other, but its instance
    // number does not fit the one-byte instance list: the port search does
    // not see it. Only the last id of all cannot be followed.
    if (max == INT32_MAX) return CRPT_ERR_CREATE;
    int rule = max == CRPT_ERR_ABSENT ? 0 : max + 1;

    int port = CRPT_WAN_PORT_FIRST;
    bool chosen = false;
    char port_text[12];
    for (; port <= CRPT_WAN_PORT_LAST; ++port) {
        snprintf(port_text, sizeof port_text, "%d", port);
        TR111_INFOF("Port WAN = %s \n", port_text);
        if (crpt_port_wan_is_used(port) == CRPT_PORT_FREE) {
            TR111_INFOF("Port Wan = %s not used\n", port_text);
            chosen = true;
            break;
        }
    }
    if (!chosen) {
        TR111_ERR("All Wan port numbers in range are in use");
        return CRPT_ERR_CREATE;
    }

    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_CREATE;
    }
    char lan_text[12];
    snprintf(lan_text, sizeof lan_text, "%u", static_cast<unsigned>(lan_port));
    const char* values[] = {port_text, port_text, lan_text, lan_text, "6", "", "0", dev_ip};
    static_assert(sizeof values / sizeof values[0] == sizeof RULE_KEYS / sizeof RULE_KEYS[0]);
    for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i) {
        char path[96];
        snprintf(path, sizeof path, RULE_KEYS[i].fmt, rule);
        TR111_INFOF("%s = %s \n", RULE_KEYS[i].name, path);
        if (KX_DB_Set(db.get(), path, values[i]) != 0) {
            // The keys written so far stay; the handle closes without
            // reconfiguration (the destructor), so nothing is applied.
            if (i == 0)
                TR111_ERRF("Set external port value in DB failed path:%s\n", path);
            else if (RULE_KEYS[i].error)
                TR111_ERR(RULE_KEYS[i].error);
            return CRPT_ERR_CREATE;
        }
    }
    db.close_set();
    TR111_INFOF("Port mapping rule created with id=%d\n", rule);
    return rule;
}
