// The parameter table and its name rewriting, the atomicity table, the
// set-action and request lists.
#include "datamodel/datamodel.h"
#include "tests/support/capture.h"
#include "tests/support/proc.h"
#include "tr69/tr69_dm.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace tr111test;

namespace {

std::string rewrite(const char* tmpl, int* dropped = nullptr) {
    char out[256];
    memset(out, '#', sizeof out);
    int n = ignoreFormats8(tmpl, out);
    if (dropped) *dropped = n;
    return out;
}

} // namespace

TEST(ParameterTable, RowsInOrderWithTheirHandlerBlocks) {
    const uint32_t ids[] = {1, 2, 0, 3, 4, 5, 6, 7, 8, 9, 10};
    const char* leaves[] = {"ManageableDeviceNumberOfEntries",
                            "ManageableDeviceNotificationLimit",
                            "ManageableDevice.",
                            "ManageableDevice.ManufacturerOUI",
                            "ManageableDevice.SerialNumber",
                            "ManageableDevice.ProductClass",
                            "ManageableDevice.Active",
                            "ManageableDevice.RetainDeviceEntry",
                            "ManageableDevice.ConnectionRequestPassThroughEnable",
                            "ManageableDevice.DeviceConnectionRequestURL",
                            "ManageableDevice.ConnectionRequestURL"};
    for (size_t i = 0; i < 11; ++i) {
        const dm_entry& row = tr111_dm[i];
        EXPECT_EQ(row.id, ids[i]);
        ASSERT_NE(dm_name(&row), nullptr);
        EXPECT_EQ(rewrite(dm_name(&row)),
                  std::string("InternetGatewayDevice.ManagementServer.") + leaves[i]);
        if (row.id == 0) {
            EXPECT_EQ(row.flags, 0x100u);
            EXPECT_EQ(row.type, 0u);
            EXPECT_EQ(row.getter, 0u);
            EXPECT_EQ(tr69_fn<dm_handler>(row.lister), &get_ManageableDeviceInstance);
            EXPECT_EQ(row.slot8, 0xFFFFFFFFu);
            EXPECT_EQ(row.attr_get, 0u);
            EXPECT_EQ(row.end, 0u);
            continue;
        }
        EXPECT_EQ(row.flags, row.id >= 3 && row.id <= 5 ? 0x10000u : 0u);
        EXPECT_NE(tr69_fn<dm_handler>(row.getter), nullptr);
        EXPECT_EQ(row.lister, 0u);
        EXPECT_EQ(row.slot8, 0u);
        EXPECT_EQ(row.slot9, 0u);
        EXPECT_EQ(tr69_fn<dm_handler>(row.attr_get), &TR69get_attribute);
        EXPECT_EQ(tr69_fn<dm_handler>(row.attr_set), &TR69set_attribute);
        EXPECT_EQ(tr69_fn<dm_handler>(row.acl_get), &getACL);
        EXPECT_EQ(tr69_fn<dm_handler>(row.acl_set), &setACL);
        EXPECT_EQ(row.end, 0xFFFFFFFFu);
    }
    EXPECT_EQ(tr111_dm[0].type, 0x10u);
    EXPECT_EQ(tr111_dm[3].type, 0x0Eu);
    EXPECT_EQ(tr111_dm[6].type, 0x15u);
    EXPECT_EQ(tr69_fn<dm_handler>(tr111_dm[1].setter), &set_val_MGTDEVICE_NOTIF_LIMIT);
    EXPECT_EQ(tr69_fn<dm_handler>(tr111_dm[10].getter), &get_val_MGTDEVICE_CON_REQ_URL);
    EXPECT_EQ(tr111_dm[10].setter, 0u);
    // The end row is all zero.
    dm_entry zero{};
    EXPECT_EQ(memcmp(&tr111_dm[11], &zero, sizeof zero), 0);
}

TEST(ParameterTable, NameRewriting) {
    int n = -1;
    EXPECT_EQ(rewrite("a.%d.b", &n), "a.b");
    EXPECT_EQ(n, 1);
    EXPECT_EQ(rewrite("a.b", &n), "a.b");
    EXPECT_EQ(n, 0);
    EXPECT_EQ(rewrite("a.%d", &n), "a."); // nothing after it: dropped, output ends
    EXPECT_EQ(n, 1);
    EXPECT_EQ(rewrite("a.%d.%d.b", &n), "a.b");
    EXPECT_EQ(n, 2);
    EXPECT_EQ(rewrite("100%s.%x", &n), "100%s.%x");
    EXPECT_EQ(n, 0);
    EXPECT_EQ(rewrite("%d.x.%dy", &n), "x.");
    EXPECT_EQ(n, 2);
    EXPECT_EQ(rewrite("%", &n), "%");
}

