// Device store against a real confd: enumeration and count, result codes of
// reads, output widths, guarded and unguarded writes, and the exact items
// each operation sends (read: "close" alone; change: "reconf", 4, "close";
// a failed test or write: never "reconf").
#include "registry/md.h"
#include "tests/registry/registry_fixture.h"

#include <cstring>

using namespace regtest;
using tr111test::CaptureStdout;
using tr111test::DebugSwitches;
using tr111test::WireLog;

namespace {

class Store : public ConfdTest {};

const std::string kSet = "/KELMO/TR111/ManageableDevice/";

std::string rec(int id) {
    return "/KELMO/TR111/ManageableDevice/" + std::to_string(id);
}

} // namespace

TEST_F(Store, MissingSetReadsAsNoDevices) {
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    int32_t ids[MD_MAX_NBR];
    EXPECT_EQ(md_get_list(ids), 0);
    EXPECT_EQ(md_get_nbr(), 0);
    EXPECT_EQ(md_is_exist(0), 0);
    std::string log = out.text();
    EXPECT_TRUE(has(log, line("md_get_list", "set doesn't exist \n\n"))) << log;
    EXPECT_TRUE(has(log, line("md_get_nbr", "no set for " + kSet + "\n\n"))) << log;

    // An empty set is no device either.
    db_put("/KELMO/TR111/", "ManageableDevice");
    EXPECT_EQ(md_get_list(ids), 0);
    EXPECT_EQ(md_get_nbr(), 0);
    EXPECT_TRUE(has(out.text(), line("md_get_list", "Device count = 0 \n\n")));
}

TEST_F(Store, ListInSetOrderAndNonNumericChildFailsIt) {
    device(4, "1");
    device(0, "1");
    device(3, "0");
    int32_t ids[MD_MAX_NBR];
    ASSERT_EQ(md_get_list(ids), 3);
    EXPECT_EQ(std::vector<int32_t>(ids, ids + 3), (std::vector<int32_t>{0, 3, 4}));
    EXPECT_EQ(md_is_exist(3), 1);
    EXPECT_EQ(md_is_exist(5), 0);
    EXPECT_EQ(md_get_nbr(), 3);

    // A child whose key is not a device id spoils the whole list, but counts.
    db_put(kSet + "abc/OUI", "001122");
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    EXPECT_EQ(md_get_list(ids), -1);
    EXPECT_EQ(md_is_exist(3), -1);
    EXPECT_EQ(md_get_nbr(), 4);
    EXPECT_TRUE(has(out.text(), line("md_get_list", " invalid mdList[DeviceNumber] value \n\n")));
}

TEST_F(Store, ListStoresAtMost127AndOnlyOneByteInstances) {
    KV kv;
    for (int id = 0; id < 130; ++id)
        kv.push_back({dev_path(id, "type"), "1"});
    kv.push_back({dev_path(254, "type"), "1"});
    kv.push_back({dev_path(255, "type"), "1"});
    kv.push_back({dev_path(1000, "type"), "1"});
    db_put(kv);

    struct {
        int32_t ids[MD_MAX_NBR];
        int32_t guard[8];
    } buf;
    std::fill(std::begin(buf.guard), std::end(buf.guard), 0x5a5a5a5a);
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    ASSERT_EQ(md_get_list(buf.ids), MD_MAX_NBR);
    for (int i = 0; i < MD_MAX_NBR; ++i)
        EXPECT_EQ(buf.ids[i], i);
    for (int32_t g : buf.guard)
        EXPECT_EQ(g, 0x5a5a5a5a);
    std::string log = out.text();
    EXPECT_TRUE(has(log, line("md_get_list", "more than 127 devices: device 254 not listed\n\n")));
    EXPECT_TRUE(has(log, line("md_get_list", "device id 255 out of range 0..254, not listed\n\n")));
    // The count is of the children, whatever the list could hold.
    EXPECT_EQ(md_get_nbr(), 133);
    EXPECT_EQ(md_is_exist(126), 1);
    EXPECT_EQ(md_is_exist(128), 0);
}

