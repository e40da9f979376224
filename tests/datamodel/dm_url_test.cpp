// Connection-request URLs: the URL check as a table; the setter and the
// getters against a real confd.
#include "tests/datamodel/dm_fixture.h"

using namespace dmtest;
using tr111test::CaptureStdout;
using tr111test::DebugSwitches;

namespace {
const char M[] = "TR111_url";
const char URL_CR[] = "http://192.0.2.20:7547/cr";
} // namespace

TEST(UrlCheck, AcceptedAndRefusedForms) {
    const std::string p226(226, 'p');
    struct Case {
        std::string url;
        const char* fields; // accepted: "host port path"; refused: the error line or ""
    } accepted[] =
        {
            {"http://192.168.1.20:80/", "192.168.1.20 80 "},
            {"http://192.168.1.20:7547/cr/x?a=b", "192.168.1.20 7547 cr/x?a=b"},
            {"http://192.168.100.200:65535/p", "192.168.100.200 65535 p"},
            {"http://3232235777:80/", "3232235777 80 "},
            {"http://0xC0A80101:1/", "0xC0A80101 1 "},
            {"http://10.1:0000080/", "10.1 0000080 "},
            {"http://1.2.3.4 x:80/", "1.2.3.4 x 80 "}, // inet_aton takes what follows a blank
        },
      refused[] = {
          {"", "Invalid ipAddress:empty \n"},
          {"https://192.168.1.20:80/", "Invalid address: 'http://' not found\n"},
          {"HTTP://192.168.1.20:80/", "Invalid address: 'http://' not found\n"},
          {"http://192.168.1.20:80", "Invalid URL: port invalid value  \n"},
          {"http://192.168.1.20:/cr", "Invalid URL: port invalid value  \n"},
          {"http://192.168.1.20/cr", "Invalid address ip:host=192.168.1.20/cr\n"},
          {"http://192.168.1.20", ""},
          {"http://192.168.1.20:0/", ""},
          {"http://192.168.1.20:65536/", ""},
          {"http://192.168.1.20:12345678/", ""},
          {"http://192.168.1.20:80a/", "Invalid port value\n"},
          {"http://192.168.1.20:-80/", "Invalid port value\n"},
          {"http://gateway.lan:80/", "Invalid address ip:host=gateway.lan\n"},
          {"http://:80/", "Invalid address ip:host=\n"},
          {"http://256.1.1.1:80/", "Invalid address ip:host=256.1.1.1\n"},
          {"http://192.168.100.2001:80/", "Invalid ip address length\n"},
      };
    DebugSwitches sw(1, 0);
    auto check = [](const std::string& url, int want, const std::string& fields) {
        char host[16] = {}, port[8] = {}, path[256] = {};
        CaptureStdout cap;
        EXPECT_EQ(TR111_check_URL_validity(url.c_str(), path, port, host), want) << url;
        if (want == 0)
            EXPECT_EQ(std::string(host) + " " + port + " " + path, fields);
        else if (fields.empty())
            EXPECT_EQ(cap.text(), "") << url;
        else
            EXPECT_TRUE(has_line(cap.text(), M, "TR111_check_URL_validity", fields)) << url;
    };
    for (const auto& c : accepted)
        check(c.url, 0, c.fields);
    for (const auto& c : refused)
        check(c.url, -1, c.fields);
    // The longest path that keeps every composed URL within 255 characters.
    check("http://1.2.3.4:80/" + p226, 0, "1.2.3.4 80 " + p226);
    char host[16], port[8], path[256];
    EXPECT_EQ(
        TR111_check_URL_validity(("http://1.2.3.4:80/" + p226 + "p").c_str(), path, port, host),
        -1);
    EXPECT_EQ(TR111_check_URL_validity(nullptr, path, port, host), -1);
}

class DmUrl : public DmTest {};

