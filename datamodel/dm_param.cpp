// ManageableDevice parameter handlers: the two counters beside the object,
// the instance list, the identity of a device, its activity, its retention
// and its pass-through switch.
//
// A plain TR-111 device (type 1) reads "0" for Active, RetainDeviceEntry and
// ConnectionRequestPassThroughEnable; a set of one of the writable ones turns
// it into a WT111R2 device (type 0) for good, then carries the set out. A
// set on an instance that is not a listed device writes nothing at all.
#include "datamodel/datamodel.h"

#include "crpt/crpt.h"
#include "datamodel/dm_util.h"
#include "db/tr111_db.h"
#include "main/tr111.h"
#include "registry/md.h"

#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_dm_param";

using tr111dm::device_id;
using tr111dm::write_empty;
using tr111dm::write_int;
using tr111dm::write_text;

// Room for the instance list: one byte per device and the closing zero.
static_assert(MD_MAX_NBR + 1 <= static_cast<int>(TR111_VALUE_SIZE));

// Widths of the identity texts the ACS sees.
static constexpr size_t OUI_WIDTH = 6;
static constexpr size_t SN_WIDTH = 64;
static constexpr size_t PC_WIDTH = 64;

int32_t get_val_MGTDEVICE_NBR_ENTRIES(const char*, const uint32_t*, uint32_t, const char*,
                                      char* value_out) {
    int nbr = md_get_nbr();
    if (nbr < 0) {
        // Never a wrong count: the ACS gets a fault instead.
        TR111_ERRF("manageable device count failed, ret_code = %d\n", nbr);
        write_empty(value_out);
        return TR111_FAULT_9002;
    }
    write_int(value_out, nbr);
    return 0;
}

int32_t get_val_MGTDEVICE_NOTIF_LIMIT(const char*, const uint32_t*, uint32_t, const char*,
                                      char* value_out) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        write_empty(value_out);
        return TR111_FAULT_9002;
    }
    tr111::DbString limit(TR111_KX_DB_Get(db.get(), DB_MANAGEABLE_DEVICE_NOTIF_LIMIT));
    // An absent key reads "0"; a read lost on the connection is a failure.
    bool failed = db.get()->ipc_err != 0;
    db.close_get();
    if (failed) {
        TR111_ERR("Error in get notification limit value");
        write_empty(value_out);
        return TR111_FAULT_9002;
    }
    if (limit) {
        // The setter refuses longer texts; one written by someone else is cut.
        write_text(value_out, limit.get(), TR111_VALUE_SIZE - 1);
    } else {
        write_text(value_out, "0", 1);
    }
    return 0;
}

int32_t set_val_MGTDEVICE_NOTIF_LIMIT(const char*, const uint32_t*, uint32_t, const char* value_in,
                                      char*) {
    // The getter answers at most 255 characters: a longer text is refused
    // rather than stored and read back cut.
    if (!tr111dm::input_is_text(value_in) || strlen(value_in) > TR111_VALUE_SIZE - 1) {
        TR111_ERR("Error in set notification limit value");
        return TR111_FAULT_9002;
    }
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("Unable to open Tamrix database ");
        return TR111_FAULT_9002;
    }
    if (TR111_KX_DB_Set(db.get(), DB_MANAGEABLE_DEVICE_NOTIF_LIMIT, value_in) != 0) {
        db.close_get();
        TR111_ERR("Error in set notification limit value");
        return TR111_FAULT_9002;
    }
    db.close_set();
    return 0;
}

int32_t get_ManageableDeviceInstance(const char*, const uint32_t*, uint32_t, const char*,
                                     char* value_out) {
    int32_t ids[MD_MAX_NBR];
    memset(ids, 0, sizeof ids);
    int count = md_get_list(ids);
    TR111_INFOF("Returned inst nbr:%d\n", count);
    if (count < 0) {
        TR111_ERR("Error in Manageable Device list ");
        write_empty(value_out);
        return TR111_FAULT_9002;
    }
    if (count > MD_MAX_NBR) count = MD_MAX_NBR;
    size_t pos = 0;
    for (int i = 0; i < count; ++i) {
        int32_t inst = ids[i] + 1;
        if (ids[i] < 0 || inst > 255) {
            // An instance number must fit one byte; the store does not hand
            // out such ids, so one here is skipped rather than truncated.
            TR111_ERRF("device id %d does not fit the instance list\n", ids[i]);
            continue;
        }
        TR111_INFOF("Inst nbr:%d\n", inst);
        value_out[pos++] = static_cast<char>(static_cast<uint8_t>(inst));
    }
    value_out[pos] = '\0';
    return 0;
}

