// Device status table mdlt: whether each known device is active, as the
// DHCP events report it, and the refresh that follows a device becoming
// active or inactive (its record and its pass-through rule). Also the
// device's current address, found from the DHCP leases by MAC address.
//
// Locking: the table is used by two threads, the TR-069 request loop
// (reads statuses, frees entries) and the message receive thread (adds,
// updates and frees entries from the DHCP and device events). Every table
// operation (add, remove, update, search, start-up fill) holds mdlt_mtx for
// its whole duration, so a search never sees a half-made entry. The lock is
// never held across a database call: the refreshes take it once per table
// step, and their database steps run without it.
#include "crpt/crpt.h"
#include "db/tr111_db.h"
#include "main/tr111.h"
#include "registry/md.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <pthread.h>

static constexpr char TR111_MODULE[] = "TR111_mdlt";

static_assert(sizeof(mdlt_entry) == 8);
static_assert(offsetof(mdlt_entry, status) == 4);

mdlt_entry mdlt[MD_MAX_NBR];

namespace {

pthread_mutex_t mdlt_mtx = PTHREAD_MUTEX_INITIALIZER;

// Holds mdlt_mtx for the scope (a POSIX mutex: the daemon carries no C++
// runtime, which std::mutex would bring in).
struct MdltLock {
    MdltLock() { pthread_mutex_lock(&mdlt_mtx); }
    ~MdltLock() { pthread_mutex_unlock(&mdlt_mtx); }
    MdltLock(const MdltLock&) = delete;
    MdltLock& operator=(const MdltLock&) = delete;
};

constexpr int32_t MDLT_FREE = -1;
constexpr size_t MAC_LEN = 17; // six two-digit groups and five colons
constexpr size_t IP_TEXT_MAX = 15;

void clear_all_locked() {
    for (auto& e : mdlt)
        e = {MDLT_FREE, 0};
}

// Every entry is free before start-up fills the table.
const bool mdlt_cleared = [] {
    clear_all_locked();
    return true;
}();

// Index of the first entry holding id, or -1. Called with mdlt_mtx held.
int find_locked(int32_t id) {
    for (int i = 0; i < MD_MAX_NBR; ++i)
        if (mdlt[i].id == id) return i;
    return -1;
}

} // namespace

int md_initilize() {
    md_index_drop();
    int32_t ids[MD_MAX_NBR];
    int count = md_get_list(ids);
    MdltLock lock;
    clear_all_locked();
    if (count < 0) {
        TR111_ERR("Error in md_get_list ");
        return -1;
    }
    // Every device known at start-up is inactive until an event says otherwise.
    for (int k = 0; k < count && k < MD_MAX_NBR; ++k)
        mdlt[k] = {ids[k], 0};
    return 0;
}

// Only ids the store can list take an entry: one of another id would push
// a listed device out of a full table.
int mdlt_add(int32_t id) {
    if (id < 0 || id > MD_ID_MAX) {
        TR111_ERRF("invalid device id %d\n", static_cast<int>(id));
        return -1;
    }
    {
        MdltLock lock;
        int i = find_locked(MDLT_FREE);
        if (i >= 0) {
            mdlt[i] = {id, 1};
            return 0;
        }
    }
    TR111_ERR("Error: MD_MAX_NBR reached ");
    return -1;
}

int mdlt_remove(int32_t id) {
    if (id == MDLT_FREE) return -2; // a free entry is not a device
    MdltLock lock;
    int i = find_locked(id);
    if (i < 0) return -2;
    mdlt[i] = {MDLT_FREE, 0};
    return 0;
}

int mdlt_update_status(int32_t id, int32_t status) {
    if (id == MDLT_FREE) return -2;
    MdltLock lock;
    int i = find_locked(id);
    if (i < 0) return -2;
    mdlt[i].status = status;
    return 0;
}

