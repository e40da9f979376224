// The parameter table as the agent gets it: per row the id, flags, type,
// the handler block and the name with its instance placeholders taken out;
// the atomicity rows; the registration walk against an agent that refuses
// a row.
#include "datamodel/datamodel.h"
#include "tests/support/capture.h"
#include "tr69/tr69_dm.h"

#include <cinttypes>

#define IGD "InternetGatewayDevice.ManagementServer."

using namespace tr111test;

TEST(ParameterTable, RowsAsRegistered) {
    // The ten words from the getter to the end mark: '-' none, '|' end mark,
    // 'a' 'A' 'c' 'C' the attribute and access-list handlers, 'l' the
    // instance lister, 'h' any other handler.
    dm_handler* const known[] = {TR69get_attribute, TR69set_attribute, getACL, setACL,
                                 get_ManageableDeviceInstance};
    const char codes[] = "aAcCl";
    const std::string want[] = {
        "1 0x0 0x10 h----aAcC| " IGD "ManageableDeviceNumberOfEntries",
        "2 0x0 0x10 hh---aAcC| " IGD "ManageableDeviceNotificationLimit",
        "0 0x100 0x0 --l|------ " IGD "ManageableDevice.",
        "3 0x10000 0xe h----aAcC| " IGD "ManageableDevice.ManufacturerOUI",
        "4 0x10000 0xe h----aAcC| " IGD "ManageableDevice.SerialNumber",
        "5 0x10000 0xe h----aAcC| " IGD "ManageableDevice.ProductClass",
        "6 0x0 0x15 h----aAcC| " IGD "ManageableDevice.Active",
        "7 0x0 0x15 hh---aAcC| " IGD "ManageableDevice.RetainDeviceEntry",
        "8 0x0 0x15 hh---aAcC| " IGD "ManageableDevice.ConnectionRequestPassThroughEnable",
        "9 0x0 0xe hh---aAcC| " IGD "ManageableDevice.DeviceConnectionRequestURL",
        "10 0x0 0xe h----aAcC| " IGD "ManageableDevice.ConnectionRequestURL",
    };
    for (size_t i = 0; i < std::size(want); ++i) {
        const dm_entry& r = tr111_dm[i];
        char text[400];
        int n =
            snprintf(text, 64, "%" PRIu32 " 0x%" PRIx32 " 0x%" PRIx32 " ", r.id, r.flags, r.type);
        for (uint32_t w : {r.getter, r.setter, r.lister, r.slot8, r.slot9, r.attr_get, r.attr_set,
                           r.acl_get, r.acl_set, r.end}) {
            char c = w == 0 ? '-' : w == TR69_END_MARK ? '|' : tr69_addr(w) ? 'h' : '?';
            for (size_t k = 0; k < std::size(known); ++k)
                if (w == tr69_ref_fn(known[k])) c = codes[k];
            text[n++] = c;
        }
        text[n++] = ' ';
        ignoreFormats8(dm_name(&r), text + n);
        EXPECT_EQ(text, want[i]);
        EXPECT_EQ(get_dm_by_id(r.id), &r); // the first row with the id, the object row for 0
    }
    dm_entry zero{};
    EXPECT_EQ(memcmp(&tr111_dm[11], &zero, sizeof zero), 0); // the end row

    // The atomicity rows: name, flags, id, type, handler, end mark; then a zero row.
    // The names are compared as text: a literal of the test may lie elsewhere
    // than the daemon's same literal (no merging promised), so its reference differs.
    const uint32_t E = TR69_END_MARK;
    const char* const names[] = {"XX.StartSequence.TR111", "XX.Commit.TR111", "XX.Rollback.TR111"};
    const tr69_atomicity_row atomicity[4] = {
        {0, 0x100000, 1, 0x0D, tr69_ref_fn(atomicity_start), E, {}},
        {0, 0x100000, 2, 0x0D, tr69_ref_fn(atomicity_commit), E, {}},
        {0, 0x100000, 3, 0x0D, tr69_ref_fn(atomicity_rollback), E, {}},
        {}};
    tr69_atomicity_row rows[4];
    memcpy(rows, tr111_atomicity_table, sizeof rows);
    for (int i = 0; i < 3; ++i)
        EXPECT_STREQ(static_cast<const char*>(tr69_addr(std::exchange(rows[i].name, 0))), names[i]);
    EXPECT_EQ(memcmp(rows, atomicity, sizeof atomicity), 0);

    // Placeholders: each "%d" goes with the character after it, a final one alone.
    const std::tuple<const char*, const char*, int> templates[] = {
        {"A.%d.B.%d.C", "A.B.C", 2}, {"A.%d", "A.", 1}, {"%d", "", 1}, {"50%x.%", "50%x.%", 0}};
    for (const auto& [tmpl, name, dropped] : templates) {
        std::string out(32, 'z');
        EXPECT_EQ(ignoreFormats8(tmpl, out.data()), dropped) << tmpl;
        EXPECT_STREQ(out.c_str(), name);
    }
}

TEST(ParameterTable, RegistrationStopsAtTheRowTheAgentRefuses) {
    auto argv = program("tr69agent");
    argv.insert(argv.end(), {"--refuse-id", "5"});
    Background agent(argv, "/dev/null");
    ASSERT_TRUE(wait_port(7100, 10000));
    ASSERT_TRUE(eventually([] { return tr69dm_register_app(-1) == 0; }));
    DebugSwitches sw(1, 1);
    CaptureStdout cap;
    EXPECT_EQ(tr69_register_app_dm(), 9004);
    for (const char* line : {"In tr69_register_app_dm: TR111 model registration failed, fault code "
                             ":9004\n\n",
                             "In tr69_register_app_dm: dm entry that cause failure : " IGD
                             "ManageableDevice.%d.ProductClass\n\n"})
        EXPECT_EQ(count(cap.text(), line), 1u) << cap.text();
}
