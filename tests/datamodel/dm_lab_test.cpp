// The ManageableDevice data model end to end: the whole lab (confd, mgmtd,
// tr69agent, tr111d), device records and leases written with conf, the
// parameters read and written with acs.
#include "tests/support/lab.h"

#include <gtest/gtest.h>

using namespace tr111test;

namespace {

const std::string MD = "InternetGatewayDevice.ManagementServer.ManageableDevice.";

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// The value, or "fault NNNN" as acs reports it.
std::string get(Lab& lab, const std::string& name) {
    RunResult r = lab.acs({"get", name});
    return trimmed(r.status == 0 ? r.out : r.err);
}
int set(Lab& lab, const std::string& name, const std::string& value) {
    return lab.acs({"set", name, value}).status;
}
std::string conf_get(Lab& lab, const std::string& path, bool ram = false) {
    RunResult r = ram ? lab.conf({"--ram", "get", path}) : lab.conf({"get", path});
    return r.status == 0 ? trimmed(r.out) : "(absent)";
}
void conf_set(Lab& lab, const std::string& path, const std::string& value) {
    ASSERT_EQ(lab.conf({"set", path, value}).status, 0) << path;
}
std::string instances(Lab& lab) {
    return lab.acs({"instances", MD}).out;
}

void add_device(Lab& lab, int id, int type, const std::string& oui, const std::string& sn) {
    const std::string d = "/KELMO/TR111/ManageableDevice/" + std::to_string(id) + "/";
    conf_set(lab, d + "OUI", oui);
    conf_set(lab, d + "SerialNumber", sn);
    conf_set(lab, d + "ProductClass", "STB");
    conf_set(lab, d + "MacAddress", "00:11:22:33:44:5" + std::to_string(id));
    conf_set(lab, d + "retainDevEntry", "1");
    conf_set(lab, d + "type", std::to_string(type));
}

} // namespace

TEST(DmLab, ParametersUrlsAndRemovalThroughTheAcs) {
    Lab lab;
    lab.up();
    // Device 0 a plain TR-111 device, device 2 a WT111R2 device.
    add_device(lab, 0, 1, "00D09E7788", std::string(70, 'S'));
    add_device(lab, 2, 0, "A1B2C3", "SN-2");
    ASSERT_TRUE(eventually([&] { return instances(lab) == "1\n3\n"; })) << instances(lab);
    EXPECT_EQ(get(lab, MD.substr(0, MD.size() - 1) + "NumberOfEntries"), "2");
    EXPECT_EQ(get(lab, MD + "1.ManufacturerOUI"), "00D09E");
    EXPECT_EQ(get(lab, MD + "1.SerialNumber"), std::string(64, 'S'));
    EXPECT_EQ(get(lab, MD + "3.SerialNumber"), "SN-2");

    // TR-111 device: fixed values; WT111R2 device: what is stored.
    for (const char* p : {"Active", "RetainDeviceEntry", "ConnectionRequestPassThroughEnable"})
        EXPECT_EQ(get(lab, MD + "1." + p), "0") << p;
    EXPECT_EQ(get(lab, MD + "1.DeviceConnectionRequestURL"), "");
    EXPECT_TRUE(eventually([&] { return get(lab, MD + "3.Active") == "1"; }));
    EXPECT_EQ(get(lab, MD + "3.RetainDeviceEntry"), "1");

    // Pass-through switch before the rule exists: stored, reads 0.
    EXPECT_EQ(set(lab, MD + "3.ConnectionRequestPassThroughEnable", "1"), 0);
    EXPECT_EQ(get(lab, MD + "3.ConnectionRequestPassThroughEnable"), "0");
    EXPECT_EQ(conf_get(lab, "/KELMO/TR111/ManageableDevice/2/Crpt_Enable"), "1");

    // The URL creates the rule, enabled by the stored switch.
    ASSERT_EQ(set(lab, MD + "3.DeviceConnectionRequestURL", "http://192.0.2.20:7547/cr"), 0);
    const std::string r = "/fw/rule/loc_srv/0/";
    EXPECT_EQ(conf_get(lab, r + "services/0/trigger/0/dst/start"), "30000");
    EXPECT_EQ(conf_get(lab, r + "fwd_from"), "7547");
    EXPECT_EQ(conf_get(lab, r + "rdir/item/0/hostname"), "192.0.2.20");
    EXPECT_EQ(conf_get(lab, r + "enabled"), "1");
    EXPECT_EQ(get(lab, MD + "3.ConnectionRequestPassThroughEnable"), "1");
    EXPECT_EQ(get(lab, MD + "3.DeviceConnectionRequestURL"), "http://192.0.2.20:7547/cr");
    // No WAN address yet, then one.
    EXPECT_EQ(get(lab, MD + "3.ConnectionRequestURL"), "fault 9002");
    ASSERT_EQ(lab.conf({"--ram", "set", "/dev/ppp0/ip", "203.0.113.9"}).status, 0);
    EXPECT_EQ(get(lab, MD + "3.ConnectionRequestURL"), "http://203.0.113.9:30000/cr");
    EXPECT_EQ(set(lab, MD + "3.ConnectionRequestPassThroughEnable", "0"), 0);
    EXPECT_EQ(conf_get(lab, r + "enabled"), "0");
    EXPECT_EQ(set(lab, MD + "3.DeviceConnectionRequestURL", "http://192.0.2.20/cr"), 1);

    // The device's lease is released: retained, it stays, inactive. Then
    // no longer retained: it goes with its rule.
    conf_set(lab, "/dev/br0/dhcps/lease/4/hardware_mac", "00:11:22:33:44:52");
    conf_set(lab, "/dev/br0/dhcps/lease/4/ip", "192.0.2.20");
    conf_set(lab, "/dev/br0/dhcps/lease/4/valid_time", "0");
    ASSERT_TRUE(eventually([&] { return get(lab, MD + "3.Active") == "0"; }));
    EXPECT_EQ(instances(lab), "1\n3\n");
    EXPECT_EQ(set(lab, MD + "3.RetainDeviceEntry", "0"), 0);
    EXPECT_EQ(instances(lab), "1\n");
    EXPECT_EQ(conf_get(lab, r), "(absent)");
    EXPECT_EQ(conf_get(lab, "/KELMO/TR111/ManageableDevice/2/"), "(absent)");
    EXPECT_EQ(get(lab, MD + "3.Active"), "fault 9002");

    // Attributes: active notification refused on an identity parameter.
    EXPECT_EQ(lab.acs({"setattr", MD + "1.SerialNumber", "3"}).status, 1);
    EXPECT_EQ(lab.acs({"setattr", MD + "1.Active", "3"}).status, 0);
    EXPECT_EQ(trimmed(lab.acs({"getattr", MD + "1.Active"}).out), "3");
    EXPECT_EQ(trimmed(lab.acs({"getattr", MD + "1.SerialNumber"}).out), "1");
}
