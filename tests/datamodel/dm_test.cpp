// The ManageableDevice handlers called as the request loop calls them,
// against a real confd: parameters, attributes, connection-request URLs.
#include "datamodel/datamodel.h"
#include "tests/support/db.h"
#include "tests/support/wire.h"

#include <array>
#include <cstring>

using namespace tr111test;

namespace {

class DmParam : public DbTest {};
class DmAttrib : public DbTest {};
class DmUrl : public DbTest {};
using Instances = std::array<uint32_t, TR111_INSTANCES>;
const std::string F = "fault 9002", LIMIT = "/KELMO/TR111/MDNotificationLimit";
const std::string P226(226, 'p'); // the longest path: every composed URL fits 255 characters

// A handler call with the input text in; the value buffer is filled with a
// marker first, so an unterminated value shows up.
char value_out[TR111_VALUE_SIZE];
int32_t set(dm_handler* h, Instances inst, std::string in, uint32_t id = 0,
            const std::string& name = "") {
    in.resize(TR111_VALUE_IN_SIZE, '\0');
    memset(value_out, 'Z', sizeof value_out);
    return h(name.c_str(), inst.data(), id, in.data(), value_out);
}
// The value (bytes before the first zero byte), or "fault <code>".
std::string get(dm_handler* h, Instances inst, uint32_t id = 0) {
    int32_t rc = set(h, inst, "", id);
    return rc ? "fault " + std::to_string(rc) : std::string(value_out, strnlen(value_out, 256));
}
// A device in the status table: 1 active, 0 inactive.
void set_status(int32_t id, int32_t status) {
    EXPECT_EQ(mdlt_add(id) + mdlt_update_status(id, status), 0);
}

} // namespace

TEST_F(DmParam, CountInstanceListAndNotificationLimit) {
    for (int id : {10, 0, 254, 2, 255}) // 255: no instance, not counted
        device(id, "0");
    EXPECT_EQ(get(get_val_MGTDEVICE_NBR_ENTRIES, {}), "4");
    EXPECT_EQ(get(get_ManageableDeviceInstance, {}), "\x01\x03\x0b\xff");
    EXPECT_EQ(get(get_val_MGTDEVICE_NOTIF_LIMIT, {}), "0"); // never set
    WireLog wire;
    EXPECT_EQ(set(set_val_MGTDEVICE_NOTIF_LIMIT, {}, "abc"), 0);
    EXPECT_EQ(get(get_val_MGTDEVICE_NOTIF_LIMIT, {}), "abc");
    EXPECT_EQ(wire.sent(), "rg_conf_set_path_value " + LIMIT + // closed with reconfiguration
                               " abc reconf #4 close | rg_conf_get_exist " + LIMIT + " close |");
    // 255 characters fit the value buffer; 256 are refused, nothing stored;
    // a longer text written by someone else is cut.
    EXPECT_EQ(set(set_val_MGTDEVICE_NOTIF_LIMIT, {}, std::string(255, '7')), 0);
    EXPECT_EQ(set(set_val_MGTDEVICE_NOTIF_LIMIT, {}, std::string(256, '8')), 9002);
    EXPECT_EQ(get(get_val_MGTDEVICE_NOTIF_LIMIT, {}), std::string(255, '7'));
    db_set({{LIMIT, std::string(300, '9')}});
    EXPECT_EQ(get(get_val_MGTDEVICE_NOTIF_LIMIT, {}), std::string(255, '9'));
    wire.fail_write("abc"); // a write lost on the connection
    EXPECT_EQ(set(set_val_MGTDEVICE_NOTIF_LIMIT, {}, "abc"), 9002);
    // No store: faults, never a wrong count, an empty list or a default.
    confd_->stop();
    for (dm_handler* h : {get_val_MGTDEVICE_NBR_ENTRIES, get_ManageableDeviceInstance,
                          get_val_MGTDEVICE_NOTIF_LIMIT})
        EXPECT_EQ(get(h, {}), F);
    EXPECT_EQ(set(set_val_MGTDEVICE_NOTIF_LIMIT, {}, "30"), 9002);
}

