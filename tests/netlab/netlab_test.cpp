// The gateway on a real network, end to end: three devices take real DHCP
// leases with option 125, the ACS sees them, sets their URLs and
// pass-throughs, and connection requests from the ACS host cross the
// gateway's firewall to exactly the right device; then a release, an
// expiry and a renewal. Run by netlab-test-run, which gives it a namespace
// prefix and a run folder (NETLAB_PREFIX, TR111_RUN) and takes the netlab
// down on every way out.
#include "tests/support/proc.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

using namespace tr111test;

namespace {

const std::string MD = "InternetGatewayDevice.ManagementServer.ManageableDevice.";

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

struct Netlab {
    RunResult nl(const std::vector<std::string>& args, int timeout_ms = 60000) {
        std::vector<std::string> argv = {"bash", src("lab/scripts/netlab")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, "", timeout_ms);
    }
    std::string out(const std::vector<std::string>& args) { return trim(nl(args).out); }
    std::string get(int inst, const std::string& param) {
        return out({"acs", "get", MD + std::to_string(inst) + "." + param});
    }
    // The acs CLI's complaint, or empty text when the set went through.
    std::string set(int inst, const std::string& param, const std::string& value) {
        RunResult r = nl({"acs", "set", MD + std::to_string(inst) + "." + param, value});
        return r.status == 0 ? "" : "set " + param + " " + value + ": " + r.out + r.err;
    }
    std::string instances() { return out({"acs", "instances", MD}); }
    std::string curl(const std::string& url) { return out({"curl", url}); }
    std::string requests(int dev) { return nl({"dev", std::to_string(dev), "requests"}).out; }
    std::string fw() { return nl({"fw"}).out; }
    std::string log(const std::string& prog) { return nl({"logs", prog}).out; }
    std::string diag() { return "\n---- netlab logs ----\n" + nl({"logs"}).out; }
};

// ":30001/" of "http://203.0.113.1:30001/cr2": the WAN port as the table shows it.
std::string dport(const std::string& url) {
    size_t colon = url.rfind(':'), slash = url.find('/', colon);
    return "dport " + url.substr(colon + 1, slash - colon - 1) + " ";
}

} // namespace