TEST_F(Store, ReadsCutToTheirWidths) {
    std::string sn(70, 'S'), pc = std::string(64, 'P') + "XYZ", path(300, 'p');
    sn[63] = 'e';
    device(2, "0",
           {{"OUI", "00AABBCCDD"}, {"SerialNumber", sn}, {"ProductClass", pc}, {"path", path}});

    char oui[8];
    memset(oui, 0, sizeof oui);
    ASSERT_EQ(md_get_manufacturer_oui(2, oui), 0);
    EXPECT_STREQ(oui, "00AABB");

    char text[70];
    memset(text, '#', sizeof text);
    ASSERT_EQ(md_get_serial_number(2, text), 0);
    EXPECT_EQ(std::string(text, 64), sn.substr(0, 64));
    EXPECT_EQ(text[64], '#'); // 64 bytes cleared and copied, no more
    memset(text, '#', sizeof text);
    ASSERT_EQ(md_get_product_class(2, text), 0);
    EXPECT_EQ(std::string(text, 64), pc.substr(0, 64));
    EXPECT_EQ(text[64], '#');

    char out_path[300];
    memset(out_path, '#', sizeof out_path);
    ASSERT_EQ(md_get_path(2, out_path), 0);
    EXPECT_EQ(std::string(out_path), path.substr(0, 256));
    EXPECT_EQ(out_path[257], '#');
}

TEST_F(Store, ReadResultCodesAndLines) {
    device(5, ""); // a record with its MAC address only
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    char buf[300] = {};
    EXPECT_EQ(md_get_manufacturer_oui(5, buf), -1);
    EXPECT_EQ(md_get_serial_number(5, buf), -2);
    EXPECT_EQ(md_get_product_class(5, buf), -1);
    EXPECT_EQ(md_get_path(5, buf), -1);
    EXPECT_EQ(md_get_type(5), -1);
    EXPECT_EQ(md_get_retain_device_entry(5), 0); // not retained
    EXPECT_EQ(md_get_crpt_id(5), -2);            // no rule yet
    EXPECT_EQ(md_get_crpt_enable(5), 0);         // pass-through off
    std::string log = out.text();
    for (auto [f, m] : std::vector<std::pair<std::string, std::string>>{
             {"md_get_manufacturer_oui", "Error in read DB_MANAGEABLE_DEVICE_OUI_PATH \n\n"},
             {"md_get_serial_number", "Error in read DB_MANAGEABLE_DEVICE_SN_PATH\n\n"},
             {"md_get_product_class", "Error in read DB_MANAGEABLE_DEVICE_PRODUCT_CLASS_PATH\n\n"},
             {"md_get_path", "Error in read DB_MANAGEABLE_DEVICE_PATH, device 5 \n\n"},
             {"md_get_type", "DB_MANAGEABLE_DEVICE_TYPE_PATH is empty, device=5 \n\n"},
             {"md_get_retain_device_entry",
              "Error in read DB_MANAGEABLE_DEVICE_RETAIN_DEV_ENTRY_PATH\n\n"},
             {"md_get_crpt_id", "Error in read DB_MANAGEABLE_DEVICE_CRPT_PATH\n\n"}})
        EXPECT_TRUE(has(log, line(f, m))) << f << "\n" << log;
    EXPECT_FALSE(has(log, "In md_get_crpt_enable")) << log;

    // Invalid stored integers.
    db_put({{dev_path(5, "type"), "x"},
            {dev_path(5, "retainDevEntry"), "1 "},
            {dev_path(5, "Crpt_Id"), "-3"},
            {dev_path(5, "Crpt_Enable"), "99999999999"}});
    EXPECT_EQ(md_get_type(5), -1);
    EXPECT_EQ(md_get_retain_device_entry(5), -1);
    EXPECT_EQ(md_get_crpt_id(5), -1);
    EXPECT_EQ(md_get_crpt_enable(5), -1);
    EXPECT_TRUE(
        has(out.text(), line("md_get_retain_device_entry", "invalid retain entry value \n\n")));

    // Valid ones; the type line is printed on the activation flag alone.
    db_put({{dev_path(5, "type"), "0"},
            {dev_path(5, "retainDevEntry"), " 1"},
            {dev_path(5, "Crpt_Id"), "7"},
            {dev_path(5, "Crpt_Enable"), "1"}});
    WireLog wire;
    EXPECT_EQ(md_get_type(5), 0);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", dev_path(5, "type"), "close", "|"}));
    EXPECT_EQ(md_get_retain_device_entry(5), 1);
    EXPECT_EQ(md_get_crpt_id(5), 7);
    EXPECT_EQ(md_get_crpt_enable(5), 1);
    EXPECT_TRUE(has(out.text(), line("md_get_type", "device type=0\n\n")));
}

