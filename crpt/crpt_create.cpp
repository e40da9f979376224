// Pass-through rule creation: a port-mapping rule under
// /fw/rule/loc_srv/<id>/ that forwards one free WAN port of 30000..40000 to
// the device's connection-request port. The rule is born disabled.
//
// One pass over the rule set, on one handle, finds the ids taken and every
// WAN port a rule holds (its whole dst/start..dst/end range, whatever its
// id); a pass over the device records on the same handle adds the ids
// their Crpt_Id names, so that a rule deleted behind its device's back
// never has its id handed to another device. Both passes read in pipelined
// batches. The instance list is fetched once: a rule it names that the pass
// did not see (created meanwhile) has its ports read too, and a list that
// cannot be obtained fails the creation. The search for the first free port
// then costs no connection. The new id is one above the highest taken
// while that fits the instance list (0..254), else the lowest free one. The
// eight keys go out on one handle, closed with reconfiguration only when
// all eight went out, so the server never applies a half-written rule.
#include "crpt/crpt.h"

#include "db/tr111_db.h"
#include "main/tr111.h"
#include "registry/md.h"

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

bool bit(const uint8_t* bits, int i) {
    return (bits[i / 8] >> (i % 8)) & 1;
}
void set_bit(uint8_t* bits, int i) {
    bits[i / 8] = static_cast<uint8_t>(bits[i / 8] | (1u << (i % 8)));
}

// A port read from a rule (the text of its key): a number of 0..65535, or -1.
int32_t port_value(const char* text) {
    int32_t port = -1;
    if (!text || s_str_to_int(text, &port) != 0 || port < 0 || port > 65535) return -1;
    return port;
}

// Records the WAN ports the rule holds: dst/start to dst/end, or dst/start
// alone when dst/end is missing, invalid or below it. A rule without a
// readable dst/start holds no port.
void record_ports(const char* start, const char* end, crpt_rule_scan* scan) {
    int32_t first = port_value(start);
    if (first < 0) return;
    int32_t last = port_value(end);
    if (last < first) last = first;
    for (int32_t p = first < CRPT_WAN_PORT_FIRST ? CRPT_WAN_PORT_FIRST : first;
         p <= last && p <= CRPT_WAN_PORT_LAST; ++p)
        set_bit(scan->ports, p - CRPT_WAN_PORT_FIRST);
}

// Reads the ports of one rule on h and records them. False when the
// connection broke.
bool read_ports(KX_DB_handle* h, int32_t rule, crpt_rule_scan* scan) {
    char start[96], end[96];
    snprintf(start, sizeof start, EXTERNAL_PORT_PATH, static_cast<int>(rule));
    snprintf(end, sizeof end, EXTERNAL_PORT_PATH_END, static_cast<int>(rule));
    tr111::DbString first(TR111_KX_DB_Get(h, start));
    tr111::DbString last(TR111_KX_DB_Get(h, end));
    if (h->ipc_err != 0) return false;
    record_ports(first.get(), last.get(), scan);
    return true;
}

} // namespace