// The same record read as a plain TR-111 device (fixed values whatever is
// stored), then as a WT111R2 device; faults where nothing can be read.
TEST_F(DmParam, ReadsOfTr111AndWt111r2Devices) {
    device(0, "1",
           {{"OUI", "00D09E77"},
            {"SerialNumber", std::string(70, 'S')},
            {"ProductClass", std::string(70, 'P')},
            {"Crpt_Id", "0"},
            {"path", "cr"},
            {"retainDevEntry", "1"}});
    rule(0, 30000, "1");
    set_status(0, 1);
    db_set({{"/dev/ppp0/ip", "203.0.113.9"}}, true);
    auto reads = [] {
        std::string s;
        for (dm_handler* h :
             {get_val_MGMTSRV_MGTDEVICE_MANUFACTURER_OUI, get_val_MGMTSRV_MGTDEVICE_SERIAL_NUMBER,
              get_val_MGTDEVICE_PRODUCT_CLASS, get_val_MGTDEVICE_ACTIVE,
              get_val_RETAIN_DEVICE_ENTRY, get_val_MGTDEVICE_CRPT_ENABLE,
              get_val_MGTDEVICE_DEVICE_CON_REQ_URL, get_val_MGTDEVICE_CON_REQ_URL})
            s += get(h, {1}) + ",";
        return s;
    };
    // The identity cut to its widths: 6, 64, 64.
    const std::string id = "00D09E," + std::string(64, 'S') + "," + std::string(64, 'P') + ",";
    EXPECT_EQ(reads(), id + "0,0,0,,,");
    db_set({{dev_path(0, "type"), "0"}});
    EXPECT_EQ(reads(), id + "1,1,1,http://192.168.1.20:7547/cr,http://203.0.113.9:30000/cr,");
    for (dm_handler* h : {get_val_MGTDEVICE_ACTIVE, get_val_MGTDEVICE_PRODUCT_CLASS})
        EXPECT_EQ(get(h, {7}), F); // no record, not in the status table
}

TEST_F(DmParam, RetainSetAndRemovalOfAnInactiveDevice) {
    // A set turns a TR-111 device into a WT111R2 one, even when refused.
    device(0, "1");
    EXPECT_EQ(set(set_val_RETAIN_DEVICE_ENTRY, {1}, "1x"), 9002);
    EXPECT_EQ(db_get(dev_path(0, "type")) + db_get(dev_path(0, "retainDevEntry")), "0(absent)");
    // No longer retained: 1 active and 3 of unknown status stay; 0 inactive
    // goes with its rule (id 0 too), 4 inactive without a rule all the same;
    // 5 inactive set to 2 is retained all the same.
    for (int id : {0, 1, 3, 4, 5}) {
        device(id, "0", {{"Crpt_Id", std::to_string(id)}});
        if (id != 4) rule(id, 30000 + id);
        if (id != 3) set_status(id, id == 1);
        EXPECT_EQ(set(set_val_RETAIN_DEVICE_ENTRY, {uint32_t(id + 1)}, id == 5 ? "2" : "0"), 0);
    }
    for (int id : {1, 3, 5})
        EXPECT_EQ(db_get(dev_path(id, "retainDevEntry")) + db_get(rule_path(id, "enabled")),
                  id == 5 ? "20" : "00");
    EXPECT_EQ(mdlt_count(1) + mdlt_count(5), 2);
    for (int id : {0, 4})
        EXPECT_EQ(db_get(dev_path(id)) + db_get(rule_path(id)) + std::to_string(mdlt_count(id)),
                  "(absent)(absent)0");
}

TEST_F(DmParam, PassThroughSwitch) {
    device(0, "1");
    EXPECT_EQ(set(set_val_MGTDEVICE_CRPT_ENABLE, {1}, "1"), 0); // no rule yet: stored
    EXPECT_EQ(db_get(dev_path(0, "type")) + db_get(dev_path(0, "Crpt_Enable")), "01");
    EXPECT_EQ(get(get_val_MGTDEVICE_CRPT_ENABLE, {1}), "0");
    rule(4, 30000);
    db_set({{dev_path(0, "Crpt_Id"), "4"}});
    // 2 is stored, the rule left as it is.
    for (auto [value, enabled] : {std::pair{"0", "0"}, {"1", "1"}, {"2", "1"}}) {
        EXPECT_EQ(set(set_val_MGTDEVICE_CRPT_ENABLE, {1}, value), 0);
        EXPECT_EQ(db_get(dev_path(0, "Crpt_Enable")) + db_get(rule_path(4, "enabled")),
                  std::string(value) + enabled);
    }
    EXPECT_EQ(set(set_val_MGTDEVICE_CRPT_ENABLE, {1}, "on"), 9002);
    db_del(rule_path(4)); // the rule gone
    EXPECT_EQ(get(get_val_MGTDEVICE_CRPT_ENABLE, {1}), F);
    EXPECT_EQ(set(set_val_MGTDEVICE_CRPT_ENABLE, {1}, "1"), 9002);
}

