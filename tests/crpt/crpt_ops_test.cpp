// Pass-through rule operations against a real confd: existence tests, the
// items each operation sends, how it closes, and its results for absent
// rules, stored non-numbers and failed writes.
#include "crpt/crpt.h"
#include "tests/registry/registry_fixture.h"

#include <cstring>

using namespace regtest;
using tr111test::CaptureStdout;
using tr111test::DebugSwitches;
using tr111test::WireLog;

namespace {

class Ops : public ConfdTest {};

const std::string kRule0 = "/fw/rule/loc_srv/0/";
const std::string kRule5 = "/fw/rule/loc_srv/5/";

} // namespace

TEST_F(Ops, EnableAndDisableWire) {
    rule(0, 30000, "0");
    WireLog wire;
    ASSERT_EQ(crpt_enable(0), 0);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", kRule0, "rg_conf_set_path_value",
                                     rule_path(0, "enabled"), "1", "reconf", "#4", "close", "|"}));
    ASSERT_EQ(settle(rule_path(0, "enabled"), "1"), "1");
    wire.clear();
    EXPECT_EQ(crpt_is_enabled(0), 1);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", rule_path(0, "enabled"), "close", "|"}));

    wire.clear();
    ASSERT_EQ(crpt_disable(0), 0);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", kRule0, "rg_conf_set_path_value",
                                     rule_path(0, "enabled"), "0", "reconf", "#4", "close", "|"}));
    ASSERT_EQ(settle(rule_path(0, "enabled"), "0"), "0");
    EXPECT_EQ(crpt_is_enabled(0), 0);

    // Absent rule: -12, the existence test and "close" alone. The disable
    // reports it as an error line, the enable only as information.
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    wire.clear();
    EXPECT_EQ(crpt_disable(5), CRPT_ERR_ABSENT);
    EXPECT_EQ(crpt_enable(5), CRPT_ERR_ABSENT);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", kRule5, "close", "|", "rg_conf_get_exist",
                                     kRule5, "close", "|"}));
    EXPECT_TRUE(has(out.text(), line("crpt_disable", "PortMapping ID Not found\n\n")));
    EXPECT_FALSE(has(out.text(), "In crpt_enable"));
    EXPECT_EQ(db_get(rule_path(5, "enabled")), "(absent)");

    // A stored "2" is returned as it is.
    db_put(rule_path(0, "enabled"), "2");
    EXPECT_EQ(crpt_is_enabled(0), 2);
}

TEST_F(Ops, FailedWritesNeverReconfigure) {
    rule(0, 30000, "1");
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    WireLog wire;
    wire.fail_write(rule_path(0, "enabled"));
    EXPECT_EQ(crpt_enable(0), CRPT_ERR_DB);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", kRule0, "rg_conf_set_path_value",
                                     rule_path(0, "enabled"), "|"}));
    EXPECT_NE(wire.conns().back().close_err, 0u);
    EXPECT_TRUE(has(out.text(), line("crpt_enable", "Set Enable portMapping failed\n\n")));

    // The disable closes for writing after its failed write: nothing is sent.
    wire.clear();
    wire.fail_write(rule_path(0, "enabled"));
    EXPECT_EQ(crpt_disable(0), CRPT_ERR_DB);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", kRule0, "rg_conf_set_path_value",
                                     rule_path(0, "enabled"), "|"}));
    EXPECT_TRUE(has(out.text(), line("crpt_disable", "Disable portMapping rule failed\n\n")));

    wire.clear();
    wire.fail_write(rule_path(0, "rdir/item/0/hostname"));
    EXPECT_EQ(crpt_set_dev_ip(0, "192.168.1.7"), CRPT_ERR_DB);
    EXPECT_EQ(count_of(wire.written(), "reconf"), 0u);
    EXPECT_TRUE(has(out.text(), line("crpt_set_dev_ip", "Set InternalClient_PATH failed\n\n")));
    EXPECT_EQ(db_get(rule_path(0, "enabled")), "1");
    EXPECT_EQ(db_get(rule_path(0, "rdir/item/0/hostname")), "192.168.1.20");

    // A broken existence test or delete is a failure, not an absent rule.
    wire.fail_write(kRule0);
    EXPECT_EQ(crpt_enable(0), CRPT_ERR_DB);
    wire.fail_write("rg_conf_set_free");
    EXPECT_EQ(crpt_remove(0), CRPT_ERR_DB);
    EXPECT_EQ(db_get(rule_path(0, "enabled")), "1");
    wire.fail_write(rule_path(0, "services/0/trigger/0/dst/start"));
    EXPECT_EQ(crpt_get_wan_port(0), CRPT_ERR_DB);
}

