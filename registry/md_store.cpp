// Device store: the manageable-device records under
// /KELMO/TR111/ManageableDevice/<id>/ in the main configuration.
//
// Every operation opens its own handle, does one enumeration, read, write
// or delete, and closes the handle before it returns: after reading without
// reconfiguration, after a write or delete with it. The list and the readers
// a caller needs together (the refresh of a device, a lease search) can
// work on the caller's open handle instead. Values read are copied into the
// caller's buffers or parsed; nothing allocated escapes. No write creates a
// record: each tests that the record exists first, on its own handle.
//
// A read whose connection broke is a failure (-1), never an absent key: a
// missing retainDevEntry reads as "not retained", and a device must not be
// forgotten because the configuration server could not be reached.
#include "registry/md.h"

#include "db/tr111_db.h"
#include "main/tr111.h"

#include <cstdio>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_md";

namespace {

// Room for every record path: the longest format plus a 32-bit id.
constexpr size_t MD_PATH_MAX = 96;
static_assert(sizeof(DB_MANAGEABLE_DEVICE_RETAIN_DEV_ENTRY_PATH) + 11 <= MD_PATH_MAX);
static_assert(sizeof(DB_MANAGEABLE_DEVICE_PRODUCT_CLASS_PATH) + 11 <= MD_PATH_MAX);

constexpr size_t MD_OUI_LEN = 6;
constexpr size_t MD_TEXT_LEN = 64;
constexpr size_t MD_PATH_LEN = 256;

struct Path {
    char s[MD_PATH_MAX];
    Path(const char* fmt, int32_t id) {
        // The formats are the record macros, each with one "%d".
        snprintf(s, sizeof s, fmt, static_cast<int>(id));
    }
};

bool broken(const tr111::DbHandle& db) {
    return db && db.get()->ipc_err != 0;
}

enum class Read { value, absent, no_db, failed };

// Reads one key of a record on the caller's handle, or on a handle of its
// own opened and closed around the read.
Read read_key(const char* fmt, int32_t id, tr111::DbString& out, KX_DB_handle* shared = nullptr) {
    Path p(fmt, id);
    tr111::DbHandle own(shared ? nullptr : KX_DB_Open(KX_DB_MAIN));
    KX_DB_handle* h = shared ? shared : own.get();
    if (!h) return Read::no_db;
    out.reset(TR111_KX_DB_Get(h, p.s));
    if (h->ipc_err != 0) {
        out.reset();
        return Read::failed;
    }
    return out ? Read::value : Read::absent;
}

// Closes a handle after a write: with reconfiguration when the write went
// out, without otherwise (a refused write never asks the server to apply).
void close_after_write(tr111::DbHandle& db, int rc) {
    if (rc == 0)
        db.close_set();
    else
        db.close_get();
}

// Opens a handle, writes one key of an existing record, closes the handle:
// a write never creates a record. Returns 0, -1 when the write (or the
// existence test) failed, -2 when there is no record, -3 when no handle
// could be opened.
int write_key(const char* fmt, int32_t id, const char* value) {
    Path record(DB_MANAGEABLE_DEVICE_OBJECT_DEL_PATH, id);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) return -3;
    if (!KX_DB_Is_Defined(db.get(), record.s)) {
        if (broken(db)) return -1;
        TR111_ERRF("no record for device %d: nothing written\n", static_cast<int>(id));
        return -2;
    }
    Path p(fmt, id);
    int rc = TR111_KX_DB_Set(db.get(), p.s, value);
    close_after_write(db, rc);
    return rc == 0 ? 0 : -1;
}

enum class Walk { listed, no_set, bad_key, broken };

