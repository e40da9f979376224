// The parameter table of the ManageableDevice data model and its
// registration with the TR-069 agent.
#include "datamodel/datamodel.h"
#include "main/tr111.h"
#include "tr69/tr69_dm.h"

#include <cstring>
#include <initializer_list>

static constexpr char TR111_MODULE[] = "TR111_dm";

namespace {

#define IGD_MS "InternetGatewayDevice.ManagementServer."
#define MD IGD_MS "ManageableDevice.%d."

uint32_t ref(const char* text) {
    return tr69_ref(text);
}
template <typename F>
uint32_t ref(F* fn) {
    return tr69_ref_fn(fn);
}

constexpr uint32_t END = TR69_END_MARK;

// Handler references registered with the agent, one bit per reference
// (1 to TR69_REF_MAX). Written by the registration, read by the request
// loop, both on the main thread.
uint32_t registered_handlers[TR69_REF_MAX / 32];

void note_handler(uint32_t word) {
    if (word == 0 || word > TR69_REF_MAX) return; // no handler, or the end mark
    registered_handlers[(word - 1) / 32] |= 1u << ((word - 1) % 32);
}

// The handler words of a registered row (its words 5 to 13).
void note_handlers(const dm_entry* row) {
    for (uint32_t word : {row->getter, row->setter, row->lister, row->slot8, row->slot9,
                          row->attr_get, row->attr_set, row->acl_get, row->acl_set})
        note_handler(word);
}

// A parameter row: its handlers, the four attribute handlers and the end mark.
dm_entry param(uint32_t id, const char* name, uint32_t flags, uint32_t type, dm_handler* get,
               dm_handler* set) {
    return dm_entry{id,
                    ref(name),
                    flags,
                    0,
                    type,
                    ref(get),
                    set ? ref(set) : 0,
                    0,
                    0,
                    0,
                    ref(&TR69get_attribute),
                    ref(&TR69set_attribute),
                    ref(&getACL),
                    ref(&setACL),
                    END,
                    0};
}

// The object row: only its instance lister, ended by the end mark in word 8.
dm_entry object(uint32_t id, const char* name, dm_handler* lister) {
    return dm_entry{id,
                    ref(name),
                    TR111_FLAG_OBJECT,
                    0,
                    TR111_TYPE_OBJECT,
                    0,
                    0,
                    ref(lister),
                    END,
                    0,
                    0,
                    0,
                    0,
                    0,
                    0,
                    0};
}

} // namespace

// Handler references are issued when the table is built, before main runs.
dm_entry tr111_dm[TR111_DM_ROWS] = {
    param(TR111_ID_NBR_ENTRIES, IGD_MS "ManageableDeviceNumberOfEntries", 0, TR111_TYPE_UINT,
          get_val_MGTDEVICE_NBR_ENTRIES, nullptr),
    param(TR111_ID_NOTIF_LIMIT, IGD_MS "ManageableDeviceNotificationLimit", 0, TR111_TYPE_UINT,
          get_val_MGTDEVICE_NOTIF_LIMIT, set_val_MGTDEVICE_NOTIF_LIMIT),
    object(TR111_ID_OBJECT, IGD_MS "ManageableDevice.", get_ManageableDeviceInstance),
    param(TR111_ID_OUI, MD "ManufacturerOUI", TR111_FLAG_IDENTITY, TR111_TYPE_STRING,
          get_val_MGMTSRV_MGTDEVICE_MANUFACTURER_OUI, nullptr),
    param(TR111_ID_SERIAL, MD "SerialNumber", TR111_FLAG_IDENTITY, TR111_TYPE_STRING,
          get_val_MGMTSRV_MGTDEVICE_SERIAL_NUMBER, nullptr),
    param(TR111_ID_PRODUCT_CLASS, MD "ProductClass", TR111_FLAG_IDENTITY, TR111_TYPE_STRING,
          get_val_MGTDEVICE_PRODUCT_CLASS, nullptr),
    param(TR111_ID_ACTIVE, MD "Active", 0, TR111_TYPE_BOOL, get_val_MGTDEVICE_ACTIVE, nullptr),
    param(TR111_ID_RETAIN, MD "RetainDeviceEntry", 0, TR111_TYPE_BOOL, get_val_RETAIN_DEVICE_ENTRY,
          set_val_RETAIN_DEVICE_ENTRY),
    param(TR111_ID_CRPT_ENABLE, MD "ConnectionRequestPassThroughEnable", 0, TR111_TYPE_BOOL,
          get_val_MGTDEVICE_CRPT_ENABLE, set_val_MGTDEVICE_CRPT_ENABLE),
    param(TR111_ID_DEV_CR_URL, MD "DeviceConnectionRequestURL", 0, TR111_TYPE_STRING,
          get_val_MGTDEVICE_DEVICE_CON_REQ_URL, set_val_MGTDEVICE_DEVICE_CON_REQ_URL),
    param(TR111_ID_CR_URL, MD "ConnectionRequestURL", 0, TR111_TYPE_STRING,
          get_val_MGTDEVICE_CON_REQ_URL, nullptr),
    dm_entry{},
};
static_assert(sizeof tr111_dm == 768);

int ignoreFormats8(const char* tmpl, char* out) {
    int dropped = 0;
    size_t o = 0;
    for (size_t i = 0; tmpl[i] != '\0';) {
        if (tmpl[i] == '%' && tmpl[i + 1] == 'd') {
            ++dropped;
            if (tmpl[i + 2] == '\0') break; // nothing after it: the output ends here
            i += 3;                         // "%d" and the separator after it
            continue;
        }
        out[o++] = tmpl[i++];
    }
    out[o] = '\0';
    return dropped;
}

int32_t register_TR69_dm_entries(const dm_entry* table, int32_t* channel,
                                 const dm_entry** failed_row) {
    char name[256];
    memset(name, 0, sizeof name);
    for (const dm_entry* row = table; dm_name(row) != nullptr; ++row) {
        // Every template of the table is far shorter than the buffer.
        if (strlen(dm_name(row)) >= sizeof name) {
            *failed_row = row;
            return TR111_FAULT_9002;
        }
        ignoreFormats8(dm_name(row), name);
        int ret = tr69_register_entry(name, row->flags, row->id, row->type, &row->getter, channel);
        if (ret != 0) {
            *failed_row = row;
            return ret;
        }
        note_handlers(row);
    }
    return 0;
}

bool tr111_handler_registered(uint32_t ref) {
    if (ref == 0 || ref > TR69_REF_MAX) return false;
    return (registered_handlers[(ref - 1) / 32] >> ((ref - 1) % 32)) & 1u;
}

int32_t tr69_register_app_dm() {
    const dm_entry* failed_row = nullptr;
    int32_t ret = register_TR69_dm_entries(tr111_dm, getChannelId(), &failed_row);
    bool show = tr111_status_debug_activ != 0 && debug_level != 0;
    if (ret != 0) {
        TR111_LOGF_IF(show, "TR111 model registration failed, fault code :%d\n", ret);
        TR111_LOGF_IF(show, "dm entry that cause failure : %s\n",
                      failed_row ? dm_name(failed_row) : "");
        return ret;
    }
    TR111_LOG_IF(show, "TR111 data model registration ok \r");
    return 0;
}

const dm_entry* get_dm_by_id(uint32_t id) {
    for (const dm_entry* row = tr111_dm; dm_name(row) != nullptr; ++row) {
        if (row->id == id) {
            TR111_INFOF("Parameter with index %u, name : %s was found \n", id, dm_name(row));
            return row;
        }
    }
    return nullptr;
}
