// Pass-through rule operations against a real confd: the existence test and
// the items of each operation, how it closes (with reconfiguration only
// after a change that went out), and its results for absent rules, stored
// texts that are not what they should be, and broken connections.
#include "crpt/crpt.h"
#include "tests/support/db.h"
#include "tests/support/wire.h"

#include <cstring>
#include <functional>

using namespace tr111test;

namespace {

class Ops : public DbTest {};

const std::string kRule0 = rule_path(0), kEnabled0 = rule_path(0, "enabled");
const std::string kHost0 = rule_path(0, "rdir/item/0/hostname");
const std::string kWan0 = rule_path(0, "services/0/trigger/0/dst/start");

Strings change(const std::string& test, const std::string& path, const std::string& value) {
    return {"rg_conf_get_exist",
            test,
            "rg_conf_set_path_value",
            path,
            value,
            "reconf",
            "#4",
            "close",
            "|"};
}

} // namespace

TEST_F(Ops, ChangesAndTheirWire) {
    rule(0, 30000, "0");
    WireLog wire;
    auto sent = [&] {
        Strings w = wire.written();
        wire.clear();
        return w;
    };
    ASSERT_EQ(crpt_enable(0), 0);
    EXPECT_EQ(sent(), change(kRule0, kEnabled0, "1"));
    ASSERT_EQ(crpt_disable(0), 0);
    EXPECT_EQ(sent(), change(kRule0, kEnabled0, "0"));
    ASSERT_EQ(crpt_set_dev_ip(0, "192.168.1.9"), 0); // tests the enabled key
    EXPECT_EQ(sent(), change(kEnabled0, kHost0, "192.168.1.9"));
    ASSERT_EQ(crpt_remove(0), 0);
    EXPECT_EQ(sent(), (Strings{"rg_conf_get_exist", kRule0, "rg_conf_set_free", kRule0, "reconf",
                               "#4", "close", "|"}));

    // Absent rule: -12 after the existence test, closed without
    // reconfiguration.
    for (auto op : {crpt_enable, crpt_disable, crpt_remove})
        EXPECT_EQ(op(0), CRPT_ERR_ABSENT);
    EXPECT_EQ(crpt_set_dev_ip(0, "192.168.1.9"), CRPT_ERR_ABSENT);
    Strings absent;
    for (const auto& key : {kRule0, kRule0, kRule0, kEnabled0})
        absent.insert(absent.end(), {"rg_conf_get_exist", key, "close", "|"});
    EXPECT_EQ(sent(), absent);
}

TEST_F(Ops, BrokenStepsAreDatabaseFailuresNeverAbsence) {
    rule(0, 30000, "1");
    WireLog wire;
    char ip[16];
    const std::pair<std::string, std::function<int()>> steps[] = {
        {kEnabled0, [] { return crpt_enable(0); }},
        {kEnabled0, [] { return crpt_disable(0); }},
        {kHost0, [] { return crpt_set_dev_ip(0, "192.168.1.7"); }},
        {kRule0, [] { return crpt_enable(0); }},
        {"rg_conf_set_free", [] { return crpt_remove(0); }},
        {kWan0, [] { return crpt_get_wan_port(0); }},
        {rule_path(0, "fwd_from"), [] { return crpt_get_lan_port(0); }},
        {kHost0, [&] { return crpt_get_dev_ip(0, ip); }},
        {kEnabled0, [] { return crpt_is_enabled(0); }},
    };
    for (const auto& [item, step] : steps) {
        wire.fail_write(item);
        EXPECT_EQ(step(), CRPT_ERR_DB) << item;
    }
    EXPECT_EQ(n_of(wire.written(), "reconf"), 0);
    EXPECT_EQ(db_get(kEnabled0), "1");
    EXPECT_EQ(db_get(kHost0), "192.168.1.20");
}

TEST_F(Ops, ReadsAndTheirResults) {
    rule(0, 30005, "1", "192.168.100.200");
    WireLog wire;
    char ip[20];
    memset(ip, '#', sizeof ip);
    EXPECT_EQ(crpt_get_wan_port(0), 30005);
    EXPECT_EQ(crpt_get_lan_port(0), 7547);
    EXPECT_EQ(crpt_is_enabled(0), 1);
    ASSERT_EQ(crpt_get_dev_ip(0, ip), 0); // 15 characters and the terminator
    EXPECT_EQ(std::string(ip, 17), std::string("192.168.100.200\0#", 17));
    for (int rc :
         {crpt_get_wan_port(9), crpt_get_lan_port(9), crpt_get_dev_ip(9, ip), crpt_is_enabled(9)})
        EXPECT_EQ(rc, CRPT_ERR_ABSENT);
    // Every read closes its connection, without reconfiguration.
    EXPECT_EQ(n_of(wire.written(), "close"), 8);
    EXPECT_EQ(n_of(wire.written(), "reconf"), 0);

    // Stored texts that are not what they should be; ports out of range
    // would read as result codes.
    db_set({{kWan0, "-12"},
            {rule_path(0, "fwd_from"), "65536"},
            {kEnabled0, "on"},
            {kHost0, "192.168.100.2000"}});
    memset(ip, '#', sizeof ip);
    for (int rc :
         {crpt_get_wan_port(0), crpt_get_lan_port(0), crpt_is_enabled(0), crpt_get_dev_ip(0, ip)})
        EXPECT_EQ(rc, CRPT_ERR_DB);
    EXPECT_EQ(ip[0], '#');
}
