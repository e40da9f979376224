// Manageable-device registry: the device store (records in the
// configuration database), the status table and the device and DHCP event
// handlers.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int MD_MAX_NBR = 127;
// Highest device id: its instance number (id + 1) fits one byte of the
// instance list. The store lists no other id, the status table takes no
// other, so every part of the daemon has one idea of what a device is.
constexpr int32_t MD_ID_MAX = 254;

// Device record type.
constexpr int MD_TYPE_WT111R2 = 0;
constexpr int MD_TYPE_TR111 = 1;

#define DB_MANAGEABLE_DEVICE_SET "/KELMO/TR111/ManageableDevice/"
#define DB_MANAGEABLE_DEVICE_OBJECT_DEL_PATH "/KELMO/TR111/ManageableDevice/%d"
#define DB_MANAGEABLE_DEVICE_OUI_PATH "/KELMO/TR111/ManageableDevice/%d/OUI"
#define DB_MANAGEABLE_DEVICE_SN_PATH "/KELMO/TR111/ManageableDevice/%d/SerialNumber"
#define DB_MANAGEABLE_DEVICE_PRODUCT_CLASS_PATH "/KELMO/TR111/ManageableDevice/%d/ProductClass"
#define DB_MANAGEABLE_DEVICE_MAC_PATH "/KELMO/TR111/ManageableDevice/%d/MacAddress"
#define DB_MANAGEABLE_DEVICE_TYPE_PATH "/KELMO/TR111/ManageableDevice/%d/type"
#define DB_MANAGEABLE_DEVICE_RETAIN_DEV_ENTRY_PATH "/KELMO/TR111/ManageableDevice/%d/retainDevEntry"
#define DB_MANAGEABLE_DEVICE_CRPT_PATH "/KELMO/TR111/ManageableDevice/%d/Crpt_Id"
#define DB_MANAGEABLE_DEVICE_CRPT_ENABLE_PATH "/KELMO/TR111/ManageableDevice/%d/Crpt_Enable"
#define DB_MANAGEABLE_DEVICE_PATH "/KELMO/TR111/ManageableDevice/%d/path"
#define DB_MANAGEABLE_DEVICE_NOTIF_LIMIT "/KELMO/TR111/MDNotificationLimit"

#define DB_LEASE_SET "/dev/br0/dhcps/lease/"
#define DB_LEASE_MAC_PATH "/dev/br0/dhcps/lease/%d/hardware_mac"
#define DB_LEASE_IP_PATH "/dev/br0/dhcps/lease/%d/ip"

struct KX_DB_handle;

// Device store. Results: the value or 0; -1 failure or invalid value; -2 absent.
// The list, its count and the readers taking a handle work on the caller's
// open handle when one is given (which stays open), on their own otherwise.
// The listed devices: the first MD_MAX_NBR children with ids 0..MD_ID_MAX.
int md_get_list(int32_t* ids, KX_DB_handle* db = nullptr); // room for MD_MAX_NBR ids
int md_get_nbr();                                          // the number md_get_list lists
int md_is_exist(int32_t id);
int md_get_manufacturer_oui(int32_t id, char* out); // 8-byte zeroed buffer
int md_get_serial_number(int32_t id, char* out);    // 65 bytes
int md_get_product_class(int32_t id, char* out);    // 65 bytes
int md_get_retain_device_entry(int32_t id, KX_DB_handle* db = nullptr);
int md_set_retain_device_entry(int32_t id, int32_t value);
int md_get_crpt_id(int32_t id, KX_DB_handle* db = nullptr);
int md_set_crpt_id(int32_t id, int32_t crpt_id);
int md_get_crpt_enable(int32_t id, KX_DB_handle* db = nullptr);
int md_set_crpt_enable(int32_t id, int32_t value);
int md_get_path(int32_t id, char* out); // 257 bytes: at most 256 copied
int md_set_path(int32_t id, const char* path);
int md_get_type(int32_t id, KX_DB_handle* db = nullptr);
int md_set_type(int32_t id, int flag);
int md_remove(int32_t id);

// Index of the listed devices' MAC addresses for the lease searches (kept
// in memory, built by a walk on h when missing). The first listed device
// whose MacAddress the lease's hardware MAC contains, checked on h before
// it is returned; -1 when none does or the walk failed.
int32_t md_index_find(KX_DB_handle* h, const char* lease_mac);
// The device set may have changed (a record created or deleted, a
// MacAddress written, start-up): the next search walks again.
void md_index_drop();
// The record of id was deleted: it leaves the index.
void md_index_forget(int32_t id);

// Status table, shared by the request loop and the message receive thread.
struct mdlt_entry {
    int32_t id;     // -1: free
    int32_t status; // 1 active, 0 inactive
};
extern mdlt_entry mdlt[MD_MAX_NBR];

int md_initilize();
int mdlt_add(int32_t id);
int mdlt_remove(int32_t id);
int mdlt_update_status(int32_t id, int32_t status);
int md_is_active(int32_t id);
int md_refresh_status(int32_t id, int32_t status);
int md_refresh_active(int32_t id);
int md_refresh_inactive(int32_t id);
int md_get_device_ip(int32_t id, char* out); // 16 bytes

// Device and DHCP events.
struct ev_cb_row {
    int32_t event;
    int32_t (*handler)(int32_t arg);
};
constexpr size_t EV_CB_ROWS = 8;
extern const ev_cb_row ev_cb[EV_CB_ROWS];

int32_t event_call_back(int32_t event, int32_t arg);
int32_t tr111_callback_new_dhcp(int32_t id);
int32_t tr111_callback_renew_dhcp(int32_t id);
int32_t tr111_callback_expire_dhcp(int32_t id);
int32_t tr111_callback_release_dhcp(int32_t id);
int32_t tr111_callback_wan_ip_change(int32_t unused);
int32_t tr111_callback_new_tr69_device(int32_t id);
int32_t tr111_callback_device_ip_change(int32_t id);
int32_t tr111_callback_remove_tr69_device(int32_t id);
