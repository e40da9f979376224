// fwrender: what it renders from the rules of a real confd, what it
// refuses, and the nftables table it keeps in the test's own network
// namespace as the rules change.
#include "tests/support/confd.h"
#include "tests/support/proc.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

using namespace tr111test;

namespace {

void rule(Confd& c, int id, const std::string& enabled, const std::string& host,
          const std::string& wan = "30000", const std::string& lan = "7547",
          const std::string& proto = "6", const std::string& wan_end = "",
          const std::string& lan_end = "") {
    std::string p = "/fw/rule/loc_srv/" + std::to_string(id) + "/";
    ASSERT_TRUE(c.set(p + "services/0/trigger/0/dst/start", wan));
    ASSERT_TRUE(c.set(p + "services/0/trigger/0/dst/end", wan_end.empty() ? wan : wan_end));
    ASSERT_TRUE(c.set(p + "fwd_from", lan));
    ASSERT_TRUE(c.set(p + "fwd_to", lan_end.empty() ? lan : lan_end));
    ASSERT_TRUE(c.set(p + "services/0/trigger/0/protocol", proto));
    ASSERT_TRUE(c.set(p + "rdir/item/0/hostname", host));
    ASSERT_TRUE(c.set(p + "enabled", enabled));
}

std::string table() {
    return sh("nft list table ip tr111_crpt 2>&1").out;
}

} // namespace

TEST(Fwrender, RendersEnabledRulesAndRefusesTargetsOffTheLan) {
    Confd c;
    rule(c, 0, "1", "192.0.2.100");
    rule(c, 1, "0", "192.0.2.101", "30001");
    rule(c, 2, "1", "127.0.0.1", "30002");
    rule(c, 3, "1", "192.0.2.1", "30003");
    rule(c, 4, "1", "192.0.2.255", "30004");
    rule(c, 5, "1", "192.0.2.105", "30005", "7547", "17");
    rule(c, 6, "1", "192.0.2.106", "31000", "8000", "6", "31004", "8004");
    rule(c, 7, "1", "192.0.2.107", "abc");
    rule(c, 8, "1", "203.0.113.1", "30008");

    RunResult r = run_program("fwrender", {"--once", "--print"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string lead = "\t\tiifname \"ppp0\" tcp dport ";
    EXPECT_NE(r.out.find("table ip tr111_crpt\ndelete table ip tr111_crpt\ntable ip tr111_crpt {"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(lead + "30000 dnat to 192.0.2.100:7547 comment \"loc_srv 0\"\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(
        r.out.find(lead + "31000-31004 dnat to 192.0.2.106:8000-8004 comment \"loc_srv 6\"\n"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(count(r.out, "dnat to"), 2u) << r.out;
    for (const char* line : {"rule 2 refused: target 127.0.0.1 is outside the LAN 192.0.2.0/24",
                             "rule 3 refused: target 192.0.2.1 is the gateway itself",
                             "rule 4 refused: target 192.0.2.255 is not a device address",
                             "rule 5 refused: protocol \"17\" is not TCP (6)",
                             "rule 7 refused: WAN port \"abc\" is not 1 to 65535",
                             "rule 8 refused: target 203.0.113.1 is outside the LAN"})
        EXPECT_NE(r.err.find(std::string("fwrender: ") + line), std::string::npos) << line << "\n"
                                                                                   << r.err;
    EXPECT_EQ(count(r.err, "refused"), 6u) << r.err;
    // Another LAN and gateway address.
    r = run_program("fwrender",
                    {"--once", "--print", "--lan", "127.0.0.0/8", "--self", "127.0.0.2"});
    EXPECT_NE(r.out.find("dnat to 127.0.0.1:7547"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("rule 0 refused: target 192.0.2.100 is outside the LAN 127.0.0.0/8"),
              std::string::npos);
}

TEST(Fwrender, KeepsTheNftablesTableInStepWithTheRules) {
    ASSERT_EQ(sh("command -v nft").status, 0) << "nft not found (package nftables)";
    Confd c;
    rule(c, 0, "1", "192.0.2.100");
    TempDir dir;
    Background fw(program("fwrender"), dir.path() + "/fwrender.log");
    auto log = [&] { return read_file(dir.path() + "/fwrender.log"); };
    ASSERT_TRUE(eventually([&] {
        return table().find("dnat to 192.0.2.100:7547") != std::string::npos;
    })) << table()
        << log();

    ASSERT_TRUE(c.set("/fw/rule/loc_srv/0/enabled", "0"));
    EXPECT_TRUE(eventually([&] { return table().find("dnat to") == std::string::npos; }))
        << table();

    // A loopback target is refused, with a line, and never reaches the table.
    ASSERT_TRUE(c.set("/fw/rule/loc_srv/0/rdir/item/0/hostname", "127.0.0.1"));
    ASSERT_TRUE(c.set("/fw/rule/loc_srv/0/enabled", "1"));
    EXPECT_TRUE(eventually([&] {
        return log().find("rule 0 refused: target 127.0.0.1 is outside the LAN") !=
               std::string::npos;
    })) << log();
    EXPECT_EQ(table().find("127.0.0.1"), std::string::npos) << table();

    // A second rule and the first one fixed: both in, the order of the set.
    rule(c, 1, "1", "192.0.2.101", "30001");
    ASSERT_TRUE(c.set("/fw/rule/loc_srv/0/rdir/item/0/hostname", "192.0.2.120"));
    EXPECT_TRUE(eventually([&] {
        std::string t = table();
        size_t a = t.find("dport 30000 dnat to 192.0.2.120:7547"),
               b = t.find("dport 30001 dnat to 192.0.2.101:7547");
        return a != std::string::npos && b != std::string::npos && a < b;
    })) << table();

    // A removed rule disappears.
    ASSERT_TRUE(c.del("/fw/rule/loc_srv/0"));
    EXPECT_TRUE(eventually([&] { return table().find("192.0.2.120") == std::string::npos; }))
        << table();
    EXPECT_NE(table().find("192.0.2.101"), std::string::npos);
    EXPECT_EQ(count(log(), "refused"), 1u) << log();
}