// Walks the device set on h (its keys read in pipelined batches) and
// stores the ids of the listed devices: the first MD_MAX_NBR children whose
// ids are 0..MD_ID_MAX (a child without a value is skipped). Any other
// child is left out with an error line.
Walk md_walk_devices(KX_DB_handle* h, int32_t* ids, int* count) {
    *count = 0;
    uint32_t set = KX_get_set(h, DB_MANAGEABLE_DEVICE_SET);
    if (set == 0) return h->ipc_err ? Walk::broken : Walk::no_set;
    tr111::SetWalk walk(h, set);
    while (walk.next()) {
        if (!walk.key()) continue;
        int32_t id = -1;
        if (s_str_to_int(walk.key(), &id) != 0) return Walk::bad_key;
        if (id < 0 || id > MD_ID_MAX) {
            TR111_ERRF("device id %d out of range 0..%d, not listed\n", static_cast<int>(id),
                       static_cast<int>(MD_ID_MAX));
            continue;
        }
        if (*count >= MD_MAX_NBR) {
            TR111_ERRF("more than %d devices: device %d not listed\n", MD_MAX_NBR,
                       static_cast<int>(id));
            continue;
        }
        ids[(*count)++] = id;
    }
    // A walk cut short by a broken connection is not a shorter list.
    return walk.failed() || h->ipc_err ? Walk::broken : Walk::listed;
}

} // namespace

// The device ids of the records, in the order the configuration server
// gives the children of the device set. At most MD_MAX_NBR are stored; a
// further record, or an id whose instance number does not fit one byte, is
// left out with an error line rather than written past the caller's array
// or published under a wrong instance.
int md_get_list(int32_t* ids, KX_DB_handle* shared) {
    tr111::DbHandle own(shared ? nullptr : KX_DB_Open(KX_DB_MAIN));
    KX_DB_handle* h = shared ? shared : own.get();
    if (!h) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    int count = 0;
    Walk w = md_walk_devices(h, ids, &count);
    own.close_get();
    switch (w) {
    case Walk::no_set:
        TR111_ERR("set doesn't exist ");
        return 0;
    case Walk::bad_key:
        TR111_ERR(" invalid mdList[DeviceNumber] value ");
        return -1;
    case Walk::broken:
        TR111_ERR("configuration database connection failed while listing the devices");
        return -1;
    case Walk::listed:
        break;
    }
    TR111_INFOF("Device count = %d \n", count);
    return count;
}

// The number of devices md_get_list lists, so that the count the ACS reads
// always equals the instances it is given: a child the list leaves out is
// not counted, a child that spoils the list spoils the count too.
int md_get_nbr() {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    int32_t ids[MD_MAX_NBR];
    int count = 0;
    Walk w = md_walk_devices(db.get(), ids, &count);
    db.close_get();
    switch (w) {
    case Walk::no_set:
        TR111_ERRF("no set for %s\n", DB_MANAGEABLE_DEVICE_SET);
        return 0;
    case Walk::bad_key:
        TR111_ERR(" invalid mdList[DeviceNumber] value ");
        return -1;
    case Walk::broken:
        TR111_ERR("configuration database connection failed while counting the devices");
        return -1;
    case Walk::listed:
        break;
    }
    TR111_ERRF("Manageable device number %d \n", count);
    return count;
}

int md_is_exist(int32_t id) {
    int32_t ids[MD_MAX_NBR];
    int count = md_get_list(ids);
    if (count < 0) return -1;
    for (int i = 0; i < count; ++i)
        if (ids[i] == id) return 1;
    return 0;
}

int md_get_manufacturer_oui(int32_t id, char* out) {
    tr111::DbString v;
    switch (read_key(DB_MANAGEABLE_DEVICE_OUI_PATH, id, v)) {
    case Read::no_db:
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    case Read::absent:
    case Read::failed:
        TR111_ERR("Error in read DB_MANAGEABLE_DEVICE_OUI_PATH ");
        return -1;
    case Read::value:
        break;
    }
    memset(out, 0, MD_OUI_LEN);
    strncpy(out, v.get(), MD_OUI_LEN);
    return 0;
}

int md_get_serial_number(int32_t id, char* out) {
    tr111::DbString v;
    switch (read_key(DB_MANAGEABLE_DEVICE_SN_PATH, id, v)) {
    case Read::no_db:
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    case Read::failed:
        TR111_ERR("configuration database read failed: DB_MANAGEABLE_DEVICE_SN_PATH");
        return -1;
    case Read::absent:
        TR111_ERR("Error in read DB_MANAGEABLE_DEVICE_SN_PATH");
        return -2;
    case Read::value:
        break;
    }
    memset(out, 0, MD_TEXT_LEN);
    strncpy(out, v.get(), MD_TEXT_LEN);
    return 0;
}