int32_t get_val_MGMTSRV_MGTDEVICE_MANUFACTURER_OUI(const char*, const uint32_t* instances, uint32_t,
                                                   const char*, char* value_out) {
    memset(value_out, 0, TR111_VALUE_SIZE);
    int32_t id = device_id(instances);
    TR111_INFOF("manageable device id = %d\n", id);
    char oui[OUI_WIDTH + 2];
    memset(oui, 0, sizeof oui);
    int ret = md_get_manufacturer_oui(id, oui);
    if (ret < 0) {
        TR111_ERRF("get Manufacturer oui value from DB failed, ret_code = %d\n", ret);
        return TR111_FAULT_9002;
    }
    TR111_INFOF("Manufacturer oui value = %s\n", oui);
    write_text(value_out, oui, OUI_WIDTH);
    return 0;
}

int32_t get_val_MGMTSRV_MGTDEVICE_SERIAL_NUMBER(const char*, const uint32_t* instances, uint32_t,
                                                const char*, char* value_out) {
    memset(value_out, 0, TR111_VALUE_SIZE);
    int32_t id = device_id(instances);
    TR111_INFOF("manageable device id = %d\n", id);
    char sn[SN_WIDTH + 1];
    memset(sn, 0, sizeof sn);
    int ret = md_get_serial_number(id, sn);
    if (ret < 0) {
        TR111_ERRF("get serial number failed, ret_code = %d\n", ret);
        return TR111_FAULT_9002;
    }
    TR111_INFOF(" device Serial Number = %s\n", sn);
    write_text(value_out, sn, SN_WIDTH);
    return 0;
}

int32_t get_val_MGTDEVICE_PRODUCT_CLASS(const char*, const uint32_t* instances, uint32_t,
                                        const char*, char* value_out) {
    memset(value_out, 0, TR111_VALUE_SIZE);
    int32_t id = device_id(instances);
    TR111_INFOF("manageable device id = %d\n", id);
    char pc[PC_WIDTH + 1];
    memset(pc, 0, sizeof pc);
    int ret = md_get_product_class(id, pc);
    if (ret < 0) {
        TR111_ERRF("get product class failed, ret_code = %d\n", ret);
        return TR111_FAULT_9002;
    }
    TR111_INFOF("Product class value= %s\n", pc);
    write_text(value_out, pc, PC_WIDTH);
    return 0;
}

int32_t get_val_MGTDEVICE_ACTIVE(const char*, const uint32_t* instances, uint32_t, const char*,
                                 char* value_out) {
    int32_t id = device_id(instances);
    TR111_ERRF("manageable device id = %d\n", id);
    if (md_get_type(id) == MD_TYPE_TR111) {
        write_int(value_out, 0);
        TR111_ERR("get parameter active for TR111 device");
        return 0;
    }
    int status = md_is_active(id);
    if (status < 0) {
        TR111_ERRF("get Active failed, error code = %d\n", status);
        write_empty(value_out);
        return TR111_FAULT_9002;
    }
    TR111_INFOF("device %d with status %d\n", id, status);
    write_int(value_out, status);
    return 0;
}

int32_t get_val_RETAIN_DEVICE_ENTRY(const char*, const uint32_t* instances, uint32_t, const char*,
                                    char* value_out) {
    int32_t id = device_id(instances);
    if (md_get_type(id) == MD_TYPE_TR111) {
        write_int(value_out, 0);
        TR111_INFO("get retain entry value for TR111 device");
        return 0;
    }
    int retain = md_get_retain_device_entry(id);
    if (retain < 0) {
        TR111_ERRF("get retain entry failed, ret_code = %d\n", retain);
        write_empty(value_out);
        return TR111_FAULT_9002;
    }
    write_int(value_out, retain);
    return 0;
}

// Forgets an inactive device that is no longer retained: its rule, its
// status-table entry and its record. Every step is tried even when an
// earlier one failed; the failures are only logged.
static void remove_inactive_device(int32_t id) {
    int rule = md_get_crpt_id(id);
    if (rule >= 0) {
        int ret = crpt_remove(rule);
        if (ret < 0)
            TR111_ERRF("unable to remove crpt rule from DB crpt_id : %d, code error : %d\n", rule,
                       ret);
    }
    int ret = mdlt_remove(id);
    if (ret < 0)
        TR111_ERRF("unable to remove device from MD table id : %d, code error : %d\n", id, ret);
    ret = md_remove(id);
    if (ret < 0) TR111_ERRF("unable to remove device from DB id : %d, code error : %d\n", id, ret);
}

