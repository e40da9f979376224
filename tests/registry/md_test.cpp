// The device store against a real confd: result codes, widths, the items sent,
// failures midway. The status table: start-up fill, refreshes, the device address
// from the leases, two threads at once (a full table; the whole road: tests/notify,
// tests/model).
#include "registry/md.h"
#include "tests/support/db.h"
#include "tests/support/wire.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

using namespace tr111test;

namespace {

class Store : public DbTest {};
class Table : public DbTest {};

const std::string kSet = "/KELMO/TR111/ManageableDevice/", kRec1 = kSet + "1";

// The first n entries of the status table, "id/status" each.
std::string table(int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += std::to_string(mdlt[i].id) + "/" + std::to_string(mdlt[i].status) + " ";
    return out;
}

} // namespace

TEST_F(Store, ListAndCount) {
    std::vector<int32_t> buf(MD_MAX_NBR + 8, 0x5a5a5a5a); // 8 guard entries behind the list
    EXPECT_EQ(md_get_list(buf.data()) + md_get_nbr(), 0);
    // At most 127 ids in set order, none above 254, nothing past the array;
    // the count is what is listed.
    KV kv;
    for (int id : {1000, 255, 254})
        kv.push_back({dev_path(id, "type"), "1"});
    for (int id = 129; id >= 0; --id)
        kv.push_back({dev_path(id, "type"), "1"});
    db_set(kv);
    std::string log = logged([&] { ASSERT_EQ(md_get_list(buf.data()), MD_MAX_NBR); });
    for (int i = 0; i < MD_MAX_NBR + 8; ++i)
        EXPECT_EQ(buf[i], i < MD_MAX_NBR ? i : 0x5a5a5a5a);
    EXPECT_TRUE(has(log, "more than 127 devices: device 254 not listed\n\n"));
    EXPECT_TRUE(has(log, "device id 255 out of range 0..254, not listed\n\n"));
    EXPECT_EQ(md_get_nbr(), MD_MAX_NBR);
    // A child whose key is not a device id spoils the whole list.
    db_set({{"/KELMO/TR111/ManageableDevice/abc/OUI", "001122"}});
    EXPECT_EQ(md_is_exist(3), -1);
}

TEST_F(Store, ReadsTheirWidthsAndResultCodes) {
    // A path is cut to 256 bytes and terminated, a serial number to 64 (the
    // other widths: tests/datamodel); a copy over the other shows each overrun.
    device(2, "0", {{"path", std::string(300, 'p')}, {"SerialNumber", std::string(70, 'S')}});
    char buf[300];
    memset(buf, '#', sizeof buf);
    ASSERT_EQ(md_get_path(2, buf) + md_get_serial_number(2, buf + 100), 0);
    EXPECT_EQ(std::string(buf, 258),
              std::string(100, 'p') + std::string(64, 'S') + std::string(92, 'p') + '\0' + '#');
    // Each read on a record with its MAC address only, then on a stored text
    // it cannot use (nullptr: none), then without a server.
    const std::tuple<const char*, std::function<int()>, int, const char*> reads[] = {
        {"OUI", [&] { return md_get_manufacturer_oui(5, buf); }, -1, nullptr},
        {"SerialNumber", [&] { return md_get_serial_number(5, buf); }, -2, nullptr},
        {"ProductClass", [&] { return md_get_product_class(5, buf); }, -1, nullptr},
        {"path", [&] { return md_get_path(5, buf); }, -1, nullptr},
        {"type", [] { return md_get_type(5); }, -1, "1x"},
        {"retainDevEntry", [] { return md_get_retain_device_entry(5); }, 0, "1 "}, // not retained
        {"Crpt_Id", [] { return md_get_crpt_id(5); }, -2, "-3"}, // no rule; not a result code
        {"Crpt_Enable", [] { return md_get_crpt_enable(5); }, 0, "99999999999"}, // off
    };
    device(5, "");
    std::string log = logged([&] {
        for (const auto& [key, read, absent, bad] : reads) {
            EXPECT_EQ(read(), absent) << key;
            if (!bad) continue;
            db_set({{dev_path(5, key), bad}});
            EXPECT_EQ(read(), -1) << key;
        }
    });
    EXPECT_TRUE(has(log, "In md_get_path: Error in read DB_MANAGEABLE_DEVICE_PATH, device 5 \n\n"));
    confd_->stop(); // no server: each read and each change fails
    for (const auto& r : reads)
        EXPECT_EQ(std::get<1>(r)(), -1) << std::get<0>(r);
    int32_t ids[MD_MAX_NBR];
    EXPECT_EQ(md_get_list(ids) + md_get_nbr() + md_is_exist(0) + md_set_path(0, "/x") +
                  md_set_retain_device_entry(0, 1) + md_set_crpt_enable(0, 1) + md_set_type(0, 1) +
                  md_remove(0),
              -8);
}

