// The netlab: the option 125 decoder, dhcpbridge and fwrender, each on a confd of its own;
// and the gateway on a real network end to end (Netlab.*, run by netlab-test-run).
#include "lab/dhcpbridge/option125.h"
#include "tests/support/confd.h"

#include <array>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

using namespace tr111test;

namespace {

constexpr auto npos = std::string::npos;
// Enterprise 3561, sub-options OUI "00d0ab", serial "SN1", class "PC".
const std::string GOOD = "00000de91101063030643061620203534e3103025043";
const std::string MD = "InternetGatewayDevice.ManagementServer.ManageableDevice.";

// The netlab's commands; out: standard output without the trailing newline.
RunResult nl(std::vector<std::string> args, int timeout_ms = 60000) {
    args.insert(args.begin(), {"bash", src("lab/scripts/netlab")});
    return run(args, "", timeout_ms);
}
std::string out(const std::vector<std::string>& args) {
    std::string s = nl(args).out;
    return s.substr(0, s.find_last_not_of("\n ") + 1);
}

} // namespace

TEST(Option125, GoodContentAndEveryKindOfMalformedOne) {
    dhcpbridge::Identity id;
    // "" when the option's bytes (hexadecimal, blanks ignored) are taken, else why not.
    auto decode = [&](std::string hex) -> std::string {
        std::erase(hex, ' ');
        std::array<uint8_t, dhcpbridge::OPT125_MAX> b;
        long n = dhcpbridge::hex_to_bytes(hex, b);
        return n < 0 ? "bad hex" : dhcpbridge::parse_option125({b.data(), size_t(n)}, id);
    };
    // As dhcpd prints it, after another enterprise's block; then the plain form.
    EXPECT_EQ(decode("0:0:11:8b:2:aa:bb:0:0:d:e9:11:1:6:30:30:64:30:61:62:2:3:53:4e:31:3:2:50:43"),
              "");
    EXPECT_EQ(decode(GOOD), "");
    EXPECT_EQ(id.oui + " " + id.serial + " " + id.product_class, "00D0AB SN1 PC");
    const std::pair<std::string, std::string> bad[] = {
        {"", "empty option"},
        {"00000de", "bad hex"},
        {"0000118b 11 0106303064306162 0203534e31 03025043", "no block of enterprise 3561"},
        {"00000de9", "truncated header"},
        {"00000de9 ff 01063030", "data length 255 runs past the end"},
        {"00000de9 03 010630", "sub-option 1: length 6 runs past the end of the block"},
        {"00000de9 01 01", "sub-option at byte 0 of the block: truncated header"},
        {"00000de9 09 0203534e31 03025043", "no sub-option 1 (OUI)"},
        {"00000de9 11 0106303064306167 0203534e31 03025043", "is not six hexadecimal"},
        {"00000de9 0e 0106303064306162 0200 03025043", "sub-option 2 (serial number) is empty"},
        {"00000de9 11 0106303064306162 0203530a31 03025043", "0x0a, not printable"},
        {"00000de9 14 0106303064306162 0203534e31 03025043 03015a", "sub-option 3 appears twice"},
        {GOOD + GOOD, "enterprise 3561 appears twice"},
    };
    for (const auto& [hex, why] : bad)
        EXPECT_NE(decode(hex).find(why), npos) << hex << " gave: " << decode(hex);
}

TEST(Bridge, LeasesAndDeviceRecordsThroughTheirLife) {
    Confd confd;
    const std::string logfile = confd.state_dir() + "/bridge.log",
                      DEV = "/KELMO/TR111/ManageableDevice/", L = "/dev/br0/dhcps/lease/",
                      MAC1 = "02:11:1d:00:00:01", MAC2 = "02:11:1d:00:00:02";
    auto log = [&] { return read_file(logfile); };
    auto bridge = [&](std::vector<std::string> args, const std::string& delay_ms = "300") {
        args.insert(args.begin(), {"--log", logfile, "--expire-delay-ms", delay_ms});
        return run_program("dhcpbridge", args).status;
    };
    auto ls = [](const std::string& set) { return run_program("conf", {"ls", set}).out; };

    // First commit (the MAC address as dhcpd prints it), renewal: one record, one lease.
    ASSERT_EQ(bridge({"commit", "192.0.2.100", "2:11:1d:0:0:1", "600", GOOD}), 0) << log();
    ASSERT_EQ(bridge({"commit", "192.0.2.100", MAC1, "300", GOOD}), 0);
    EXPECT_EQ(ls(DEV) + ls(L) + confd.get(DEV + "0/MacAddress") + " " + confd.get(DEV + "0/type") +
                  " " + confd.get(L + "0/valid_time"),
              "0\n0\n" + MAC1 + " 1 300");

    // A malformed option 125: refused with a line, no record, the lease kept.
    EXPECT_EQ(bridge({"commit", "192.0.2.101", MAC2, "600", "0:0:d:e9:3:1:6:30"}), 1);
    EXPECT_NE(log().find("commit 192.0.2.101 " + MAC2 + ": option 125 refused: sub-option 1"), npos)
        << log();
    EXPECT_EQ(ls(DEV) + ls(L), "0\n0\n1\n");

    // The device moves: a new lease; the old one abandoned and unlinked,
    // deleted at once when it expires.
    ASSERT_EQ(bridge({"commit", "192.0.2.110", MAC1, "600", GOOD}), 0);
    EXPECT_EQ(confd.get(L + "2/hardware_mac") + " " + confd.get(L + "0/hardware_mac") +
                  confd.get(L + "0/is_abandoned"),
              MAC1 + " 1");
    ASSERT_EQ(bridge({"expiry", "192.0.2.100", MAC1}), 0);
    EXPECT_EQ(ls(L), "1\n2\n");

    // Expiry: the lease deleted a moment later (after its valid_time 0 reached
    // the daemon) unless renewed meanwhile; a deleted lease's id is not reused.
    ASSERT_EQ(bridge({"expiry", "192.0.2.110", MAC1}), 0);
    EXPECT_TRUE(eventually([&] { return ls(L) == "1\n"; })) << log();
    ASSERT_EQ(bridge({"expiry", "192.0.2.101", MAC2}, "3000"), 0);
    ASSERT_EQ(bridge({"commit", "192.0.2.101", MAC2, "600", ""}), 0);
    EXPECT_TRUE(eventually([&] { return log().find("lease 1 was renewed meanwhile") != npos; }));
    ASSERT_EQ(bridge({"commit", "192.0.2.105", "02:11:1d:00:00:05", "600", ""}), 0);
    EXPECT_EQ(ls(L), "1\n3\n");
}