int32_t set_val_RETAIN_DEVICE_ENTRY(const char*, const uint32_t* instances, uint32_t,
                                    const char* value_in, char*) {
    int32_t id = device_id(instances);
    if (md_is_exist(id) != 1) {
        TR111_ERRF("manageable device %d not listed: nothing set\n", id);
        return TR111_FAULT_9002;
    }
    if (md_get_type(id) == MD_TYPE_TR111) {
        TR111_ERR("Invalid request set value retain entry for a TR111 DEVICE ");
        md_set_type(id, MD_TYPE_WT111R2);
    }
    int32_t value = 0;
    if (!tr111dm::input_is_text(value_in) || s_str_to_int(value_in, &value) != 0) {
        TR111_ERR("Invalid retain entry value ");
        return TR111_FAULT_9002;
    }
    int ret = md_set_retain_device_entry(id, value);
    if (ret < 0) {
        TR111_ERRF("set retain entry value failed, ret_code = %d\n", ret);
        return TR111_FAULT_9002;
    }
    if (value != 0) return 0;
    // No longer retained: an inactive device goes at once, an active one
    // (or one whose status is unknown) stays until it becomes inactive.
    if (md_is_active(id) != 0) return 0;
    remove_inactive_device(id);
    return 0;
}

int32_t get_val_MGTDEVICE_CRPT_ENABLE(const char*, const uint32_t* instances, uint32_t, const char*,
                                      char* value_out) {
    int32_t id = device_id(instances);
    if (md_get_type(id) == MD_TYPE_TR111) {
        write_int(value_out, 0);
        TR111_INFO("get crpt enable parameter for TR111 DEVICE ");
        return 0;
    }
    int rule = md_get_crpt_id(id);
    if (rule == -2) {
        TR111_INFOF("crpt not yet created for device %d, ret_code = %d\n", id, rule);
        write_int(value_out, 0);
        return 0;
    }
    if (rule < 0) {
        TR111_ERRF("md_get_crpt_id failed, ret_code = %d\n", rule);
        write_empty(value_out);
        return TR111_FAULT_9002;
    }
    int enabled = crpt_is_enabled(rule);
    if (enabled < 0) {
        // The rule named by the record is gone or unreadable: a fault, never
        // a guess at its state.
        TR111_ERRF("crpt_is_enabled failed, rule %d, ret_code = %d\n", rule, enabled);
        write_empty(value_out);
        return TR111_FAULT_9002;
    }
    write_int(value_out, enabled);
    return 0;
}

int32_t set_val_MGTDEVICE_CRPT_ENABLE(const char*, const uint32_t* instances, uint32_t,
                                      const char* value_in, char*) {
    int32_t id = device_id(instances);
    if (md_is_exist(id) != 1) {
        TR111_ERRF("manageable device %d not listed: nothing set\n", id);
        return TR111_FAULT_9002;
    }
    if (md_get_type(id) == MD_TYPE_TR111) {
        TR111_ERR("set crpt enable not permitted for a TR111 device ");
        md_set_type(id, MD_TYPE_WT111R2);
    }
    int32_t value = 0;
    if (!tr111dm::input_is_text(value_in) || s_str_to_int(value_in, &value) != 0) {
        TR111_ERR("invalid crpt enable value ");
        return TR111_FAULT_9002;
    }
    int ret = md_set_crpt_enable(id, value);
    if (ret < 0) {
        TR111_ERRF("set manageable device crpt enable failed, ret_code = %d\n", ret);
        return TR111_FAULT_9002;
    }
    int rule = md_get_crpt_id(id);
    if (rule == -2) {
        // The stored flag takes effect when the URL setter creates the rule.
        TR111_INFOF("no crpt created for the device %d\n", id);
        return 0;
    }
    if (rule < 0) {
        TR111_ERRF("get crpt id failed, ret_code = %d\n", rule);
        return TR111_FAULT_9002;
    }
    if (value == 1)
        ret = crpt_enable(rule);
    else if (value == 0)
        ret = crpt_disable(rule);
    else
        return 0;
    if (ret < 0) {
        TR111_ERRF("crpt disable/enable failed, ret_code = %d\n", ret);
        return TR111_FAULT_9002;
    }
    return 0;
}