// No write creates a record: each tests it first. A change closes with
// reconfiguration.
TEST_F(Store, WireOfChanges) {
    device(1, "1");
    WireLog wire;
    EXPECT_EQ(md_set_path(9, "/cr") + md_set_type(12, 5) + md_set_crpt_enable(12, 1), -6);
    EXPECT_EQ(n_of(wire.written(), "rg_conf_set_path_value") + n_of(wire.written(), "reconf"), 0);
    wire.clear();
    for (int rc : {md_set_type(1, 5), md_remove(1)}) // in this order
        EXPECT_EQ(rc, 0);
    EXPECT_EQ(wire.sent(), "rg_conf_get_exist " + kRec1 + " rg_conf_set_path_value " + kRec1 +
                               "/type 1 reconf #4 close | rg_conf_set_free " + kRec1 +
                               " reconf #4 close |");
    EXPECT_EQ(md_is_exist(1) + md_remove(1), 0); // absent: still 0
}

TEST_F(Store, BrokenStepsFailAndNeverReconfigure) {
    device(1, "0", {{"retainDevEntry", "1"}});
    WireLog wire;
    // A broken read is never an absent key (a retained device must not read
    // as "not retained"), a broken walk never a shorter list.
    int32_t ids[MD_MAX_NBR];
    const std::pair<std::string, std::function<int()>> steps[] = {
        {dev_path(1, "Crpt_Enable"), [] { return md_set_crpt_enable(1, 1); }},
        {dev_path(1, "retainDevEntry"), [] { return md_get_retain_device_entry(1); }},
        {kRec1, [] { return md_set_path(1, "/x"); }},
        {"rg_conf_set_get_value", [&] { return md_get_list(ids); }},
        {"rg_conf_set_free", [] { return md_remove(1); }},
    };
    for (const auto& [item, step] : steps) {
        wire.fail_write(item);
        EXPECT_EQ(step(), -1) << item;
    }
    EXPECT_EQ(n_of(wire.written(), "reconf"), 0);
    EXPECT_EQ(db_get(dev_path(1, "retainDevEntry")), "1");
}

TEST_F(Table, StartUpFillAndIdsTaken) {
    for (int id : {4, 0, 3})
        device(id, "1");
    ASSERT_EQ(mdlt_add(77), 0); // left over: start-up clears it
    ASSERT_EQ(md_initilize(), 0);
    EXPECT_EQ(table(4), "0/0 3/0 4/0 -1/0 ");
    for (int32_t id : {7, -1}) // a free entry is not a device
        EXPECT_EQ(mdlt_remove(id) + mdlt_update_status(id, 1), -4);
    for (int32_t id : {-1, 255}) // nor an id the store cannot list
        EXPECT_EQ(mdlt_add(id), -1);
    // An enumeration that fails leaves every entry free.
    db_set({{"/KELMO/TR111/ManageableDevice/x/type", "1"}});
    EXPECT_EQ(md_initilize(), -1);
    EXPECT_EQ(mdlt_count(-1), MD_MAX_NBR);
}

