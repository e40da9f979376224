// ManageableDevice parameter handlers against a real confd.
#include "tests/datamodel/dm_fixture.h"
#include "tests/support/wire.h"

using namespace dmtest;
using tr111test::CaptureStdout;
using tr111test::DebugSwitches;
using Items = std::vector<std::string>;

namespace {
class DmParam : public DmTest {};
const char M[] = "TR111_dm_param";
const char LIMIT[] = "/KELMO/TR111/MDNotificationLimit";
} // namespace

TEST_F(DmParam, InstanceListCountAndUnreachableStore) {
    EXPECT_EQ(call(get_val_MGTDEVICE_NBR_ENTRIES, 1, 0).value, "0");
    EXPECT_EQ(call(get_ManageableDeviceInstance, 0, 0).raw[0], '\0');
    for (int id : {10, 0, 254, 2})
        add_device(id, 0);
    EXPECT_EQ(call(get_val_MGTDEVICE_NBR_ENTRIES, 1, 0).value, "4");
    auto l = call(get_ManageableDeviceInstance, 0, 0);
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.raw.substr(0, 5), std::string("\x01\x03\x0b\xff\x00", 5));

    // No store: faults, never a wrong count or an empty list.
    confd_->stop();
    DebugSwitches sw(1, 0);
    CaptureStdout cap;
    EXPECT_EQ(call(get_val_MGTDEVICE_NBR_ENTRIES, 1, 0).rc, 9002);
    EXPECT_EQ(call(get_ManageableDeviceInstance, 0, 0).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_NOTIF_LIMIT, 2, 0).rc, 9002);
    EXPECT_EQ(call(set_val_MGTDEVICE_NOTIF_LIMIT, 2, 0, "30").rc, 9002);
    EXPECT_TRUE(has_line(cap.text(), M, "get_ManageableDeviceInstance",
                         "Error in Manageable Device list \n"));
    EXPECT_TRUE(has_line(cap.text(), M, "set_val_MGTDEVICE_NOTIF_LIMIT",
                         "Unable to open Tamrix database \n"));
}

TEST_F(DmParam, NotificationLimitWireAndBounds) {
    EXPECT_EQ(call(get_val_MGTDEVICE_NOTIF_LIMIT, 2, 0).value, "0");
    tr111test::WireLog wire;
    EXPECT_EQ(call(set_val_MGTDEVICE_NOTIF_LIMIT, 2, 0, "abc").rc, 0);
    EXPECT_EQ(call(get_val_MGTDEVICE_NOTIF_LIMIT, 2, 0).value, "abc");
    EXPECT_EQ(wire.written(), (Items{"rg_conf_set_path_value", LIMIT, "abc", "reconf", "#4",
                                     "close", "|", "rg_conf_get_exist", LIMIT, "close", "|"}));

    // 255 characters fit the value buffer; 256 are refused, nothing stored.
    EXPECT_EQ(call(set_val_MGTDEVICE_NOTIF_LIMIT, 2, 0, std::string(255, '7')).rc, 0);
    EXPECT_EQ(call(set_val_MGTDEVICE_NOTIF_LIMIT, 2, 0, std::string(256, '8')).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_NOTIF_LIMIT, 2, 0).value, std::string(255, '7'));
    // Longer text written by someone else is cut.
    db_set(LIMIT, std::string(300, '9'));
    EXPECT_EQ(call(get_val_MGTDEVICE_NOTIF_LIMIT, 2, 0).value, std::string(255, '9'));

    // A write lost on the connection: fault, nothing more sent.
    wire.clear();
    wire.fail_write("abc");
    EXPECT_EQ(call(set_val_MGTDEVICE_NOTIF_LIMIT, 2, 0, "abc").rc, 9002);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_set_path_value", LIMIT, "abc", "|"}));
}

