// Handlers of the ManageableDevice data model: parameters, connection-request
// URLs and attributes. Every handler follows the dm_handler convention.
#pragma once

#include "tr69/tr69_dm.h"

#define DM_ARGS                                                                                    \
    const char *name, const uint32_t *instances, uint32_t id, const char *value_in, char *value_out

// Parameters.
int32_t get_val_MGTDEVICE_NBR_ENTRIES(DM_ARGS);
int32_t get_val_MGTDEVICE_NOTIF_LIMIT(DM_ARGS);
int32_t set_val_MGTDEVICE_NOTIF_LIMIT(DM_ARGS);
int32_t get_ManageableDeviceInstance(DM_ARGS);
int32_t get_val_MGMTSRV_MGTDEVICE_MANUFACTURER_OUI(DM_ARGS);
int32_t get_val_MGMTSRV_MGTDEVICE_SERIAL_NUMBER(DM_ARGS);
int32_t get_val_MGTDEVICE_PRODUCT_CLASS(DM_ARGS);
int32_t get_val_MGTDEVICE_ACTIVE(DM_ARGS);
int32_t get_val_RETAIN_DEVICE_ENTRY(DM_ARGS);
int32_t set_val_RETAIN_DEVICE_ENTRY(DM_ARGS);
int32_t get_val_MGTDEVICE_CRPT_ENABLE(DM_ARGS);
int32_t set_val_MGTDEVICE_CRPT_ENABLE(DM_ARGS);

// Connection-request URLs.
int32_t get_val_MGTDEVICE_DEVICE_CON_REQ_URL(DM_ARGS);
int32_t set_val_MGTDEVICE_DEVICE_CON_REQ_URL(DM_ARGS);
int32_t get_val_MGTDEVICE_CON_REQ_URL(DM_ARGS);
// path: 256 bytes, port: 8 bytes, host: 16 bytes. Returns 0 or -1.
int TR111_check_URL_validity(const char* url, char* path, char* port, char* host);
int get_wan_ip(char* out); // 16 bytes; 0 or -1

// Attributes.
constexpr int TR111_ATTR_OFF = 1;
constexpr int TR111_ATTR_PASSIVE = 2;
constexpr int TR111_ATTR_ACTIVE = 3;
constexpr int TR111_ATTR_READ = 11;
constexpr int TR111_ATTR_WRITE = 12;
#define DB_ATTRIBUTE_ROOT "/KELMO/TR111/attrib/"

int32_t TR69get_attribute(DM_ARGS);
int32_t TR69set_attribute(DM_ARGS);
int32_t getACL(DM_ARGS);
int32_t setACL(DM_ARGS);
int set_get_attribute(uint32_t id, const uint32_t* instances, int mode, int32_t* value);
int get_DB_attribute(const char* key, int32_t* value);
int set_DB_attribute(const char* key, int32_t value);
int invertTable(const uint32_t* src, uint32_t* dst);
