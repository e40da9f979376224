// Device store against a real confd: the list and the count, the widths and
// result codes of the reads, and the items each operation sends (a read
// closes with "close" alone; a change with "reconf", 4, "close"; a failed
// existence test or write never reconfigures).
#include "registry/md.h"
#include "tests/support/db.h"
#include "tests/support/wire.h"

#include <cstring>
#include <functional>

using namespace tr111test;

namespace {

class Store : public DbTest {};

const std::string kRec1 = "/KELMO/TR111/ManageableDevice/1";
const std::string kRec9 = "/KELMO/TR111/ManageableDevice/9";

} // namespace

TEST_F(Store, ListAndCount) {
    int32_t ids[MD_MAX_NBR];
    std::string log = logged([&] {
        EXPECT_EQ(md_get_list(ids), 0);
        EXPECT_EQ(md_get_nbr(), 0);
    });
    EXPECT_TRUE(has(log, "In md_get_list: set doesn't exist \n\n")) << log;

    // At most 127 ids in set order, none above 254, nothing past the array;
    // the count is of the children.
    KV kv;
    for (int id : {1000, 255, 254})
        kv.push_back({dev_path(id, "type"), "1"});
    for (int id = 129; id >= 0; --id)
        kv.push_back({dev_path(id, "type"), "1"});
    db_set(kv);
    std::vector<int32_t> buf(MD_MAX_NBR + 8, 0x5a5a5a5a); // 8 guard entries behind the list
    log = logged([&] { ASSERT_EQ(md_get_list(buf.data()), MD_MAX_NBR); });
    for (int i = 0; i < MD_MAX_NBR + 8; ++i)
        EXPECT_EQ(buf[i], i < MD_MAX_NBR ? i : 0x5a5a5a5a);
    EXPECT_TRUE(has(log, "In md_get_list: more than 127 devices: device 254 not listed\n\n"));
    EXPECT_TRUE(has(log, "In md_get_list: device id 255 out of range 0..254, not listed\n\n"));
    EXPECT_EQ(md_get_nbr(), 133);
    // A child whose key is not a device id spoils the whole list.
    db_set({{"/KELMO/TR111/ManageableDevice/abc/OUI", "001122"}});
    EXPECT_EQ(md_is_exist(3), -1);
}

TEST_F(Store, ReadsTheirWidthsAndResultCodes) {
    std::string sn(70, 'S'), pc(70, 'P'), path(300, 'p');
    device(2, "0",
           {{"OUI", "00AABBCCDD"}, {"SerialNumber", sn}, {"ProductClass", pc}, {"path", path}});
    char buf[300];
    memset(buf, '#', sizeof buf);
    ASSERT_EQ(md_get_manufacturer_oui(2, buf), 0);
    EXPECT_EQ(std::string(buf, 7), "00AABB#"); // 6 bytes, no more
    ASSERT_EQ(md_get_serial_number(2, buf), 0);
    EXPECT_EQ(std::string(buf, 65), std::string(64, 'S') + '#');
    ASSERT_EQ(md_get_product_class(2, buf), 0);
    EXPECT_EQ(std::string(buf, 65), std::string(64, 'P') + '#');
    ASSERT_EQ(md_get_path(2, buf), 0);
    EXPECT_EQ(std::string(buf, 258), path.substr(0, 256) + '\0' + '#');

    // A record with its MAC address only.
    device(5, "");
    std::string log = logged([&] {
        EXPECT_EQ(md_get_manufacturer_oui(5, buf), -1);
        EXPECT_EQ(md_get_serial_number(5, buf), -2);
        EXPECT_EQ(md_get_product_class(5, buf), -1);
        EXPECT_EQ(md_get_path(5, buf), -1);
        EXPECT_EQ(md_get_type(5), -1);
        EXPECT_EQ(md_get_retain_device_entry(5), 0); // not retained
        EXPECT_EQ(md_get_crpt_id(5), -2);            // no rule yet
        EXPECT_EQ(md_get_crpt_enable(5), 0);         // quietly off
    });
    EXPECT_TRUE(has(log, "In md_get_path: Error in read DB_MANAGEABLE_DEVICE_PATH, device 5 \n\n"));
    EXPECT_TRUE(has(log, "In md_get_type: DB_MANAGEABLE_DEVICE_TYPE_PATH is empty, device=5 \n\n"));
    EXPECT_FALSE(has(log, "md_get_crpt_enable"));
    // Stored texts that are not what they should be: a retain flag with a
    // blank, a negative rule id (it would read as a result code).
    db_set({{dev_path(5, "retainDevEntry"), "1 "},
            {dev_path(5, "Crpt_Id"), "-3"},
            {dev_path(5, "Crpt_Enable"), "99999999999"}});
    EXPECT_EQ(md_get_retain_device_entry(5), -1);
    EXPECT_EQ(md_get_crpt_id(5), -1);
    EXPECT_EQ(md_get_crpt_enable(5), -1);
}

