// Change handling against a real configuration server: which event each
// change raises and for which device, the lease and rule lookups, and the
// notifications asked for directly.
#include "notify/notify.h"

#include "registry/md.h"
#include "tests/notify/notify_support.h"
#include "tests/support/capture.h"
#include "tests/support/wire.h"

#include <gtest/gtest.h>

using namespace tr111test;

namespace {

using Strings = std::vector<std::string>;

const std::string kDev = "/KELMO/TR111/ManageableDevice/";
const std::string kLease = "/dev/br0/dhcps/lease/";
const std::string kPrefix = "InternetGatewayDevice.ManagementServer.";

struct Handled {
    int ret;
    std::string log;
};

Handled handle(const std::string& path, char action, const std::string& param) {
    tr111_change c{};
    snprintf(c.path, sizeof c.path, "%s", path.c_str());
    c.action = action == 'C'   ? TR111_CHANGE_CREATE
               : action == 'D' ? TR111_CHANGE_DELETE
                               : TR111_CHANGE_UPDATE;
    snprintf(c.param, sizeof c.param, "%s", param.c_str());
    DebugSwitches sw(1, 3);
    CaptureStdout cap;
    int ret = handle_db_change(&c);
    return {ret, cap.text()};
}

// The events the dispatcher raised, from its lines.
Strings events_of(const std::string& log) {
    Strings out;
    for (const auto& l : lines(log)) {
        auto at = l.find("event code = ");
        if (at != std::string::npos && l.rfind("TR111_notif[", 0) == 0) out.push_back(l.substr(at));
    }
    return out;
}

class ChangeDb : public DaemonFixture {
  protected:
    // Two plain TR-111 devices, 0 and 2, known and inactive; lease 3 is
    // device 2's, lease 4 belongs to no device.
    void devices() {
        ASSERT_TRUE(db_set({{kDev + "0/MacAddress", "aa:bb:cc:00:00:01"},
                            {kDev + "0/type", "1"},
                            {kDev + "2/MacAddress", "aa:bb:cc:00:00:02"},
                            {kDev + "2/type", "1"},
                            {kLease + "3/hardware_mac", "aa:bb:cc:00:00:02"},
                            {kLease + "3/ip", "192.168.1.20"},
                            {kLease + "4/hardware_mac", "aa:bb:cc:00:00:09"},
                            {kLease + "4/ip", "192.168.1.30"}}));
        ASSERT_EQ(md_initilize(), 0);
        ASSERT_EQ(mdlt_status(0), 0);
        ASSERT_EQ(mdlt_status(2), 0);
    }
};

} // namespace

TEST_F(ChangeDb, LeaseChangesRaiseTheirEventsForTheLeaseHolder) {
    devices();
    // Created lease: event 1, device 2 becomes active, device 0 untouched.
    Handled h = handle(kLease, 'C', "3");
    EXPECT_EQ(h.ret, 0);
    EXPECT_EQ(events_of(h.log), Strings{"event code = 1 "}) << h.log;
    EXPECT_EQ(mdlt_status(2), 1);
    EXPECT_EQ(mdlt_status(0), 0);

    // A lease of no known device still raises its event, with -1.
    h = handle(kLease, 'C', "4");
    EXPECT_EQ(events_of(h.log), Strings{"event code = 1 "});
    EXPECT_EQ(h.log.find("md_refresh"), std::string::npos) << h.log;

    // A lease number that is not a number: nothing raised.
    h = handle(kLease, 'C', "3x");
    EXPECT_EQ(h.ret, -1);
    EXPECT_NE(h.log.find("invalid lease id value:3x \n"), std::string::npos) << h.log;
    EXPECT_TRUE(events_of(h.log).empty());

    // Renewal: event 2.
    mdlt_update_status(2, 0);
    h = handle(kLease + "3/start_time", 'U', "1700000000");
    EXPECT_EQ(events_of(h.log), Strings{"event code = 2 "});
    EXPECT_EQ(mdlt_status(2), 1);

    // Other lease updates raise nothing: a valid time that is not 0, an
    // is_abandoned that is not 1, any other key.
    for (auto [key, value] :
         {std::pair{"3/valid_time", "3600"}, {"3/is_abandoned", "0"}, {"3/ip", "192.168.1.21"}}) {
        h = handle(kLease + key, 'U', value);
        EXPECT_EQ(h.ret, 0);
        EXPECT_TRUE(events_of(h.log).empty()) << key << h.log;
    }
    EXPECT_EQ(mdlt_status(2), 1);

    // Release (valid time 0): event 4; a plain TR-111 device is forgotten.
    h = handle(kLease + "3/valid_time", 'U', "0");
    EXPECT_EQ(events_of(h.log), Strings{"event code = 4 "});
    EXPECT_EQ(mdlt_count(2), 0);
    bool present = true;
    db_get(kDev + "2/MacAddress", &present);
    EXPECT_FALSE(present);
    EXPECT_EQ(mdlt_status(0), 0);
}