int md_get_product_class(int32_t id, char* out) {
    tr111::DbString v;
    switch (read_key(DB_MANAGEABLE_DEVICE_PRODUCT_CLASS_PATH, id, v)) {
    case Read::no_db:
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    case Read::absent:
    case Read::failed:
        TR111_ERR("Error in read DB_MANAGEABLE_DEVICE_PRODUCT_CLASS_PATH");
        return -1;
    case Read::value:
        break;
    }
    memset(out, 0, MD_TEXT_LEN);
    strncpy(out, v.get(), MD_TEXT_LEN);
    return 0;
}

// Copies at most 256 bytes and terminates the text behind them, within the
// caller's 257 bytes.
int md_get_path(int32_t id, char* out) {
    tr111::DbString v;
    switch (read_key(DB_MANAGEABLE_DEVICE_PATH, id, v)) {
    case Read::no_db:
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    case Read::absent:
    case Read::failed:
        TR111_ERRF("Error in read DB_MANAGEABLE_DEVICE_PATH, device %d \n", static_cast<int>(id));
        return -1;
    case Read::value:
        break;
    }
    size_t n = strnlen(v.get(), MD_PATH_LEN);
    memcpy(out, v.get(), n);
    out[n] = '\0';
    return 0;
}

int md_get_type(int32_t id, KX_DB_handle* db) {
    tr111::DbString v;
    switch (read_key(DB_MANAGEABLE_DEVICE_TYPE_PATH, id, v, db)) {
    case Read::no_db:
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    case Read::absent:
    case Read::failed:
        TR111_ERRF("DB_MANAGEABLE_DEVICE_TYPE_PATH is empty, device=%d \n", static_cast<int>(id));
        return -1;
    case Read::value:
        break;
    }
    int32_t type = -1;
    if (s_str_to_int(v.get(), &type) != 0) {
        TR111_ERR("invalid device type value");
        return -1;
    }
    TR111_ERRF("device type=%d\n", static_cast<int>(type));
    return type;
}

int md_get_retain_device_entry(int32_t id, KX_DB_handle* db) {
    tr111::DbString v;
    switch (read_key(DB_MANAGEABLE_DEVICE_RETAIN_DEV_ENTRY_PATH, id, v, db)) {
    case Read::no_db:
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    case Read::failed:
        TR111_ERR("configuration database read failed: DB_MANAGEABLE_DEVICE_RETAIN_DEV_ENTRY_PATH");
        return -1;
    case Read::absent:
        TR111_ERR("Error in read DB_MANAGEABLE_DEVICE_RETAIN_DEV_ENTRY_PATH");
        return 0;
    case Read::value:
        break;
    }
    int32_t value = 0;
    if (s_str_to_int(v.get(), &value) != 0) {
        TR111_ERR("invalid retain entry value ");
        return -1;
    }
    return value;
}

int md_get_crpt_id(int32_t id, KX_DB_handle* db) {
    tr111::DbString v;
    switch (read_key(DB_MANAGEABLE_DEVICE_CRPT_PATH, id, v, db)) {
    case Read::no_db:
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    case Read::failed:
        TR111_ERR("configuration database read failed: DB_MANAGEABLE_DEVICE_CRPT_PATH");
        return -1;
    case Read::absent:
        TR111_ERR("Error in read DB_MANAGEABLE_DEVICE_CRPT_PATH");
        return -2;
    case Read::value:
        break;
    }
    int32_t value = 0;
    // A rule id is 0 or more; a negative one would read as a result code.
    if (s_str_to_int(v.get(), &value) != 0 || value < 0) {
        TR111_ERR("invalid crpt id value ");
        return -1;
    }
    return value;
}

int md_get_crpt_enable(int32_t id, KX_DB_handle* db) {
    tr111::DbString v;
    switch (read_key(DB_MANAGEABLE_DEVICE_CRPT_ENABLE_PATH, id, v, db)) {
    case Read::no_db:
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    case Read::failed:
        TR111_ERR("configuration database read failed: DB_MANAGEABLE_DEVICE_CRPT_ENABLE_PATH");
        return -1;
    case Read::absent:
        return 0;
    case Read::value:
        break;
    }
    int32_t value = 0;
    if (s_str_to_int(v.get(), &value) != 0) {
        TR111_ERR("invalid device status value ");
        return -1;
    }
    return value;
}