TEST_F(Store, WireOfReadsAndChanges) {
    device(1, "1");
    WireLog wire;
    auto sent = [&] {
        Strings w = wire.written();
        wire.clear();
        return w;
    };
    EXPECT_EQ(md_get_type(1), 1);
    EXPECT_EQ(sent(), (Strings{"rg_conf_get_exist", dev_path(1, "type"), "close", "|"}));
    // Guarded writes on an absent record: the test, then nothing.
    EXPECT_EQ(md_set_path(9, "/cr"), -2);
    EXPECT_EQ(md_set_retain_device_entry(9, 1), -2);
    EXPECT_EQ(sent(), (Strings{"rg_conf_get_exist", kRec9, "close", "|", "rg_conf_get_exist", kRec9,
                               "close", "|"}));
    EXPECT_EQ(md_set_crpt_id(9, 4), -2);
    EXPECT_EQ(n_of(sent(), "reconf"), 0);

    EXPECT_EQ(md_set_path(1, "/cr/x"), 0);
    EXPECT_EQ(sent(), (Strings{"rg_conf_get_exist", kRec1, "rg_conf_set_path_value",
                               dev_path(1, "path"), "/cr/x", "reconf", "#4", "close", "|"}));
    // Unguarded writes: no existence test, even on an id without a record.
    EXPECT_EQ(md_set_type(12, 5), 0);
    EXPECT_EQ(sent(), (Strings{"rg_conf_set_path_value", dev_path(12, "type"), "1", "reconf", "#4",
                               "close", "|"}));
    EXPECT_EQ(md_remove(1), 0);
    EXPECT_EQ(sent(), (Strings{"rg_conf_set_free", kRec1, "reconf", "#4", "close", "|"}));
    EXPECT_EQ(md_is_exist(1), 0);
    EXPECT_EQ(md_remove(1), 0); // absent: still 0
}

TEST_F(Store, BrokenStepsFailAndNeverReconfigure) {
    device(1, "0", {{"retainDevEntry", "1"}, {"SerialNumber", "SN"}});
    WireLog wire;
    // A broken read is never an absent key (a retained device must not read
    // as "not retained"), a broken walk never a shorter list.
    char sn[65];
    int32_t ids[MD_MAX_NBR];
    const std::pair<std::string, std::function<int()>> steps[] = {
        {dev_path(1, "Crpt_Enable"), [] { return md_set_crpt_enable(1, 1); }},
        {dev_path(1, "path"), [] { return md_set_path(1, "/cr"); }},
        {dev_path(1, "retainDevEntry"), [] { return md_set_retain_device_entry(1, 0); }},
        {dev_path(1, "retainDevEntry"), [] { return md_get_retain_device_entry(1); }},
        {dev_path(1, "SerialNumber"), [&] { return md_get_serial_number(1, sn); }},
        {kRec1, [] { return md_set_path(1, "/x"); }},
        {"rg_conf_set_get_value", [&] { return md_get_list(ids); }},
        {"rg_conf_get_set", [] { return md_get_nbr(); }},
        {"rg_conf_set_free", [] { return md_remove(1); }},
    };
    for (const auto& [item, step] : steps) {
        wire.fail_write(item);
        EXPECT_EQ(step(), -1) << item;
    }
    EXPECT_EQ(n_of(wire.written(), "reconf"), 0);
    EXPECT_EQ(db_get(dev_path(1, "retainDevEntry")), "1");
}

TEST_F(Store, NoServer) {
    confd_->stop();
    int32_t ids[MD_MAX_NBR];
    char buf[300];
    std::string log = logged([&] {
        for (int rc : {md_get_list(ids), md_get_nbr(), md_is_exist(0), md_get_serial_number(0, buf),
                       md_get_retain_device_entry(0), md_get_crpt_id(0), md_set_path(0, "/x"),
                       md_set_crpt_enable(0, 1), md_remove(0)})
            EXPECT_EQ(rc, -1);
    });
    EXPECT_TRUE(has(log, "In md_remove: unable to open Tamrix database \n\n"));
    ASSERT_TRUE(confd_->start());
}