TEST(Fwrender, RendersEnabledRulesAndRefusesTargetsOffTheLan) {
    Confd confd;
    const std::string keys = "rdir/item/0/hostname services/0/trigger/0/dst/start fwd_from fwd_to "
                             "services/0/trigger/0/dst/end services/0/trigger/0/protocol enabled";
    // The loopback target and a disabled rule: Netlab.* (the table in nftables).
    const char* rules[] = {
        "192.0.2.100 30000 7547 7547 30000 6 1", "192.0.2.1 30001 7547 7547 30001 6 1",
        "192.0.2.255 30002 7547 7547 30002 6 1", "192.0.2.103 30003 7547 7547 30003 17 1",
        "192.0.2.104 31000 8000 8004 31004 6 1", "192.0.2.105 abc 7547 7547 abc 6 1"};
    std::vector<std::string> set = {"set"};
    for (size_t i = 0; i < std::size(rules); ++i) {
        std::istringstream k(keys), v(rules[i]);
        for (std::string key, value; k >> key && v >> value;)
            set.insert(set.end(), {"/fw/rule/loc_srv/" + std::to_string(i) + "/" + key, value});
    }
    ASSERT_EQ(run_program("conf", set).status, 0);

    RunResult r = run_program("fwrender", {"--once", "--print"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string lead = "\n\t\tiifname \"ppp0\" tcp dport ";
    EXPECT_NE(r.out.find(lead + "30000 dnat to 192.0.2.100:7547 comment \"loc_srv 0\"" + lead +
                         "31000-31004 dnat to 192.0.2.104:8000-8004 comment \"loc_srv 4\"\n"),
              npos)
        << r.out;
    EXPECT_EQ(count(r.out, "dnat to"), 2u) << r.out;
    for (const char* line : {"rule 1 refused: target 192.0.2.1 is the gateway itself",
                             "rule 2 refused: target 192.0.2.255 is not a device address",
                             "rule 3 refused: protocol \"17\" is not TCP (6)",
                             "rule 5 refused: WAN port \"abc\" is not 1 to 65535"})
        EXPECT_NE(r.err.find(std::string("fwrender: ") + line), npos) << line << "\n" << r.err;
}

// tests/netns-run, which runs every other test: its status is the command's,
// SIGTERM reaches the command, and nothing the command started outlives it.
TEST(NetnsRun, PassesSignalsOnAndLeavesNothingRunning) {
    TempDir dir;
    const std::string& d = dir.path();
    auto left = [&] { // processes whose command line names the folder ("[/]tmp": not pgrep's sh)
        return sh("pgrep -af '[" + d.substr(0, 1) + "]" + d.substr(1) + "'").out;
    };
    const std::string sleeper = "setsid sh -c 'sleep 1000; : " + d + "' & ";
    RunResult r = run({src("tests/netns-run"), "sh", "-c", sleeper + "exit 7"});
    EXPECT_EQ(r.status, 7) << r.err;
    Background b({src("tests/netns-run"), "sh", "-c",
                  sleeper + "trap 'echo term >" + d + "/got; exit 3' TERM; touch " + d +
                      "/up; while :; do sleep 0.1; done"},
                 d + "/log");
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(d + "/up"); }));
    EXPECT_EQ(b.stop(SIGTERM, 10000), 3) << read_file(d + "/log");
    EXPECT_EQ(read_file(d + "/got"), "term\n");
    EXPECT_TRUE(eventually([&] { return left().empty(); }, 5000)) << left();
}