TEST_F(DmParam, IdentityCutToWidth) {
    add_device(0, 1, "00D09E7788", std::string(70, 'S'), std::string(64, 'P'));
    add_device(1, 0, "ABC", "short", "pc");
    struct Case {
        dm_handler* h;
        uint32_t id, inst;
        std::string want;
    } cases[] = {
        {get_val_MGMTSRV_MGTDEVICE_MANUFACTURER_OUI, 3, 1, "00D09E"},
        {get_val_MGMTSRV_MGTDEVICE_SERIAL_NUMBER, 4, 1, std::string(64, 'S')},
        {get_val_MGTDEVICE_PRODUCT_CLASS, 5, 1, std::string(64, 'P')},
        {get_val_MGMTSRV_MGTDEVICE_MANUFACTURER_OUI, 3, 2, "ABC"},
        {get_val_MGMTSRV_MGTDEVICE_SERIAL_NUMBER, 4, 2, "short"},
    };
    for (const auto& c : cases) {
        auto r = call(c.h, c.id, c.inst);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.value, c.want) << c.id << "/" << c.inst;
        EXPECT_EQ(r.raw.find_first_not_of('\0', r.value.size()), std::string::npos);
    }
    db_del(dev_key(1, "SerialNumber"));
    DebugSwitches sw(1, 0);
    CaptureStdout cap;
    EXPECT_EQ(call(get_val_MGMTSRV_MGTDEVICE_SERIAL_NUMBER, 4, 2).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_PRODUCT_CLASS, 5, 9).rc, 9002);
    EXPECT_TRUE(has_line(cap.text(), M, "get_val_MGMTSRV_MGTDEVICE_SERIAL_NUMBER",
                         "get serial number failed, ret_code = -2\n"));
}

TEST_F(DmParam, Tr111ReadsFixedValuesWt111r2ReadsTheStore) {
    for (int id : {0, 1}) {
        add_device(id, id == 0 ? 1 : 0);
        db_set(dev_key(id, "retainDevEntry"), "1");
        db_set(dev_key(id, "Crpt_Id"), std::to_string(id));
        db_set(dev_key(id, "path"), "cr");
        add_rule(id, 30000 + id, 7547, "192.0.2.2" + std::to_string(id), 1);
        set_status(id, 1);
    }
    db_set("/dev/ppp0/ip", "203.0.113.5", true);
    struct Case {
        dm_handler* h;
        uint32_t id;
        const char *tr111, *wt111r2;
    } cases[] = {
        {get_val_MGTDEVICE_ACTIVE, 6, "0", "1"},
        {get_val_RETAIN_DEVICE_ENTRY, 7, "0", "1"},
        {get_val_MGTDEVICE_CRPT_ENABLE, 8, "0", "1"},
        {get_val_MGTDEVICE_DEVICE_CON_REQ_URL, 9, "", "http://192.0.2.21:7547/cr"},
        {get_val_MGTDEVICE_CON_REQ_URL, 10, "", "http://203.0.113.5:30001/cr"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(call(c.h, c.id, 1).value, c.tr111) << c.id;
        EXPECT_EQ(call(c.h, c.id, 2).value, c.wt111r2) << c.id;
    }
    ASSERT_EQ(mdlt_update_status(1, 0), 0);
    EXPECT_EQ(call(get_val_MGTDEVICE_ACTIVE, 6, 2).value, "0");
    // Out of the table, or no record: a fault.
    ASSERT_EQ(mdlt_remove(1), 0);
    EXPECT_EQ(call(get_val_MGTDEVICE_ACTIVE, 6, 2).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_ACTIVE, 6, 7).rc, 9002);
}

TEST_F(DmParam, RetainSetConvertsTr111AndRefusesNonNumbers) {
    add_device(0, 1);
    EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, 1, "1").rc, 0);
    EXPECT_EQ(db_get(dev_key(0, "type")), "0");
    EXPECT_EQ(db_get(dev_key(0, "retainDevEntry")), "1");
    for (const char* bad : {"true", "", "1x", "99999999999"}) {
        db_set(dev_key(0, "type"), "1");
        EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, 1, bad).rc, 9002) << bad;
        EXPECT_EQ(db_get(dev_key(0, "type")), "0") << bad;
        EXPECT_EQ(db_get(dev_key(0, "retainDevEntry")), "1") << bad;
    }
    EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, 1, "5").rc, 0);
    EXPECT_EQ(db_get(dev_key(0, "retainDevEntry")), "5");
    EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, 6, "1").rc, 9002); // no record
    EXPECT_EQ(db_get(dev_key(5, "")), std::nullopt);
}

