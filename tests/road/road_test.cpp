// The road of devices end to end through the real stand-ins: leases and records
// written with the lab's commands (as the DHCP server and the record creator
// do), the ACS's view through acs, records and rules through conf. A retained
// and a non-retained WT111R2 device and a plain TR-111 device. The daemon
// handles changes on its own thread: every check of what follows one polls.
#include "tests/support/lab.h"

#include <gtest/gtest.h>

using namespace tr111test;

namespace {

using Strings = std::vector<std::string>;
const std::string IGD = "InternetGatewayDevice.ManagementServer.", MD = IGD + "ManageableDevice.",
                  ENTRIES = IGD + "ManageableDeviceNumberOfEntries";
const std::string DEV = "/KELMO/TR111/ManageableDevice/", LEASE = "/dev/br0/dhcps/lease/",
                  RULE = "/fw/rule/loc_srv/";
const std::string STB = "00:1a:2b:3c:4d:01", PHONE = "00:1a:2b:3c:4d:02", NAS = "00:1a:2b:3c:4d:03";

class Road : public ::testing::Test {
  protected:
    void SetUp() override { lab_.up(); }
    static std::string joined(const std::string& text) {
        std::string out;
        for (const auto& l : lines(text))
            out += (out.empty() ? "" : " ") + l;
        return out;
    }
    // A lab command, with its exit status; an acs command that must succeed.
    void lab(const Strings& args, int want = 0) {
        RunResult r = lab_.lab(args);
        ASSERT_EQ(r.status, want) << args[0] << " " << args[1] << "\n" << r.out << r.err;
    }
    void acs(const Strings& args) { ASSERT_EQ(lab_.acs(args).status, 0) << args[0] << args[1]; }
    // A conf path's value or "(absent)", an ACS parameter's or acs's error
    // line, or the ACS's "instances" or "events"; lines joined.
    std::string get(const std::string& w) {
        RunResult r = w[0] == '/'        ? lab_.conf({"get", w})
                      : w == "instances" ? lab_.acs({"instances", MD})
                      : w == "events"    ? lab_.acs({"events"})
                                         : lab_.acs({"get", w});
        return w[0] == '/' && r.status == 1 ? "(absent)" : joined(r.status == 0 ? r.out : r.err);
    }
    // Polls until get(w) gives want; reports the last value.
    void soon(const std::string& w, const std::string& want) {
        std::string got;
        EXPECT_TRUE(eventually([&] { return (got = get(w)) == want; }))
            << w << ": " << got << " instead of " << want;
    }
    // The ACS received exactly these events (names without the prefix, all
    // passive), then the list is emptied.
    void events(const Strings& names) {
        std::string want;
        for (const auto& n : names)
            want += (want.empty() ? "" : " ") + ("4 VALUE CHANGE " + IGD + n + " 2");
        soon("events", want);
        acs({"events", "--clear"});
    }
    Lab lab_;
};

} // namespace