TEST(ParameterTable, LookupById) {
    DebugSwitches sw(1, 3);
    CaptureStdout cap;
    EXPECT_EQ(get_dm_by_id(0), &tr111_dm[2]);
    EXPECT_EQ(get_dm_by_id(10), &tr111_dm[10]);
    EXPECT_EQ(get_dm_by_id(11), nullptr);
    EXPECT_NE(
        cap.text().find("Parameter with index 0, name : "
                        "InternetGatewayDevice.ManagementServer.ManageableDevice. was found \n"),
        std::string::npos);
    EXPECT_EQ(count(cap.text(), "was found"), 2u);
}

TEST(Atomicity, TableAndLists) {
    EXPECT_STREQ(static_cast<const char*>(tr69_addr(tr111_atomicity_table[0].name)),
                 "XX.StartSequence.TR111");
    EXPECT_STREQ(static_cast<const char*>(tr69_addr(tr111_atomicity_table[2].name)),
                 "XX.Rollback.TR111");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(tr111_atomicity_table[i].id, static_cast<uint32_t>(i + 1));
        EXPECT_EQ(tr111_atomicity_table[i].flags, 0x100000u);
        EXPECT_EQ(tr111_atomicity_table[i].type, 0x0Du);
        EXPECT_EQ(tr111_atomicity_table[i].end, 0xFFFFFFFFu);
    }
    EXPECT_EQ(tr69_fn<atomicity_handler>(tr111_atomicity_table[1].handler), &atomicity_commit);
    EXPECT_EQ(tr111_atomicity_table[3].name, 0u);

    DebugSwitches sw(1, 3);
    {
        CaptureStdout cap;
        EXPECT_EQ(atomicity_start(1), 0);
        EXPECT_EQ(atomicity_commit(2), 0);
        EXPECT_EQ(atomicity_rollback(3), 0);
        EXPECT_EQ(count(cap.text(), "atomicity : executed\n\n"), 3u);
        EXPECT_EQ(count(cap.text(), "\n\n"), 3u); // nothing else
    }
    // A rollback whose record names no row stops there, leaving it listed.
    auto* rec = static_cast<set_action*>(calloc(1, sizeof(set_action)));
    rec->param_name = strdup("X.Unknown");
    rec->old_val = strdup("1");
    rec->id = 42;
    rec->link.next = set_action_list.next;
    rec->link.prev = &set_action_list;
    set_action_list.next->prev = &rec->link;
    set_action_list.next = &rec->link;
    {
        CaptureStdout cap;
        EXPECT_EQ(atomicity_rollback(3), 0);
        EXPECT_NE(cap.text().find("atomicity : loop : p_set_action->param_name X.Unknown\n"),
                  std::string::npos);
        EXPECT_NE(cap.text().find("atomicity: get_dm_by_id failed!\\n\n\n"), std::string::npos);
    }
    EXPECT_EQ(set_action_list.next, &rec->link);
    {
        CaptureStdout cap;
        EXPECT_EQ(atomicity_commit(2), 0);
        EXPECT_NE(cap.text().find("atomicity : loop : p_set_action->old_val:1\n"),
                  std::string::npos);
    }
    EXPECT_EQ(set_action_list.next, &set_action_list);
    EXPECT_EQ(set_action_list.prev, &set_action_list);
}

TEST(Atomicity, RequestListMatchesWholeNamesOnce) {
    EXPECT_EQ(check_request_list("InternetGatewayDevice.ManagementServer.X"), 0);
    auto add = [](const char* name) {
        auto* e = static_cast<request_entry*>(calloc(1, sizeof(request_entry)));
        strncpy(e->name, name, sizeof e->name - 1);
        pthread_mutex_lock(&set_param_mtx);
        e->link.next = request_list.next;
        e->link.prev = &request_list;
        request_list.next->prev = &e->link;
        request_list.next = &e->link;
        pthread_mutex_unlock(&set_param_mtx);
    };
    add("A.B");
    add("A.B.C");
    EXPECT_EQ(check_request_list("A"), 0);
    EXPECT_EQ(check_request_list("A.B"), 1);
    EXPECT_EQ(check_request_list("A.B"), 0);
    EXPECT_EQ(check_request_list("A.B.C"), 1);
    EXPECT_EQ(request_list.next, &request_list);
}