TEST_F(DmParam, RetainZeroRemovesAnInactiveDeviceOnly) {
    // 0 active, 1 inactive, 3 out of the table (status unknown).
    for (int id : {0, 1, 3}) {
        add_device(id, 0);
        db_set(dev_key(id, "Crpt_Id"), std::to_string(id));
        add_rule(id, 30000 + id, 80, "192.0.2.1", 1);
        if (id != 3) set_status(id, id == 0 ? 1 : 0);
    }
    for (uint32_t inst : {1, 2, 4})
        EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, inst, "0").rc, 0);
    EXPECT_EQ(db_get(dev_key(0, "retainDevEntry")), "0");
    EXPECT_EQ(db_get(dev_key(3, "retainDevEntry")), "0");
    EXPECT_TRUE(db_get(rule_key(0, "")) && db_get(rule_key(3, "")) && in_table(0));
    EXPECT_EQ(db_get(dev_key(1, "")), std::nullopt);
    EXPECT_EQ(db_get(rule_key(1, "")), std::nullopt);
    EXPECT_FALSE(in_table(1));

    // Its rule is gone already: the rest of the removal still happens.
    add_device(4, 0);
    db_set(dev_key(4, "Crpt_Id"), "9");
    set_status(4, 0);
    DebugSwitches sw(1, 0);
    CaptureStdout cap;
    EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, 5, "0").rc, 0);
    EXPECT_TRUE(has_line(cap.text(), M, "remove_inactive_device",
                         "unable to remove crpt rule from DB crpt_id : 9, code error : -12\n"));
    EXPECT_EQ(db_get(dev_key(4, "")), std::nullopt);
    EXPECT_FALSE(in_table(4));
}

TEST_F(DmParam, PassThroughSwitchWithAndWithoutRule) {
    add_device(0, 1);
    EXPECT_EQ(call(get_val_MGTDEVICE_CRPT_ENABLE, 8, 1).value, "0");
    EXPECT_EQ(call(set_val_MGTDEVICE_CRPT_ENABLE, 8, 1, "1").rc, 0);
    EXPECT_EQ(db_get(dev_key(0, "type")), "0");
    EXPECT_EQ(db_get(dev_key(0, "Crpt_Enable")), "1");
    EXPECT_EQ(db_get("/fw/rule/loc_srv/"), std::nullopt);
    EXPECT_EQ(call(get_val_MGTDEVICE_CRPT_ENABLE, 8, 1).value, "0");

    add_rule(4, 30000, 7547, "192.0.2.20", 0);
    db_set(dev_key(0, "Crpt_Id"), "4");
    const std::pair<const char*, const char*> steps[] = {{"1", "1"}, {"0", "0"}, {"2", "0"}};
    for (const auto& [value, enabled] : steps) {
        EXPECT_EQ(call(set_val_MGTDEVICE_CRPT_ENABLE, 8, 1, value).rc, 0);
        EXPECT_EQ(db_get(dev_key(0, "Crpt_Enable")), value);
        EXPECT_EQ(db_get(rule_key(4, "enabled")), enabled) << value;
        EXPECT_EQ(call(get_val_MGTDEVICE_CRPT_ENABLE, 8, 1).value, enabled);
    }
    EXPECT_EQ(call(set_val_MGTDEVICE_CRPT_ENABLE, 8, 1, "on").rc, 9002);
    EXPECT_EQ(db_get(dev_key(0, "Crpt_Enable")), "2");

    // The rule's value unreadable, the rule gone, the rule id not a number.
    db_set(rule_key(4, "enabled"), "yes");
    EXPECT_EQ(call(get_val_MGTDEVICE_CRPT_ENABLE, 8, 1).rc, 9002);
    db_del(rule_key(4, ""));
    EXPECT_EQ(call(get_val_MGTDEVICE_CRPT_ENABLE, 8, 1).rc, 9002);
    EXPECT_EQ(call(set_val_MGTDEVICE_CRPT_ENABLE, 8, 1, "1").rc, 9002);
    db_set(dev_key(0, "Crpt_Id"), "four");
    EXPECT_EQ(call(get_val_MGTDEVICE_CRPT_ENABLE, 8, 1).rc, 9002);
    EXPECT_EQ(call(set_val_MGTDEVICE_CRPT_ENABLE, 8, 1, "1").rc, 9002);
}
