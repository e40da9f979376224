// Status table and refresh against a real confd: start-up fill, duplicates,
// full table, removal, the refresh paths of the three kinds of device, the
// device address from the leases, and two threads using the table at once.
#include "crpt/crpt.h"
#include "registry/md.h"
#include "tests/registry/registry_fixture.h"

#include <atomic>
#include <cstring>
#include <thread>

using namespace regtest;
using tr111test::CaptureStdout;
using tr111test::DebugSwitches;
using tr111test::WireLog;

namespace {

class Table : public ConfdTest {
  protected:
    void SetUp() override {
        ConfdTest::SetUp();
        ASSERT_EQ(md_initilize(), 0); // no device set: every entry free
    }
};

int used_entries() {
    int n = 0;
    for (const auto& e : mdlt)
        n += e.id != -1;
    return n;
}

bool writes_nothing(const Items& w) {
    return count_of(w, "rg_conf_set_path_value") == 0 && count_of(w, "rg_conf_set_free") == 0 &&
           count_of(w, "reconf") == 0;
}

void lease(int id, const std::string& mac, const std::string& ip) {
    KV kv;
    std::string base = "/dev/br0/dhcps/lease/" + std::to_string(id) + "/";
    if (!mac.empty()) kv.push_back({base + "hardware_mac", mac});
    if (!ip.empty()) kv.push_back({base + "ip", ip});
    kv.push_back({base + "start_time", "1700000000"});
    db_put(kv);
}

} // namespace

TEST_F(Table, StartUpFill) {
    for (const auto& e : mdlt) {
        EXPECT_EQ(e.id, -1);
        EXPECT_EQ(e.status, 0);
    }
    device(4, "1");
    device(0, "1");
    device(3, "0");
    ASSERT_EQ(mdlt_add(77), 0); // left over: start-up clears it
    ASSERT_EQ(md_initilize(), 0);
    EXPECT_EQ(mdlt[0].id, 0);
    EXPECT_EQ(mdlt[1].id, 3);
    EXPECT_EQ(mdlt[2].id, 4);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(mdlt[k].status, 0);
    EXPECT_EQ(used_entries(), 3);
    EXPECT_EQ(md_is_active(3), 0);

    // An enumeration that fails leaves every entry free.
    db_put("/KELMO/TR111/ManageableDevice/x/type", "1");
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    EXPECT_EQ(md_initilize(), -1);
    EXPECT_EQ(used_entries(), 0);
    EXPECT_TRUE(has(out.text(), line("md_initilize", "Error in md_get_list \n\n")));
}

TEST_F(Table, DuplicatesRemovalAndFullTable) {
    ASSERT_EQ(mdlt_add(5), 0);
    ASSERT_EQ(mdlt_update_status(5, 0), 0);
    ASSERT_EQ(mdlt_add(5), 0); // not unique: a second entry, active
    EXPECT_EQ(used_entries(), 2);
    EXPECT_EQ(mdlt[0].status, 0);
    EXPECT_EQ(mdlt[1].status, 1);
    EXPECT_EQ(mdlt_remove(5), 0); // the first one goes
    EXPECT_EQ(mdlt[0].id, -1);
    EXPECT_EQ(mdlt[1].id, 5);
    EXPECT_EQ(mdlt[1].status, 1);
    EXPECT_EQ(mdlt_add(6), 0); // a freed entry is reused
    EXPECT_EQ(mdlt[0].id, 6);
    EXPECT_EQ(mdlt_remove(7), -2);
    EXPECT_EQ(mdlt_update_status(7, 1), -2);
    // A free entry is not a device.
    EXPECT_EQ(mdlt_remove(-1), -2);
    EXPECT_EQ(mdlt_update_status(-1, 1), -2);

    for (int id = 100; used_entries() < MD_MAX_NBR; ++id)
        ASSERT_EQ(mdlt_add(id), 0);
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    EXPECT_EQ(mdlt_add(500), -1);
    EXPECT_TRUE(has(out.text(), line("mdlt_add", "Error: MD_MAX_NBR reached \n\n")));
    EXPECT_EQ(mdlt_remove(500), -2);
    EXPECT_EQ(mdlt_remove(100), 0);
    EXPECT_EQ(mdlt_add(500), 0);
}

TEST_F(Table, IsActiveNeedsRecordAndEntry) {
    device(2, "1");
    device(3, "1");
    ASSERT_EQ(mdlt_add(3), 0);
    ASSERT_EQ(mdlt_add(8), 0);
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    EXPECT_EQ(md_is_active(2), -1); // record without entry
    EXPECT_EQ(md_is_active(8), -2); // entry without record
    EXPECT_EQ(md_is_active(3), 1);
    EXPECT_TRUE(has(out.text(), line("md_is_active", "device found in status:1 \n\n")));
}