int md_is_active(int32_t id) {
    if (md_is_exist(id) == 0) return -2;
    int32_t status;
    {
        MdltLock lock;
        int i = id == MDLT_FREE ? -1 : find_locked(id);
        if (i < 0) return -1;
        status = mdlt[i].status;
    }
    TR111_INFOF("device found in status:%d \n", static_cast<int>(status));
    return status;
}

int md_refresh_status(int32_t id, int32_t status) {
    int rc;
    if (status == 1) {
        rc = md_refresh_active(id);
        TR111_INFOF("md_refresh_active of device %d ret_code= %d\n", static_cast<int>(id), rc);
    } else {
        rc = md_refresh_inactive(id);
        TR111_INFOF("md_refresh_inactive of device %d, ret_code= %d\n", static_cast<int>(id), rc);
    }
    return rc;
}

int md_refresh_active(int32_t id) {
    if (mdlt_update_status(id, 1) != 0) {
        TR111_INFOF("device:%d fail to update mdlt", static_cast<int>(id));
        return -2;
    }
    TR111_INFOF("device : %d with status updated", static_cast<int>(id));
    // The record's keys are read on one handle (each read opens its own
    // when that one could not be opened).
    tr111::DbHandle db(KX_DB_MAIN);
    // Plain TR-111 devices, and records without a readable type, only get
    // the status.
    if (md_get_type(id, db.get()) != MD_TYPE_WT111R2) return 0;
    TR111_INFOF("WT111R2 devcie : %d ", static_cast<int>(id));
    int rule = md_get_crpt_id(id, db.get());
    if (rule == -1) {
        TR111_ERRF("error  in get crpt id %d\n ", rule);
        return -1;
    }
    if (rule == -2) {
        TR111_INFOF("device crpt does not exist: %d\n ", rule);
        return 0;
    }
    int enable = md_get_crpt_enable(id, db.get());
    db.close_get();
    if (enable < 0) {
        TR111_ERRF("md_get_crpt_enable, code error : %d\n", enable);
        return -1;
    }
    if (enable != 1) return 0;
    int rc = crpt_enable(rule);
    if (rc < 0) {
        TR111_ERRF("crpt_enable failed, code error: %d\n ", rc);
        return -1;
    }
    return rc;
}

int md_refresh_inactive(int32_t id) {
    // The record's keys are read on one handle, closed before any change.
    tr111::DbHandle db(KX_DB_MAIN);
    int type = md_get_type(id, db.get());
    if (type == MD_TYPE_TR111) {
        db.close_get();
        // A plain TR-111 device is forgotten at once.
        int rc = md_remove(id);
        if (rc != 0) {
            TR111_ERRF("unable to remove device from DB id : %d, code error : %d\n",
                       static_cast<int>(id), rc);
            return rc;
        }
        rc = mdlt_remove(id);
        if (rc != 0) {
            TR111_ERRF("unable to remove device from MD table id : %d, code error : %d\n",
                       static_cast<int>(id), rc);
            return -2;
        }
        return 0;
    }
    // An unreadable retain flag (-1) counts as retained: the device is kept.
    if (md_get_retain_device_entry(id, db.get()) != 0) {
        int rc = mdlt_update_status(id, 0);
        if (rc != 0) {
            TR111_ERRF("unable to update the device status to inactive code error : %d\n", rc);
            return -2;
        }
        int rule = md_get_crpt_id(id, db.get());
        db.close_get();
        if (rule == -1) {
            TR111_ERRF("unable to get crpt id of device, code error : %d\n", rule);
            return -1;
        }
        if (rule == -2) {
            TR111_INFOF(" CRPT of device not found : %d\n", rule);
            return 0;
        }
        // Crpt_Enable stays as it is, so the rule comes back with the device.
        rc = crpt_disable(rule);
        if (rc < 0) {
            TR111_ERRF("unable to disable the device %d crpt, code error: %d\n",
                       static_cast<int>(id), rc);
            return -1;
        }
        return 0;
    }
    // Not retained: the rule and the record go. The table entry is freed
    // when the record's deletion comes back as a remove-device event.
    int rule = md_get_crpt_id(id, db.get());
    db.close_get();
    if (rule >= 0) {
        int rc = crpt_remove(rule);
        if (rc < 0) {
            TR111_ERRF("unable to remove crpt rule from DB crpt_id : %d, code error : %d\n", rule,
                       rc);
            return -1;
        }
    } else if (rule == -1) {
        TR111_ERRF("unable to get crpt id of device %d, code error : %d\n", static_cast<int>(id),
                   rule);
        return -1;
    } else {
        TR111_INFOF("device without a CRPT : %d\n", rule);
    }
    int rc = md_remove(id);
    if (rc != 0) {
        TR111_ERRF("unable to remove manageable device %d, code error : %d\n", static_cast<int>(id),
                   rc);
        return rc;
    }
    return 0;
}