TEST(Netlab, ThreeDevicesFromOption125ToConnectionRequests) {
    if (!getenv("TR111_RUN")) GTEST_SKIP() << "run through tests/netlab/netlab-test-run";
    auto md = [](int i, const std::string& p) { return MD + std::to_string(i) + "." + p; };
    auto get = [&](int i, const std::string& p) { return out({"acs", "get", md(i, p)}); };
    auto set = [&](int i, const std::string& p, const std::string& v) { // acs's complaint, if any
        RunResult r = nl({"acs", "set", md(i, p), v});
        return r.status == 0 ? "" : p + " " + v + ": " + r.out + r.err;
    };
    auto curl = [](const std::string& url) { return out({"curl", url}); };
    auto instances = [] { return out({"acs", "instances", MD}); };
    auto fw = [] { return nl({"fw"}).out; };
    auto log = [](const std::string& prog) { return nl({"logs", prog}).out; };
    auto requests = [](int d) { return nl({"dev", std::to_string(d), "requests"}).out; };
    RunResult up = nl({"up", "--devices", "3"}, 120000);
    ASSERT_EQ(up.status, 0) << up.out << up.err;
    // A second netlab on the names in use refuses, and leaves this one alone.
    const std::string prefix = out({"prefix"});
    TempDir other;
    RunResult second = run({"env", "TR111_RUN=" + other.path(), "NETLAB_PREFIX=" + prefix, "bash",
                            src("lab/scripts/netlab"), "up", "--devices", "0"});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("netlab: namespace names in use: " + prefix + "-acs " + prefix +
                              "-dev1 " + prefix + "-dev2 " + prefix + "-dev3 " + prefix + "-gw;"),
              npos)
        << second.err;

    // Identities from option 125 reach the ACS.
    ASSERT_TRUE(eventually([&] { return instances() == "1\n2\n3"; }, 20000)) << instances();
    // URL and pass-through for each; device 2 retained. A connection request
    // from the ACS host reaches exactly its device.
    std::map<int, int> inst;              // device index -> instance number
    std::map<int, std::string> url, port; // port: "dport 30001 " as the table shows it
    for (int i = 1; i <= 3; ++i) {
        std::string serial = get(i, "SerialNumber"), sd = serial.substr(5, 1);
        ASSERT_EQ(serial.substr(0, 5), "NL000") << serial;
        EXPECT_EQ(get(i, "ManufacturerOUI") + " " + get(i, "ProductClass"), "00D0AB NetlabCPE");
        const int d = serial[5] - '0';
        inst[d] = i;
        ASSERT_EQ(set(i, "DeviceConnectionRequestURL",
                      "http://" + out({"dev", sd, "ip"}) + ":7547/cr" + sd),
                  "");
        ASSERT_EQ(set(i, "ConnectionRequestPassThroughEnable", "1"), "");
        url[d] = get(i, "ConnectionRequestURL");
        ASSERT_EQ(url[d].rfind("http://203.0.113.1:", 0), 0u) << url[d];
        port[d] = "dport " + url[d].substr(19, url[d].find('/', 19) - 19) + " ";
    }
    ASSERT_EQ(set(inst[2], "RetainDeviceEntry", "1"), "");
    for (int d = 1; d <= 3; ++d)
        ASSERT_TRUE(eventually([&] { return curl(url[d]) == "200"; })) << url[d] << fw();
    for (int d = 1; d <= 3; ++d) // one request each, its own ("SECONDS.MICROSECONDS GET ...")
        EXPECT_EQ(requests(d).substr(requests(d).find(" ") + 1),
                  "GET /cr" + std::to_string(d) + " from 203.0.113.2\n");
    auto in_fw = [&](int d) { return fw().find(port[d]) != npos; };

    // Release of the retained device: its rule disabled.
    ASSERT_EQ(nl({"dev", "2", "release"}).status, 0);
    EXPECT_TRUE(eventually([&] { return !in_fw(2); })) << fw();

    // Expiry of the device that is not retained: record, rule and lease go.
    ASSERT_EQ(nl({"dev", "3", "expire"}).status, 0);
    EXPECT_TRUE(
        eventually([&] { return instances().find(std::to_string(inst[3])) == npos; }, 30000))
        << instances();
    EXPECT_TRUE(eventually([&] { return !in_fw(3); })) << fw();

    // Renewal of the retained device re-enables its rule; fwrender refused nothing.
    ASSERT_EQ(nl({"dev", "2", "renew"}).status, 0);
    EXPECT_TRUE(eventually([&] { return in_fw(2); })) << fw();
    EXPECT_EQ(curl(url[2]), "200");
    EXPECT_EQ(count(requests(2), "GET /cr2 from 203.0.113.2"), 2u);
    EXPECT_EQ(count(log("fwrender"), "refused"), 0u);

    // Down leaves no namespace and no process behind.
    ASSERT_EQ(nl({"down"}).status, 0);
    std::string run_dir = getenv("TR111_RUN");
    EXPECT_EQ(sh("ip netns list | grep '^" + prefix + "-'").out, "");
    // "[/]tmp/..." finds the run folder in command lines, but not this sh's own.
    EXPECT_EQ(sh("pgrep -af '[" + run_dir.substr(0, 1) + "]" + run_dir.substr(1) + "'").out, "");
}
