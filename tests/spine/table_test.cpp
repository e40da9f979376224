// The parameter table as the agent gets it: per row the id, flags, type,
// the handler block and the name with its instance placeholders taken out.
#include "datamodel/datamodel.h"
#include "tr69/tr69_dm.h"

#include <cinttypes>
#include <cstring>
#include <gtest/gtest.h>

#define IGD "InternetGatewayDevice.ManagementServer."

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
    }
    dm_entry zero{};
    EXPECT_EQ(memcmp(&tr111_dm[11], &zero, sizeof zero), 0); // the end row
}
