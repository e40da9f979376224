// Pass-through rule creation against a real confd: the next rule id, the
// first free WAN port, the eight keys and their order, the reconfiguring
// close only after all eight, and the failures (unreadable ids, a write
// failing midway, an instance list that can never be obtained).
#include "crpt/crpt.h"
#include "platform/include/ipc.h"
#include "tests/registry/registry_fixture.h"

using namespace regtest;
using tr111test::CaptureStdout;
using tr111test::DebugSwitches;
using tr111test::WireLog;

namespace {

class Create : public ConfdTest {};

const char* const kKeys[] = {"services/0/trigger/0/dst/start",
                             "services/0/trigger/0/dst/end",
                             "fwd_from",
                             "fwd_to",
                             "services/0/trigger/0/protocol",
                             "services/0/name",
                             "enabled",
                             "rdir/item/0/hostname"};

// Items of the last connection of a wire log.
Items last_conn(const WireLog& wire) {
    auto conns = wire.conns();
    Items out;
    for (const auto& i : conns.back().items)
        if (i.rfind("> ", 0) == 0) out.push_back(i.substr(2));
    return out;
}

} // namespace

TEST_F(Create, NextRuleId) {
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    // No subtree at all.
    EXPECT_EQ(crpt_maxPortMappingId(), CRPT_ERR_ABSENT);
    EXPECT_TRUE(has(out.text(),
                    line("crpt_maxPortMappingId", "There is no set for /fw/rule/loc_srv \n\n")));
    ASSERT_EQ(crpt_create(7547, "192.168.1.20"), 0);
    ASSERT_EQ(settle(rule_path(0, "rdir/item/0/hostname"), "192.168.1.20"), "192.168.1.20");
    db_del("/fw");
    // An empty subtree.
    db_put("/fw/rule/", "loc_srv");
    EXPECT_EQ(crpt_maxPortMappingId(), -1);
    ASSERT_EQ(crpt_create(7547, "192.168.1.20"), 0);
    ASSERT_EQ(settle(rule_path(0, "rdir/item/0/hostname"), "192.168.1.20"), "192.168.1.20");
    db_del("/fw/rule/loc_srv/0/");
    // Gaps are not filled.
    rule(3, 30003);
    rule(0, 30000);
    EXPECT_EQ(crpt_maxPortMappingId(), 3);
    ASSERT_EQ(crpt_create(7547, "192.168.1.20"), 4);
    ASSERT_EQ(settle(rule_path(4, "rdir/item/0/hostname"), "192.168.1.20"), "192.168.1.20");
    EXPECT_EQ(db_get(rule_path(4, "services/0/trigger/0/dst/start")), "30001");

    // A key that is not a rule id: -11 and nothing written.
    db_put("/fw/rule/loc_srv/web/enabled", "1");
    WireLog wire;
    EXPECT_EQ(crpt_maxPortMappingId(), CRPT_ERR_DB);
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_DB);
    EXPECT_EQ(count_of(wire.written(), "rg_conf_set_path_value"), 0u);
    EXPECT_EQ(count_of(wire.written(), "reconf"), 0u);
    EXPECT_EQ(count_of(wire.written(), "tr69 action"), 0u);
    EXPECT_TRUE(has(out.text(), line("crpt_maxPortMappingId", "Invalid port wan value \n\n")));
    EXPECT_EQ(db_get(rule_path(5, "enabled")), "(absent)");
}

TEST_F(Create, IdsGoOnPastTheLastInstanceByte) {
    // Rule 254 is instance 255, the last one the list can carry: its port
    // is seen; the new rule 255 is not in the list, but is created.
    rule(254, 30000);
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), 255);
    EXPECT_EQ(db_get(rule_path(255, "services/0/trigger/0/dst/start")), "30001");
    EXPECT_EQ(crpt_create(7547, "192.168.1.21"), 256);
}

TEST_F(Create, FirstFreePortAfterExistingRules) {
    rule(0, 30000);
    rule(1, 30001);
    rule(2, 30003);
    // A rule without a readable first port blocks nothing.
    db_put(rule_path(3, "enabled"), "0");
    db_put({{rule_path(4, "enabled"), "0"}, {rule_path(4, "services/0/trigger/0/dst/start"), "x"}});
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    WireLog wire;
    ASSERT_EQ(crpt_create(8080, "192.168.1.21"), 5);
    ASSERT_EQ(settle(rule_path(5, "rdir/item/0/hostname"), "192.168.1.21"), "192.168.1.21");
    EXPECT_EQ(db_get(rule_path(5, "services/0/trigger/0/dst/start")), "30002");
    std::string log = out.text();
    EXPECT_TRUE(has(log, line("crpt_create", "Port WAN = 30000 \n\n")));
    EXPECT_TRUE(has(log, line("crpt_port_wan_is_used", "Port wan nb: 30000 in use \n\n")));
    EXPECT_TRUE(has(log, line("crpt_port_wan_is_used", "Port wan nb: 30001 in use \n\n")));
    EXPECT_TRUE(has(log, line("crpt_create", "Port Wan = 30002 not used\n\n")));
    EXPECT_FALSE(has(log, "Port WAN = 30003"));
    // One instance list per candidate: 30000, 30001, 30002.
    EXPECT_EQ(count_of(wire.written(), "tr69 action"), 3u);
    EXPECT_TRUE(has(log, line("crpt_create", "Port mapping rule created with id=5\n\n")));

    // A freed low port is taken again.
    db_del("/fw/rule/loc_srv/0/");
    ASSERT_EQ(crpt_create(8080, "192.168.1.22"), 6);
    ASSERT_EQ(settle(rule_path(6, "rdir/item/0/hostname"), "192.168.1.22"), "192.168.1.22");
    EXPECT_EQ(db_get(rule_path(6, "services/0/trigger/0/dst/start")), "30000");
}