TEST_F(Road, ThreeDevicesFromLeaseToForgetting) {
    // Bad input to the lab's commands writes nothing; a lease is created once.
    lab({"device", "add", "07", "--mac", STB, "--oui", "00D09E", "--serial", "S", "--class", "C"},
        1);
    lab({"lease", "add", "5", "--mac", STB, "--ip", "192.168.1.256"}, 1);
    EXPECT_EQ(lab_.conf({"dump", DEV}).out + get(LEASE + "5"), "(absent)");
    lab({"lease", "add", "1", "--mac", STB, "--ip", "192.168.1.10"});
    lab({"lease", "add", "1", "--mac", NAS, "--ip", "192.168.1.3"}, 1);

    // A lease without a record: nothing to publish. The record: published,
    // active, the number of entries notified.
    lab({"wan-ip", "203.0.113.7"});
    acs({"setattr", ENTRIES, "2"});
    EXPECT_EQ(get("instances"), "");
    lab({"device", "add", "0", "--mac", STB, "--oui", "00D09E", "--serial", "STB-1", "--class",
         "SetTopBox", "--type", "0"});
    soon("instances", "1");
    events({"ManageableDeviceNumberOfEntries"});
    EXPECT_EQ(get(MD + "1.SerialNumber") + " " + get(MD + "1.ProductClass"), "STB-1 SetTopBox");
    soon(MD + "1.Active", "1");

    // Retained, pass-through on, URL: the rule, enabled, from WAN port 30000.
    for (const char* p : {"DeviceConnectionRequestURL", "ConnectionRequestURL"})
        acs({"setattr", MD + "1." + p, "2"});
    acs({"set", MD + "1.RetainDeviceEntry", "1"});
    acs({"set", MD + "1.ConnectionRequestPassThroughEnable", "1"});
    acs({"set", MD + "1.DeviceConnectionRequestURL", "http://192.168.1.10:7547/cr"});
    EXPECT_EQ(get(RULE + "0/enabled") + " " + get(RULE + "0/rdir/item/0/hostname"),
              "1 192.168.1.10");
    EXPECT_EQ(get(MD + "1.ConnectionRequestURL"), "http://203.0.113.7:30000/cr");

    // It moves: new lease, the old one abandoned (unbound first, in the same
    // commit, as mgmtd forwards it). The rule follows; its LAN URL is notified.
    lab({"lease", "add", "2", "--mac", STB, "--ip", "192.168.1.23"});
    lab({"lease", "abandon", "1"});
    soon(RULE + "0/rdir/item/0/hostname", "192.168.1.23");
    events({"ManageableDevice.1.DeviceConnectionRequestURL"});
    EXPECT_EQ(get(MD + "1.DeviceConnectionRequestURL"), "http://192.168.1.23:7547/cr");
    std::string fwd = lab_.log("mgmtd");
    size_t unbound = fwd.find(LEASE + "1/hardware_mac U \"00:00:00:00:00:00\"");
    EXPECT_LT(unbound, fwd.find(LEASE + "1/is_abandoned U \"1\"")) << fwd;

    // Released: retained, inactive, rule disabled but the ACS's switch kept.
    // Renewed: active, rule enabled again.
    lab({"lease", "release", "2"});
    soon(MD + "1.Active", "0");
    soon(RULE + "0/enabled", "0");
    EXPECT_EQ(get(DEV + "0/Crpt_Enable") + " " + get("instances"), "1 1");
    lab({"lease", "renew", "2"});
    soon(MD + "1.Active", "1");
    soon(RULE + "0/enabled", "1");

    // A WT111R2 phone, not retained, with a rule; a plain TR-111 NAS.
    lab({"lease", "add", "3", "--mac", PHONE, "--ip", "192.168.1.31"});
    lab({"device", "add", "1", "--mac", PHONE, "--oui", "0014BF", "--serial", "PH-7", "--class",
         "Phone", "--type", "0"});
    lab({"lease", "add", "4", "--mac", NAS, "--ip", "192.168.1.32"});
    lab({"device", "add", "2", "--mac", NAS, "--oui", "001132", "--serial", "NAS-9", "--class",
         "NAS"});
    soon("instances", "1 2 3");
    events({"ManageableDeviceNumberOfEntries", "ManageableDeviceNumberOfEntries"});
    acs({"set", MD + "2.DeviceConnectionRequestURL", "http://192.168.1.31:7547/ph"});
    EXPECT_EQ(get(RULE + "1/services/0/trigger/0/dst/start") + " " + get(RULE + "1/enabled"),
              "30001 0");

    // A new WAN address: every ConnectionRequestURL, in device order.
    for (const char* i : {"2", "3"})
        acs({"setattr", MD + i + ".ConnectionRequestURL", "2"});
    lab({"wan-ip", "198.51.100.23"});
    events({"ManageableDevice.1.ConnectionRequestURL", "ManageableDevice.2.ConnectionRequestURL",
            "ManageableDevice.3.ConnectionRequestURL"});
    EXPECT_EQ(get(MD + "2.ConnectionRequestURL"), "http://198.51.100.23:30001/ph");

    // The phone's lease expires: the daemon still maps it to the phone,
    // which goes with its rule. The NAS releases its lease: forgotten at once.
    lab({"lease", "expire", "3"});
    soon("instances", "1 3");
    soon(RULE + "1", "(absent)");
    EXPECT_EQ(get(DEV + "1"), "(absent)");
    events({"ManageableDeviceNumberOfEntries"});
    lab({"lease", "release", "4"});
    soon("instances", "1");
    EXPECT_EQ(get(DEV + "2"), "(absent)");
    events({"ManageableDeviceNumberOfEntries"});

    // The set-top box's lease expires: retained, it stays, inactive, its
    // rule disabled. Its record deleted by its creator: gone for the ACS.
    lab({"lease", "expire", "2"});
    soon(MD + "1.Active", "0");
    soon(RULE + "0/enabled", "0");
    lab({"device", "del", "0"});
    soon("instances", "");
    events({"ManageableDeviceNumberOfEntries"});
    EXPECT_EQ(get(ENTRIES), "0");
}
