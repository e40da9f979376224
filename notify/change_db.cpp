// Configuration-change handling: the management process reports every change
// of the configuration database that concerns the daemon as a CHANGE_DB
// message. Its payload is decoded into a change record (path, action,
// parameter text), the change is classified by its path, a DHCP lease is
// mapped to the manageable device that holds it, and the matching device or
// DHCP event is raised (registry/md_events.cpp) or a value-change
// notification is asked for (notify.cpp). Runs on the message library's
// receive thread; a message is handled completely before the callback
// returns.
#include "notify/notify.h"

#include "crpt/crpt.h"
#include "db/tr111_db.h"
#include "main/tr111.h"
#include "registry/md.h"
#include "tr69/tr69_dm.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_notif";

namespace {

// Payload layout: three TLVs, a type byte and a 32-bit length in host byte
// order each, no padding.
constexpr uint32_t TLV_HEADER = 5;
constexpr size_t PATH_MAX_LEN = sizeof(tr111_change::path) - 1;   // 255
constexpr size_t PARAM_MAX_LEN = sizeof(tr111_change::param) - 1; // 270
static_assert(PATH_MAX_LEN == 255 && PARAM_MAX_LEN == 270);

// Reads a TLV header at off: its type byte and its length. False when the
// header does not fit in the payload.
bool tlv_header(const uint8_t* payload, uint32_t length, uint32_t off, uint8_t* type,
                uint32_t* len) {
    if (off > length || length - off < TLV_HEADER) return false;
    *type = payload[off];
    memcpy(len, payload + off + 1, sizeof *len);
    return true;
}

// True when len bytes starting at off lie inside the payload.
bool fits(uint32_t length, uint32_t off, uint32_t len) {
    return off <= length && length - off >= len;
}

// Every number taken from a path or a value is range-checked: a number
// past 2^31 never wraps to some other lease or device.

// The decimal number a text starts with, as atoi reads it (leading blanks, a
// sign, digits up to the first other character); false when there are no
// digits or the number does not fit 32 bits.
bool dec_value(const char* text, int32_t* out) {
    const char* p = text + strspn(text, " \t\n\v\f\r");
    if (!isdigit(static_cast<unsigned char>(*p == '-' || *p == '+' ? p[1] : p[0]))) return false;
    errno = 0;
    long v = strtol(p, nullptr, 10);
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

// A lease or device number read from a value: 0 or more, else -1.
int32_t id_value(const char* text) {
    int32_t v = -1;
    return dec_value(text, &v) && v >= 0 ? v : -1;
}

// True when the value reads as the number want.
bool value_is(const char* text, int32_t want) {
    int32_t v = 0;
    return dec_value(text, &v) && v == want;
}

// The number that follows prefix in path: decimal digits ended by '/' or
// the end of the path, that fit 32 bits; -1 otherwise.
int32_t number_after(const char* path, const char* prefix) {
    const char* at = strstr(path, prefix);
    if (!at) return -1;
    at += strlen(prefix);
    size_t n = strspn(at, "0123456789");
    char digits[12];
    if (n == 0 || n >= sizeof digits || (at[n] != '/' && at[n] != '\0')) return -1;
    memcpy(digits, at, n);
    digits[n] = '\0';
    return id_value(digits);
}

// Lease number of a lease key's update path; -1 (with a line) when the path
// carries none.
int32_t lease_of_path(const char* path) {
    int32_t lease = strncmp(path, DB_LEASE_SET, strlen(DB_LEASE_SET)) == 0
                        ? number_after(path, DB_LEASE_SET)
                        : -1;
    if (lease < 0) TR111_ERRF("no lease number in %s\n", path);
    return lease;
}

// Device id of a lease key's update path, looked up by MAC address; -1 when
// the path carries no lease number.
int32_t device_of_lease_path(const char* path) {
    int32_t lease = lease_of_path(path);
    return lease < 0 ? -1 : get_device_id_from_lease_id(lease);
}

// Device id of a record's creation or deletion: the child's key; -1 (with a
// line) when it is not a device number.
int32_t device_of_param(const char* param) {
    int32_t id = id_value(param);
    if (id < 0) TR111_ERRF("invalid device id value:%s \n", param);
    return id;
}

// Notifications for an update of a key of a device record. The device id is
// the number that follows "/ManageableDevice/" in the path.
void notify_record_update(const char* path) {
    int32_t id = number_after(path, "/ManageableDevice/");
    if (id < 0) return;
    uint32_t instance = static_cast<uint32_t>(id) + 1;
    static constexpr struct {
        const char* key;
        uint32_t param;
    } kKeys[] = {
        {"OUI", TR111_ID_OUI},
        {"SerialNumber", TR111_ID_SERIAL},
        {"ProductClass", TR111_ID_PRODUCT_CLASS},
        {"retainDevEntry", TR111_ID_RETAIN},
        {"Crpt_Enable", TR111_ID_CRPT_ENABLE},
    };
    for (const auto& k : kKeys) {
        if (strstr(path, k.key)) Notify_by_index(k.param, instance);
    }
}

} // namespace

int tr111_callback_for_MSG_CHANGE_DB(const MSG_Message* msg, const uint8_t* payload,
                                     uint32_t length) {
    (void)msg;
    TR111_ERR("TR111_callback_for_MSG_CHANGE_DB \r");
    if (!payload || length == 0) return -1;
    tr111_change change;
    int ret = autom_notif2TR111notif(payload, length, &change);
    if (ret != 0) return ret;
    return handle_db_change(&change);
}

// Decodes into a record of its own and copies it out only when the whole
// payload was valid, so a refused payload leaves the caller's record as it
// was. Lengths beyond the record's fields, and TLVs that reach past the
// payload, are refused with the error line of their TLV.
int autom_notif2TR111notif(const uint8_t* payload, uint32_t length, tr111_change* change) {
    if (!payload || !change) return -1;
    tr111_change c;
    memset(&c, 0, sizeof c);
    uint8_t type = 0;
    uint32_t len = 0;

    // TLV1: the changed path.
    if (!tlv_header(payload, length, 0, &type, &len) || type != 'P' || len > PATH_MAX_LEN ||
        !fits(length, TLV_HEADER, len)) {
        TR111_ERR("Error in TLV1 \r");
        return -1;
    }
    memcpy(c.path, payload + TLV_HEADER, len);
    c.path[len] = '\0';
    TR111_INFOF("TLV1 change->Path = %s \n", c.path);

    // TLV2: the action, one byte. Only the low-order byte of its length is
    // compared with 1 (the last byte on a big-endian gateway).
    const uint32_t off2 = TLV_HEADER + len;
    if (!tlv_header(payload, length, off2, &type, &len) || type != 'C' || (len & 0xFFu) != 1 ||
        !fits(length, off2 + TLV_HEADER, 1)) {
        TR111_ERR("Error in TLV2 \r");
        return -1;
    }
    const char action = static_cast<char>(payload[off2 + TLV_HEADER]);
    switch (action) {
    case 'C':
        c.action = TR111_CHANGE_CREATE;
        break;
    case 'D':
        c.action = TR111_CHANGE_DELETE;
        break;
    case 'U':
        c.action = TR111_CHANGE_UPDATE;
        break;
    default:
        return -1;
    }
    TR111_INFOF("LV2 change->action = %c \n", action);
    TR111_ERR("TLV2 ok, action set correctly\r");

    // TLV3: the parameter text.
    const uint32_t off3 = off2 + TLV_HEADER + 1;
    if (!tlv_header(payload, length, off3, &type, &len) || type != 'C' || len > PARAM_MAX_LEN ||
        !fits(length, off3 + TLV_HEADER, len)) {
        TR111_ERR("Error in TLV3 \r");
        return -1;
    }
    memcpy(c.param, payload + off3 + TLV_HEADER, len);
    c.param[len] = '\0';
    TR111_INFOF("TLV3 change->Param_name = %s \n", c.param);

    *change = c;
    return 0;
}

int handle_db_change(const tr111_change* change) {
    char path[sizeof change->path];
    memcpy(path, change->path, sizeof path);
    path[sizeof path - 1] = '\0';
    char param[sizeof change->param];
    memcpy(param, change->param, sizeof param);
    param[sizeof param - 1] = '\0';
    TR111_INFOF("change in DB path=%s \n", path);

    int32_t event = 0;
    int32_t device = 0;

    if (strstr(path, DB_LEASE_SET)) {
        // A lease change.
        switch (change->action) {
        case TR111_CHANGE_CREATE:
        case TR111_CHANGE_DELETE: {
            // A created lease's key is a whole number (a negative one is no
            // lease); a deleted one's is read as its leading number.
            int32_t lease = id_value(param);
            if (change->action == TR111_CHANGE_CREATE && s_str_to_int(param, &lease) != 0)
                lease = -1;
            if (lease < 0) {
                TR111_ERRF("invalid lease id value:%s \n", param);
                return -1;
            }
            device = get_device_id_from_lease_id(lease);
            event = change->action == TR111_CHANGE_CREATE ? 1 : 3;
            break;
        }
        case TR111_CHANGE_UPDATE:
            if (strstr(path, "/start_time")) {
                device = device_of_lease_path(path);
                event = 2;
            } else if (strstr(path, "/valid_time") && value_is(param, 0)) {
                device = device_of_lease_path(path);
                event = 4;
            } else if (strstr(path, "/is_abandoned") && value_is(param, 1)) {
                int32_t lease = lease_of_path(path);
                device = lease < 0 ? -1 : get_device_id_from_abondonned_lease_id(lease);
                event = 7;
            }
            break;
        default:
            break;
        }
    } else if (strstr(path, "/ManageableDevice")) {
        // A change of a device record. The index of the devices' MACs
        // follows every change of the device set and of a MacAddress.
        switch (change->action) {
        case TR111_CHANGE_CREATE:
            md_index_drop();
            device = device_of_param(param);
            event = 5;
            break;
        case TR111_CHANGE_DELETE:
            device = device_of_param(param);
            if (device >= 0 && strcmp(path, DB_MANAGEABLE_DEVICE_SET) == 0)
                md_index_forget(device);
            else
                md_index_drop(); // a key of a record, or the set itself
            event = 8;
            break;
        case TR111_CHANGE_UPDATE:
            if (strstr(path, "MacAddress")) md_index_drop();
            notify_record_update(path);
            break;
        default:
            break;
        }
    } else {
        // A level above the device set: the whole set may have gone.
        if (strncmp(DB_MANAGEABLE_DEVICE_SET, path, strlen(path)) == 0) md_index_drop();
        char wan_ip[32];
        snprintf(wan_ip, sizeof wan_ip, "/dev/%s/ip", "ppp0");
        if (strstr(path, wan_ip)) event = 6;
        if (strstr(path, "MDNotificationLimit")) Notify_by_index(TR111_ID_NOTIF_LIMIT, 0);
    }

    event_call_back(event, device);
    return 0;
}

// The lease's MAC is looked up in the index of the devices' MACs (built on
// this handle when missing), and the device found is checked on this
// handle. A device without a MAC (absent or empty) holds no lease: the
// devices after it are still searched.
int32_t get_device_id_from_lease_id(int32_t lease) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    char key[128];
    snprintf(key, sizeof key, DB_LEASE_MAC_PATH, static_cast<int>(lease));
    tr111::DbString lease_mac(KX_DB_Get(db.get(), key));
    // A lease without a client MAC (empty) is owned by no device.
    if (!lease_mac || lease_mac.get()[0] == '\0') {
        TR111_ERR("Mac address empty in lease ");
        return -1;
    }
    return md_index_find(db.get(), lease_mac.get());
}