// A set on an instance without a record (0 included), or on a record the
// instance list does not show, writes nothing at all, not even the type.
TEST_F(DmParam, SettersActOnListedDevicesOnly) {
    device(255, "1");
    WireLog wire;
    DebugSwitches sw(1, 0);
    CaptureStdout log;
    for (uint32_t i : {0u, 6u, 256u})
        EXPECT_EQ(set(set_val_RETAIN_DEVICE_ENTRY, {i}, "1") +
                      set(set_val_MGTDEVICE_CRPT_ENABLE, {i}, "1") +
                      set(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, {i}, "http://192.0.2.9:1/"),
                  3 * 9002);
    EXPECT_EQ(n_of(wire.written(), "rg_conf_set_path_value"), 0);
    EXPECT_EQ(count(log.text(), "manageable device 255 not listed: nothing set\n"), 3u);
}

TEST_F(DmAttrib, KeysValuesAndWire) {
    auto setattr = [](uint32_t id, Instances inst, int value, const std::string& name = "") {
        return set(TR69set_attribute, inst, std::string(1, static_cast<char>(value)), id, name);
    };
    // The attribute answered, as a number.
    auto getattr = [](uint32_t id, Instances inst) {
        std::string v = get(TR69get_attribute, inst, id);
        return v.size() == 1 ? std::to_string(v[0]) : v;
    };
    // Instances reversed, then cut at the first number that is not above 0.
    const std::tuple<uint32_t, Instances, char, std::string> cases[] = {
        {4, {2}, '2', "/KELMO/TR111/attrib/4/2./"},
        {1, {}, '3', "/KELMO/TR111/attrib/1/"},
        {7, {3, 0, 5}, '2', "/KELMO/TR111/attrib/7/5./"},
        {8, {1, 2}, '3', "/KELMO/TR111/attrib/8/2.1./"},
    };
    for (const auto& [id, inst, value, key] : cases) {
        EXPECT_EQ(setattr(id, inst, value - '0'), 0) << key;
        EXPECT_EQ(db_get(key) + getattr(id, inst), std::string(2, value)) << key;
    }
    EXPECT_EQ(getattr(4, {3}), "1"); // never set: off
    // Values outside 1 to 3 are stored as nothing and read as off.
    for (int bad : {0, 4, -1}) {
        EXPECT_EQ(setattr(4, {2}, bad), 0) << bad;
        EXPECT_EQ(db_get("/KELMO/TR111/attrib/4/2./") + getattr(4, {2}), "1") << bad;
    }

    // Active refused on the identity parameters before anything is stored;
    // passive taken.
    const std::string md2 = "InternetGatewayDevice.ManagementServer.ManageableDevice.2.";
    WireLog wire;
    for (const char* p : {"ManufacturerOUI", "SerialNumber", "ProductClass"})
        EXPECT_EQ(setattr(4, {2}, 3, md2 + p), 9009) << p;
    EXPECT_TRUE(wire.conns().empty());
    EXPECT_EQ(setattr(4, {2}, 2, md2 + "SerialNumber"), 0);
    EXPECT_EQ(wire.sent(), "rg_conf_set_path_value /KELMO/TR111/attrib/4/2./ 2 reconf #4 close | "
                           "rg_conf_get_exist /KELMO/TR111/attrib/4/2./ close |");
    EXPECT_EQ(setattr(6, {2}, 3, md2 + "Active"), 0);
    EXPECT_EQ(getattr(6, {2}), "3");
    // No store: the getter answers off, the setter success.
    confd_->stop();
    EXPECT_EQ(getattr(4, {2}), "1");
    EXPECT_EQ(setattr(4, {2}, 2), 0);
}

