// Notification attributes against a real confd.
#include "tests/datamodel/dm_fixture.h"
#include "tests/support/wire.h"

using namespace dmtest;

namespace {

class DmAttrib : public DbTest {};

Reply setattr(uint32_t id, Instances inst, int value, const std::string& name = "") {
    return call(TR69set_attribute, id, inst, std::string(1, static_cast<char>(value)), name);
}
// The attribute answered, as a number, and the byte behind it.
std::pair<int, int> getattr(uint32_t id, Instances inst) {
    Reply r = call(TR69get_attribute, id, inst);
    EXPECT_EQ(r.rc, 0);
    return {r.raw[0], r.raw[1]};
}

} // namespace

TEST_F(DmAttrib, KeysAndValuesInTheStore) {
    EXPECT_EQ(getattr(6, {3}), std::make_pair(1, 0)); // never set: off
    const std::tuple<uint32_t, Instances, int, const char*> cases[] = {
        {4, {2}, 2, "/KELMO/TR111/attrib/4/2./"},
        {1, {}, 3, "/KELMO/TR111/attrib/1/"},
        // Reversed, then cut at the first number that is not above 0.
        {7, {3, 0, 5}, 2, "/KELMO/TR111/attrib/7/5./"},
        {8, {1, 2}, 3, "/KELMO/TR111/attrib/8/2.1./"},
    };
    for (const auto& [id, inst, value, key] : cases) {
        EXPECT_EQ(setattr(id, inst, value).rc, 0) << key;
        EXPECT_EQ(db_get(key), std::to_string(value)) << key;
        EXPECT_EQ(getattr(id, inst), std::make_pair(value, 0)) << key;
    }
    EXPECT_EQ(getattr(4, {3}).first, 1); // another instance

    // Values outside 1 to 3 are stored as nothing and read as off; a text
    // that is not a number reads as off, a number as stored.
    for (int bad : {0, 4, -1}) {
        EXPECT_EQ(setattr(4, {2}, bad).rc, 0) << bad;
        EXPECT_EQ(db_get("/KELMO/TR111/attrib/4/2./"), "") << bad;
        EXPECT_EQ(getattr(4, {2}).first, 1) << bad;
    }
    db_set({{"/KELMO/TR111/attrib/4/2.", "x"}});
    EXPECT_EQ(getattr(4, {2}).first, 1);
    db_set({{"/KELMO/TR111/attrib/4/2.", "7"}});
    EXPECT_EQ(getattr(4, {2}).first, 7);
    // No store: the getter answers off, the setter success.
    confd_->stop();
    EXPECT_EQ(getattr(4, {2}).first, 1);
    EXPECT_EQ(setattr(4, {2}, 2).rc, 0);
}

TEST_F(DmAttrib, ActiveRefusedOnIdentityParameters) {
    WireLog wire;
    const std::string md2 = "InternetGatewayDevice.ManagementServer.ManageableDevice.2.";
    for (const char* p : {"ManufacturerOUI", "SerialNumber", "ProductClass"})
        EXPECT_EQ(setattr(4, {2}, 3, md2 + p).rc, 9009) << p;
    EXPECT_TRUE(wire.conns().empty()); // nothing stored, not even a connection
    // Passive is taken: written with reconfiguration, then read back.
    EXPECT_EQ(setattr(4, {2}, 2, md2 + "SerialNumber").rc, 0);
    EXPECT_EQ(wire.written(), (Strings{"rg_conf_set_path_value", "/KELMO/TR111/attrib/4/2./", "2",
                                       "reconf", "#4", "close", "|", "rg_conf_get_exist",
                                       "/KELMO/TR111/attrib/4/2./", "close", "|"}));
    EXPECT_EQ(setattr(6, {2}, 3, md2 + "Active").rc, 0);
    EXPECT_EQ(db_get("/KELMO/TR111/attrib/6/2./"), "3");
}
