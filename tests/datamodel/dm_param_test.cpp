// ManageableDevice parameter handlers against a real confd.
#include "tests/datamodel/dm_fixture.h"
#include "tests/support/wire.h"

using namespace dmtest;

namespace {
class DmParam : public DbTest {};
const char LIMIT[] = "/KELMO/TR111/MDNotificationLimit";
} // namespace

TEST_F(DmParam, InstanceListCountAndUnreachableStore) {
    for (int id : {10, 0, 254, 2})
        device(id, "0");
    EXPECT_EQ(call(get_val_MGTDEVICE_NBR_ENTRIES, 1, 0).value, "4");
    auto l = call(get_ManageableDeviceInstance, 0, 0);
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.raw.substr(0, 5), std::string("\x01\x03\x0b\xff\x00", 5));

    // No store: faults, never a wrong count or an empty list.
    confd_->stop();
    EXPECT_EQ(call(get_val_MGTDEVICE_NBR_ENTRIES, 1, 0).rc, 9002);
    EXPECT_EQ(call(get_ManageableDeviceInstance, 0, 0).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_NOTIF_LIMIT, 2, 0).rc, 9002);
    EXPECT_EQ(call(set_val_MGTDEVICE_NOTIF_LIMIT, 2, 0, "30").rc, 9002);
}

TEST_F(DmParam, NotificationLimitWireAndBounds) {
    EXPECT_EQ(call(get_val_MGTDEVICE_NOTIF_LIMIT, 2, 0).value, "0");
    WireLog wire;
    EXPECT_EQ(call(set_val_MGTDEVICE_NOTIF_LIMIT, 2, 0, "abc").rc, 0);
    EXPECT_EQ(call(get_val_MGTDEVICE_NOTIF_LIMIT, 2, 0).value, "abc");
    EXPECT_EQ(wire.written(), (Strings{"rg_conf_set_path_value", LIMIT, "abc", "reconf", "#4",
                                       "close", "|", "rg_conf_get_exist", LIMIT, "close", "|"}));
    // 255 characters fit the value buffer; 256 are refused, nothing stored;
    // a longer text written by someone else is cut.
    EXPECT_EQ(call(set_val_MGTDEVICE_NOTIF_LIMIT, 2, 0, std::string(255, '7')).rc, 0);
    EXPECT_EQ(call(set_val_MGTDEVICE_NOTIF_LIMIT, 2, 0, std::string(256, '8')).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_NOTIF_LIMIT, 2, 0).value, std::string(255, '7'));
    db_set({{LIMIT, std::string(300, '9')}});
    EXPECT_EQ(call(get_val_MGTDEVICE_NOTIF_LIMIT, 2, 0).value, std::string(255, '9'));
    wire.fail_write("abc"); // a write lost on the connection
    EXPECT_EQ(call(set_val_MGTDEVICE_NOTIF_LIMIT, 2, 0, "abc").rc, 9002);
}

// The values of TR-111 and WT111R2 devices are read through the whole stack
// (dm_lab); here the reads that fail.
TEST_F(DmParam, IdentityAndActiveReads) {
    device(1, "0", {{"OUI", "ABC"}});
    auto r = call(get_val_MGMTSRV_MGTDEVICE_MANUFACTURER_OUI, 3, 2);
    EXPECT_EQ(r.raw, std::string("ABC") + std::string(TR111_VALUE_SIZE - 3, '\0'));
    EXPECT_EQ(call(get_val_MGMTSRV_MGTDEVICE_SERIAL_NUMBER, 4, 2).rc, 9002);
    EXPECT_EQ(call(get_val_MGTDEVICE_PRODUCT_CLASS, 5, 9).rc, 9002);
    // Active: out of the status table, or without a record, a fault.
    EXPECT_EQ(call(get_val_MGTDEVICE_ACTIVE, 6, 2).rc, 9002);
    set_status(1, 0);
    EXPECT_EQ(call(get_val_MGTDEVICE_ACTIVE, 6, 2).value, "0");
    EXPECT_EQ(call(get_val_MGTDEVICE_ACTIVE, 6, 7).rc, 9002);
}