TEST_F(Ops, SetDevIpTestsTheEnabledKey) {
    rule(0, 30000);
    // Rule 1 has keys, but no enabled key.
    db_put(rule_path(1, "rdir/item/0/hostname"), "192.168.1.5");
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    WireLog wire;
    EXPECT_EQ(crpt_set_dev_ip(1, "192.168.1.9"), CRPT_ERR_ABSENT);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", rule_path(1, "enabled"), "close", "|"}));
    EXPECT_EQ(db_get(rule_path(1, "rdir/item/0/hostname")), "192.168.1.5");

    wire.clear();
    ASSERT_EQ(crpt_set_dev_ip(0, "192.168.1.9"), 0);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", rule_path(0, "enabled"),
                                     "rg_conf_set_path_value", rule_path(0, "rdir/item/0/hostname"),
                                     "192.168.1.9", "reconf", "#4", "close", "|"}));
    EXPECT_EQ(settle(rule_path(0, "rdir/item/0/hostname"), "192.168.1.9"), "192.168.1.9");
}

TEST_F(Ops, RemoveDeletesTheWholeRule) {
    rule(0, 30000);
    rule(1, 30001);
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    WireLog wire;
    ASSERT_EQ(crpt_remove(0), 0);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", kRule0, "rg_conf_set_free", kRule0,
                                     "reconf", "#4", "close", "|"}));
    EXPECT_EQ(settle(kRule0, "(absent)"), "(absent)");
    EXPECT_EQ(db_get(rule_path(0, "fwd_from")), "(absent)");
    EXPECT_EQ(db_get(rule_path(1, "fwd_from")), "7547");
    wire.clear();
    EXPECT_EQ(crpt_remove(0), CRPT_ERR_ABSENT);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", kRule0, "close", "|"}));
    EXPECT_TRUE(has(out.text(), line("crpt_remove", "PortMapping rule not found\n\n")));
    EXPECT_TRUE(
        has(out.text(), line("crpt_remove", "OBJECT_PORTMAPPING_DEL_PATH = " + kRule0 + " \n\n")));
    // Every operation now finds nothing.
    char ip[16];
    EXPECT_EQ(crpt_enable(0), CRPT_ERR_ABSENT);
    EXPECT_EQ(crpt_get_wan_port(0), CRPT_ERR_ABSENT);
    EXPECT_EQ(crpt_get_lan_port(0), CRPT_ERR_ABSENT);
    EXPECT_EQ(crpt_get_dev_ip(0, ip), CRPT_ERR_ABSENT);
    EXPECT_EQ(crpt_is_enabled(0), CRPT_ERR_ABSENT);
}

