// Connection-request pass-through rules: port-mapping rules of the gateway
// firewall under /fw/rule/loc_srv/<rule id>/.
#pragma once

#include <cstdint>

constexpr int CRPT_ERR_DB = -11;     // database failure or invalid stored value
constexpr int CRPT_ERR_ABSENT = -12; // rule or key absent
constexpr int CRPT_PORT_USED = -13;  // port search: in use
constexpr int CRPT_PORT_FREE = -14;  // port search: free
constexpr int CRPT_ERR_CREATE = -15; // creation failed

constexpr int CRPT_WAN_PORT_FIRST = 30000;
constexpr int CRPT_WAN_PORT_LAST = 40000;

#define CRPT_ENTITY "/fw/rule/loc_srv"
#define OBJECT_PORTMAPPING_DEL_PATH "/fw/rule/loc_srv/%d/"
#define EXTERNAL_PORT_PATH "/fw/rule/loc_srv/%d/services/0/trigger/0/dst/start"
#define EXTERNAL_PORT_PATH_END "/fw/rule/loc_srv/%d/services/0/trigger/0/dst/end"
#define INTERNAL_PORT_PATH "/fw/rule/loc_srv/%d/fwd_from"
#define INTERNAL_PORT_END_PATH "/fw/rule/loc_srv/%d/fwd_to"
#define DB_PROTOCOL_PATH "/fw/rule/loc_srv/%d/services/0/trigger/0/protocol"
#define DESCRIPTION_PATH "/fw/rule/loc_srv/%d/services/0/name"
#define PORT_MAPPING_ENABLE_PATH_PATH "/fw/rule/loc_srv/%d/enabled"
#define PORT_MAPPING_INTERNAL_CLIENT_PATH "/fw/rule/loc_srv/%d/rdir/item/0/hostname"

// Highest rule id handed out: the instance list carries each rule as one
// byte, its id + 1.
constexpr int CRPT_ID_MAX = 254;

// What one pass over the rule set found: which ids of 0..254 are taken,
// and which WAN ports of 30000..40000 some rule holds (every port from its
// dst/start to its dst/end).
struct crpt_rule_scan {
    uint8_t ids[(CRPT_ID_MAX + 1 + 7) / 8];
    uint8_t ports[(CRPT_WAN_PORT_LAST - CRPT_WAN_PORT_FIRST + 1 + 7) / 8];
    bool listed; // the instance list has been taken into account
};

int crpt_create(uint32_t lan_port, const char* dev_ip);
// The highest rule id present (-1: none; -12: no rule set; -11: failure).
// With a scan, also records every rule's id and WAN ports, and the rule ids
// the device records name (taken, and counted in the highest), on the same
// handle.
int crpt_maxPortMappingId(crpt_rule_scan* scan = nullptr);
// -13 when a rule holds the port, -14 when none does, -11 when the instance
// list cannot be obtained. The first call fetches the list once and reads
// the ports of any listed rule the scan did not see.
int crpt_port_wan_is_used(int port, crpt_rule_scan* scan);

int crpt_enable(int32_t rule);
int crpt_disable(int32_t rule);
int crpt_set_dev_ip(int32_t rule, const char* ip);
int crpt_remove(int32_t rule);
int crpt_get_lan_port(int32_t rule);
int crpt_get_wan_port(int32_t rule);
int crpt_get_dev_ip(int32_t rule, char* out); // at least 16 bytes
int crpt_is_enabled(int32_t rule);