TEST_F(DmParam, RetainSetConvertsTr111AndRefusesNonNumbers) {
    device(0, "1");
    EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, 1, "1").rc, 0);
    EXPECT_EQ(db_get(dev_path(0, "type")) + db_get(dev_path(0, "retainDevEntry")), "01");
    for (const char* bad : {"true", "", "1x", "99999999999"}) {
        db_set({{dev_path(0, "type"), "1"}});
        EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, 1, bad).rc, 9002) << bad;
        EXPECT_EQ(db_get(dev_path(0, "type")) + db_get(dev_path(0, "retainDevEntry")), "01");
    }
    EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, 1, "5").rc, 0);
    EXPECT_EQ(db_get(dev_path(0, "retainDevEntry")), "5");
    EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, 6, "1").rc, 9002); // no record
    EXPECT_EQ(db_get(dev_path(5)), "(absent)");
}

TEST_F(DmParam, RetainZeroRemovesAnInactiveDeviceOnly) {
    // 0 active, 1 inactive, 3 out of the table (status unknown), 4 inactive
    // with its rule gone already.
    for (int id : {0, 1, 3, 4}) {
        device(id, "0", {{"Crpt_Id", std::to_string(id)}});
        if (id != 4) rule(id, 30000 + id);
        if (id != 3) set_status(id, id == 0);
    }
    for (uint32_t inst : {1, 2, 4, 5})
        EXPECT_EQ(call(set_val_RETAIN_DEVICE_ENTRY, 7, inst, "0").rc, 0);
    for (int id : {0, 3}) {
        EXPECT_EQ(db_get(dev_path(id, "retainDevEntry")), "0");
        EXPECT_NE(db_get(rule_path(id)), "(absent)");
    }
    EXPECT_EQ(mdlt_count(0), 1);
    for (int id : {1, 4}) { // the rest of the removal happens all the same
        EXPECT_EQ(db_get(dev_path(id)), "(absent)");
        EXPECT_EQ(mdlt_count(id), 0);
    }
    EXPECT_EQ(db_get(rule_path(1)), "(absent)");
}

TEST_F(DmParam, PassThroughSwitch) {
    device(0, "1");
    EXPECT_EQ(call(set_val_MGTDEVICE_CRPT_ENABLE, 8, 1, "1").rc, 0); // no rule yet: stored
    EXPECT_EQ(db_get(dev_path(0, "type")) + db_get(dev_path(0, "Crpt_Enable")), "01");
    EXPECT_EQ(call(get_val_MGTDEVICE_CRPT_ENABLE, 8, 1).value, "0");
    rule(4, 30000);
    db_set({{dev_path(0, "Crpt_Id"), "4"}});
    for (auto [value, enabled] : {std::pair{"1", "1"}, {"0", "0"}, {"2", "0"}}) {
        EXPECT_EQ(call(set_val_MGTDEVICE_CRPT_ENABLE, 8, 1, value).rc, 0);
        EXPECT_EQ(db_get(dev_path(0, "Crpt_Enable")) + db_get(rule_path(4, "enabled")),
                  std::string(value) + enabled);
    }
    EXPECT_EQ(call(set_val_MGTDEVICE_CRPT_ENABLE, 8, 1, "on").rc, 9002);
    // The rule's value unreadable, the rule gone.
    db_set({{rule_path(4, "enabled"), "yes"}});
    EXPECT_EQ(call(get_val_MGTDEVICE_CRPT_ENABLE, 8, 1).rc, 9002);
    db_del(rule_path(4));
    EXPECT_EQ(call(get_val_MGTDEVICE_CRPT_ENABLE, 8, 1).rc, 9002);
    EXPECT_EQ(call(set_val_MGTDEVICE_CRPT_ENABLE, 8, 1, "1").rc, 9002);
}