// Device 1 (type, keys), rule 4 (enabled; nullptr: none), an entry or none: the
// result, "<type> <rule 4 enabled> <status in the table> <connections>" ("-":
// none; the device's keys are read on one connection), a line.
TEST_F(Table, RefreshOfEachKindOfDevice) {
    using S = const char*;
    const KV kept{{"retainDevEntry", "1"}, {"Crpt_Id", "4"}},
        on{{"Crpt_Id", "4"}, {"Crpt_Enable", "1"}};
    const KV yes{{"retainDevEntry", "yes"}, {"Crpt_Id", "4"}}, r1{{"retainDevEntry", "1"}};
    const KV r0{{"retainDevEntry", "0"}}, idx{{"Crpt_Id", "x"}}, id9{{"Crpt_Id", "9"}};
    const std::tuple<S, KV, S, bool, int, int, S, S> cases[] = {
        // Plain TR-111: the status only (its rule is not its own); inactive,
        // forgotten at once (tests/model), also without an entry.
        {"1", on, "0", true, 1, 0, "1 0 1 1", ""},
        {"1", {}, nullptr, false, 0, -2, "- - - 2", "MD table id : 1, code error : -2"},
        {"", on, "0", true, 1, 0, "- 0 1 1", ""}, // no type: as a plain TR-111 device
        // Retained WT111R2 (its rule following its status: tests/model): the
        // switch off, an unreadable flag (retained), the rule gone, no rule.
        {"0", kept, "0", true, 1, 0, "0 0 1 1", ""},
        {"0", on, nullptr, true, 1, -1, "0 - 1 2", "crpt_enable failed, code error: -12"},
        {"0", yes, "1", true, 0, 0, "0 0 0 2", ""},
        {"0", kept, nullptr, true, 0, -1, "0 - 0 2", "disable the device 1 crpt, code error: -12"},
        {"0", r1, nullptr, true, 0, 0, "0 - 0 1", ""},
        // Not retained (the rule goes: tests/model): the record goes, the entry
        // waits for its deletion to come back as an event; 7 is inactive too.
        {"0", r0, nullptr, true, 7, 0, "- - 1 2", ""},
        // A rule that cannot be read or removed keeps the record.
        {"0", idx, nullptr, true, 0, -1, "0 - 1 1", "crpt id of device 1, code error"},
        {"0", id9, nullptr, true, 0, -1, "0 - 1 2", "crpt_id : 9, code error : -12"},
    };
    auto val = [](const std::string& v) { return v == "(absent)" || v == "-1" ? "-" : v; };
    for (const auto& [type, keys, enabled, entry, status, rc, after, line] : cases) {
        DbTest::SetUp();
        device(1, type, keys);
        if (enabled) rule(4, 30000, enabled);
        ASSERT_EQ(entry ? mdlt_add(1) : 0, 0);
        size_t conns = 0;
        std::string log = logged([&, st = status, r = rc, a = after] {
            WireLog wire;
            EXPECT_EQ(md_refresh_status(1, st), r) << a;
            conns = wire.conns().size();
        });
        EXPECT_EQ(val(db_get(dev_path(1, "type"))) + " " + val(db_get(rule_path(4, "enabled"))) +
                      " " + val(std::to_string(mdlt[0].id == 1 ? mdlt[0].status : -1)) + " " +
                      std::to_string(conns),
                  after);
        EXPECT_TRUE(has(log, line)) << after << "\n" << log;
    }
}

TEST_F(Table, DeviceIpFromLeases) {
    const std::string L = "/dev/br0/dhcps/lease/";
    device(1, "1");  // MAC 00:11:22:33:44:01
    device(10, "1"); // MAC 00:11:22:33:44:0a, and a lease of it in capitals first
    KV kv{{L + "3/hardware_mac", "aa:bb:cc:dd:ee:ff"}};
    for (auto [n, mac] : {std::pair{"4", "0A"}, {"6", "0a"}, {"5", "01"}, {"7", "01"}})
        kv.insert(kv.end(), {{L + n + "/hardware_mac", std::string("00:11:22:33:44:") + mac},
                             {L + n + "/ip", std::string("192.168.1.") + n}});
    db_set(kv);
    char ip[16] = "###############";
    ASSERT_EQ(md_get_device_ip(1, ip), 0);
    EXPECT_EQ(std::string(ip, 16), std::string("192.168.1.5\0\0\0\0\0", 16)); // first in set order
    ASSERT_EQ(md_get_device_ip(10, ip), 0);
    EXPECT_STREQ(ip, "192.168.1.6");
    // A lease without hardware_mac before the device's lease ends the search.
    db_set({{L + "2/ip", "192.168.1.2"}});
    std::string log = logged([&] { EXPECT_EQ(md_get_device_ip(1, ip), -1); });
    EXPECT_TRUE(has(log, "In md_get_device_ip: No mac address found in lease 2\n")) << log;
}

// The receive thread adds, refreshes, removes and searches the index of MACs while the
// request loop (here) reads, updates and drops the index. Run under ThreadSanitizer
// (TR111_SANITIZE=thread) to check the locking.
TEST_F(Table, TwoThreadsShareTheTable) {
    for (int id = 0; id < 4; ++id)
        device(id, "0", {{"retainDevEntry", "1"}});
    ASSERT_EQ(md_initilize(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread events([&] {
        for (int i = 0; i < 60; ++i) {
            tr111::DbHandle db(KX_DB_MAIN);
            std::string mac = "00:11:22:33:44:0" + std::to_string(i % 4);
            bad += md_refresh_status(i % 4, 1) != 0 || mdlt_add(100 + i) != 0 ||
                   md_refresh_status(i % 4, 0) != 0 || mdlt_remove(100 + i) != 0 ||
                   md_index_find(db.get(), mac.c_str()) != i % 4;
        }
        stop = true;
    });
    for (int i = 0; !stop; ++i) {
        int st = md_is_active(i % 4);
        bad += (st != 0 && st != 1) || mdlt_add(250) != 0 || mdlt_update_status(250, 0) != 0 ||
               mdlt_remove(250) != 0;
        i % 2 ? md_index_drop() : md_index_forget(9);
    }
    events.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(table(4) + std::to_string(mdlt_count(-1)), "0/0 1/0 2/0 3/0 123");
}
