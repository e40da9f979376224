// The road of a device end to end, through the real stand-ins: leases and
// records written with the lab's commands (as the DHCP server and the
// record creator do), the ACS's view through acs, confd's records and rules
// through conf. A retained and a non-retained WT111R2 device and a plain
// TR-111 device. The daemon handles changes on its own thread: every check
// of what follows a change polls.
#include "tests/support/lab.h"

#include <gtest/gtest.h>

using namespace tr111test;

namespace {

using Strings = std::vector<std::string>;
const std::string IGD = "InternetGatewayDevice.ManagementServer.";
const std::string MD = IGD + "ManageableDevice.";
const std::string ENTRIES = IGD + "ManageableDeviceNumberOfEntries";
const std::string DEV = "/KELMO/TR111/ManageableDevice/";
const std::string LEASE = "/dev/br0/dhcps/lease/";
const std::string RULE = "/fw/rule/loc_srv/";
const std::string STB = "00:1a:2b:3c:4d:01", PHONE = "00:1a:2b:3c:4d:02", NAS = "00:1a:2b:3c:4d:03";

std::string joined(const std::string& text) {
    std::string out;
    for (const auto& l : lines(text))
        out += (out.empty() ? "" : " ") + l;
    return out;
}

class Road : public ::testing::Test {
  protected:
    void SetUp() override { lab_.up(); }

    // A lab command that must succeed.
    void lab(const Strings& args) {
        RunResult r = lab_.lab(args);
        std::string cmd = "lab";
        for (const auto& a : args)
            cmd += " " + a;
        ASSERT_EQ(r.status, 0) << cmd << "\n" << r.out << r.err;
    }
    // The value, or "fault N" / the error line as acs reports it.
    std::string get(const std::string& name) {
        RunResult r = lab_.acs({"get", name});
        return joined(r.status == 0 ? r.out : r.err);
    }
    std::string instances() { return joined(lab_.acs({"instances", MD}).out); }
    std::string conf(const std::string& path, bool ram = false) {
        RunResult r = ram ? lab_.conf({"--ram", "get", path}) : lab_.conf({"get", path});
        return r.status == 0 ? joined(r.out) : r.status == 1 ? "(absent)" : "(conf failed)";
    }
    void acs(const Strings& args) { ASSERT_EQ(lab_.acs(args).status, 0) << args[0]; }

    // Polls until get(name) == want; reports the last value read.
    void eventually_get(const std::string& name, const std::string& want) {
        std::string got;
        EXPECT_TRUE(eventually([&] { return (got = get(name)) == want; }))
            << name << ": " << got << " instead of " << want;
    }
    void eventually_conf(const std::string& path, const std::string& want) {
        std::string got;
        EXPECT_TRUE(eventually([&] { return (got = conf(path)) == want; }))
            << path << ": " << got << " instead of " << want;
    }
    void eventually_instances(const std::string& want) {
        std::string got;
        EXPECT_TRUE(eventually([&] { return (got = instances()) == want; }))
            << "instances: " << got << " instead of " << want;
    }
    // The ACS received exactly these events (names without the prefix, all
    // passive), then the list is emptied.
    void events(const Strings& names) {
        std::string want, got;
        for (const auto& n : names)
            want += (want.empty() ? "" : " ") + ("4 VALUE CHANGE " + IGD + n + " 2");
        EXPECT_TRUE(eventually([&] { return (got = joined(lab_.acs({"events"}).out)) == want; }))
            << "events: " << got << "\ninstead of: " << want;
        acs({"events", "--clear"});
    }

    Lab lab_;
};

} // namespace