TEST(UrlCheck, AcceptedAndRefusedForms) {
    // 0: host, port and path; -1: the line logged ("" none).
    const std::tuple<int, std::string, std::string> cases[] = {
        {0, "http://192.168.100.200:65535/p", "192.168.100.200 65535 p"},
        {0, "http://10.1:0000080/", "10.0.0.1 0000080 "}, // any numeric form, as dotted decimal
        {-1, "http://192.0.2.10 x;id:1/", "Invalid address ip:host=192.0.2.10 x;id\n"},
        {0, "http://1.2.3.4:80/" + P226, "1.2.3.4 80 " + P226},
        {-1, "", "Invalid ipAddress:empty \n"},
        {-1, "HTTP://192.168.1.20:80/", "Invalid address: 'http://' not found\n"},
        {-1, "http://192.168.1.20:80", "Invalid URL: port invalid value  \n"},
        {-1, "http://192.168.1.20:00000080/", ""}, // too long for its field
        {-1, "http://192.168.1.20:80a/", "Invalid port value\n"},
        {-1, "http://gateway.lan:80/", "Invalid address ip:host=gateway.lan\n"},
        {-1, "http://192.168.100.2001:80/", "Invalid ip address length\n"},
        {-1, "http://1.2.3.4:80/p" + P226, "Invalid URL: path of 227 characters, at most 226\n"},
    };
    char host[16], port[8], path[256];
    for (const auto& [rc, url, text] : cases) {
        DebugSwitches sw(1, 0);
        CaptureStdout log;
        EXPECT_EQ(TR111_check_URL_validity(url.c_str(), path, port, host), rc) << url;
        if (rc == 0)
            EXPECT_EQ(std::string(host) + " " + port + " " + path, text);
        else
            EXPECT_EQ(has(log.text(), "In TR111_check_URL_validity: " + text), !text.empty())
                << url << "\n"
                << log.text();
    }
    EXPECT_EQ(TR111_check_URL_validity(nullptr, path, port, host), -1);
}

TEST_F(DmUrl, SetCreatesOrRetargetsTheRuleGettersNeverCut) {
    auto* const SET = set_val_MGTDEVICE_DEVICE_CON_REQ_URL;
    auto* const LAN = get_val_MGTDEVICE_DEVICE_CON_REQ_URL;
    auto* const WAN = get_val_MGTDEVICE_CON_REQ_URL;
    // Refused, a URL without a port or towards the gateway's WAN address (in
    // another numeric form): a fault, only the type changed, no rule.
    db_set({{"/dev/ppp0/ip", "203.0.113.7"}}, true);
    device(0, "1");
    std::string log = logged([&] {
        EXPECT_EQ(set(SET, {1}, "http://192.0.2.20/cr") + set(SET, {1}, "http://0313.0.113.7:1/"),
                  2 * 9002);
    });
    EXPECT_TRUE(has(log, "In set_val_MGTDEVICE_DEVICE_CON_REQ_URL: Invalid IP address\n") &&
                has(log, "URL host 203.0.113.7 is no LAN device (the gateway's WAN address): "
                         "refused\n"))
        << log;
    EXPECT_EQ(db_get(dev_path(0, "type")) + db_get(dev_path(0, "path")) + db_get("/fw"),
              "0(absent)(absent)");
    // The first URL creates rule 0, disabled; a second re-targets it, LAN
    // port kept, and switches it on when the device's switch is on.
    ASSERT_EQ(set(SET, {1}, "http://192.0.2.20:7547/cr"), 0);
    db_set({{dev_path(0, "Crpt_Enable"), "1"}});
    ASSERT_EQ(set(SET, {1}, "http://192.0.2.21:8080/x"), 0);
    EXPECT_EQ(get(LAN, {1}), "http://192.0.2.21:7547/x");
    EXPECT_EQ(db_get(dev_path(0, "Crpt_Id")) + db_get(rule_path(0, "enabled")) +
                  db_get(rule_path(1)),
              "01(absent)");
    // The WAN address: from the RAM store only, never a cut one.
    db_del("/dev/ppp0/ip", true);
    db_set({{"/dev/ppp0/ip", "198.51.100.1"}});
    EXPECT_EQ(get(WAN, {1}), F);
    db_set({{"/dev/ppp0/ip", "198.51.100.100.1"}}, true);
    EXPECT_EQ(get(WAN, {1}), F);
    db_set({{"/dev/ppp0/ip", "203.113.200.201"}}, true);
    // Ports that cannot be read; then the highest, and a stored path too
    // long for the value buffer: a fault, never a cut URL.
    db_set({{rule_path(0, "fwd_from"), "x"}, {rule_path(0, "services/0/trigger/0/dst/start"), ""}});
    EXPECT_EQ(get(WAN, {1}) + get(LAN, {1}), F + F);
    rule(0, 39999, "0", "192.0.2.21", 65535);
    db_set({{dev_path(0, "path"), std::string(240, 'q')}});
    EXPECT_EQ(get(WAN, {1}) + get(LAN, {1}), F + F);
    // The longest accepted path composes the longest URLs in full.
    ASSERT_EQ(set(SET, {1}, "http://192.168.100.200:1/" + P226), 0);
    EXPECT_EQ(get(LAN, {1}), "http://192.168.100.200:65535/" + P226);
    EXPECT_EQ(get(WAN, {1}), "http://203.113.200.201:39999/" + P226);
}
