// End to end through the whole lab and the acs CLI. (The road of devices,
// their rules and notifications is tests/road's.)
#include "tests/support/lab.h"

#include <gtest/gtest.h>

using namespace tr111test;

TEST(DmLab, RetainedDeviceRemovedThroughTheAcs) {
    const std::string MD = "InternetGatewayDevice.ManagementServer.ManageableDevice.",
                      MAC = "00:11:22:33:44:52", RULE = "/fw/rule/loc_srv/0/";
    Lab lab;
    lab.up();
    // The value, or acs's error line ("fault NNNN").
    auto get = [&](const std::string& name) {
        RunResult r = lab.acs({"get", MD + "1." + name});
        std::string s = r.status == 0 ? r.out : r.err;
        return s.substr(0, s.find('\n'));
    };
    auto set = [&](const std::string& name, const std::string& value) {
        return lab.acs({"set", MD + "1." + name, value}).status;
    };
    ASSERT_EQ(lab.lab({"device", "add", "0", "--mac", MAC, "--oui", "A1B2C3", "--serial", "SN",
                       "--class", "STB", "--type", "0"})
                  .status,
              0);
    ASSERT_EQ(lab.lab({"lease", "add", "1", "--mac", MAC, "--ip", "192.0.2.20"}).status, 0);
    ASSERT_TRUE(eventually([&] { return get("Active") == "1"; }));
    EXPECT_EQ(set("RetainDeviceEntry", "1"), 0);
    EXPECT_EQ(set("DeviceConnectionRequestURL", "http://gateway.lan:1/"), 1); // a fault
    EXPECT_EQ(set("DeviceConnectionRequestURL", "http://192.0.2.20:7547/cr"), 0);
    EXPECT_EQ(lab.conf({"get", RULE + "enabled"}).status, 0);

    // Released: retained, the device stays, inactive. No longer retained: it
    // goes at once, with its rule.
    ASSERT_EQ(lab.lab({"lease", "release", "1"}).status, 0);
    ASSERT_TRUE(eventually([&] { return get("Active") == "0"; }));
    EXPECT_EQ(set("RetainDeviceEntry", "0"), 0);
    EXPECT_EQ(lab.acs({"instances", MD}).out, "");
    for (const std::string& gone : {RULE, std::string("/KELMO/TR111/ManageableDevice/0/")})
        EXPECT_EQ(lab.conf({"get", gone}).status, 1) << gone;
    EXPECT_EQ(get("Active"), "fault 9002");
}
