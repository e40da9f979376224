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

// Decimal value of a text the way atoi reads it (leading blanks, a sign,
// digits up to the first other character, 0 when there are none), clamped to
// the 32-bit range instead of overflowing.
int32_t dec_value(const char* s) {
    long v = strtol(s, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Lease number of a lease key's path by its pattern, or -1 when the path
// does not follow it.
int32_t lease_from_path(const char* path, const char* pattern) {
    int lease = 0;
    if (sscanf(path, pattern, &lease) != 1) return -1;
    return lease;
}

// Device id of a lease key's update path, looked up by MAC address; -1 when
// the path carries no lease number.
int32_t device_of_lease_path(const char* path, const char* pattern) {
    int32_t lease = lease_from_path(path, pattern);
    if (lease < 0) {
        TR111_ERRF("no lease number in %s\n", path);
        return -1;
    }
    return get_device_id_from_lease_id(lease);
}

// Notifications for an update of a key of a device record. The device id is
// the number that follows "/ManageableDevice/" in the path.
void notify_record_update(const char* path) {
    static constexpr char kObject[] = "/ManageableDevice/";
    const char* at = strstr(path, kObject);
    if (!at) return;
    int32_t id = dec_value(at + sizeof kObject - 1);
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
        case TR111_CHANGE_CREATE: {
            int32_t lease = 0;
            if (s_str_to_int(param, &lease) != 0) {
                TR111_ERRF("invalid lease id value:%s \n", param);
                return -1;
            }
            device = get_device_id_from_lease_id(lease);
            event = 1;
            break;
        }
        case TR111_CHANGE_DELETE:
            device = get_device_id_from_lease_id(dec_value(param));
            event = 3;
            break;
        case TR111_CHANGE_UPDATE:
            if (strstr(path, "/start_time")) {
                device = device_of_lease_path(path, "/dev/br0/dhcps/lease/%d/start_time");
                event = 2;
            } else if (strstr(path, "/valid_time") && dec_value(param) == 0) {
                device = device_of_lease_path(path, "/dev/br0/dhcps/lease/%d/valid_time");
                event = 4;
            } else if (strstr(path, "/is_abandoned") && dec_value(param) == 1) {
                int32_t lease = lease_from_path(path, "/dev/br0/dhcps/lease/%d/is_abandoned");
                if (lease < 0) {
                    TR111_ERRF("no lease number in %s\n", path);
                    device = -1;
                } else {
                    device = get_device_id_from_abondonned_lease_id(lease);
                }
                event = 7;
            }
            break;
        default:
            break;
        }
    } else if (strstr(path, "/ManageableDevice")) {
        // A change of a device record.
        switch (change->action) {
        case TR111_CHANGE_CREATE:
            device = dec_value(param);
            event = 5;
            break;
        case TR111_CHANGE_DELETE:
            device = dec_value(param);
            event = 8;
            break;
        case TR111_CHANGE_UPDATE:
            notify_record_update(path);
            break;
        default:
            break;
        }
    } else {
        char wan_ip[32];
        snprintf(wan_ip, sizeof wan_ip, "/dev/%s/ip", "ppp0");
        if (strstr(path, wan_ip)) event = 6;
        if (strstr(path, "MDNotificationLimit")) Notify_by_index(TR111_ID_NOTIF_LIMIT, 0);
    }

    event_call_back(event, device);
    return 0;
}

int32_t get_device_id_from_lease_id(int32_t lease) {
    int32_t ids[MD_MAX_NBR];
    int count = md_get_list(ids);
    if (count < 0) return -1;
    if (count > MD_MAX_NBR) count = MD_MAX_NBR;

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
    for (int i = 0; i < count; ++i) {
        snprintf(key, sizeof key, DB_MANAGEABLE_DEVICE_MAC_PATH, static_cast<int>(ids[i]));
        tr111::DbString dev_mac(KX_DB_Get(db.get(), key));
        if (!dev_mac || dev_mac.get()[0] == '\0') {
            TR111_ERR("Mac address empty in device ");
            return -1;
        }
        if (strstr(lease_mac.get(), dev_mac.get())) return ids[i];
    }
    return -1;
}

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
    int32_t rule = -1;
    for (uint32_t node = KX_set_get_son(h, rules, 0); node != 0; node = KX_set_get_next(h, node)) {
        tr111::DbString value(KX_set_get_value(h, node));
        int32_t id = 0;
        if (s_str_to_int(value.get(), &id) != 0) {
            TR111_ERR(" invalid crpt id value ");
            return -1;
        }
        snprintf(key, sizeof key, PORT_MAPPING_INTERNAL_CLIENT_PATH, static_cast<int>(id));
        tr111::DbString host(KX_DB_Get(h, key));
        if (!host) {
            TR111_ERR("IP is empty in crpt rule ");
            return -1;
        }
        if (strstr(host.get(), lease_ip.get())) {
            rule = id;
            break;
        }
    }
    if (rule < 0) return -1;

    // The device that owns that rule.
    uint32_t devices = KX_get_set(h, DB_MANAGEABLE_DEVICE_SET);
    if (devices == 0) {
        TR111_ERR("Manageable device set doesn't exist ");
        return -1;
    }
    for (uint32_t node = KX_set_get_son(h, devices, 0); node != 0;
         node = KX_set_get_next(h, node)) {
        tr111::DbString value(KX_set_get_value(h, node));
        int32_t id = 0;
        if (s_str_to_int(value.get(), &id) != 0) {
            TR111_ERR("Invalid md id value ");
            return -1;
        }
        snprintf(key, sizeof key, DB_MANAGEABLE_DEVICE_CRPT_PATH, static_cast<int>(id));
        tr111::DbString crpt(KX_DB_Get(h, key));
        if (!crpt) {
            TR111_ERR("IP is empty in crpt rule ");
            return -1;
        }
        int32_t crpt_id = 0;
        if (s_str_to_int(crpt.get(), &crpt_id) != 0) return -1;
        if (crpt_id == rule) {
            TR111_ERR(" Device found ");
            return id;
        }
    }
    TR111_ERR("Device id not found ");
    return -1;
}