TEST_F(Create, WritesTheEightKeysThenReconfigures) {
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    WireLog wire;
    ASSERT_EQ(crpt_create(7547, "192.168.1.20"), 0);
    // The id scan and the port test closed without reconfiguration.
    EXPECT_EQ(count_of(wire.written(), "reconf"), 1u);
    const char* values[] = {"30000", "30000", "7547", "7547", "6", "", "0", "192.168.1.20"};
    Items expect;
    for (size_t i = 0; i < 8; ++i) {
        expect.push_back("rg_conf_set_path_value");
        expect.push_back(rule_path(0, kKeys[i]));
        expect.push_back(values[i]);
    }
    expect.insert(expect.end(), {"reconf", "#4", "close"});
    EXPECT_EQ(last_conn(wire), expect);
    ASSERT_EQ(settle(rule_path(0, "rdir/item/0/hostname"), "192.168.1.20"), "192.168.1.20");
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(db_get(rule_path(0, kKeys[i])), values[i]) << kKeys[i];
}

TEST_F(Create, WriteFailingMidwayLeavesKeysAndNoReconf) {
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    WireLog wire;
    wire.fail_write(rule_path(0, "fwd_to"));
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_CREATE);
    EXPECT_TRUE(has(out.text(), line("crpt_create", "ERROR in set_DB_port_lan\r\n\n")));
    Items w = last_conn(wire);
    EXPECT_EQ(w.back(), rule_path(0, "fwd_to")); // nothing after the failed item
    EXPECT_EQ(count_of(wire.written(), "reconf"), 0u);
    EXPECT_NE(wire.conns().back().close_err, 0u);
    // What went out before the failure stays (the server reads it before
    // the reset that ends the connection).
    EXPECT_EQ(settle(rule_path(0, kKeys[2]), "7547"), "7547");
    EXPECT_EQ(db_get(rule_path(0, kKeys[0])), "30000");
    EXPECT_EQ(db_get(rule_path(0, kKeys[1])), "30000");
    for (size_t i = 3; i < 8; ++i)
        EXPECT_EQ(db_get(rule_path(0, kKeys[i])), "(absent)");

    // The second write has no line of its own; the first prints its path.
    db_del("/fw");
    {
        CaptureStdout quiet;
        wire.fail_write(rule_path(0, kKeys[1]));
        EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_CREATE);
        EXPECT_EQ(quiet.text(), "");
    }
    EXPECT_EQ(settle(rule_path(0, kKeys[0]), "30000"), "30000");
    db_del("/fw");
    wire.fail_write(rule_path(0, kKeys[0]));
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_CREATE);
    EXPECT_TRUE(has(out.text(), line("crpt_create", "Set external port value in DB failed path:" +
                                                        rule_path(0, kKeys[0]) + "\n\n")));
    EXPECT_EQ(db_get("/fw/rule/loc_srv/0/"), "(absent)");
}

// The instance list holds one byte per rule, so at most 255 rules can hold
// ports: the whole range can be "in use" only through a list that cannot be
// obtained. The configuration server goes away right after the id scan:
// every one of the 10001 candidates fails its test, then creation fails.
TEST_F(Create, InstanceListNeverObtainedTriesEveryPort) {
    struct Ctx {
        tr111test::Confd* confd;
        int closes = 0;
    } ctx{confd_};
    ipc_hooks hooks{};
    hooks.ctx = &ctx;
    hooks.on_close = [](void* p, int, uint32_t) {
        auto* c = static_cast<Ctx*>(p);
        if (++c->closes == 1) c->confd->stop(true);
    };
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    ipc_set_hooks(&hooks);
    int rc = crpt_create(7547, "192.168.1.20");
    ipc_set_hooks(nullptr);
    std::string log = out.text();
    ASSERT_TRUE(confd_->start());
    EXPECT_EQ(rc, CRPT_ERR_CREATE);
    EXPECT_EQ(tr111test::count(log, "Entity_get_instance_nbr code error:9002 \n"), 10001u);
    EXPECT_TRUE(has(log, line("crpt_create", "Port WAN = 40000 \n\n")));
    EXPECT_FALSE(has(log, "Port WAN = 40001"));
    EXPECT_TRUE(has(log, line("crpt_create", "All Wan port numbers in range are in use\n\n")));
    EXPECT_FALSE(has(log, "Unable to open Tamrix database")); // never reached the writes
    EXPECT_EQ(ctx.closes, 1);
    EXPECT_EQ(db_get("/fw/rule/loc_srv/"), "(absent)");
}