TEST_F(ChangeDb, DeletedLeaseExpiresItsDevice) {
    devices();
    mdlt_update_status(2, 1);
    Handled h = handle(kLease, 'D', "3");
    EXPECT_EQ(events_of(h.log), Strings{"event code = 3 "}) << h.log;
    EXPECT_EQ(mdlt_count(2), 0);
    EXPECT_EQ(mdlt_count(0), 1);
}

TEST_F(ChangeDb, AbandonedLeaseRetargetsTheRuleOfItsDevice) {
    devices();
    // Device 2 is a WT111R2 device whose rule 0 still points at its old
    // address 192.168.1.5 (lease 6, now abandoned); its current lease 3 has
    // 192.168.1.20.
    attr_fake::set(9, 3, 2);
    ASSERT_TRUE(db_set({{kDev + "2/type", "0"},
                        {kDev + "2/Crpt_Id", "0"},
                        {kDev + "0/Crpt_Id", "7"},
                        {"/fw/rule/loc_srv/0/enabled", "1"},
                        {"/fw/rule/loc_srv/0/rdir/item/0/hostname", "192.168.1.5"},
                        {kLease + "6/hardware_mac", "aa:bb:cc:00:00:02"},
                        {kLease + "6/ip", "192.168.1.5"}}));
    // The abandoned lease comes after the current one in set order, so the
    // device's current address is found first.
    Handled h = handle(kLease + "6/is_abandoned", 'U', "1");
    EXPECT_EQ(events_of(h.log), Strings{"event code = 7 "}) << h.log;
    EXPECT_NE(h.log.find(" Device found "), std::string::npos);
    EXPECT_EQ(db_get("/fw/rule/loc_srv/0/rdir/item/0/hostname"), "192.168.1.20");
    EXPECT_EQ(notify_rec::summary(),
              Strings{kPrefix + "ManageableDevice.3.DeviceConnectionRequestURL 2"});
}