TEST_F(Store, GuardedWritesOnAbsentRecordsWriteNothing) {
    device(1, "1");
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    WireLog wire;
    EXPECT_EQ(md_set_path(9, "/cr"), -2);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", rec(9), "close", "|"}));
    wire.clear();
    EXPECT_EQ(md_set_retain_device_entry(9, 1), -2);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", rec(9), "close", "|"}));
    wire.clear();
    EXPECT_EQ(md_set_crpt_id(9, 4), -2);
    Items w = wire.written();
    EXPECT_EQ(count_of(w, "rg_conf_set_path_value"), 0u);
    EXPECT_EQ(count_of(w, "reconf"), 0u);
    EXPECT_EQ(count_of(w, "|"), 1u); // the enumeration only
    EXPECT_EQ(db_get(rec(9) + "/path"), "(absent)");
    EXPECT_TRUE(has(out.text(), line("md_set_crpt_id", "Manageable device not found \n\n")));
}

TEST_F(Store, ChangesCloseWithReconfiguration) {
    device(1, "1");
    DebugSwitches dbg(1, 3);
    CaptureStdout out;
    WireLog wire;
    auto tail = [&](size_t n) {
        Items w = wire.written();
        return Items(w.end() - static_cast<long>(n), w.end());
    };

    EXPECT_EQ(md_set_path(1, "/cr/x"), 0);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", rec(1), "rg_conf_set_path_value",
                                     dev_path(1, "path"), "/cr/x", "reconf", "#4", "close", "|"}));
    EXPECT_EQ(settle(dev_path(1, "path"), "/cr/x"), "/cr/x");

    wire.clear();
    EXPECT_EQ(md_set_retain_device_entry(1, 1), 0);
    EXPECT_EQ(wire.written(),
              (Items{"rg_conf_get_exist", rec(1), "rg_conf_set_path_value",
                     dev_path(1, "retainDevEntry"), "1", "reconf", "#4", "close", "|"}));
    EXPECT_EQ(settle(dev_path(1, "retainDevEntry"), "1"), "1");

    wire.clear();
    EXPECT_EQ(md_set_crpt_id(1, 4), 0);
    EXPECT_EQ(tail(7), (Items{"rg_conf_set_path_value", dev_path(1, "Crpt_Id"), "4", "reconf", "#4",
                              "close", "|"}));
    EXPECT_EQ(count_of(wire.written(), "|"), 2u); // enumeration, then the write
    EXPECT_EQ(settle(dev_path(1, "Crpt_Id"), "4"), "4");

    // Unguarded writes: no existence test, even on an id without a record.
    wire.clear();
    EXPECT_EQ(md_set_type(1, 5), 0);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_set_path_value", dev_path(1, "type"), "1", "reconf",
                                     "#4", "close", "|"}));
    EXPECT_EQ(settle(dev_path(1, "type"), "1"), "1");
    EXPECT_EQ(md_set_type(1, 0), 0);
    EXPECT_EQ(settle(dev_path(1, "type"), "0"), "0");
    EXPECT_EQ(md_set_crpt_enable(12, -7), 0);
    EXPECT_EQ(settle(dev_path(12, "Crpt_Enable"), "-7"), "-7");

    wire.clear();
    EXPECT_EQ(md_remove(1), 0);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_set_free", rec(1), "reconf", "#4", "close", "|"}));
    EXPECT_EQ(settle(dev_path(1, "type"), "(absent)"), "(absent)");
    EXPECT_EQ(md_is_exist(1), 0);
    EXPECT_EQ(md_remove(1), 0); // absent: still 0
}

