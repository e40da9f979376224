// Notification attributes against a real confd, and the access lists.
#include "tests/datamodel/dm_fixture.h"
#include "tests/support/wire.h"

using namespace dmtest;

namespace {

class DmAttrib : public DmTest {};

Reply setattr(uint32_t id, Instances inst, int value, const std::string& name = "") {
    return call(TR69set_attribute, id, inst, std::string(1, static_cast<char>(value)), name);
}
int getattr(uint32_t id, Instances inst) {
    Reply r = call(TR69get_attribute, id, inst);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.raw[1], '\0');
    return r.raw[0];
}

} // namespace

TEST(InvertTable, ReversesTheUsedPart) {
    const std::pair<Instances, Instances> cases[] = {
        {{3, 0, 5, 0, 0}, {5, 0, 3, 9, 9}},
        {{1, 2, 3, 4, 5}, {5, 4, 3, 2, 1}},
        {{0, 0, 0, 0, 6}, {6, 0, 0, 0, 0}},
        {{0, 0, 0, 0, 0}, {9, 9, 9, 9, 9}},
    };
    for (const auto& [src, want] : cases) {
        Instances dst{9, 9, 9, 9, 9};
        EXPECT_EQ(invertTable(src.data(), dst.data()), 0);
        EXPECT_EQ(dst, want);
    }
}

TEST_F(DmAttrib, KeysAndValuesInTheStore) {
    EXPECT_EQ(getattr(6, {3}), 1); // never set: off
    struct Case {
        uint32_t id;
        Instances inst;
        int value;
        const char* key;
    } cases[] = {
        {4, {2}, 2, "/KELMO/TR111/attrib/4/2./"},
        {6, {3}, 3, "/KELMO/TR111/attrib/6/3./"},
        {1, {}, 3, "/KELMO/TR111/attrib/1/"},
        {2, {}, 2, "/KELMO/TR111/attrib/2/"},
        // Reversed, then cut at the first number that is not above 0.
        {7, {3, 0, 5}, 2, "/KELMO/TR111/attrib/7/5./"},
        {8, {1, 2}, 3, "/KELMO/TR111/attrib/8/2.1./"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(setattr(c.id, c.inst, c.value).rc, 0) << c.key;
        EXPECT_EQ(db_get(c.key), std::to_string(c.value)) << c.key;
        EXPECT_EQ(getattr(c.id, c.inst), c.value) << c.key;
    }
    EXPECT_EQ(getattr(6, {4}), 1); // another instance
    int32_t v = 3;
    Instances none{};
    EXPECT_EQ(set_get_attribute(9, none.data(), 13, &v), -1);
    EXPECT_EQ(db_get("/KELMO/TR111/attrib/9/"), std::nullopt);
}

TEST_F(DmAttrib, ActiveRefusedOnIdentityParameters) {
    tr111test::WireLog wire;
    const std::string md2 = "InternetGatewayDevice.ManagementServer.ManageableDevice.2.";
    for (const char* p : {"ManufacturerOUI", "SerialNumber", "ProductClass"})
        EXPECT_EQ(setattr(4, {2}, 3, md2 + p).rc, 9009) << p;
    EXPECT_TRUE(wire.conns().empty()); // nothing stored, not even a connection

    // Passive is taken: one write connection, one read connection, both on
    // the key itself.
    EXPECT_EQ(setattr(4, {2}, 2, md2 + "SerialNumber").rc, 0);
    EXPECT_EQ(wire.written(),
              (std::vector<std::string>{"rg_conf_set_path_value", "/KELMO/TR111/attrib/4/2./", "2",
                                        "reconf", "#4", "close", "|", "rg_conf_get_exist",
                                        "/KELMO/TR111/attrib/4/2./", "close", "|"}));
    EXPECT_EQ(setattr(6, {2}, 3, md2 + "Active").rc, 0);
    EXPECT_EQ(db_get("/KELMO/TR111/attrib/6/2./"), "3");
}

TEST_F(DmAttrib, ValuesOutsideOneToThreeReadAsOff) {
    ASSERT_EQ(setattr(6, {1}, 3).rc, 0);
    for (int bad : {0, 4, -1}) {
        EXPECT_EQ(setattr(6, {1}, bad).rc, 0) << bad;
        EXPECT_EQ(db_get("/KELMO/TR111/attrib/6/1./").value_or(""), "") << bad;
        EXPECT_EQ(getattr(6, {1}), 1) << bad;
    }
    // Text that is not a number reads as off; a number is answered as stored.
    db_set("/KELMO/TR111/attrib/6/1.", "x");
    EXPECT_EQ(getattr(6, {1}), 1);
    db_set("/KELMO/TR111/attrib/6/1.", "7");
    EXPECT_EQ(getattr(6, {1}), 7);
    // No store: the getter answers off, the setter success.
    confd_->stop();
    EXPECT_EQ(getattr(6, {1}), 1);
    EXPECT_EQ(setattr(6, {1}, 2).rc, 0);
}

TEST(AccessList, FixedBytes) {
    char out[TR111_VALUE_SIZE];
    uint32_t inst[TR111_INSTANCES] = {1};
    EXPECT_EQ(getACL("x", inst, 6, "", out), 0);
    EXPECT_EQ(std::string(out, 3), std::string("\x04\x02\x00", 3));
    EXPECT_EQ(setACL("x", inst, 6, "\x05", out), 0);
    EXPECT_EQ(out[0], '\0');
}