TEST_F(ChangeDb, DeviceRecordChanges) {
    devices();
    attr_fake::set(4, 3, 2);
    attr_fake::set(8, 3, 2);
    attr_fake::set(3, 1, 2);
    attr_fake::set(2, 0, 2);
    attr_fake::set(10, 1, 2);
    attr_fake::set(10, 3, 2);
    // A created record: event 5 with the record's id, entered as active.
    Handled h = handle(kDev, 'C', "4");
    EXPECT_EQ(events_of(h.log), Strings{"event code = 5 "}) << h.log;
    EXPECT_EQ(mdlt_status(4), 1);

    // A deleted record: event 8 frees its entry.
    h = handle(kDev, 'D', "2");
    EXPECT_EQ(events_of(h.log), Strings{"event code = 8 "});
    EXPECT_EQ(mdlt_count(2), 0);

    // Updated keys of a record notify their parameters, instance id + 1;
    // keys without a parameter notify nothing; no event either way.
    notify_rec::reset();
    for (auto key : {"2/SerialNumber", "2/Crpt_Enable", "0/OUI", "2/MacAddress", "2/path"}) {
        h = handle(kDev + key, 'U', "x");
        EXPECT_TRUE(events_of(h.log).empty()) << key;
    }
    EXPECT_EQ(notify_rec::summary(),
              (Strings{kPrefix + "ManageableDevice.3.SerialNumber 2",
                       kPrefix + "ManageableDevice.3.ConnectionRequestPassThroughEnable 2",
                       kPrefix + "ManageableDevice.1.ManufacturerOUI 2"}));

    // The limit notifies itself, without an instance.
    notify_rec::reset();
    h = handle("/KELMO/TR111/MDNotificationLimit", 'U', "30");
    EXPECT_TRUE(events_of(h.log).empty());
    EXPECT_EQ(notify_rec::summary(), Strings{kPrefix + "ManageableDeviceNotificationLimit 2"});

    // A new WAN address: event 6, every device's ConnectionRequestURL.
    notify_rec::reset();
    h = handle("/dev/ppp0/ip", 'U', "203.0.113.9");
    EXPECT_EQ(events_of(h.log), Strings{"event code = 6 "});
    // The record-deleted event does not delete the record: 0 and 2 are
    // listed; 4 has no record.
    EXPECT_EQ(notify_rec::summary(),
              (Strings{kPrefix + "ManageableDevice.1.ConnectionRequestURL 2",
                       kPrefix + "ManageableDevice.3.ConnectionRequestURL 2"}));

    // Anything else raises and notifies nothing.
    notify_rec::reset();
    h = handle("/dev/eth0/ip", 'U', "1.2.3.4");
    EXPECT_EQ(h.ret, 0);
    EXPECT_TRUE(events_of(h.log).empty());
    EXPECT_TRUE(notify_rec::events().empty());
}

TEST_F(ChangeDb, LeaseToDeviceByMac) {
    // Containment: a lease's hardware_mac may carry more than the address.
    ASSERT_TRUE(db_set({{kDev + "0/MacAddress", "aa:bb:cc:00:00:01"},
                        {kDev + "1/MacAddress", "aa:bb:cc:00:00:02"},
                        {kLease + "5/hardware_mac", "01:aa:bb:cc:00:00:02"},
                        {kLease + "6/hardware_mac", "AA:BB:CC:00:00:02"},
                        {kLease + "8/ip", "192.168.1.8"}}));
    DebugSwitches sw(1, 0);
    {
        WireLog wire;
        CaptureStdout cap;
        EXPECT_EQ(get_device_id_from_lease_id(5), 1);
        EXPECT_EQ(get_device_id_from_lease_id(6), -1); // case-sensitive
        EXPECT_EQ(cap.text(), "");
        // Every lookup connection is a read: it ends with "close" alone.
        EXPECT_GE(wire.conns().size(), 2u);
        for (const auto& c : wire.conns()) {
            EXPECT_EQ(count(Strings(c.items.begin(), c.items.end()).back(), "> close"), 1u);
            for (const auto& item : c.items)
                EXPECT_NE(item, "> reconf");
        }
    }
    {
        CaptureStdout cap;
        EXPECT_EQ(get_device_id_from_lease_id(8), -1);
        EXPECT_NE(cap.text().find("Mac address empty in lease \n"), std::string::npos);
    }
    // A device without a MAC address earlier in list order ends the search.
    ASSERT_TRUE(db_set({{kDev + "0/type", "1"}}));
    ASSERT_TRUE(db_del({kDev + "0/MacAddress"}));
    {
        CaptureStdout cap;
        EXPECT_EQ(get_device_id_from_lease_id(5), -1);
        EXPECT_NE(cap.text().find("Mac address empty in device \n"), std::string::npos);
    }
    // No device set at all: no device.
    ASSERT_TRUE(db_del({kDev}));
    EXPECT_EQ(get_device_id_from_lease_id(5), -1);
}