// The walks go on one handle, each son's key and each rule's ports read in
// pipelined batches. With a scan, the rule ids the device records name
// (their Crpt_Id) count as taken too, even when no such rule exists any
// more, and as the highest when above every rule's: a new rule never
// takes the id a device still names.
int crpt_maxPortMappingId(crpt_rule_scan* scan) {
    errno = 0;
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return CRPT_ERR_DB;
    }
    uint32_t set = KX_get_set(db.get(), CRPT_ENTITY);
    if (set == 0 && broken(db)) {
        // A broken connection is not an empty firewall: id 0 might be taken.
        TR111_ERR("configuration database connection failed");
        return CRPT_ERR_DB;
    }
    if (set == 0) TR111_INFO("There is no set for /fw/rule/loc_srv ");
    static const char* const ports[] = {EXTERNAL_PORT_PATH, EXTERNAL_PORT_PATH_END};
    int32_t max = -1;
    bool failed = false;
    {
        tr111::SetWalk walk(db.get(), set, ports, scan ? 2 : 0);
        while (walk.next()) {
            int32_t id = 0;
            if (s_str_to_int(walk.key(), &id) != 0) {
                TR111_ERR("Invalid port wan value ");
                return CRPT_ERR_DB;
            }
            if (id >= max) max = id;
            if (!scan) continue;
            if (id >= 0 && id <= CRPT_ID_MAX) set_bit(scan->ids, id);
            record_ports(walk.value(0), walk.value(1), scan);
        }
        failed = walk.failed();
    }
    if (scan && !failed) {
        static const char* const named[] = {DB_MANAGEABLE_DEVICE_CRPT_PATH};
        tr111::SetWalk walk(db.get(), KX_get_set(db.get(), DB_MANAGEABLE_DEVICE_SET), named, 1);
        while (walk.next()) {
            int32_t rule = -1;
            if (s_str_to_int(walk.value(0), &rule) != 0 || rule < 0 || rule > CRPT_ID_MAX ||
                bit(scan->ids, rule))
                continue;
            TR111_INFOF("device %s names rule %d, which no rule holds: that id stays taken\n",
                        walk.key(), static_cast<int>(rule));
            set_bit(scan->ids, rule);
            if (rule > max) max = rule;
        }
        failed = walk.failed();
    }
    // A walk cut short would hand out an id or a port that may be in use.
    if (failed || broken(db)) {
        TR111_ERR("configuration database connection failed");
        return CRPT_ERR_DB;
    }
    db.close_get();
    return set == 0 && max < 0 ? CRPT_ERR_ABSENT : max;
}

int crpt_port_wan_is_used(int port, crpt_rule_scan* scan) {
    if (!scan->listed) {
        char list[CRPT_INSTANCE_LIST];
        memset(list, 0, sizeof list);
        int rc = entity_get_instance_nbr(CRPT_ENTITY, list);
        if (rc != 0) {
            TR111_ERRF("Entity_get_instance_nbr code error:%d \n", rc);
            return CRPT_ERR_DB;
        }
        for (size_t i = 0; i < sizeof list && list[i] != '\0'; ++i) {
            int rule = static_cast<unsigned char>(list[i]) - 1;
            if (bit(scan->ids, rule)) continue;
            // Created after the pass over the rule set: its ports too.
            tr111::DbHandle db(KX_DB_MAIN);
            if (!db || !read_ports(db.get(), rule, scan)) {
                TR111_ERRF("Port mapping rule with id :%d not readable\n", rule);
                return CRPT_ERR_DB;
            }
            set_bit(scan->ids, rule);
        }
        scan->listed = true;
    }
    if (port < CRPT_WAN_PORT_FIRST || port > CRPT_WAN_PORT_LAST ||
        !bit(scan->ports, port - CRPT_WAN_PORT_FIRST))
        return CRPT_PORT_FREE;
    TR111_INFOF("Port wan nb: %d in use \n", port);
    return CRPT_PORT_USED;
}

int crpt_create(uint32_t lan_port, const char* dev_ip) {
    crpt_rule_scan scan;
    memset(&scan, 0, sizeof scan);
    int max = crpt_maxPortMappingId(&scan);
    if (max == CRPT_ERR_DB) return CRPT_ERR_DB;
    // One above the highest while its instance number fits one byte of the
    // instance list; past that, the lowest id no rule holds.
    int rule = max == CRPT_ERR_ABSENT ? 0 : max + 1;
    if (max >= CRPT_ID_MAX) {
        rule = 0;
        while (rule <= CRPT_ID_MAX && bit(scan.ids, rule))
            ++rule;
        if (rule > CRPT_ID_MAX) {
            TR111_ERRF("No free port mapping rule id from 0 to %d\n", CRPT_ID_MAX);
            return CRPT_ERR_CREATE;
        }
    }

    int port = CRPT_WAN_PORT_FIRST;
    bool chosen = false;
    char port_text[12];
    for (; port <= CRPT_WAN_PORT_LAST; ++port) {
        snprintf(port_text, sizeof port_text, "%d", port);
        TR111_INFOF("Port WAN = %s \n", port_text);
        int used = crpt_port_wan_is_used(port, &scan);
        if (used == CRPT_PORT_FREE) {
            TR111_INFOF("Port Wan = %s not used\n", port_text);
            chosen = true;
            break;
        }
        // No instance list: no port can be known to be free.
        if (used == CRPT_ERR_DB) break;
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