TEST_F(Table, PlainTr111DeviceIsForgottenAtOnce) {
    device(1, "1", {{"Crpt_Id", "0"}, {"Crpt_Enable", "1"}});
    rule(0, 30000);
    ASSERT_EQ(md_initilize(), 0);
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    WireLog wire;
    EXPECT_EQ(md_refresh_status(1, 1), 0);
    EXPECT_EQ(mdlt[0].status, 1);
    EXPECT_TRUE(writes_nothing(wire.written())); // neither record nor rule touched
    EXPECT_TRUE(has(out.text(),
                    line("md_refresh_status", "md_refresh_active of device 1 ret_code= 0\n\n")));

    EXPECT_EQ(md_refresh_status(1, 0), 0);
    EXPECT_EQ(settle(dev_path(1, "type"), "(absent)"), "(absent)");
    EXPECT_EQ(used_entries(), 0);
    EXPECT_EQ(db_get(rule_path(0, "enabled")), "0"); // a plain device's rule is not its own

    // No entry: it cannot become active, and the removal reports the table.
    device(1, "1");
    EXPECT_EQ(md_refresh_active(1), -2);
    EXPECT_EQ(md_refresh_inactive(1), -2);
    EXPECT_TRUE(has(out.text(), line("md_refresh_inactive",
                                     "unable to remove device from MD table id : 1, code error : "
                                     "-2\n\n")));
    EXPECT_EQ(settle(dev_path(1, "type"), "(absent)"), "(absent)");
}

TEST_F(Table, RetainedWt111r2KeepsRecordWithRuleDisabled) {
    device(2, "0", {{"retainDevEntry", "1"}, {"Crpt_Id", "4"}, {"Crpt_Enable", "1"}});
    rule(4, 30000, "0");
    ASSERT_EQ(md_initilize(), 0);
    DebugSwitches dbg(1, 3);
    CaptureStdout out;

    EXPECT_EQ(md_refresh_status(2, 1), 0);
    EXPECT_EQ(mdlt[0].status, 1);
    EXPECT_EQ(settle(rule_path(4, "enabled"), "1"), "1");

    EXPECT_EQ(md_refresh_status(2, 0), 0);
    EXPECT_EQ(mdlt[0].status, 0);
    EXPECT_EQ(settle(rule_path(4, "enabled"), "0"), "0");
    EXPECT_EQ(db_get(dev_path(2, "Crpt_Enable")), "1"); // comes back with the device
    EXPECT_EQ(md_is_exist(2), 1);

    // Crpt_Enable 0 or missing: the rule is left alone.
    db_put(dev_path(2, "Crpt_Enable"), "0");
    WireLog wire;
    EXPECT_EQ(md_refresh_active(2), 0);
    EXPECT_TRUE(writes_nothing(wire.written()));
    db_del(dev_path(2, "Crpt_Enable"));
    wire.clear();
    EXPECT_EQ(md_refresh_active(2), 0);
    EXPECT_TRUE(writes_nothing(wire.written()));
    EXPECT_EQ(db_get(rule_path(4, "enabled")), "0");
    EXPECT_EQ(mdlt[0].status, 1);

    // An unreadable retain flag counts as retained.
    db_put({{dev_path(2, "retainDevEntry"), "yes"}, {rule_path(4, "enabled"), "1"}});
    EXPECT_EQ(md_refresh_inactive(2), 0);
    EXPECT_EQ(settle(rule_path(4, "enabled"), "0"), "0");
    EXPECT_EQ(md_is_exist(2), 1);
    EXPECT_EQ(mdlt[0].status, 0);

    // A rule that has gone: the disable fails and says so.
    db_del("/fw/rule/loc_srv/4/");
    EXPECT_EQ(md_refresh_inactive(2), -1);
    EXPECT_TRUE(has(out.text(), line("md_refresh_inactive",
                                     "unable to disable the device 2 crpt, code error: -12\n\n")));
    // No rule id at all.
    db_del(dev_path(2, "Crpt_Id"));
    EXPECT_EQ(md_refresh_inactive(2), 0);
    EXPECT_EQ(md_refresh_active(2), 0);
    // A rule id that cannot be read stops both refreshes.
    db_put(dev_path(2, "Crpt_Id"), "four");
    EXPECT_EQ(md_refresh_active(2), -1);
    EXPECT_EQ(md_refresh_inactive(2), -1);
}

