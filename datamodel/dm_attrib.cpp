// Notification attributes and access lists of the ManageableDevice
// parameters.
//
// The attribute of a parameter instance is kept in the main configuration,
// one key per parameter and instance path:
//     /KELMO/TR111/attrib/<id>/            parameter without instance
//     /KELMO/TR111/attrib/<id>/<i>./       ManageableDevice.<i>.<parameter>
//     /KELMO/TR111/attrib/<id>/<i>.<j>./   (more levels, innermost first)
// holding "1" (off), "2" (passive) or "3" (active). A key without a value
// reads as off. Keys are never deleted.
#include "datamodel/datamodel.h"

#include "db/tr111_db.h"
#include "main/tr111.h"

#include <cstdio>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_attrib";

static constexpr size_t ATTR_KEY_SIZE = 256;
// Longest key: the root, a 10-digit id, "/", five 10-digit numbers with
// their dots, the final "/".
static_assert(sizeof DB_ATTRIBUTE_ROOT - 1 + 10 + 1 + TR111_INSTANCES * 11 + 1 < ATTR_KEY_SIZE);

// Identity parameters: their values never change, so the ACS may not ask
// for active notification on them.
static const char* const identity_names[] = {"ManufacturerOUI", "SerialNumber", "ProductClass"};

int invertTable(const uint32_t* src, uint32_t* dst) {
    int last = -1;
    for (int i = 0; i < TR111_INSTANCES; ++i)
        if (src[i] != 0) last = i;
    for (int i = 0; i <= last; ++i)
        dst[i] = src[last - i];
    return 0;
}

// Builds the key of a parameter instance; the instance list ends at the
// first number that is not greater than 0.
static void attribute_key(uint32_t id, const uint32_t* instances, char* key) {
    memset(key, 0, ATTR_KEY_SIZE);
    int len = snprintf(key, ATTR_KEY_SIZE, DB_ATTRIBUTE_ROOT "%u/", static_cast<unsigned>(id));
    bool any = false;
    for (int i = 0; i < TR111_INSTANCES; ++i) {
        int32_t inst = static_cast<int32_t>(instances[i]);
        if (inst <= 0) break;
        len += snprintf(key + len, ATTR_KEY_SIZE - static_cast<size_t>(len), "%d.", inst);
        any = true;
    }
    if (any) snprintf(key + len, ATTR_KEY_SIZE - static_cast<size_t>(len), "/");
}

int get_DB_attribute(const char* key, int32_t* value) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    TR111_INFO("DB opened with succes ");
    tr111::DbString text(KX_DB_Get(db.get(), key));
    // A read lost on the connection is a failure, not an absent value.
    bool failed = db.get()->ipc_err != 0;
    db.close_get();
    if (failed) {
        TR111_ERRF("unable to read attribute %s\n", key);
        return -1;
    }
    if (!text) {
        *value = TR111_ATTR_OFF;
        return 0;
    }
    if (s_str_to_int(text.get(), value) != 0) {
        TR111_ERR("invalid retain entry value ");
        return -1;
    }
    return 0;
}

int set_DB_attribute(const char* key, int32_t value) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return -1;
    }
    TR111_INFO("DB opened with succes ");
    char text[4] = "";
    if (value >= TR111_ATTR_OFF && value <= TR111_ATTR_ACTIVE)
        snprintf(text, sizeof text, "%d", static_cast<int>(value));
    if (KX_DB_Set(db.get(), key, text) != 0) {
        TR111_ERR("unable to set_DB_attribute\r");
        db.close_get();
        return -1;
    }
    db.close_set();
    return 0;
}

int set_get_attribute(uint32_t id, const uint32_t* instances, int mode, int32_t* value) {
    char key[ATTR_KEY_SIZE];
    attribute_key(id, instances, key);
    if (mode == TR111_ATTR_WRITE)
        set_DB_attribute(key, *value); // read back below, whatever it gave
    else if (mode != TR111_ATTR_READ)
        return -1;
    return get_DB_attribute(key, value) >= 0 ? 0 : -1;
}

int32_t TR69get_attribute(const char* name, const uint32_t* instances, uint32_t id, const char*,
                          char* value_out) {
    int32_t attr = TR111_ATTR_OFF;
    uint32_t key_instances[TR111_INSTANCES];
    memset(key_instances, 0, sizeof key_instances);
    TR111_INFOF("get attribute for parameter name = %s\n", name ? name : "");
    invertTable(instances, key_instances);
    int ret = set_get_attribute(id, key_instances, TR111_ATTR_READ, &attr);
    if (ret < 0) {
        TR111_ERRF("set_get_attribute failure, fault code=%d\n", ret);
        attr = TR111_ATTR_OFF;
    } else {
        TR111_INFOF("index = %d, notification = %d \n", static_cast<int>(id), attr);
    }
    value_out[0] = static_cast<char>(attr);
    value_out[1] = '\0';
    return 0;
}

int32_t TR69set_attribute(const char* name, const uint32_t* instances, uint32_t id,
                          const char* value_in, char*) {
    uint32_t key_instances[TR111_INSTANCES];
    memset(key_instances, 0, sizeof key_instances);
    if (!name) name = "";
    TR111_INFOF("\r\n%s %s %d\r\n", "TR69set_attribute", name, static_cast<int>(id));
    int32_t requested = static_cast<signed char>(value_in[0]);
    invertTable(instances, key_instances);
    if (requested == TR111_ATTR_ACTIVE) {
        for (const char* identity : identity_names)
            if (strstr(name, identity)) return TR111_FAULT_9009;
    }
    // A storage failure is not the ACS's business: the answer is success.
    set_get_attribute(id, key_instances, TR111_ATTR_WRITE, &requested);
    return 0;
}

int32_t getACL(const char*, const uint32_t*, uint32_t, const char*, char* value_out) {
    value_out[0] = 4;
    value_out[1] = 2;
    value_out[2] = 0;
    return 0;
}

int32_t setACL(const char*, const uint32_t*, uint32_t, const char*, char* value_out) {
    value_out[0] = 0;
    return 0;
}
