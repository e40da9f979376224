// Configuration-change handling (CHANGE_DB messages into events) and
// value-change notification under the limit.
#pragma once

#include "platform/include/msg.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

// Decoded change: 528 bytes.
struct tr111_change {
    char path[256];
    uint8_t action; // 1 create, 2 delete, 3 update
    char param[271];
};
static_assert(sizeof(tr111_change) == 528);
static_assert(offsetof(tr111_change, action) == 256);
static_assert(offsetof(tr111_change, param) == 257);

constexpr uint8_t TR111_CHANGE_CREATE = 1;
constexpr uint8_t TR111_CHANGE_DELETE = 2;
constexpr uint8_t TR111_CHANGE_UPDATE = 3;

int tr111_callback_for_MSG_CHANGE_DB(const MSG_Message* msg, const uint8_t* payload,
                                     uint32_t length);
// Decodes length bytes of payload into change. Returns 0 or -1; never reads
// past the payload.
int autom_notif2TR111notif(const uint8_t* payload, uint32_t length, tr111_change* change);
int handle_db_change(const tr111_change* change);
int32_t get_device_id_from_lease_id(int32_t lease);
int32_t get_device_id_from_abondonned_lease_id(int32_t lease);

// Value-change notification.
constexpr const char* TR111_EVENT_VALUE_CHANGE = "4 VALUE CHANGE";
int Notify_by_index(uint32_t param_id, uint32_t instance);
int TR69notify(const char* name, int attribute);
int32_t get_notification_limit();
void init_notification();

// Clock of the notification limit; time() unless a test sets another.
extern time_t (*tr111_notify_clock)(time_t*);
// Last active-notification time (seconds, unsigned 32-bit), 0 at start.
extern uint32_t tr111_last_active_notif;
