// Status table and refreshes against a real confd: start-up fill,
// duplicates, a full table, removal, the refresh of the three kinds of
// device, the device address from the leases, and two threads at once.
#include "registry/md.h"
#include "tests/support/db.h"

#include <atomic>
#include <cstring>
#include <thread>

using namespace tr111test;

namespace {

class Table : public DbTest {};

// The table up to its last used entry: "id/status" per entry, "-" when free.
std::string table() {
    int last = -1;
    for (int i = 0; i < MD_MAX_NBR; ++i)
        if (mdlt[i].id != -1) last = i;
    std::string out;
    for (int i = 0; i <= last; ++i)
        out += (i ? " " : "") + (mdlt[i].id == -1 ? "-"
                                                  : std::to_string(mdlt[i].id) + "/" +
                                                        std::to_string(mdlt[i].status));
    return out;
}

void lease(int id, const std::string& mac, const std::string& ip) {
    std::string base = "/dev/br0/dhcps/lease/" + std::to_string(id) + "/";
    KV kv{{base + "start_time", "1700000000"}};
    if (!mac.empty()) kv.push_back({base + "hardware_mac", mac});
    if (!ip.empty()) kv.push_back({base + "ip", ip});
    db_set(kv);
}

} // namespace

TEST_F(Table, StartUpFillDuplicatesAndFullTable) {
    device(4, "1");
    device(0, "1");
    device(3, "0");
    ASSERT_EQ(mdlt_add(77), 0); // left over: start-up clears it
    ASSERT_EQ(md_initilize(), 0);
    EXPECT_EQ(table(), "0/0 3/0 4/0");
    ASSERT_EQ(mdlt_remove(0), 0);
    ASSERT_EQ(mdlt_add(3), 0); // ids are not unique: a second entry, in the first free one
    EXPECT_EQ(table(), "3/1 3/0 4/0");
    ASSERT_EQ(mdlt_remove(3), 0); // the first one goes
    EXPECT_EQ(table(), "- 3/0 4/0");
    for (int32_t id : {7, -1}) { // a free entry is not a device
        EXPECT_EQ(mdlt_remove(id), -2);
        EXPECT_EQ(mdlt_update_status(id, 1), -2);
    }
    std::string log = logged([] {
        for (int id = 100; id < 300 && mdlt_add(id) == 0; ++id) {
        }
    });
    EXPECT_EQ(mdlt_count(-1), 0);
    EXPECT_TRUE(has(log, "In mdlt_add: Error: MD_MAX_NBR reached \n")) << log;
    EXPECT_EQ(mdlt_remove(100), 0);
    EXPECT_EQ(mdlt_add(500), 0);

    // An enumeration that fails leaves every entry free.
    db_set({{"/KELMO/TR111/ManageableDevice/x/type", "1"}});
    log = logged([] { EXPECT_EQ(md_initilize(), -1); });
    EXPECT_EQ(table(), "");
    EXPECT_TRUE(has(log, "In md_initilize: Error in md_get_list \n")) << log;
}

TEST_F(Table, PlainTr111DeviceIsForgottenAtOnce) {
    device(1, "1", {{"Crpt_Id", "0"}, {"Crpt_Enable", "1"}});
    rule(0, 30000);
    ASSERT_EQ(md_initilize(), 0);
    EXPECT_EQ(md_refresh_status(1, 1), 0);
    EXPECT_EQ(table(), "1/1");
    EXPECT_EQ(md_refresh_status(1, 0), 0);
    EXPECT_EQ(db_get(dev_path(1, "type")), "(absent)");
    EXPECT_EQ(table(), "");
    EXPECT_EQ(db_get(rule_path(0, "enabled")), "0"); // a plain device's rule is not its own

    // Without an entry it cannot become active; the record still goes.
    device(1, "1");
    std::string log = logged([] { EXPECT_EQ(md_refresh_inactive(1), -2); });
    EXPECT_TRUE(has(log, "unable to remove device from MD table id : 1, code error : -2\n")) << log;
    EXPECT_EQ(db_get(dev_path(1, "type")), "(absent)");
}

TEST_F(Table, RetainedWt111r2KeepsRecordWithRuleDisabled) {
    device(2, "0", {{"retainDevEntry", "1"}, {"Crpt_Id", "4"}, {"Crpt_Enable", "1"}});
    rule(4, 30000, "0");
    ASSERT_EQ(md_initilize(), 0);
    EXPECT_EQ(md_refresh_status(2, 1), 0);
    EXPECT_EQ(table(), "2/1");
    EXPECT_EQ(db_get(rule_path(4, "enabled")), "1");
    EXPECT_EQ(md_refresh_status(2, 0), 0);
    EXPECT_EQ(table(), "2/0");
    EXPECT_EQ(db_get(rule_path(4, "enabled")), "0");
    EXPECT_EQ(db_get(dev_path(2, "Crpt_Enable")), "1"); // comes back with the device

    // Crpt_Enable 0: the rule is left alone.
    db_set({{dev_path(2, "Crpt_Enable"), "0"}});
    EXPECT_EQ(md_refresh_active(2), 0);
    EXPECT_EQ(db_get(rule_path(4, "enabled")), "0");

    // An unreadable retain flag counts as retained.
    db_set({{dev_path(2, "retainDevEntry"), "yes"}, {rule_path(4, "enabled"), "1"}});
    EXPECT_EQ(md_refresh_inactive(2), 0);
    EXPECT_EQ(db_get(rule_path(4, "enabled")), "0");
    EXPECT_EQ(md_is_exist(2), 1);

    // The rule has gone: the disable fails and says so.
    db_del(rule_path(4));
    std::string log = logged([] { EXPECT_EQ(md_refresh_inactive(2), -1); });
    EXPECT_TRUE(has(log, "unable to disable the device 2 crpt, code error: -12\n")) << log;
    db_del(dev_path(2, "Crpt_Id")); // no rule at all
    EXPECT_EQ(md_refresh_inactive(2), 0);
}

