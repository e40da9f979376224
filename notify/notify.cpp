// Value-change notification: a report that parameter id N of instance I
// changed becomes a value-change event for the TR-069 agent when the
// parameter's notification attribute asks for it. Passive notifications go
// out at once; active ones are held to one per ManageableDeviceNotificationLimit
// seconds, shared by every parameter and instance, and a notification the
// limit holds back is dropped. Also the start-up step init_notification.
//
// Runs on the message library's receive thread (change handling and the
// device events); the last active-notification time is touched by that
// thread only.
#include "notify/notify.h"

#include "datamodel/datamodel.h"
#include "db/tr111_db.h"
#include "main/tr111.h"
#include "registry/md.h"
#include "tr69/tr69_dm.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_notify";

time_t (*tr111_notify_clock)(time_t*) = time;
uint32_t tr111_last_active_notif = 0;

namespace {

constexpr size_t NAME_SIZE = 256;
static_assert(TR69_EVENT_CODE_SIZE == 104);
static_assert(TR69_EVENT_NAME_SIZE == 257);
static_assert(TR69_EVENT_PARAM_SIZE == TR69_EVENT_NAME_SIZE + 1);
static_assert(NAME_SIZE < TR69_EVENT_NAME_SIZE);

// The full name of a parameter: every "%d" of the row's template replaced by
// the instance number. Cut, still terminated, at the buffer's end.
void format_name(const char* tmpl, uint32_t instance, char* out, size_t size) {
    size_t n = 0;
    for (const char* p = tmpl; *p && n + 1 < size; ++p) {
        if (p[0] == '%' && p[1] == 'd') {
            char num[16];
            int len = snprintf(num, sizeof num, "%" PRIu32, instance);
            for (int i = 0; i < len && n + 1 < size; ++i)
                out[n++] = num[i];
            ++p;
        } else {
            out[n++] = *p;
        }
    }
    out[n] = '\0';
}

// The first parameter-table row carrying the id, or null.
const dm_entry* find_row(uint32_t id) {
    for (const dm_entry* row = tr111_dm; row < tr111_dm + TR111_DM_ROWS; ++row) {
        const char* name = dm_name(row);
        if (!name) break;
        if (row->id == id) return row;
    }
    return nullptr;
}

} // namespace

int Notify_by_index(uint32_t param_id, uint32_t instance) {
    char name[NAME_SIZE];
    memset(name, 0, sizeof name);
    uint32_t instances[TR111_INSTANCES] = {0, 0, 0, 0, 0};

    const dm_entry* row = find_row(param_id);
    if (!row) return 0;
    const char* tmpl = dm_name(row);
    if (strchr(tmpl, '%')) {
        format_name(tmpl, instance, name, sizeof name);
        instances[0] = instance;
    } else {
        snprintf(name, sizeof name, "%s", tmpl);
    }

    // A failed read leaves the attribute at 0: nothing is notified.
    int32_t attribute = 0;
    if (set_get_attribute(param_id, instances, TR111_ATTR_READ, &attribute) < 0) {
        TR111_LOGF_IF(tr111_status_debug_activ != 0 && debug_level != 0,
                      "attribute notification error : %s\n", name);
    }

    if (attribute == TR111_ATTR_PASSIVE) {
        TR69notify(name, TR111_ATTR_PASSIVE);
        return 0;
    }
    if (attribute != TR111_ATTR_ACTIVE) return 0;

    // Active: at most one per limit seconds. The sum wraps as an unsigned
    // 32-bit number, so a stored negative limit acts as a very long one.
    const uint32_t now = static_cast<uint32_t>(tr111_notify_clock(nullptr));
    const uint32_t limit = static_cast<uint32_t>(get_notification_limit());
    TR111_INFOF(" get_notification_limit = %d\n", static_cast<int>(get_notification_limit()));
    if (now < limit + tr111_last_active_notif) {
        TR111_INFOF("current time =%d\tnotif time =%d \n", static_cast<int>(now),
                    static_cast<int>(tr111_last_active_notif));
        return 0;
    }
    // Set before the hand-over: it stays set even when the event cannot go.
    tr111_last_active_notif = now;
    TR111_INFOF("Active Notification available for index = %" PRIu32 "\n", param_id);
    TR69notify(name, TR111_ATTR_ACTIVE);
    return 0;
}

int TR69notify(const char* name, int attribute) {
    TR111_INFOF("parameter is %s\r\n", name);
    if (check_request_list(name) == 1) {
        TR111_ERR("notification canceled: ACS request\r");
        return 0;
    }

    char code[TR69_EVENT_CODE_SIZE];
    memset(code, 0, sizeof code);
    static_assert(sizeof "4 VALUE CHANGE" <= TR69_EVENT_CODE_SIZE);
    memcpy(code, TR111_EVENT_VALUE_CHANGE, strlen(TR111_EVENT_VALUE_CHANGE));

    // Name field (257 bytes, always terminated) and the attribute byte.
    uint8_t param[TR69_EVENT_PARAM_SIZE];
    memset(param, 0, sizeof param);
    size_t len = strnlen(name, TR69_EVENT_NAME_SIZE - 1);
    memcpy(param, name, len);
    param[TR69_EVENT_NAME_SIZE] = static_cast<uint8_t>(attribute);

    int ret = tr69_notify_event(getChannelId(), code, param);
    if (ret < 0) {
        TR111_ERRF("TR69 notify event failed: failure code=%d\r\n", ret);
        return -1;
    }
    return 0;
}

int32_t get_notification_limit() {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        TR111_ERR("unable to open Tamrix database ");
        return 0;
    }
    tr111::DbString text(TR111_KX_DB_Get(db.get(), DB_MANAGEABLE_DEVICE_NOTIF_LIMIT));
    db.close_get();
    if (!text) {
        TR111_ERR("Error in read DB_MANAGEABLE_DEVICE_NOTIF_LIMIT ");
        return 0;
    }
    int32_t limit = 0;
    if (s_str_to_int(text.get(), &limit) != 0) {
        TR111_ERR("invalid notification limit value ");
        return 0;
    }
    return limit;
}

void init_notification() {
    pthread_mutex_lock(&set_param_mtx);
    request_list.next = &request_list;
    request_list.prev = &request_list;
    pthread_mutex_unlock(&set_param_mtx);

    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) {
        // This line belongs to the set-atomicity support, whose request list
        // is prepared here.
        static constexpr char TR111_MODULE[] = "TR111_atomicity";
        TR111_ERR("unable to open Tamrix database ");
        return;
    }
    if (KX_DB_Is_Defined(db.get(), DB_MANAGEABLE_DEVICE_SET)) return;
    TR111_INFO("Creating ManageableDevice Path ");
    // Writing the key at the parent's path with a trailing slash creates the
    // empty set; the result is not examined, the close applies it.
    KX_DB_Set(db.get(), "/KELMO/TR111/", "ManageableDevice");
    db.close_set();
}
