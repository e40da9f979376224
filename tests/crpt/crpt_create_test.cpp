// Pass-through rule creation against a real confd: the next rule id, the
// first free WAN port, the eight keys in order with the reconfiguring close
// only after all eight, and the failures (unreadable ids, a write failing
// midway, an instance list that can never be obtained).
#include "crpt/crpt.h"
#include "platform/include/ipc.h"
#include "tests/support/db.h"
#include "tests/support/wire.h"

using namespace tr111test;

namespace {

class Create : public DbTest {};

const std::string kWan = "services/0/trigger/0/dst/start";

} // namespace

TEST_F(Create, WritesTheEightKeysThenReconfigures) {
    WireLog wire;
    ASSERT_EQ(crpt_create(7547, "192.168.1.20"), 0); // no rule subtree at all
    auto conns = wire.conns();
    EXPECT_EQ(n_of(wire.written(), "reconf"), 1); // none after the id scan and the port test
    const std::pair<std::string, std::string> keys[] = {
        {kWan, "30000"},    {"services/0/trigger/0/dst/end", "30000"}, {"fwd_from", "7547"},
        {"fwd_to", "7547"}, {"services/0/trigger/0/protocol", "6"},    {"services/0/name", ""},
        {"enabled", "0"},   {"rdir/item/0/hostname", "192.168.1.20"}};
    Strings want;
    for (const auto& [key, value] : keys)
        want.insert(want.end(),
                    {"> rg_conf_set_path_value", "> " + rule_path(0, key), "> " + value});
    want.insert(want.end(), {"> reconf", "> #4", "> close"});
    EXPECT_EQ(conns.back().items, want);
    for (const auto& [key, value] : keys)
        EXPECT_EQ(db_get(rule_path(0, key)), value) << key;
}

TEST_F(Create, NextIdAndFirstFreePort) {
    rule(3, 30003);
    rule(0, 30000);
    rule(1, 30001);
    // Rules without a readable first port block nothing.
    db_set({{rule_path(4, "enabled"), "0"}, {rule_path(5, kWan), "x"}});
    WireLog wire;
    std::string log = logged([] { ASSERT_EQ(crpt_create(8080, "192.168.1.21"), 6); });
    EXPECT_EQ(db_get(rule_path(6, kWan)), "30002");
    EXPECT_EQ(db_get(rule_path(6, "fwd_from")), "8080");
    EXPECT_EQ(n_of(wire.written(), "tr69 action"), 3); // one instance list per candidate
    EXPECT_TRUE(has(log, "In crpt_port_wan_is_used: Port wan nb: 30001 in use \n\n")) << log;
    EXPECT_TRUE(has(log, "In crpt_create: Port mapping rule created with id=6\n\n"));
    // Gaps are not filled, a freed low port is taken again.
    db_del(rule_path(0));
    ASSERT_EQ(crpt_create(8080, "192.168.1.22"), 7);
    EXPECT_EQ(db_get(rule_path(7, kWan)), "30000");
    // Rule 254 is instance 255, the last the list can carry: its port is
    // seen. Rule 255 is not in the list, but is created.
    rule(254, 30004);
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), 255);
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), 256);

    // A broken id scan is no empty firewall, a key that is no rule id no
    // rule: -11 and nothing written.
    db_set({{"/fw/rule/loc_srv/web/enabled", "1"}});
    wire.clear();
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_DB);
    wire.fail_write("rg_conf_get_set");
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_DB);
    EXPECT_EQ(n_of(wire.written(), "rg_conf_set_path_value") + n_of(wire.written(), "reconf"), 0);
}

TEST_F(Create, WriteFailingMidwayLeavesKeysAndNoReconf) {
    WireLog wire;
    wire.fail_write(rule_path(0, "fwd_to"));
    std::string log = logged([] { EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_CREATE); });
    EXPECT_TRUE(has(log, "In crpt_create: ERROR in set_DB_port_lan\r\n\n")) << log;
    EXPECT_EQ(n_of(wire.written(), "reconf"), 0);
    // What went out before the failure stays.
    EXPECT_EQ(db_get(rule_path(0, "fwd_from")), "7547");
    EXPECT_EQ(db_get(rule_path(0, "fwd_to")), "(absent)");
}

// The instance list holds one byte per rule, so the whole range can be "in
// use" only through a list that cannot be obtained: the configuration
// server goes away right after the id scan, every one of the 10001
// candidates fails its test, then creation fails.
TEST_F(Create, InstanceListNeverObtainedTriesEveryPort) {
    static int closes;
    closes = 0;
    ipc_hooks hooks{};
    hooks.ctx = confd_;
    hooks.on_close = [](void* confd, int, uint32_t) {
        if (++closes == 1) static_cast<Confd*>(confd)->stop(true);
    };
    ipc_set_hooks(&hooks);
    int rc = 0;
    std::string log = logged([&] { rc = crpt_create(7547, "192.168.1.20"); });
    ipc_set_hooks(nullptr);
    ASSERT_TRUE(confd_->start());
    EXPECT_EQ(rc, CRPT_ERR_CREATE);
    EXPECT_EQ(count(log, "Entity_get_instance_nbr code error:9002 \n"), 10001u);
    EXPECT_TRUE(has(log, "In crpt_create: All Wan port numbers in range are in use\n\n"));
    EXPECT_EQ(db_get(rule_path(0)), "(absent)");
}
