// Device and DHCP event handlers: the change handling (notify/change_db.cpp)
// turns each relevant configuration change into an event, a number from 1 to
// 8 with one integer argument (usually a device id, -1 when no device was
// found). The table ev_cb maps each event to its handler; the handlers move
// the device through the status table and its pass-through rule, and raise
// the value-change notifications that follow. They run on the message
// library's receive thread, one change at a time. Failures are logged and
// dropped: no handler retries and none reports back to the management
// process, and notifications go out even when the table or rule update
// before them failed.
#include "registry/md.h"

#include "crpt/crpt.h"
#include "main/tr111.h"
#include "notify/notify.h"
#include "tr69/tr69_dm.h"

#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_events";

const ev_cb_row ev_cb[EV_CB_ROWS] = {
    {1, tr111_callback_new_dhcp},         {2, tr111_callback_renew_dhcp},
    {3, tr111_callback_expire_dhcp},      {4, tr111_callback_release_dhcp},
    {6, tr111_callback_wan_ip_change},    {5, tr111_callback_new_tr69_device},
    {7, tr111_callback_device_ip_change}, {8, tr111_callback_remove_tr69_device},
};

namespace {

// Instance number of a device id.
uint32_t instance_of(int32_t id) {
    return static_cast<uint32_t>(id) + 1;
}

} // namespace

int32_t event_call_back(int32_t event, int32_t arg) {
    // The dispatcher's line belongs to the change handling that calls it.
    static constexpr char TR111_MODULE[] = "TR111_notif";
    for (const ev_cb_row& row : ev_cb) {
        if (row.event != event) continue;
        TR111_INFOF("event code = %d \n", static_cast<int>(event));
        return row.handler(arg);
    }
    return 0;
}

// A new lease: the device becomes active.
int32_t tr111_callback_new_dhcp(int32_t id) {
    if (id == -1) return -1;
    int ret = md_refresh_status(id, 1);
    if (ret < 0) TR111_ERRF("md_refresh_status failed ret_code : %d \n", ret);
    return ret;
}

// A renewed lease: the device becomes active (its rule is enabled again when
// its pass-through is on).
int32_t tr111_callback_renew_dhcp(int32_t id) {
    if (id < 0) {
        TR111_ERRF("invalid device id :%d \n", static_cast<int>(id));
        return -1;
    }
    int ret = md_refresh_status(id, 1);
    if (ret < 0) TR111_ERRF(" md_refresh_status failed ret_code : %d \n", ret);
    return ret;
}

// An expired lease: the device becomes inactive.
int32_t tr111_callback_expire_dhcp(int32_t id) {
    if (id < 0) {
        TR111_ERRF("invalid device id :%d \n", static_cast<int>(id));
        return -1;
    }
    int ret = md_refresh_status(id, 0);
    if (ret < 0) TR111_ERRF("md_refresh_status failed code error : %d \n", ret);
    return ret;
}

// A released lease: the device becomes inactive.
int32_t tr111_callback_release_dhcp(int32_t id) {
    if (id < 0) {
        TR111_ERRF("invalid device id :%d \n", static_cast<int>(id));
        return -1;
    }
    int ret = md_refresh_status(id, 0);
    if (ret < 0)
        TR111_ERRF("error md_refresh_status for device %d ret_code= %d \n", static_cast<int>(id),
                   ret);
    return ret;
}

// A new WAN address: every device's ConnectionRequestURL carries it.
int32_t tr111_callback_wan_ip_change(int32_t unused) {
    (void)unused;
    int32_t ids[MD_MAX_NBR];
    int count = md_get_list(ids);
    if (count < 0) {
        TR111_ERR("Error in get device list, can't notify any device ");
        return -1;
    }
    if (count > MD_MAX_NBR) count = MD_MAX_NBR;
    for (int i = 0; i < count; ++i)
        Notify_by_index(TR111_ID_CR_URL, instance_of(ids[i]));
    return 0;
}

// A new record: the device enters the status table as active and the number
// of entries changed.
int32_t tr111_callback_new_tr69_device(int32_t id) {
    if (id == -1) return -1;
    TR111_INFO("tr111_callback_new_tr69_device ");
    if (mdlt_add(id) < 0)
        TR111_ERRF("device : %d fail to add device in mdlt", static_cast<int>(id));
    TR111_INFOF("device : %d with status updated", static_cast<int>(id));
    return Notify_by_index(TR111_ID_NBR_ENTRIES, static_cast<uint32_t>(id));
}

// The device moved to another address (its old lease was abandoned): its
// pass-through rule follows it to its current lease, and its
// DeviceConnectionRequestURL changed.
int32_t tr111_callback_device_ip_change(int32_t id) {
    if (id == -1) return -1;
    TR111_INFO("tr111_callback_device_ip_change ");
    int rule = md_get_crpt_id(id);
    if (rule < 0) {
        TR111_ERR("md_get_crpt_id  failed ");
    } else {
        char ip[16];
        memset(ip, 0, sizeof ip);
        // Without a current lease the rule is left as it is.
        if (md_get_device_ip(id, ip) == 0) crpt_set_dev_ip(rule, ip);
    }
    return Notify_by_index(TR111_ID_DEV_CR_URL, instance_of(id));
}

// A deleted record: its table entry goes (a plain TR-111 device has lost it
// already when it became inactive) and the number of entries changed.
int32_t tr111_callback_remove_tr69_device(int32_t id) {
    if (id == -1) return -1;
    TR111_INFO("tr111_callback_remove_tr69_device ");
    if (mdlt_remove(id) < 0)
        TR111_ERRF("device : %d fail to delete device in mdlt", static_cast<int>(id));
    return Notify_by_index(TR111_ID_NBR_ENTRIES, static_cast<uint32_t>(id));
}