// The rules are searched in set order for the first whose host holds the
// lease's address, then the devices for the one that names that rule; both
// walks on one handle, their reads pipelined (a batch may read a little
// past the rule or device found; the lines are those of the sons up to it).
int32_t get_device_id_from_abondonned_lease_id(int32_t lease) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    KX_DB_handle* h = db.get();
    char key[128];
    snprintf(key, sizeof key, DB_LEASE_IP_PATH, static_cast<int>(lease));
    tr111::DbString lease_ip(KX_DB_Get(h, key));
    // An empty address would be contained in every hostname.
    if (!lease_ip || lease_ip.get()[0] == '\0') {
        TR111_ERR("Mac address empty in lease ");
        return -1;
    }

    // The rule whose internal host holds the lease's address.
    uint32_t rules = KX_get_set(h, CRPT_ENTITY);
    if (rules == 0) {
        TR111_ERR("set doesn't exist ");
        return -1;
    }
    static const char* const host[] = {PORT_MAPPING_INTERNAL_CLIENT_PATH};
    int32_t rule = -1;
    for (tr111::SetWalk walk(h, rules, host, 1); rule < 0 && walk.next();) {
        int32_t id = 0;
        if (s_str_to_int(walk.key(), &id) != 0) {
            TR111_ERR(" invalid crpt id value ");
            return -1;
        }
        // A rule without a host (another kind of rule) is no device's: the
        // search goes on.
        if (!walk.value(0)) {
            TR111_ERR("IP is empty in crpt rule ");
            continue;
        }
        if (strstr(walk.value(0), lease_ip.get())) rule = id;
    }
    if (rule < 0) return -1;

    // The device that owns that rule.
    uint32_t devices = KX_get_set(h, DB_MANAGEABLE_DEVICE_SET);
    if (devices == 0) {
        TR111_ERR("Manageable device set doesn't exist ");
        return -1;
    }
    static const char* const crpt[] = {DB_MANAGEABLE_DEVICE_CRPT_PATH};
    tr111::SetWalk walk(h, devices, crpt, 1);
    while (walk.next()) {
        int32_t id = 0;
        if (s_str_to_int(walk.key(), &id) != 0) {
            TR111_ERR("Invalid md id value ");
            return -1;
        }
        // A device without a rule is not its owner: the search goes on.
        if (!walk.value(0)) {
            TR111_ERR("IP is empty in crpt rule ");
            continue;
        }
        int32_t crpt_id = 0;
        if (s_str_to_int(walk.value(0), &crpt_id) != 0) return -1;
        if (crpt_id == rule) {
            TR111_ERR(" Device found ");
            return id;
        }
    }
    if (walk.failed()) return -1;
    TR111_ERR("Device id not found ");
    return -1;
}
