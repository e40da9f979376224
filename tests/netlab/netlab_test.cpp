// tests/netns-run, and the gateway on a real network end to end (Netlab.*, run by
// netlab-test-run).
#include "tests/support/proc.h"

#include <gtest/gtest.h>
#include <map>

using namespace tr111test;

namespace {

const std::string MD = "InternetGatewayDevice.ManagementServer.ManageableDevice.";

// The netlab's commands; out: standard output without the trailing newline.
RunResult nl(std::vector<std::string> args, int timeout_ms = 60000) {
    args.insert(args.begin(), {"bash", src("lab/scripts/netlab")});
    return run(args, timeout_ms);
}
std::string out(const std::vector<std::string>& args) {
    std::string s = nl(args).out;
    return s.substr(0, s.find_last_not_of("\n ") + 1);
}

} // namespace

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
    auto requests = [](int d) { return nl({"dev", std::to_string(d), "requests"}).out; };
    RunResult up = nl({"up", "--devices", "3"}, 120000);
    ASSERT_EQ(up.status, 0) << up.out << up.err;

    // Identities from option 125 reach the ACS.
    ASSERT_TRUE(eventually([&] { return instances() == "1\n2\n3"; }, 20000)) << instances();
    // URL and pass-through for each: a connection request from the ACS host
    // reaches exactly its device.
    std::map<int, std::string> url; // by device index
    for (int i = 1; i <= 3; ++i) {
        std::string serial = get(i, "SerialNumber"), sd = serial.substr(5, 1);
        ASSERT_EQ(serial.substr(0, 5), "NL000") << serial;
        EXPECT_EQ(get(i, "ManufacturerOUI") + " " + get(i, "ProductClass"), "00D0AB NetlabCPE");
        const int d = serial[5] - '0';
        ASSERT_EQ(set(i, "DeviceConnectionRequestURL",
                      "http://" + out({"dev", sd, "ip"}) + ":7547/cr" + sd),
                  "");
        ASSERT_EQ(set(i, "ConnectionRequestPassThroughEnable", "1"), "");
        url[d] = get(i, "ConnectionRequestURL");
        ASSERT_EQ(url[d].rfind("http://203.0.113.1:", 0), 0u) << url[d];
    }
    for (int d = 1; d <= 3; ++d)
        ASSERT_TRUE(eventually([&] { return curl(url[d]) == "200"; })) << url[d] << nl({"fw"}).out;
    for (int d = 1; d <= 3; ++d) // one request each, its own ("SECONDS.MICROSECONDS GET ...")
        EXPECT_EQ(requests(d).substr(requests(d).find(" ") + 1),
                  "GET /cr" + std::to_string(d) + " from 203.0.113.2\n");
}
