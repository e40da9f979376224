// The ManageableDevice data model end to end: the whole lab (confd, mgmtd,
// tr69agent, tr111d), device records and leases written with conf, the
// parameters read and written with acs.
#include "tests/support/lab.h"

#include <gtest/gtest.h>

using namespace tr111test;

namespace {

const std::string MD = "InternetGatewayDevice.ManagementServer.ManageableDevice.";
const std::string DEV = "/KELMO/TR111/ManageableDevice/", RULE = "/fw/rule/loc_srv/0/";

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

} // namespace

TEST(DmLab, ParametersUrlsAndRemovalThroughTheAcs) {
    Lab lab;
    lab.up();
    // The value, or "fault NNNN" as acs reports it.
    auto get = [&](const std::string& name) {
        RunResult r = lab.acs({"get", MD + name});
        return trimmed(r.status == 0 ? r.out : r.err);
    };
    auto set = [&](const std::string& name, const std::string& value) {
        return lab.acs({"set", MD + name, value}).status;
    };
    auto conf = [&](const std::string& path) {
        RunResult r = lab.conf({"get", path});
        return r.status == 0 ? trimmed(r.out) : "(absent)";
    };
    auto instances = [&] { return lab.acs({"instances", MD}).out; };
    // Device 0 a plain TR-111 device, device 2 a WT111R2 device.
    for (auto [id, type, oui, sn] : {std::tuple{"0", "1", "00D09E7788", std::string(70, 'S')},
                                     {"2", "0", "A1B2C3", std::string("SN-2")}}) {
        const std::string d = DEV + id + "/";
        ASSERT_EQ(lab.conf({"set", d + "OUI", oui, d + "SerialNumber", sn, d + "ProductClass",
                            "STB", d + "MacAddress", std::string("00:11:22:33:44:5") + id,
                            d + "retainDevEntry", "1", d + "type", type})
                      .status,
                  0);
    }
    ASSERT_TRUE(eventually([&] { return instances() == "1\n3\n"; })) << instances();
    EXPECT_EQ(trimmed(lab.acs({"get", MD.substr(0, MD.size() - 1) + "NumberOfEntries"}).out), "2");
    EXPECT_EQ(get("1.ManufacturerOUI"), "00D09E");
    EXPECT_EQ(get("1.SerialNumber"), std::string(64, 'S'));
    EXPECT_EQ(get("3.SerialNumber"), "SN-2");

    // TR-111 device: fixed values; WT111R2 device: what is stored.
    for (const char* p : {"Active", "RetainDeviceEntry", "ConnectionRequestPassThroughEnable"})
        EXPECT_EQ(get(std::string("1.") + p), "0") << p;
    for (const char* p : {"DeviceConnectionRequestURL", "ConnectionRequestURL"})
        EXPECT_EQ(get(std::string("1.") + p), "") << p;
    EXPECT_TRUE(eventually([&] { return get("3.Active") == "1"; }));
    EXPECT_EQ(get("3.RetainDeviceEntry"), "1");

    // The pass-through switch before the rule exists: stored, reads 0. The
    // URL creates the rule, enabled by the stored switch.
    EXPECT_EQ(set("3.ConnectionRequestPassThroughEnable", "1"), 0);
    EXPECT_EQ(get("3.ConnectionRequestPassThroughEnable"), "0");
    ASSERT_EQ(set("3.DeviceConnectionRequestURL", "http://192.0.2.20:7547/cr"), 0);
    EXPECT_EQ(conf(RULE + "services/0/trigger/0/dst/start") + " " + conf(RULE + "fwd_from") + " " +
                  conf(RULE + "rdir/item/0/hostname") + " " + conf(RULE + "enabled"),
              "30000 7547 192.0.2.20 1");
    EXPECT_EQ(get("3.ConnectionRequestPassThroughEnable"), "1");
    EXPECT_EQ(get("3.DeviceConnectionRequestURL"), "http://192.0.2.20:7547/cr");
    // No WAN address yet, then one.
    EXPECT_EQ(get("3.ConnectionRequestURL"), "fault 9002");
    ASSERT_EQ(lab.conf({"--ram", "set", "/dev/ppp0/ip", "203.0.113.9"}).status, 0);
    EXPECT_EQ(get("3.ConnectionRequestURL"), "http://203.0.113.9:30000/cr");
    // A second URL re-targets the rule, its LAN port kept.
    ASSERT_EQ(set("3.DeviceConnectionRequestURL", "http://3232235777:8080/x"), 0);
    EXPECT_EQ(get("3.DeviceConnectionRequestURL"), "http://3232235777:7547/x");
    EXPECT_EQ(set("3.ConnectionRequestPassThroughEnable", "0"), 0);
    EXPECT_EQ(conf(RULE + "enabled"), "0");
    EXPECT_EQ(set("3.DeviceConnectionRequestURL", "http://192.0.2.20/cr"), 1);

    // The device's lease is released: retained, it stays, inactive. Then
    // no longer retained: it goes with its rule.
    const std::string l = "/dev/br0/dhcps/lease/4/";
    ASSERT_EQ(lab.conf({"set", l + "hardware_mac", "00:11:22:33:44:52", l + "ip", "192.0.2.20",
                        l + "valid_time", "0"})
                  .status,
              0);
    ASSERT_TRUE(eventually([&] { return get("3.Active") == "0"; }));
    EXPECT_EQ(instances(), "1\n3\n");
    EXPECT_EQ(set("3.RetainDeviceEntry", "0"), 0);
    EXPECT_EQ(instances(), "1\n");
    EXPECT_EQ(conf(RULE) + conf(DEV + "2/"), "(absent)(absent)");
    EXPECT_EQ(get("3.Active"), "fault 9002");
}