TEST_F(ChangeDb, AbandonedLeaseToDeviceByRule) {
    // Rule 0 holds 192.168.1.10, rule 1 192.168.1.1; device 3 owns rule 0,
    // device 5 rule 1.
    ASSERT_TRUE(db_set({{kLease + "1/ip", "192.168.1.1"},
                        {kLease + "2/ip", "192.168.1.10"},
                        {kLease + "9/hardware_mac", "aa:bb:cc:00:00:09"}}));
    DebugSwitches sw(1, 0);
    {
        CaptureStdout cap;
        EXPECT_EQ(get_device_id_from_abondonned_lease_id(1), -1);
        EXPECT_NE(cap.text().find("set doesn't exist \n"), std::string::npos) << cap.text();
    }
    ASSERT_TRUE(db_set({{"/fw/rule/loc_srv/0/rdir/item/0/hostname", "192.168.1.10"},
                        {"/fw/rule/loc_srv/1/rdir/item/0/hostname", "192.168.1.1"}}));
    {
        CaptureStdout cap;
        EXPECT_EQ(get_device_id_from_abondonned_lease_id(1), -1);
        EXPECT_NE(cap.text().find("Manageable device set doesn't exist \n"), std::string::npos);
    }
    ASSERT_TRUE(db_set({{kDev + "3/Crpt_Id", "0"}, {kDev + "5/Crpt_Id", "1"}}));
    {
        CaptureStdout cap;
        // 192.168.1.1 is contained in the first rule's 192.168.1.10.
        EXPECT_EQ(get_device_id_from_abondonned_lease_id(1), 3);
        EXPECT_EQ(get_device_id_from_abondonned_lease_id(2), 3);
        EXPECT_EQ(count(cap.text(), " Device found \n"), 2u);
    }
    ASSERT_TRUE(db_set({{"/fw/rule/loc_srv/0/rdir/item/0/hostname", "192.168.1.100"},
                        {"/fw/rule/loc_srv/1/rdir/item/0/hostname", "192.168.1.1"}}));
    EXPECT_EQ(get_device_id_from_abondonned_lease_id(1), 3);
    ASSERT_TRUE(db_set({{"/fw/rule/loc_srv/0/rdir/item/0/hostname", "192.168.2.1"}}));
    EXPECT_EQ(get_device_id_from_abondonned_lease_id(1), 5);
    {
        // No rule holds the address; a lease without an address.
        CaptureStdout cap;
        EXPECT_EQ(get_device_id_from_abondonned_lease_id(2), -1);
        EXPECT_EQ(get_device_id_from_abondonned_lease_id(9), -1);
        EXPECT_NE(cap.text().find("Mac address empty in lease \n"), std::string::npos);
    }
    {
        // A device without a rule id before the owner ends the search.
        ASSERT_TRUE(db_set({{kDev + "1/type", "1"}}));
        CaptureStdout cap;
        EXPECT_EQ(get_device_id_from_abondonned_lease_id(1), -1);
        EXPECT_NE(cap.text().find("IP is empty in crpt rule \n"), std::string::npos);
    }
    {
        // A rule nobody owns.
        ASSERT_TRUE(db_del({kDev + "1", kDev + "5"}));
        CaptureStdout cap;
        EXPECT_EQ(get_device_id_from_abondonned_lease_id(1), -1);
        EXPECT_NE(cap.text().find("Device id not found \n"), std::string::npos);
    }
    {
        // A rule key that is not a number.
        ASSERT_TRUE(db_set({{"/fw/rule/loc_srv/x/rdir/item/0/hostname", "192.168.9.9"}}));
        ASSERT_TRUE(db_set({{"/fw/rule/loc_srv/1/rdir/item/0/hostname", "10.0.0.1"}}));
        CaptureStdout cap;
        EXPECT_EQ(get_device_id_from_abondonned_lease_id(1), -1);
        EXPECT_NE(cap.text().find(" invalid crpt id value \n"), std::string::npos);
    }
}
