// Chief header of the TR-069 agent link: the handler convention, the
// parameter table row, the channel, the request loop and set atomicity.
#pragma once

#include "platform/include/tr69_lib.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

// CWMP fault codes the handlers return.
constexpr int32_t TR111_FAULT_9002 = 9002; // internal error
constexpr int32_t TR111_FAULT_9009 = 9009; // notification request rejected
// A handler result asking the loop to reply and call the handler again.
constexpr int32_t TR111_CALL_AGAIN = 10000;

constexpr size_t TR111_VALUE_SIZE = 256;     // value buffer handed to handlers
constexpr size_t TR111_VALUE_IN_SIZE = 1792; // input area of a request
constexpr int TR111_INSTANCES = 5;

// Every getter, setter, instance lister and attribute handler:
// name of the request, its five instance numbers, the row id, the input
// value (text; first byte for the attribute setter), the 256-byte value
// buffer. Returns 0, a CWMP fault code, or TR111_CALL_AGAIN.
typedef int32_t dm_handler(const char* name, const uint32_t* instances, uint32_t id,
                           const char* value_in, char* value_out);
// The atomicity handlers take the request's id only.
typedef int32_t atomicity_handler(uint32_t id);

// One row of the parameter table: sixteen 32-bit words. Address fields hold
// references (tr69_ref); words 5 to 15 are the handler block given to the
// library.
struct dm_entry {
    uint32_t id;
    uint32_t name; // reference of the name template; 0 ends the table
    uint32_t flags;
    uint32_t reserved3;
    uint32_t type;
    uint32_t getter; // word 5: start of the handler block
    uint32_t setter;
    uint32_t lister; // instance lister, object row only
    uint32_t slot8;  // 0xFFFFFFFF in the object row (end of its block)
    uint32_t slot9;
    uint32_t attr_get;
    uint32_t attr_set;
    uint32_t acl_get;
    uint32_t acl_set;
    uint32_t end; // 0xFFFFFFFF in parameter rows
    uint32_t reserved15;
};
static_assert(sizeof(dm_entry) == 64);
static_assert(offsetof(dm_entry, name) == 4);
static_assert(offsetof(dm_entry, type) == 16);
static_assert(offsetof(dm_entry, getter) == 20);
static_assert(offsetof(dm_entry, lister) == 28);
static_assert(offsetof(dm_entry, attr_get) == 40);
static_assert(offsetof(dm_entry, end) == 56);

// Type codes and flags given to the library.
constexpr uint32_t TR111_TYPE_UINT = 0x10;
constexpr uint32_t TR111_TYPE_STRING = 0x0E;
constexpr uint32_t TR111_TYPE_BOOL = 0x15;
constexpr uint32_t TR111_TYPE_OBJECT = 0;
constexpr uint32_t TR111_FLAG_OBJECT = 0x100;
constexpr uint32_t TR111_FLAG_IDENTITY = 0x10000;

// Row ids of the parameter table.
enum : uint32_t {
    TR111_ID_OBJECT = 0,
    TR111_ID_NBR_ENTRIES = 1,
    TR111_ID_NOTIF_LIMIT = 2,
    TR111_ID_OUI = 3,
    TR111_ID_SERIAL = 4,
    TR111_ID_PRODUCT_CLASS = 5,
    TR111_ID_ACTIVE = 6,
    TR111_ID_RETAIN = 7,
    TR111_ID_CRPT_ENABLE = 8,
    TR111_ID_DEV_CR_URL = 9,
    TR111_ID_CR_URL = 10,
};

constexpr size_t TR111_DM_ROWS = 12; // 11 rows and the end row
extern dm_entry tr111_dm[TR111_DM_ROWS];

// The name template of a row, or null for the end row.
inline const char* dm_name(const dm_entry* row) {
    return static_cast<const char*>(tr69_addr(row->name));
}

// Channel to the TR-069 agent (the request loop).
extern int32_t tr69_channel_id;
int32_t* getChannelId();
int32_t tr69dm_register_app(int mailbox);
int32_t tr69dm_handle_data_req();

// Parameter table and registration.
int32_t tr69_register_app_dm();
int32_t register_TR69_dm_entries(const dm_entry* table, int32_t* channel,
                                 const dm_entry** failed_row);
int ignoreFormats8(const char* tmpl, char* out);
const dm_entry* get_dm_by_id(uint32_t id);
// True when ref is a handler word of a row that register_TR69_dm_entries
// registered: the request loop calls no other parameter handler.
bool tr111_handler_registered(uint32_t ref);

// Set atomicity.
struct tr111_list_link {
    tr111_list_link* next;
    tr111_list_link* prev;
};

struct set_action {
    tr111_list_link link; // first, so a link is its record
    char* param_name;
    char* old_val;
    uint32_t instances[TR111_INSTANCES];
    uint32_t id;
};

struct request_entry {
    char name[264];
    tr111_list_link link;
};

extern tr111_list_link set_action_list; // main thread only
extern tr111_list_link request_list;    // under set_param_mtx
extern pthread_mutex_t set_param_mtx;

extern const tr69_atomicity_row tr111_atomicity_table[4];
int register_atomicity_support();
int32_t atomicity_start(uint32_t id);
int32_t atomicity_commit(uint32_t id);
int32_t atomicity_rollback(uint32_t id);
void free_set_action(set_action* record);
int check_request_list(const char* name);