TEST_F(Road, CommandsRefuseBadInputAndWriteNothing) {
    for (const Strings& bad : {
             Strings{"device", "add", "007", "--mac", STB, "--oui", "00D09E", "--serial", "S",
                     "--class", "C"},
             Strings{"device", "add", "3", "--mac", "00:1a:2b:3c:4d", "--oui", "00D09E", "--serial",
                     "S", "--class", "C"},
             Strings{"device", "add", "3", "--mac", STB, "--oui", "00D09E", "--serial", "S",
                     "--class", "C", "--type", "2"},
             Strings{"device", "add", "3", "--mac", STB, "--oui", "00D09E"},
             Strings{"device", "del", "3"},
             Strings{"lease", "add", "5", "--mac", STB, "--ip", "192.168.1.256"},
             Strings{"lease", "add", "5", "--mac", STB, "--ip", "192.168.01.2"},
             Strings{"lease", "renew", "5"},
             Strings{"lease", "expire", "5"},
             Strings{"wan-ip", "wan.example"},
         }) {
        RunResult r = lab_.lab(bad);
        EXPECT_EQ(r.status, 1) << bad[0] << " " << bad[1] << " " << bad[2];
        EXPECT_NE(r.err.find("lab: "), std::string::npos) << r.err;
    }
    EXPECT_EQ(conf(DEV + "3"), "(absent)");
    EXPECT_EQ(conf(LEASE + "5"), "(absent)");
    EXPECT_EQ(conf("/dev/ppp0/ip", true), "(absent)");

    // conf's multi-pair set: all pairs in order, or (odd count) nothing.
    EXPECT_EQ(lab_.conf({"set", "/t/a", "1", "/t/b"}).status, 2);
    EXPECT_EQ(conf("/t"), "(absent)");
    ASSERT_EQ(lab_.conf({"set", "/t/b", "2", "/t/a", "1"}).status, 0);
    EXPECT_EQ(conf("/t/a") + conf("/t/b"), "12");

    // A record or a lease is created once.
    lab({"lease", "add", "5", "--mac", STB, "--ip", "192.168.1.2"});
    EXPECT_EQ(lab_.lab({"lease", "add", "5", "--mac", NAS, "--ip", "192.168.1.3"}).status, 1);
    EXPECT_EQ(conf(LEASE + "5/hardware_mac"), STB);
}

