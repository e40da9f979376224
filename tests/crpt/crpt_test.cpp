// Pass-through rules against a real confd: what each operation writes, how it
// closes, its results; creation: the next id, the first free port, the keys.
#include "crpt/crpt.h"
#include "platform/include/ipc.h"
#include "tests/support/db.h"
#include "tests/support/script_db.h"
#include "tests/support/wire.h"

#include <cstring>

using namespace tr111test;

namespace {
class Crpt : public DbTest {};
const std::string kWan = "services/0/trigger/0/dst/start", kReconf = " reconf #4 close |",
                  kRule0 = rule_path(0), kWan0 = rule_path(0, kWan),
                  kFrom0 = rule_path(0, "fwd_from"), kEnabled0 = rule_path(0, "enabled"),
                  kHost0 = rule_path(0, "rdir/item/0/hostname");
} // namespace

// A change closes with reconfiguration; a failed existence test without.
TEST_F(Crpt, ChangesAndTheirWire) {
    rule(0, 30000);
    WireLog wire;
    const std::string test = "rg_conf_get_exist " + kRule0, set = " rg_conf_set_path_value ";
    // In this order (a braced list is evaluated in order); the address change
    // tests the enabled key.
    for (int rc :
         {crpt_enable(0), crpt_disable(0), crpt_set_dev_ip(0, "192.168.1.9"), crpt_remove(0)})
        ASSERT_EQ(rc, 0);
    EXPECT_EQ(wire.sent(), test + set + kEnabled0 + " 1" + kReconf + " " + test + set + kEnabled0 +
                               " 0" + kReconf + " rg_conf_get_exist " + kEnabled0 + set + kHost0 +
                               " 192.168.1.9" + kReconf + " " + test + " rg_conf_set_free " +
                               kRule0 + kReconf);
    // Absent: -12 after the existence test.
    for (auto op : {crpt_enable, crpt_disable, crpt_remove,
                    +[](int32_t r) { return crpt_set_dev_ip(r, "192.168.1.9"); }})
        EXPECT_EQ(op(0), CRPT_ERR_ABSENT);
    EXPECT_EQ(n_of(wire.written(), "rg_conf_set_path_value") + n_of(wire.written(), "reconf"), 0);
}

TEST_F(Crpt, ReadsResultsAndBrokenSteps) {
    rule(0, 30005, "1", "192.168.100.200");
    WireLog wire;
    static char ip[20];
    auto reads = [&](int r) {
        memset(ip, '#', sizeof ip);
        std::string s;
        for (int rc : {crpt_get_wan_port(r), crpt_get_lan_port(r), crpt_is_enabled(r),
                       crpt_get_dev_ip(r, ip)})
            s += std::to_string(rc) + " ";
        return s + std::string(ip, 17);
    };
    // 15 characters and the terminator.
    EXPECT_EQ(reads(0), "30005 7547 1 0 " + std::string("192.168.100.200\0#", 17));
    EXPECT_EQ(reads(9), "-12 -12 -12 -12 " + std::string(17, '#'));
    // Every read closes its connection, without reconfiguration.
    std::string w = wire.sent();
    EXPECT_EQ(count(w, "close |"), 8u) << w;
    EXPECT_FALSE(has(w, "reconf"));

    // A step whose connection broke is a database failure, never absence.
    const std::pair<std::string, int (*)()> steps[] = {
        {kEnabled0, [] { return crpt_enable(0); }},
        {kHost0, [] { return crpt_set_dev_ip(0, "192.168.1.7"); }},
        {kRule0, [] { return crpt_enable(0); }},
        {"rg_conf_set_free", [] { return crpt_remove(0); }},
        {kWan0, [] { return crpt_get_wan_port(0); }},
        {kHost0, [] { return crpt_get_dev_ip(0, ip); }},
    };
    for (const auto& [item, step] : steps) {
        wire.fail_write(item);
        EXPECT_EQ(step(), CRPT_ERR_DB) << item;
    }
    EXPECT_EQ(n_of(wire.written(), "reconf"), 0);
    EXPECT_EQ(db_get(kEnabled0) + " " + db_get(kHost0), "1 192.168.100.200");

    // Stored texts that are not what they should be; ports out of range
    // would read as result codes.
    db_set({{kWan0, "-12"}, {kFrom0, "65536"}, {kEnabled0, "on"}, {kHost0, "192.168.100.2000"}});
    EXPECT_EQ(reads(0), "-11 -11 -11 -11 " + std::string(17, '#'));
}

TEST_F(Crpt, CreateWritesTheEightKeysThenReconfigures) {
    WireLog wire;
    ASSERT_EQ(crpt_create(7547, "192.168.1.20"), 0); // no rule subtree at all
    std::string all = wire.sent();
    const std::pair<std::string, std::string> keys[] = {
        {kWan, "30000"},    {"services/0/trigger/0/dst/end", "30000"}, {"fwd_from", "7547"},
        {"fwd_to", "7547"}, {"services/0/trigger/0/protocol", "6"},    {"services/0/name", ""},
        {"enabled", "0"},   {"rdir/item/0/hostname", "192.168.1.20"}};
    std::string want;
    for (const auto& [key, value] : keys)
        want += " rg_conf_set_path_value " + rule_path(0, key) + " " + value;
    // The id scan and the port test before them never reconfigure.
    EXPECT_EQ(all.substr(all.find(" rg_conf_set_path_value")), want + kReconf);
    EXPECT_EQ(all.find("reconf"), all.rfind("reconf"));

    // A write failing midway: what went out stays, no reconfiguration.
    wire.fail_write(rule_path(1, "fwd_to"));
    std::string log = logged([] { EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_CREATE); });
    EXPECT_TRUE(has(log, "In crpt_create: ERROR in set_DB_port_lan\r\n\n")) << log;
    EXPECT_EQ(n_of(wire.written(), "reconf"), 0);
    EXPECT_EQ(db_get(rule_path(1, "fwd_from")) + db_get(rule_path(1, "fwd_to")), "7547(absent)");
}