TEST_F(Store, FailedStepsNeverReconfigureNorReadAsAbsent) {
    device(1, "0", {{"retainDevEntry", "1"}, {"Crpt_Id", "3"}, {"SerialNumber", "SN"}});
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    WireLog wire;

    wire.fail_write("rg_conf_set_path_value");
    EXPECT_EQ(md_set_crpt_enable(1, 1), -1);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_set_path_value", "|"}));
    EXPECT_NE(wire.conns().back().close_err, 0u);
    EXPECT_TRUE(
        has(out.text(), line("md_set_crpt_enable", "unable to set CRPT_ENABLE for MD\n\n")));

    wire.clear();
    wire.fail_write(dev_path(1, "path"));
    EXPECT_EQ(md_set_path(1, "/cr"), -1);
    EXPECT_EQ(wire.written(), (Items{"rg_conf_get_exist", rec(1), "rg_conf_set_path_value",
                                     dev_path(1, "path"), "|"}));

    wire.clear();
    wire.fail_write(dev_path(1, "retainDevEntry"));
    EXPECT_EQ(md_set_retain_device_entry(1, 0), -1);
    wire.fail_write(dev_path(1, "Crpt_Id"));
    EXPECT_EQ(md_set_crpt_id(1, 9), -1);
    wire.fail_write(dev_path(1, "type"));
    EXPECT_EQ(md_set_type(1, 1), -1);
    EXPECT_EQ(count_of(wire.written(), "reconf"), 0u);
    EXPECT_EQ(db_get(dev_path(1, "retainDevEntry")), "1");
    EXPECT_EQ(db_get(dev_path(1, "Crpt_Id")), "3");
    EXPECT_EQ(db_get(dev_path(1, "type")), "0");

    // A read that broke is a failure, never an absent key: a retained device
    // must not read as "not retained".
    wire.fail_write(dev_path(1, "retainDevEntry"));
    EXPECT_EQ(md_get_retain_device_entry(1), -1);
    wire.fail_write(dev_path(1, "Crpt_Id"));
    EXPECT_EQ(md_get_crpt_id(1), -1);
    wire.fail_write(dev_path(1, "SerialNumber"));
    char sn[65] = {};
    EXPECT_EQ(md_get_serial_number(1, sn), -1);
    wire.fail_write(rec(1));
    EXPECT_EQ(md_set_path(1, "/x"), -1); // existence test broke: not -2
    // A walk that broke is not a shorter list; a delete that broke is reported.
    int32_t ids[MD_MAX_NBR];
    wire.fail_write("rg_conf_set_get_value");
    EXPECT_EQ(md_get_list(ids), -1);
    wire.fail_write("rg_conf_get_set");
    EXPECT_EQ(md_get_nbr(), -1);
    wire.fail_write("rg_conf_set_free");
    EXPECT_EQ(md_remove(1), -1);
    EXPECT_EQ(md_is_exist(1), 1);
}

TEST_F(Store, NoServer) {
    confd_->stop();
    DebugSwitches dbg(1, 0);
    CaptureStdout out;
    int32_t ids[MD_MAX_NBR];
    char buf[300] = {};
    EXPECT_EQ(md_get_list(ids), -1);
    EXPECT_EQ(md_get_nbr(), -1);
    EXPECT_EQ(md_is_exist(0), -1);
    EXPECT_EQ(md_get_serial_number(0, buf), -1);
    EXPECT_EQ(md_get_retain_device_entry(0), -1);
    EXPECT_EQ(md_get_crpt_id(0), -1);
    EXPECT_EQ(md_set_path(0, "/x"), -1);
    EXPECT_EQ(md_set_crpt_enable(0, 1), -1);
    EXPECT_EQ(md_remove(0), -1);
    EXPECT_TRUE(has(out.text(), line("md_get_list", "unable to open Tamrix database \n\n")));
    EXPECT_TRUE(has(out.text(), line("md_remove", "unable to open Tamrix database \n\n")));
    ASSERT_TRUE(confd_->start());
}
