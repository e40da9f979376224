// Connection-request URLs: the URL check as a table; the setter and the
// getters against a real confd.
#include "tests/datamodel/dm_fixture.h"

using namespace dmtest;

namespace {
const char URL_CR[] = "http://192.0.2.20:7547/cr";
const std::string P226(226, 'p'); // the longest path: every composed URL fits 255 characters
} // namespace

TEST(UrlCheck, AcceptedAndRefusedForms) {
    const std::pair<std::string, std::string> accepted[] = {
        {"http://192.168.1.20:80/", "192.168.1.20 80 "},
        {"http://192.168.100.200:65535/p", "192.168.100.200 65535 p"},
        {"http://3232235777:80/", "3232235777 80 "}, // numeric forms inet_aton takes
        {"http://0xC0A80101:1/", "0xC0A80101 1 "},
        {"http://10.1:0000080/", "10.1 0000080 "},
        {"http://1.2.3.4:80/" + P226, "1.2.3.4 80 " + P226},
    };
    const std::pair<std::string, std::string> refused[] = {
        {"", "Invalid ipAddress:empty \n"},
        {"https://192.168.1.20:80/", "Invalid address: 'http://' not found\n"},
        {"HTTP://192.168.1.20:80/", "Invalid address: 'http://' not found\n"},
        {"http://192.168.1.20:80", "Invalid URL: port invalid value  \n"},
        {"http://192.168.1.20/cr", "Invalid address ip:host=192.168.1.20/cr\n"},
        {"http://192.168.1.20", ""},
        {"http://192.168.1.20:0/", ""},
        {"http://192.168.1.20:65536/", ""},
        {"http://192.168.1.20:12345678/", ""},
        {"http://192.168.1.20:80a/", "Invalid port value\n"},
        {"http://gateway.lan:80/", "Invalid address ip:host=gateway.lan\n"},
        {"http://192.168.100.2001:80/", "Invalid ip address length\n"},
        {"http://1.2.3.4:80/p" + P226, "Invalid URL: path of 227 characters, at most 226\n"},
    };
    char host[16], port[8], path[256];
    for (const auto& [url, fields] : accepted) {
        ASSERT_EQ(TR111_check_URL_validity(url.c_str(), path, port, host), 0) << url;
        EXPECT_EQ(std::string(host) + " " + port + " " + path, fields);
    }
    for (const auto& entry : refused) {
        const std::string& url = entry.first;
        const std::string& line = entry.second;
        std::string log = logged(
            [&] { EXPECT_EQ(TR111_check_URL_validity(url.c_str(), path, port, host), -1) << url; },
            0);
        EXPECT_TRUE(line.empty() ? log.empty() : has(log, "In TR111_check_URL_validity: " + line))
            << url << "\n"
            << log;
    }
    EXPECT_EQ(TR111_check_URL_validity(nullptr, path, port, host), -1);
}

class DmUrl : public DbTest {};

TEST_F(DmUrl, RefusedSetsAndTr111Device) {
    device(0, "1");
    std::string log = logged(
        [] {
            EXPECT_EQ(call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1, "http://192.0.2.20/cr").rc,
                      9002);
        },
        0);
    EXPECT_TRUE(has(log, "In set_val_MGTDEVICE_DEVICE_CON_REQ_URL: Invalid IP address\n")) << log;
    // Only the type has changed.
    EXPECT_EQ(db_get(dev_path(0, "type")) + db_get(dev_path(0, "path")), "0(absent)");
    EXPECT_EQ(call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 5, URL_CR).rc, 9002); // no record
    EXPECT_EQ(db_get("/fw"), "(absent)");
}

TEST_F(DmUrl, UnreadablePartsAreFaultsNeverCutUrls) {
    device(0, "0");
    ASSERT_EQ(call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1, URL_CR).rc, 0);
    char ip[16];
    db_set({{"/dev/ppp0/ip", "198.51.100.1"}}); // main store: not the WAN address
    EXPECT_EQ(get_wan_ip(ip), -1);
    db_set({{"/dev/ppp0/ip", "198.51.100.100.1"}}, true); // too long for an address
    EXPECT_EQ(get_wan_ip(ip), -1);
    db_set({{"/dev/ppp0/ip", "203.113.200.201"}}, true);
    // Ports that cannot be read.
    db_set({{rule_path(0, "services/0/trigger/0/dst/start"), "x"}});
    db_del(rule_path(0, "fwd_from"));
    EXPECT_EQ(call(get_val_MGTDEVICE_CON_REQ_URL, 10, 1).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1).rc, 9002);
    db_set({{rule_path(0, "services/0/trigger/0/dst/start"), "39999"},
            {rule_path(0, "fwd_from"), "65535"}});
    // A stored path too long for the value buffer: a fault, never a cut URL.
    db_set({{dev_path(0, "path"), std::string(240, 'q')}});
    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_CON_REQ_URL, 10, 1).value, "");
    // The longest accepted path composes the longest URLs in full.
    ASSERT_EQ(
        call(set_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1, "http://192.168.100.200:1/" + P226).rc, 0);
    EXPECT_EQ(call(get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, 1).value,
              "http://192.168.100.200:65535/" + P226);
    EXPECT_EQ(call(get_val_MGTDEVICE_CON_REQ_URL, 10, 1).value,
              "http://203.113.200.201:39999/" + P226);
}