TEST_F(Road, ThreeDevicesFromLeaseToForgetting) {
    lab({"wan-ip", "203.0.113.7"});
    EXPECT_EQ(conf("/dev/ppp0/ip", true), "203.0.113.7");
    acs({"setattr", ENTRIES, "2"});

    // A lease without a record: nothing to publish.
    lab({"lease", "add", "1", "--mac", STB, "--ip", "192.168.1.10"});
    EXPECT_EQ(conf(LEASE + "1/hardware_mac"), STB);
    EXPECT_EQ(conf(LEASE + "1/ip"), "192.168.1.10");
    EXPECT_EQ(conf(LEASE + "1/valid_time"), "3600");
    EXPECT_EQ(conf(LEASE + "1/is_abandoned"), "0");
    EXPECT_EQ(instances(), "");

    // The record: published, active, the number of entries notified.
    lab({"device", "add", "0", "--mac", STB, "--oui", "00D09E", "--serial", "STB-1", "--class",
         "SetTopBox", "--type", "0"});
    EXPECT_EQ(conf(DEV + "0/type"), "0");
    EXPECT_EQ(conf(DEV + "0/MacAddress"), STB);
    eventually_instances("1");
    events({"ManageableDeviceNumberOfEntries"});
    EXPECT_EQ(get(MD + "1.SerialNumber"), "STB-1");
    EXPECT_EQ(get(MD + "1.ProductClass"), "SetTopBox");
    eventually_get(MD + "1.Active", "1");

    // Retained, pass-through on, URL: the rule, enabled, from WAN port 30000.
    for (const char* p : {"DeviceConnectionRequestURL", "ConnectionRequestURL"})
        acs({"setattr", MD + "1." + p, "2"});
    acs({"set", MD + "1.RetainDeviceEntry", "1"});
    acs({"set", MD + "1.ConnectionRequestPassThroughEnable", "1"});
    acs({"set", MD + "1.DeviceConnectionRequestURL", "http://192.168.1.10:7547/cr"});
    EXPECT_EQ(conf(DEV + "0/Crpt_Id"), "0");
    EXPECT_EQ(conf(RULE + "0/enabled"), "1");
    EXPECT_EQ(conf(RULE + "0/rdir/item/0/hostname"), "192.168.1.10");
    EXPECT_EQ(conf(RULE + "0/services/0/trigger/0/dst/start"), "30000");
    EXPECT_EQ(get(MD + "1.ConnectionRequestURL"), "http://203.0.113.7:30000/cr");

    // It moves: new lease, the old one abandoned (unbound first, in the
    // same commit). The rule follows it; its LAN URL is notified.
    lab({"lease", "add", "2", "--mac", STB, "--ip", "192.168.1.23"});
    lab({"lease", "abandon", "1"});
    EXPECT_EQ(conf(LEASE + "1/hardware_mac"), "00:00:00:00:00:00");
    EXPECT_EQ(conf(LEASE + "1/is_abandoned"), "1");
    eventually_conf(RULE + "0/rdir/item/0/hostname", "192.168.1.23");
    events({"ManageableDevice.1.DeviceConnectionRequestURL"});
    EXPECT_EQ(get(MD + "1.DeviceConnectionRequestURL"), "http://192.168.1.23:7547/cr");
    std::string fwd = lab_.log("mgmtd");
    size_t unbound = fwd.find(LEASE + "1/hardware_mac U \"00:00:00:00:00:00\"");
    size_t abandoned = fwd.find(LEASE + "1/is_abandoned U \"1\"");
    EXPECT_TRUE(unbound != std::string::npos && abandoned != std::string::npos &&
                unbound < abandoned)
        << fwd;

    // Released: retained, inactive, rule disabled but the ACS's switch kept.
    // Renewed: active, rule enabled again.
    lab({"lease", "release", "2"});
    EXPECT_EQ(conf(LEASE + "2/valid_time"), "0");
    eventually_get(MD + "1.Active", "0");
    eventually_conf(RULE + "0/enabled", "0");
    EXPECT_EQ(conf(DEV + "0/Crpt_Enable"), "1");
    EXPECT_EQ(instances(), "1");
    lab({"lease", "renew", "2"});
    eventually_get(MD + "1.Active", "1");
    eventually_conf(RULE + "0/enabled", "1");

    // A WT111R2 phone, not retained, with a rule; a plain TR-111 NAS.
    lab({"lease", "add", "3", "--mac", PHONE, "--ip", "192.168.1.31"});
    lab({"device", "add", "1", "--mac", PHONE, "--oui", "0014BF", "--serial", "PH-7", "--class",
         "Phone", "--type", "0"});
    lab({"lease", "add", "4", "--mac", NAS, "--ip", "192.168.1.32"});
    lab({"device", "add", "2", "--mac", NAS, "--oui", "001132", "--serial", "NAS-9", "--class",
         "NAS"});
    EXPECT_EQ(conf(DEV + "2/type"), "1");
    eventually_instances("1 2 3");
    events({"ManageableDeviceNumberOfEntries", "ManageableDeviceNumberOfEntries"});
    acs({"set", MD + "2.DeviceConnectionRequestURL", "http://192.168.1.31:7547/ph"});
    EXPECT_EQ(conf(RULE + "1/services/0/trigger/0/dst/start"), "30001");
    EXPECT_EQ(conf(RULE + "1/enabled"), "0");
    EXPECT_EQ(get(MD + "3.Active"), "0");

    // A new WAN address: every ConnectionRequestURL, in device order.
    for (const char* i : {"2", "3"})
        acs({"setattr", MD + i + ".ConnectionRequestURL", "2"});
    lab({"wan-ip", "198.51.100.23"});
    events({"ManageableDevice.1.ConnectionRequestURL", "ManageableDevice.2.ConnectionRequestURL",
            "ManageableDevice.3.ConnectionRequestURL"});
    EXPECT_EQ(get(MD + "2.ConnectionRequestURL"), "http://198.51.100.23:30001/ph");

    // The phone's lease expires: the daemon still maps it to the phone,
    // which goes with its rule; then the lease is gone.
    lab({"lease", "expire", "3"});
    EXPECT_EQ(conf(LEASE + "3"), "(absent)");
    eventually_instances("1 3");
    eventually_conf(RULE + "1", "(absent)");
    EXPECT_EQ(conf(DEV + "1"), "(absent)");
    events({"ManageableDeviceNumberOfEntries"});

    // The NAS releases its lease: forgotten at once.
    lab({"lease", "release", "4"});
    eventually_instances("1");
    EXPECT_EQ(conf(DEV + "2"), "(absent)");
    events({"ManageableDeviceNumberOfEntries"});
    EXPECT_EQ(get(ENTRIES), "1");

    // The set-top box's lease expires: retained, it stays, inactive, its
    // rule disabled. Its record deleted by its creator: gone for the ACS.
    lab({"lease", "expire", "2"});
    EXPECT_EQ(conf(LEASE + "2"), "(absent)");
    eventually_get(MD + "1.Active", "0");
    eventually_conf(RULE + "0/enabled", "0");
    EXPECT_EQ(conf(DEV + "0/SerialNumber"), "STB-1");
    lab({"device", "del", "0"});
    EXPECT_EQ(conf(DEV + "0"), "(absent)");
    eventually_instances("");
    events({"ManageableDeviceNumberOfEntries"});
    EXPECT_EQ(get(ENTRIES), "0");
}