TEST_F(Ops, ReadsAndTheirResults) {
    rule(0, 30005, "1", "192.168.100.200");
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    WireLog wire;
    EXPECT_EQ(crpt_get_wan_port(0), 30005);
    EXPECT_EQ(
        wire.written(),
        (Items{"rg_conf_get_exist", rule_path(0, "services/0/trigger/0/dst/start"), "close", "|"}));
    wire.clear();
    EXPECT_EQ(crpt_get_lan_port(0), 7547);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", rule_path(0, "fwd_from"),
                                     "rg_conf_get_exist", rule_path(0, "fwd_from"), "close", "|"}));

    char ip[20];
    memset(ip, '#', sizeof ip);
    ASSERT_EQ(crpt_get_dev_ip(0, ip), 0); // 15 characters and the terminator
    EXPECT_STREQ(ip, "192.168.100.200");
    EXPECT_EQ(ip[16], '#');
    db_put(rule_path(0, "rdir/item/0/hostname"), "10.0.0.1");
    memset(ip, '#', sizeof ip);
    ASSERT_EQ(crpt_get_dev_ip(0, ip), 0);
    EXPECT_EQ(std::string(ip, 16), std::string("10.0.0.1") + std::string(8, '\0'));

    // Stored texts that are not what they should be.
    db_put({{rule_path(0, "services/0/trigger/0/dst/start"), "30x"},
            {rule_path(0, "fwd_from"), "abc"},
            {rule_path(0, "enabled"), "on"},
            {rule_path(0, "rdir/item/0/hostname"), "192.168.100.2000"}});
    memset(ip, '#', sizeof ip);
    EXPECT_EQ(crpt_get_wan_port(0), CRPT_ERR_DB);
    EXPECT_EQ(crpt_get_lan_port(0), CRPT_ERR_DB);
    EXPECT_EQ(crpt_is_enabled(0), CRPT_ERR_DB);
    EXPECT_EQ(crpt_get_dev_ip(0, ip), CRPT_ERR_DB);
    EXPECT_EQ(ip[0], '#');
    std::string log = out.text();
    EXPECT_TRUE(has(log, line("crpt_get_wan_port", "Invalid port wan value \n\n")));
    EXPECT_TRUE(has(log, line("crpt_get_lan_port", "Invalid port wan value\n\n")));
    EXPECT_TRUE(has(log, line("crpt_is_enabled", "Invalid port wan value \n\n")));
    // Ports out of range would read as result codes or as nonsense.
    db_put({{rule_path(0, "services/0/trigger/0/dst/start"), "-12"},
            {rule_path(0, "fwd_from"), "65536"}});
    EXPECT_EQ(crpt_get_wan_port(0), CRPT_ERR_DB);
    EXPECT_EQ(crpt_get_lan_port(0), CRPT_ERR_DB);

    // Absent keys.
    EXPECT_EQ(crpt_get_wan_port(9), CRPT_ERR_ABSENT);
    EXPECT_TRUE(
        has(out.text(), line("crpt_get_wan_port", "Port mapping rule with id :9 not found\n")));
    db_del(rule_path(0, "fwd_from"));
    EXPECT_EQ(crpt_get_lan_port(0), CRPT_ERR_ABSENT);
    EXPECT_TRUE(has(out.text(), line("crpt_get_lan_port", "PortMapping rule not found\n\n")));
    EXPECT_EQ(crpt_get_dev_ip(9, ip), CRPT_ERR_ABSENT);
    EXPECT_TRUE(has(out.text(), line("crpt_get_dev_ip", "CRPT not found\n\n")));

    // The reads close without reconfiguration, on every path.
    wire.clear();
    crpt_get_wan_port(0);
    crpt_get_lan_port(0);
    crpt_get_lan_port(9);
    crpt_get_dev_ip(0, ip);
    crpt_is_enabled(0);
    crpt_is_enabled(9);
    EXPECT_EQ(count_of(wire.written(), "reconf"), 0u);
    EXPECT_EQ(count_of(wire.written(), "close"), 6u);
    for (const auto& c : wire.conns())
        EXPECT_TRUE(c.closed);
}

TEST_F(Ops, NoServer) {
    confd_->stop();
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    char ip[16];
    EXPECT_EQ(crpt_enable(0), CRPT_ERR_DB);
    EXPECT_EQ(crpt_disable(0), CRPT_ERR_DB);
    EXPECT_EQ(crpt_set_dev_ip(0, "1.2.3.4"), CRPT_ERR_DB);
    EXPECT_EQ(crpt_remove(0), CRPT_ERR_DB);
    EXPECT_EQ(crpt_get_lan_port(0), CRPT_ERR_DB);
    EXPECT_EQ(crpt_get_wan_port(0), CRPT_ERR_DB);
    EXPECT_EQ(crpt_get_dev_ip(0, ip), CRPT_ERR_DB);
    EXPECT_EQ(crpt_is_enabled(0), CRPT_ERR_DB);
    EXPECT_EQ(tr111test::count(out.text(), "Unable to open Tamrix database \n\n"), 8u);
    ASSERT_TRUE(confd_->start());
}