TEST_F(Table, NotRetainedWt111r2LosesRuleAndRecordKeepsEntry) {
    device(3, "0", {{"retainDevEntry", "0"}, {"Crpt_Id", "1"}, {"Crpt_Enable", "1"}});
    device(4, "0"); // no retain flag, no rule
    device(6, "0", {{"Crpt_Id", "x"}});
    rule(1, 30001, "1");
    ASSERT_EQ(md_initilize(), 0);
    ASSERT_EQ(mdlt_update_status(3, 1), 0);
    DebugSwitches dbg(1, 3);
    CaptureStdout out;

    EXPECT_EQ(md_refresh_status(3, 0), 0);
    EXPECT_EQ(settle("/fw/rule/loc_srv/1/", "(absent)"), "(absent)");
    EXPECT_EQ(settle(dev_path(3, "type"), "(absent)"), "(absent)");
    EXPECT_EQ(md_is_exist(3), 0);
    // The entry waits for the record's deletion to come back as an event.
    EXPECT_EQ(mdlt[0].id, 3);
    EXPECT_EQ(mdlt[0].status, 1);

    EXPECT_EQ(md_refresh_status(4, 7), 0); // anything but 1 is inactive
    EXPECT_EQ(settle(dev_path(4, "type"), "(absent)"), "(absent)");
    EXPECT_EQ(md_is_exist(4), 0);

    // A rule id that cannot be read keeps the record.
    EXPECT_EQ(md_refresh_inactive(6), -1);
    EXPECT_EQ(md_is_exist(6), 1);
    EXPECT_TRUE(has(out.text(), line("md_refresh_inactive",
                                     "unable to get crpt id of device 6, code error : -1\n")));
    // A rule that cannot be removed keeps the record too.
    db_put(dev_path(6, "Crpt_Id"), "9");
    EXPECT_EQ(md_refresh_inactive(6), -1);
    EXPECT_EQ(md_is_exist(6), 1);
    EXPECT_TRUE(has(out.text(), line("md_refresh_inactive",
                                     "unable to remove crpt rule from DB crpt_id : 9, code error : "
                                     "-12\n")));
}

TEST_F(Table, DeviceIpFromLeases) {
    device(1, "1"); // MAC 00:11:22:33:44:01
    char ip[16];
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    EXPECT_EQ(md_get_device_ip(1, ip), -1);
    EXPECT_EQ(md_get_device_ip(2, ip), -1);

    lease(3, "aa:bb:cc:dd:ee:ff", "192.168.1.10");
    lease(5, "00:11:22:33:44:01", "192.168.1.20");
    lease(7, "00:11:22:33:44:01", "192.168.1.30");
    memset(ip, '#', sizeof ip);
    ASSERT_EQ(md_get_device_ip(1, ip), 0);
    EXPECT_STREQ(ip, "192.168.1.20"); // the first match in set order
    EXPECT_EQ(std::string(ip + 12, 4), std::string(4, '\0'));

    // Case matters; only the first 17 characters count.
    db_put(dev_path(1, "MacAddress"), "00:11:22:33:44:0A");
    lease(5, "00:11:22:33:44:0a", "");
    lease(7, "00:11:22:33:44:0Atrailing", "");
    ASSERT_EQ(md_get_device_ip(1, ip), 0);
    EXPECT_STREQ(ip, "192.168.1.30");
    // No matching lease at all.
    db_put(dev_path(1, "MacAddress"), "00:11:22:33:44:99");
    EXPECT_EQ(md_get_device_ip(1, ip), -1);

    // The matching lease has no address; or an address too long for IPv4.
    db_put(dev_path(1, "MacAddress"), "00:11:22:33:44:0a");
    db_del("/dev/br0/dhcps/lease/5/ip");
    EXPECT_EQ(md_get_device_ip(1, ip), -1);
    lease(5, "", "192.168.100.2000");
    memset(ip, '#', sizeof ip);
    EXPECT_EQ(md_get_device_ip(1, ip), -1);
    EXPECT_EQ(ip[0], '#');

    // A lease without hardware_mac before the device's lease ends the search.
    lease(5, "", "192.168.1.20");
    lease(2, "", "192.168.1.2");
    EXPECT_EQ(md_get_device_ip(1, ip), -1);
    EXPECT_TRUE(has(out.text(), line("md_get_device_ip", "No mac address found in lease 2\n")));

    // Every handle opened here is closed.
    WireLog wire;
    md_get_device_ip(1, ip);
    for (const auto& c : wire.conns())
        EXPECT_TRUE(c.closed);
}

// Two threads use the table as the request loop and the receive thread do:
// one adds, refreshes and removes, the other reads statuses and updates.
// Run under ThreadSanitizer (TR111_SANITIZE=thread) to check the locking.
TEST_F(Table, TwoThreadsShareTheTable) {
    for (int id = 0; id < 4; ++id)
        device(id, "0", {{"retainDevEntry", "1"}});
    ASSERT_EQ(md_initilize(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread events([&] {
        for (int i = 0; i < 60; ++i) {
            int id = i % 4;
            if (md_refresh_status(id, 1) != 0) ++bad;
            if (mdlt_add(200 + i) != 0) ++bad;
            if (md_refresh_status(id, 0) != 0) ++bad;
            if (mdlt_remove(200 + i) != 0) ++bad;
        }
        stop = true;
    });
    std::thread requests([&] {
        int i = 0;
        while (!stop) {
            int id = i++ % 4;
            int st = md_is_active(id);
            if (st != 0 && st != 1) ++bad;
            if (mdlt_add(300 + id) != 0 || mdlt_update_status(300 + id, 0) != 0 ||
                mdlt_remove(300 + id) != 0)
                ++bad;
        }
    });
    events.join();
    requests.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(used_entries(), 4);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(mdlt[k].id, k);
        EXPECT_EQ(mdlt[k].status, 0);
    }
}