int md_get_device_ip(int32_t id, char* out) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    char path[64];
    static_assert(sizeof(DB_MANAGEABLE_DEVICE_MAC_PATH) + 11 <= sizeof path);
    static_assert(sizeof(DB_LEASE_MAC_PATH) + 11 <= sizeof path);
    snprintf(path, sizeof path, DB_MANAGEABLE_DEVICE_MAC_PATH, static_cast<int>(id));
    char mac[MAC_LEN + 1] = {};
    {
        tr111::DbString v(TR111_KX_DB_Get(db.get(), path));
        if (!v) {
            db.close_get();
            TR111_ERR(" No Mac address for the current device ");
            return -1;
        }
        TR111_INFOF("Mac address of the device %d =%s \n", static_cast<int>(id), v.get());
        strncpy(mac, v.get(), MAC_LEN);
    }
    uint32_t set = KX_get_set(db.get(), DB_LEASE_SET);
    if (set == 0) {
        db.close_get();
        TR111_ERR("unable to get set in lease ");
        return -1;
    }
    TR111_INFO("lease set get with succes ");
    // The leases in set order, their MACs read in pipelined batches; the
    // first whose MAC begins with the device's is the device's lease.
    static const char* const hardware_mac[] = {DB_LEASE_MAC_PATH};
    int32_t lease = -1;
    for (tr111::SetWalk walk(db.get(), set, hardware_mac, 1); lease < 0 && walk.next();) {
        int32_t current = -1;
        if (!walk.key()) {
            TR111_ERR("Error in KX_set_get_value");
            return -1;
        }
        if (s_str_to_int(walk.key(), &current) != 0) {
            TR111_ERR(" invalid CurrentleaseId value ");
            return -1;
        }
        TR111_INFOF("lease id=%d  \n", static_cast<int>(current));
        const char* lease_mac = walk.value(0);
        if (!lease_mac) {
            TR111_ERRF("No mac address found in lease %d\n", static_cast<int>(current));
            return -1;
        }
        TR111_INFOF("mac address %s found in lease %d\n", lease_mac, static_cast<int>(current));
        if (strncmp(lease_mac, mac, MAC_LEN) == 0) {
            TR111_INFOF("param_val=%s et md_mac_addr=%s\n", lease_mac, mac);
            lease = current;
        }
    }
    // No lease of this device (or the walk ended on a broken connection).
    if (lease < 0) return -1;
    snprintf(path, sizeof path, DB_LEASE_IP_PATH, static_cast<int>(lease));
    tr111::DbString ip(TR111_KX_DB_Get(db.get(), path));
    db.close_get();
    if (!ip) {
        TR111_ERRF("Cannot get IP address from lease %d\n", static_cast<int>(lease));
        return -1;
    }
    // An address that does not fit the caller's 16 bytes is not an IPv4
    // address: refuse it rather than hand on a cut one.
    size_t n = strnlen(ip.get(), IP_TEXT_MAX + 1);
    if (n > IP_TEXT_MAX) {
        TR111_ERRF("IP address of lease %d longer than %d characters\n", static_cast<int>(lease),
                   static_cast<int>(IP_TEXT_MAX));
        return -1;
    }
    memset(out, 0, IP_TEXT_MAX + 1);
    memcpy(out, ip.get(), n);
    return 0;
}