TEST(Netlab, ThreeDevicesFromOption125ToConnectionRequests) {
    ASSERT_NE(getenv("NETLAB_PREFIX"), nullptr) << "run me through tests/netlab/netlab-test-run";
    Netlab n;
    RunResult up = n.nl({"up", "--devices", "3"}, 120000);
    ASSERT_EQ(up.status, 0) << up.out << up.err << n.diag();

    // Identities from option 125 reach the ACS.
    ASSERT_TRUE(eventually([&] { return n.instances() == "1\n2\n3"; }, 20000))
        << n.instances() << n.diag();
    std::map<int, int> inst; // device index -> instance number
    for (int i = 1; i <= 3; ++i) {
        std::string serial = n.get(i, "SerialNumber");
        ASSERT_EQ(serial.substr(0, 5), "NL000") << serial;
        inst[serial[5] - '0'] = i;
        EXPECT_EQ(n.get(i, "ManufacturerOUI"), "00D0AB");
        EXPECT_EQ(n.get(i, "ProductClass"), "NetlabCPE");
    }
    ASSERT_EQ(inst.size(), 3u);

    // URL and pass-through for each; device 2 retained.
    std::map<int, std::string> url;
    for (int d = 1; d <= 3; ++d) {
        std::string ip = n.out({"dev", std::to_string(d), "ip"});
        std::string dev_url = "http://" + ip + ":7547/cr" + std::to_string(d);
        ASSERT_EQ(n.set(inst[d], "DeviceConnectionRequestURL", dev_url), "") << n.diag();
        ASSERT_EQ(n.set(inst[d], "ConnectionRequestPassThroughEnable", "1"), "");
        EXPECT_EQ(n.get(inst[d], "DeviceConnectionRequestURL"), dev_url);
        url[d] = n.get(inst[d], "ConnectionRequestURL");
        EXPECT_EQ(url[d].rfind("http://203.0.113.1:", 0), 0u) << url[d];
        EXPECT_EQ(url[d].substr(url[d].size() - 4), "/cr" + std::to_string(d));
    }
    ASSERT_EQ(n.set(inst[2], "RetainDeviceEntry", "1"), "");

    // A connection request from the ACS host reaches exactly its device.
    for (int d = 1; d <= 3; ++d)
        ASSERT_TRUE(eventually([&] { return n.curl(url[d]) == "200"; })) << url[d] << "\n"
                                                                         << n.fw() << n.diag();
    for (int d = 1; d <= 3; ++d) {
        std::string req = n.requests(d);
        EXPECT_EQ(count(req, "GET /cr" + std::to_string(d) + " from 203.0.113.2"), 1u) << req;
        EXPECT_EQ(count(req, "GET"), 1u) << "device " << d << " got another's request:\n" << req;
    }

    // A pass-through to the gateway's own loopback is refused by the firewall.
    ASSERT_EQ(n.set(inst[1], "DeviceConnectionRequestURL", "http://127.0.0.1:7547/cr1"), "");
    EXPECT_TRUE(eventually([&] {
        return n.log("fwrender")
                   .find("refused: target 127.0.0.1 is outside the LAN 192.0.2.0/24") !=
               std::string::npos;
    })) << n.log("fwrender");
    EXPECT_TRUE(eventually([&] { return n.fw().find(dport(url[1])) == std::string::npos; }))
        << n.fw();
    EXPECT_EQ(n.fw().find("127.0.0.1"), std::string::npos);
    EXPECT_EQ(n.curl(url[1]), "000");

    // Release of the retained device: record kept, rule disabled, request fails.
    RunResult rel = n.nl({"dev", "2", "release"});
    ASSERT_EQ(rel.status, 0) << rel.out << rel.err;
    EXPECT_TRUE(
        eventually([&] { return n.get(inst[2], "ConnectionRequestPassThroughEnable") == "0"; }));
    EXPECT_TRUE(eventually([&] { return n.fw().find(dport(url[2])) == std::string::npos; }))
        << n.fw();
    EXPECT_EQ(n.curl(url[2]), "000");
    EXPECT_EQ(n.get(inst[2], "Active"), "0");
    EXPECT_EQ(n.get(inst[2], "RetainDeviceEntry"), "1");

    // Expiry of the device that is not retained: record and rule go.
    RunResult exp = n.nl({"dev", "3", "expire"});
    ASSERT_EQ(exp.status, 0) << exp.out << exp.err;
    EXPECT_TRUE(eventually(
        [&] { return n.instances().find(std::to_string(inst[3])) == std::string::npos; }, 30000))
        << n.instances() << n.diag();
    EXPECT_TRUE(eventually([&] { return n.fw().find(dport(url[3])) == std::string::npos; }))
        << n.fw();
    EXPECT_EQ(n.curl(url[3]), "000");
    EXPECT_EQ(count(n.out({"conf", "dump", "/fw/rule/loc_srv"}), "/enabled="), 2u);
    EXPECT_TRUE(eventually([&] {
        return n.log("dhcpbridge").find(" deleted") != std::string::npos;
    })) << n.log("dhcpbridge");

    // Renewal of the retained device re-enables its rule.
    RunResult ren = n.nl({"dev", "2", "renew"});
    ASSERT_EQ(ren.status, 0) << ren.out << ren.err;
    EXPECT_TRUE(eventually([&] { return n.fw().find(dport(url[2])) != std::string::npos; }))
        << n.fw() << n.diag();
    EXPECT_EQ(n.curl(url[2]), "200");
    EXPECT_EQ(n.get(inst[2], "Active"), "1");
    EXPECT_EQ(count(n.requests(2), "GET /cr2 from 203.0.113.2"), 2u);
    EXPECT_EQ(count(n.requests(1), "GET"), 1u);

    // Down leaves no namespace and no process behind.
    ASSERT_EQ(n.nl({"down"}).status, 0);
    std::string prefix = getenv("NETLAB_PREFIX");
    EXPECT_EQ(sh("ip netns list | grep '^" + prefix + "-'").out, "");
    // "[/]tmp/..." finds the run folder in command lines, but not this sh's own.
    std::string run_dir = getenv("TR111_RUN");
    EXPECT_EQ(sh("pgrep -af '[" + run_dir.substr(0, 1) + "]" + run_dir.substr(1) + "'").out, "");
    if (HasFailure()) std::cout << n.diag();
}