TEST_F(Crpt, CreateNextIdAndFirstFreePort) {
    for (int id : {3, 0, 1})
        rule(id, 30000 + id);
    // Rules without a readable first port block nothing; an id a device
    // record still names (its rule deleted behind its back) is not handed out.
    db_set({{rule_path(4, "enabled"), "0"}, {rule_path(5, kWan), "x"}});
    device(1, "0", {{"Crpt_Id", "6"}});
    WireLog wire;
    std::string log = logged([] { ASSERT_EQ(crpt_create(8080, "192.168.1.21"), 7); });
    EXPECT_TRUE(has(log, "device 1 names rule 6, which no rule holds: that id stays taken\n"));
    // One pass over the rules and the records, one instance list, one write.
    EXPECT_EQ(wire.conns().size(), 3u);
    EXPECT_EQ(db_get(rule_path(7, kWan)), "30002");
    // Gaps are not filled, a freed low port is taken again; 254 is the last
    // id the instance list can carry (instance 255).
    db_del(rule_path(0));
    ASSERT_EQ(crpt_create(8080, "192.168.1.22"), 8);
    rule(253, 30004);
    ASSERT_EQ(crpt_create(8080, "192.168.1.22"), 254);
    EXPECT_EQ(db_get(rule_path(8, kWan)) + db_get(rule_path(254, kWan)), "3000030005");
    // Every port from dst/start to dst/end is held, by a rule of any id (one
    // past 254 too, which the list cannot show); past 254, the lowest id no
    // rule holds and no record names.
    db_set({{rule_path(300, kWan), "30006"},
            {rule_path(9, kWan), "30007"},
            {rule_path(9, "services/0/trigger/0/dst/end"), "30009"}});
    device(2, "0", {{"Crpt_Id", "0"}});
    ASSERT_EQ(crpt_create(7547, "192.168.1.20"), 2);
    EXPECT_EQ(db_get(rule_path(2, kWan)), "30010");
    // No id of 0..254 free (254 the highest): -15 and its line, nothing written.
    db_del(rule_path(300));
    KV all;
    for (int id = 10; id < 253; ++id)
        all.push_back({rule_path(id, "enabled"), "0"});
    db_set(all);
    wire.clear();
    log = logged([] { EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_CREATE); });
    EXPECT_TRUE(has(log, "In crpt_create: No free port mapping rule id from 0 to 254\n\n")) << log;
    EXPECT_EQ(wire.conns().size(), 1u);

    // A broken id scan is no empty firewall: -11 and nothing written.
    wire.clear();
    wire.fail_write("rg_conf_get_set");
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_DB);
    EXPECT_EQ(n_of(wire.written(), "rg_conf_set_path_value") + n_of(wire.written(), "reconf"), 0);
}

// The instance list is fetched once, after the pass over the rules: a rule it
// names that the pass missed (written meanwhile by another process) holds its
// port too. A list that cannot be obtained (here the exchange broken after the
// channel opened) fails the creation at once.
TEST_F(Crpt, CreateChecksTheInstanceListOnce) {
    rule(0, 30000);
    static int closes = 0;
    ipc_hooks meanwhile{nullptr, nullptr, nullptr, nullptr, [](void*, int, uint32_t) {
                            if (++closes == 1) rule(9, 30001);
                        }};
    ipc_set_hooks(&meanwhile);
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), 1);
    ipc_set_hooks(nullptr);
    EXPECT_EQ(db_get(rule_path(1, kWan)), "30002");
    // A range up to 39999 leaves the last port of all.
    rule(2, 30003);
    db_set({{rule_path(2, "services/0/trigger/0/dst/end"), "39999"}});
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), 10);
    EXPECT_EQ(db_get(rule_path(10, kWan)), "40000");

    WireLog wire;
    wire.fail_write("tr69 action");
    std::string log = logged([] { EXPECT_EQ(crpt_create(7547, "192.168.1.20"), CRPT_ERR_CREATE); });
    EXPECT_EQ(count(log, "In crpt_port_wan_is_used: Entity_get_instance_nbr code error:-1 \n"), 1u);
    EXPECT_TRUE(has(log, "In crpt_create: All Wan port numbers in range are in use\n\n"));
    EXPECT_EQ(n_of(wire.written(), "rg_conf_set_path_value"), 0);
}

// A server that lists the rules in an order of its own (the last written
// first): the new id is one above the highest, not above the last listed.
TEST(CrptOtherServer, NextIdAboveTheHighestWhateverTheOrder) {
    ScriptDb server;
    ASSERT_TRUE(server.up());
    for (int id : {0, 5, 2})
        server.set(rule_path(id, kWan), std::to_string(30000 + id));
    EXPECT_EQ(crpt_create(7547, "192.168.1.20"), 6);
    EXPECT_EQ(db_get(rule_path(6, kWan)) + db_get(rule_path(6, "fwd_from")), "300017547");
}