TEST_F(Table, NotRetainedWt111r2LosesRuleAndRecordKeepsEntry) {
    device(3, "0", {{"retainDevEntry", "0"}, {"Crpt_Id", "1"}, {"Crpt_Enable", "1"}});
    device(4, "0"); // no retain flag, no rule
    device(6, "0", {{"Crpt_Id", "x"}});
    rule(1, 30001, "1");
    ASSERT_EQ(md_initilize(), 0);
    ASSERT_EQ(mdlt_update_status(3, 1), 0);
    EXPECT_EQ(md_refresh_status(3, 0), 0);
    EXPECT_EQ(db_get(rule_path(1)), "(absent)");
    EXPECT_EQ(md_refresh_status(4, 7), 0); // anything but 1 is inactive
    EXPECT_EQ(md_get_nbr(), 1);            // 6 is left
    // The entries wait for the records' deletion to come back as events.
    EXPECT_EQ(table(), "3/1 4/0 6/0");

    // A rule id that cannot be read, or a rule that cannot be removed,
    // keeps the record.
    std::string log = logged([] { EXPECT_EQ(md_refresh_inactive(6), -1); });
    EXPECT_TRUE(has(log, "unable to get crpt id of device 6, code error : -1\n")) << log;
    db_set({{dev_path(6, "Crpt_Id"), "9"}});
    log = logged([] { EXPECT_EQ(md_refresh_inactive(6), -1); });
    EXPECT_TRUE(has(log, "unable to remove crpt rule from DB crpt_id : 9, code error : -12\n"));
    EXPECT_EQ(md_is_exist(6), 1);
}

TEST_F(Table, DeviceIpFromLeases) {
    device(1, "1"); // MAC 00:11:22:33:44:01
    char ip[16];
    lease(3, "aa:bb:cc:dd:ee:ff", "192.168.1.10");
    lease(5, "00:11:22:33:44:01", "192.168.1.20");
    lease(7, "00:11:22:33:44:01", "192.168.1.30");
    memset(ip, '#', sizeof ip);
    ASSERT_EQ(md_get_device_ip(1, ip), 0);
    EXPECT_EQ(std::string(ip, 16), std::string("192.168.1.20\0\0\0\0", 16)); // first in set order

    // Case matters; only the first 17 characters count.
    db_set({{dev_path(1, "MacAddress"), "00:11:22:33:44:0A"}});
    lease(5, "00:11:22:33:44:0a", "");
    lease(7, "00:11:22:33:44:0Atrailing", "");
    ASSERT_EQ(md_get_device_ip(1, ip), 0);
    EXPECT_STREQ(ip, "192.168.1.30");
    // The matching lease has an address too long for IPv4.
    db_set({{dev_path(1, "MacAddress"), "00:11:22:33:44:0a"}});
    lease(5, "", "192.168.100.2000");
    memset(ip, '#', sizeof ip);
    EXPECT_EQ(md_get_device_ip(1, ip), -1);
    EXPECT_EQ(ip[0], '#');

    // A lease without hardware_mac before the device's lease ends the search.
    lease(5, "", "192.168.1.20");
    lease(2, "", "192.168.1.2");
    std::string log = logged([&] { EXPECT_EQ(md_get_device_ip(1, ip), -1); });
    EXPECT_TRUE(has(log, "In md_get_device_ip: No mac address found in lease 2\n")) << log;
}

// The message receive thread adds, refreshes and removes while the request
// loop (this thread) reads statuses and updates. Run under ThreadSanitizer
// (TR111_SANITIZE=thread) to check the locking.
TEST_F(Table, TwoThreadsShareTheTable) {
    for (int id = 0; id < 4; ++id)
        device(id, "0", {{"retainDevEntry", "1"}});
    ASSERT_EQ(md_initilize(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread events([&] {
        for (int i = 0; i < 60; ++i)
            bad += md_refresh_status(i % 4, 1) != 0 || mdlt_add(200 + i) != 0 ||
                   md_refresh_status(i % 4, 0) != 0 || mdlt_remove(200 + i) != 0;
        stop = true;
    });
    for (int i = 0; !stop; ++i) {
        int st = md_is_active(i % 4);
        bad += (st != 0 && st != 1) || mdlt_add(300) != 0 || mdlt_update_status(300, 0) != 0 ||
               mdlt_remove(300) != 0;
    }
    events.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(table(), "0/0 1/0 2/0 3/0");
}
