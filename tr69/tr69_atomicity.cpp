// Set atomicity: the StartSequence, Commit and Rollback entries, the list of
// set actions they work on, and the list of names the ACS itself wrote.
#include "main/tr111.h"
#include "tr69/tr69_dm.h"

#include <cstdlib>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_atomicity";

namespace {

constexpr uint32_t kAtomicityFlags = 0x100000;
constexpr uint32_t kAtomicityType = 0x0D;

tr69_atomicity_row atomicity_row(uint32_t id, const char* name, atomicity_handler* handler) {
    return tr69_atomicity_row{tr69_ref(name),       kAtomicityFlags, id, kAtomicityType,
                              tr69_ref_fn(handler), TR69_END_MARK,   {}};
}

void list_unlink(tr111_list_link* link) {
    link->prev->next = link->next;
    link->next->prev = link->prev;
    link->next = link->prev = link;
}

set_action* action_of(tr111_list_link* link) {
    return reinterpret_cast<set_action*>(link);
}

request_entry* request_of(tr111_list_link* link) {
    return reinterpret_cast<request_entry*>(reinterpret_cast<char*>(link) -
                                            offsetof(request_entry, link));
}

} // namespace

static_assert(offsetof(set_action, link) == 0);

tr111_list_link set_action_list = {&set_action_list, &set_action_list};
tr111_list_link request_list = {&request_list, &request_list};
pthread_mutex_t set_param_mtx = PTHREAD_MUTEX_INITIALIZER;

const tr69_atomicity_row tr111_atomicity_table[4] = {
    atomicity_row(1, "XX.StartSequence.TR111", atomicity_start),
    atomicity_row(2, "XX.Commit.TR111", atomicity_commit),
    atomicity_row(3, "XX.Rollback.TR111", atomicity_rollback),
    tr69_atomicity_row{},
};
static_assert(sizeof tr111_atomicity_table == 224);

int register_atomicity_support() {
    tr69_atomicity_row copy[4];
    memcpy(copy, tr111_atomicity_table, sizeof copy);
    const tr69_atomicity_row* failed_row = nullptr;
    int ret = tr69_register_entries(copy, getChannelId(), &failed_row);
    if (ret == 0) return 0;
    TR111_ERRF("registration failed : ret_code : %d\n", ret);
    const char* failed_name =
        failed_row ? static_cast<const char*>(tr69_addr(failed_row->name)) : nullptr;
    TR111_ERRF("dm entry that cause failure : %s\n", failed_name ? failed_name : "");
    return -1;
}

void free_set_action(set_action* record) {
    free(record->param_name);
    free(record->old_val);
    free(record);
}

int32_t atomicity_start(uint32_t) {
    TR111_INFO("atomicity : executed");
    // Forget whatever an earlier sequence left.
    while (set_action_list.next != &set_action_list) {
        set_action* record = action_of(set_action_list.next);
        list_unlink(&record->link);
        free_set_action(record);
    }
    return 0;
}

int32_t atomicity_commit(uint32_t) {
    TR111_INFO("atomicity : executed");
    while (set_action_list.next != &set_action_list) {
        set_action* record = action_of(set_action_list.next);
        TR111_INFOF("atomicity : loop : p_set_action->param_name : %s\n", record->param_name);
        TR111_INFOF("atomicity : loop : p_set_action->old_val:%s\n", record->old_val);
        list_unlink(&record->link);
        free_set_action(record);
    }
    return 0;
}

int32_t atomicity_rollback(uint32_t) {
    char out[TR111_VALUE_SIZE];
    memset(out, 0, sizeof out);
    TR111_INFO("atomicity : executed");
    for (tr111_list_link* link = set_action_list.next; link != &set_action_list;) {
        tr111_list_link* next = link->next;
        set_action* record = action_of(link);
        TR111_INFOF("atomicity : loop : p_set_action->param_name %s\n", record->param_name);
        const dm_entry* row = get_dm_by_id(record->id);
        if (!row) {
            // The two last characters are a backslash and an n.
            TR111_INFO("atomicity: get_dm_by_id failed!\\n");
            return 0;
        }
        char in[TR111_VALUE_IN_SIZE];
        memset(in, 0, sizeof in);
        strncpy(in, record->old_val ? record->old_val : "", sizeof in - 1);
        auto* setter = tr69_fn<dm_handler>(row->setter);
        int32_t ret = setter ? setter(record->param_name, record->instances, record->id, in, out)
                             : TR111_FAULT_9002;
        list_unlink(link);
        free_set_action(record);
        if (ret != 0) TR111_ERR("atomicity : setVal failed");
        link = next;
    }
    return 0;
}

int check_request_list(const char* name) {
    pthread_mutex_lock(&set_param_mtx);
    for (tr111_list_link* link = request_list.next; link != &request_list; link = link->next) {
        request_entry* entry = request_of(link);
        if (strcmp(entry->name, name) == 0) {
            list_unlink(link);
            free(entry);
            pthread_mutex_unlock(&set_param_mtx);
            return 1;
        }
    }
    pthread_mutex_unlock(&set_param_mtx);
    return 0;
}