TEST_F(DmUrl, SetCreatesThenRetargetsTheRule) {
    add_device(0, 0);
    add_device(1, 0);
    db_set(dev_key(1, "Crpt_Enable"), "1");
    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1).value, "");
    EXPECT_EQ(call(get_val_MGTDEVICE_CON_REQ_URL, 10, 1).value, "");

    ASSERT_EQ(call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1, URL_CR).rc, 0);
    ASSERT_EQ(call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 2, "http://3232235777:80/").rc, 0);
    const std::pair<const char*, const char*> rule0[] = {
        {"services/0/trigger/0/dst/start", "30000"},
        {"services/0/trigger/0/dst/end", "30000"},
        {"fwd_from", "7547"},
        {"fwd_to", "7547"},
        {"services/0/trigger/0/protocol", "6"},
        {"services/0/name", ""},
        {"enabled", "0"},
        {"rdir/item/0/hostname", "192.0.2.20"},
    };
    for (const auto& [key, value] : rule0)
        EXPECT_EQ(db_get(rule_key(0, key)), value) << key;
    EXPECT_EQ(db_get(dev_key(0, "Crpt_Id")), "0");
    EXPECT_EQ(db_get(dev_key(0, "path")), "cr");
    // Second device: next rule and port, enabled by its stored switch, the
    // address as the ACS wrote it.
    EXPECT_EQ(db_get(dev_key(1, "Crpt_Id")), "1");
    EXPECT_EQ(db_get(rule_key(1, "services/0/trigger/0/dst/start")), "30001");
    EXPECT_EQ(db_get(rule_key(1, "enabled")), "1");
    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 2).value, "http://3232235777:80/");

    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1).value, URL_CR);
    EXPECT_EQ(call(get_val_MGTDEVICE_CON_REQ_URL, 10, 1).rc, 9002); // no WAN address
    db_set("/dev/ppp0/ip", "203.0.113.5", true);
    EXPECT_EQ(call(get_val_MGTDEVICE_CON_REQ_URL, 10, 1).value, "http://203.0.113.5:30000/cr");

    // A second URL moves the rule to the new address, keeps its LAN port.
    db_set(dev_key(0, "Crpt_Enable"), "1");
    ASSERT_EQ(call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1, "http://192.0.2.21:8080/x").rc, 0);
    EXPECT_EQ(db_get(rule_key(0, "enabled")), "1");
    EXPECT_EQ(db_get(rule_key(2, "")), std::nullopt);
    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1).value, "http://192.0.2.21:7547/x");
}

TEST_F(DmUrl, RefusedSetsAndTr111Device) {
    add_device(0, 1);
    DebugSwitches sw(1, 0);
    {
        CaptureStdout cap;
        EXPECT_EQ(call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1, "http://192.0.2.20/cr").rc,
                  9002);
        EXPECT_TRUE(has_line(cap.text(), M, "set_val_MGTDEVICE_DEVICE_CON_REQ_URL",
                             "Invalid IP address\n"));
    }
    // Only the type has changed.
    EXPECT_EQ(db_get(dev_key(0, "type")), "0");
    EXPECT_EQ(db_get(dev_key(0, "path")), std::nullopt);
    EXPECT_EQ(db_get("/fw/rule/loc_srv/"), std::nullopt);
    // No record: no rule either.
    EXPECT_EQ(call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 5, URL_CR).rc, 9002);
    EXPECT_EQ(db_get("/fw/rule/loc_srv/"), std::nullopt);
}

TEST_F(DmUrl, UnreadablePartsAreFaultsNeverCutUrls) {
    add_device(0, 0);
    ASSERT_EQ(call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1, URL_CR).rc, 0);
    char ip[16];
    EXPECT_EQ(get_wan_ip(ip), -1);
    db_set("/dev/ppp0/ip", "198.51.100.1"); // main store: not the WAN address
    EXPECT_EQ(get_wan_ip(ip), -1);
    db_set("/dev/ppp0/ip", "198.51.100.100.1", true); // too long for an address
    EXPECT_EQ(get_wan_ip(ip), -1);
    db_set("/dev/ppp0/ip", "203.113.200.201", true);
    EXPECT_EQ(get_wan_ip(ip), 0);
    EXPECT_STREQ(ip, "203.113.200.201");

    // Ports that cannot be read.
    db_set(rule_key(0, "services/0/trigger/0/dst/start"), "x");
    db_del(rule_key(0, "fwd_from"));
    EXPECT_EQ(call(get_val_MGTDEVICE_CON_REQ_URL, 10, 1).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1).rc, 9002);
    db_set(rule_key(0, "services/0/trigger/0/dst/start"), "39999");
    db_set(rule_key(0, "fwd_from"), "65535");
    // A stored path too long for the value buffer.
    db_set(dev_key(0, "path"), std::string(240, 'q'));
    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_CON_REQ_URL, 10, 1).value, "");
    // The longest accepted path composes the longest URLs in full.
    const std::string p226(226, 'r');
    ASSERT_EQ(
        call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1, "http://192.168.100.200:1/" + p226).rc, 0);
    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1).value,
              "http://192.168.100.200:65535/" + p226);
    EXPECT_EQ(call(get_val_MGTDEVICE_CON_REQ_URL, 10, 1).value,
              "http://203.113.200.201:39999/" + p226);
    // A rule id that is not a number.
    db_set(dev_key(0, "Crpt_Id"), "x");
    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_CON_REQ_URL, 10, 1).rc, 9002);
}