int md_set_retain_device_entry(int32_t id, int32_t value) {
    Path record(DB_MANAGEABLE_DEVICE_OBJECT_DEL_PATH, id);
    TR111_INFOF("DB_MANAGEABLE_DEVICE_OBJECT_DEL_PATH = %s \n", record.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    if (!KX_DB_Is_Defined(db.get(), record.s)) {
        bool failed = broken(db);
        db.close_get();
        return failed ? -1 : -2;
    }
    Path key(DB_MANAGEABLE_DEVICE_RETAIN_DEV_ENTRY_PATH, id);
    char text[12];
    snprintf(text, sizeof text, "%d", static_cast<int>(value));
    int rc = TR111_KX_DB_Set(db.get(), key.s, text);
    close_after_write(db, rc);
    if (rc != 0) {
        TR111_ERR("Error in set DB_MANAGEABLE_DEVICE_RETAIN_DEV_ENTRY_PATH");
        return -1;
    }
    return 0;
}

int md_set_path(int32_t id, const char* path) {
    Path record(DB_MANAGEABLE_DEVICE_OBJECT_DEL_PATH, id);
    TR111_INFOF("DB_MANAGEABLE_DEVICE_OBJECT_DEL_PATH = %s \n", record.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    if (!KX_DB_Is_Defined(db.get(), record.s)) {
        bool failed = broken(db);
        db.close_get();
        return failed ? -1 : -2;
    }
    Path key(DB_MANAGEABLE_DEVICE_PATH, id);
    int rc = TR111_KX_DB_Set(db.get(), key.s, path);
    close_after_write(db, rc);
    if (rc != 0) {
        TR111_ERR("Unable to write Manageable device path value");
        return -1;
    }
    TR111_INFO("Manageable device path value set with success");
    return 0;
}

// Guarded by the list (one handle for the list and the write): only a
// listed device records a rule.
int md_set_crpt_id(int32_t id, int32_t crpt_id) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    int32_t ids[MD_MAX_NBR];
    int count = md_get_list(ids, db.get());
    bool found = false;
    for (int i = 0; i < count && !found; ++i)
        found = ids[i] == id;
    if (!found) {
        TR111_ERR("Manageable device not found ");
        return -2;
    }
    TR111_INFO(" Manageable device found ");
    char text[12];
    snprintf(text, sizeof text, "%d", static_cast<int>(crpt_id));
    Path key(DB_MANAGEABLE_DEVICE_CRPT_PATH, id);
    int rc = TR111_KX_DB_Set(db.get(), key.s, text);
    close_after_write(db, rc);
    if (rc != 0) {
        TR111_ERR("Error in writing Manageable device CRPT_PATH value");
        return -1;
    }
    TR111_INFO("Writing Manageable device Value CRPT_PATH  with success");
    return 0;
}

int md_set_crpt_enable(int32_t id, int32_t value) {
    char text[12];
    snprintf(text, sizeof text, "%d", static_cast<int>(value));
    int rc = write_key(DB_MANAGEABLE_DEVICE_CRPT_ENABLE_PATH, id, text);
    if (rc == -3) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    if (rc == -2) return -2;
    if (rc != 0) {
        TR111_ERR("unable to set CRPT_ENABLE for MD");
        return -1;
    }
    return 0;
}

int md_set_type(int32_t id, int flag) {
    int rc = write_key(DB_MANAGEABLE_DEVICE_TYPE_PATH, id, flag ? "1" : "0");
    if (rc == -3) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    return rc;
}

// Deletes the whole record; -1 when no handle could be opened or the
// connection broke before the delete went out. Its deletion comes back as a configuration
// change, which frees the device's table entry.
int md_remove(int32_t id) {
    Path record(DB_MANAGEABLE_DEVICE_OBJECT_DEL_PATH, id);
    TR111_INFOF("DB_MANAGEABLE_DEVICE_OBJECT_DEL_PATH = %s \n", record.s);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    KX_DB_Delete(db.get(), record.s);
    // A delete that never reached the server leaves the record: say so, so
    // that the caller keeps the device's table entry with it.
    bool failed = broken(db);
    db.close_set();
    if (failed) {
        md_index_drop(); // whether the record is gone is not known
        TR111_ERRF("connection failed while deleting %s\n", record.s);
        return -1;
    }
    // The lease searches stop finding it now, not once its deletion is back.
    md_index_forget(id);
    return 0;
}
