// Device and DHCP event handlers against a real configuration server: the
// event table and dispatch, the argument guards, the refreshes, the rule
// re-targeting and the notifications that follow.
#include "registry/md.h"

#include "notify/notify.h"
#include "tests/notify/notify_support.h"
#include "tests/support/capture.h"
#include "tr69/tr69_dm.h"

#include <gtest/gtest.h>

using namespace tr111test;

namespace {

using Strings = std::vector<std::string>;
const std::string kDev = "/KELMO/TR111/ManageableDevice/";
const std::string kLease = "/dev/br0/dhcps/lease/";
const std::string kPrefix = "InternetGatewayDevice.ManagementServer.";
const std::string kEntries = kPrefix + "ManageableDeviceNumberOfEntries 2";

class Events : public DaemonFixture {};

// Runs f with every debug line on and returns what it printed.
template <typename F>
std::string logged(F f) {
    DebugSwitches sw(1, 3);
    CaptureStdout cap;
    f();
    return cap.text();
}

bool has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

} // namespace

TEST_F(Events, TableAndDispatch) {
    const ev_cb_row want[] = {
        {1, tr111_callback_new_dhcp},         {2, tr111_callback_renew_dhcp},
        {3, tr111_callback_expire_dhcp},      {4, tr111_callback_release_dhcp},
        {6, tr111_callback_wan_ip_change},    {5, tr111_callback_new_tr69_device},
        {7, tr111_callback_device_ip_change}, {8, tr111_callback_remove_tr69_device},
    };
    for (size_t i = 0; i < EV_CB_ROWS; ++i) {
        EXPECT_EQ(ev_cb[i].event, want[i].event) << i;
        EXPECT_EQ(ev_cb[i].handler, want[i].handler) << i;
    }

    // No row: nothing called, nothing printed.
    for (int32_t ev : {0, 9, -1}) {
        std::string log = logged([&] { event_call_back(ev, 3); });
        EXPECT_EQ(log, "") << ev;
    }
    // A row: its line under the change handling's module, then the handler,
    // whose result comes back.
    int32_t ret = 0;
    std::string log = logged([&] { ret = event_call_back(2, -2); });
    EXPECT_EQ(ret, -1);
    Strings l = lines(log);
    ASSERT_GE(l.size(), 3u) << log;
    EXPECT_EQ(l[0].rfind("TR111_notif[", 0), 0u) << log;
    EXPECT_TRUE(has(l[0], "] In event_call_back: event code = 2 ")) << log;
    EXPECT_TRUE(has(log, "In tr111_callback_renew_dhcp: invalid device id :-2 \n")) << log;
}

TEST_F(Events, DhcpArgumentGuards) {
    // new_dhcp: only -1 is refused, silently.
    int32_t ret = 0;
    EXPECT_EQ(logged([&] { ret = tr111_callback_new_dhcp(-1); }), "");
    EXPECT_EQ(ret, -1);
    // -2 reaches the refresh, which fails in the table lookup.
    std::string log = logged([] { tr111_callback_new_dhcp(-2); });
    EXPECT_TRUE(has(log, "md_refresh_status failed ret_code : -2 \n")) << log;

    // The three others refuse every negative id before any refresh.
    for (auto h :
         {tr111_callback_renew_dhcp, tr111_callback_expire_dhcp, tr111_callback_release_dhcp}) {
        for (int32_t id : {-1, -2}) {
            log = logged([&] { ret = h(id); });
            EXPECT_EQ(ret, -1);
            EXPECT_TRUE(has(log, "invalid device id :" + std::to_string(id) + " \n")) << log;
            EXPECT_FALSE(has(log, "md_refresh")) << log;
        }
    }
    EXPECT_TRUE(notify_rec::events().empty());
}

TEST_F(Events, DhcpRefreshes) {
    // Device 2 is known; device 7 is a plain TR-111 device without an entry.
    ASSERT_TRUE(db_set({{kDev + "2/type", "0"}, {kDev + "2/retainDevEntry", "1"}}));
    attr_fake::set(6, 3, 2);
    ASSERT_EQ(mdlt_add(2), 0);
    const std::pair<int32_t (*)(int32_t), int> steps[] = {
        {tr111_callback_expire_dhcp, 0},
        {tr111_callback_new_dhcp, 1},
        {tr111_callback_release_dhcp, 0},
        {tr111_callback_renew_dhcp, 1},
    };
    for (auto [handler, status] : steps) {
        EXPECT_GE(handler(2), 0);
        EXPECT_EQ(mdlt_status(2), status);
    }
    // The DHCP events notify nothing themselves (not even Active).
    EXPECT_TRUE(notify_rec::events().empty());

    // Failure lines of each handler.
    std::string log = logged([] { tr111_callback_renew_dhcp(7); });
    EXPECT_TRUE(has(log, " md_refresh_status failed ret_code : -2 \n")) << log;
    ASSERT_TRUE(db_set({{kDev + "7/type", "1"}}));
    log = logged([] { tr111_callback_expire_dhcp(7); });
    EXPECT_TRUE(has(log, "md_refresh_status failed code error : -2 \n")) << log;
    ASSERT_TRUE(db_set({{kDev + "7/type", "1"}}));
    log = logged([] { tr111_callback_release_dhcp(7); });
    EXPECT_TRUE(has(log, "error md_refresh_status for device 7 ret_code= -2 \n")) << log;
}

TEST_F(Events, WanChangeNotifiesEveryConnectionRequestUrl) {
    attr_fake::set(10, 1, 2);
    attr_fake::set(10, 4, 2);
    attr_fake::set(10, 5, 2);
    attr_fake::set(10, 2, 2);
    ASSERT_TRUE(db_set({{kDev + "0/type", "1"}, {kDev + "3/type", "0"}, {kDev + "4/type", "1"}}));
    EXPECT_EQ(tr111_callback_wan_ip_change(0), 0);
    EXPECT_EQ(notify_rec::summary(),
              (Strings{kPrefix + "ManageableDevice.1.ConnectionRequestURL 2",
                       kPrefix + "ManageableDevice.4.ConnectionRequestURL 2",
                       kPrefix + "ManageableDevice.5.ConnectionRequestURL 2"}));

    // A device list that cannot be read: nobody is notified.
    notify_rec::reset();
    ASSERT_TRUE(db_set({{kDev + "x/type", "1"}}));
    std::string log = logged([] { tr111_callback_wan_ip_change(0); });
    EXPECT_TRUE(has(log, "Error in get device list, can't notify any device \n")) << log;
    EXPECT_TRUE(notify_rec::events().empty());
}

TEST_F(Events, DeviceIpChange) {
    // Device 1 has no rule; device 2 has rule 4 pointing at an old address
    // and a current lease; device 3 has rule 5 and no lease.
    attr_fake::set(9, 2, 2);
    attr_fake::set(9, 3, 2);
    attr_fake::set(9, 4, 2);
    ASSERT_TRUE(db_set({{kDev + "1/MacAddress", "aa:bb:cc:00:00:01"},
                        {kDev + "1/type", "1"},
                        {kDev + "2/MacAddress", "aa:bb:cc:00:00:02"},
                        {kDev + "2/type", "0"},
                        {kDev + "2/Crpt_Id", "4"},
                        {kDev + "3/MacAddress", "aa:bb:cc:00:00:03"},
                        {kDev + "3/type", "0"},
                        {kDev + "3/Crpt_Id", "5"},
                        {"/fw/rule/loc_srv/4/enabled", "1"},
                        {"/fw/rule/loc_srv/4/rdir/item/0/hostname", "192.168.1.50"},
                        {"/fw/rule/loc_srv/5/enabled", "1"},
                        {"/fw/rule/loc_srv/5/rdir/item/0/hostname", "192.168.1.60"},
                        {kLease + "1/hardware_mac", "aa:bb:cc:00:00:01"},
                        {kLease + "1/ip", "192.168.1.11"},
                        {kLease + "2/hardware_mac", "aa:bb:cc:00:00:02"},
                        {kLease + "2/ip", "192.168.1.12"}}));
    int32_t ret = 0;
    EXPECT_EQ(logged([&] { ret = tr111_callback_device_ip_change(-1); }), "");
    EXPECT_EQ(ret, -1);

    // Without a rule: no rule appears, the URL is still notified.
    std::string log = logged([] { tr111_callback_device_ip_change(1); });
    EXPECT_TRUE(has(log, "tr111_callback_device_ip_change \n")) << log;
    EXPECT_TRUE(has(log, "md_get_crpt_id  failed \n")) << log;
    EXPECT_EQ(db_get("/fw/rule/loc_srv/0/rdir/item/0/hostname"), "");

    // With a rule and a current lease: the rule follows the device.
    tr111_callback_device_ip_change(2);
    EXPECT_EQ(db_get("/fw/rule/loc_srv/4/rdir/item/0/hostname"), "192.168.1.12");

    // With a rule and no lease: the rule is left as it is.
    tr111_callback_device_ip_change(3);
    EXPECT_EQ(db_get("/fw/rule/loc_srv/5/rdir/item/0/hostname"), "192.168.1.60");

    EXPECT_EQ(notify_rec::summary(),
              (Strings{kPrefix + "ManageableDevice.2.DeviceConnectionRequestURL 2",
                       kPrefix + "ManageableDevice.3.DeviceConnectionRequestURL 2",
                       kPrefix + "ManageableDevice.4.DeviceConnectionRequestURL 2"}));
}

TEST_F(Events, RecordAdded) {
    attr_fake::set(1, 0, 2);
    int32_t ret = 0;
    EXPECT_EQ(logged([&] { ret = tr111_callback_new_tr69_device(-1); }), "");
    EXPECT_EQ(ret, -1);

    // Added twice: two entries, both active; each add notifies the count.
    std::string log = logged([] {
        tr111_callback_new_tr69_device(6);
        tr111_callback_new_tr69_device(6);
    });
    EXPECT_EQ(mdlt_count(6), 2);
    EXPECT_EQ(mdlt_status(6), 1);
    EXPECT_EQ(count(log, "tr111_callback_new_tr69_device \n"), 2u) << log;
    EXPECT_EQ(count(log, "device : 6 with status updated\n"), 2u) << log;
    EXPECT_EQ(notify_rec::summary(), (Strings{kEntries, kEntries}));

    // Full table: the add fails, the line says so, the count is notified.
    notify_rec::reset();
    for (int i = 0; i < MD_MAX_NBR - 2; ++i)
        ASSERT_EQ(mdlt_add(100 + i), 0);
    log = logged([] { tr111_callback_new_tr69_device(9); });
    EXPECT_EQ(mdlt_count(9), 0);
    EXPECT_TRUE(has(log, "device : 9 fail to add device in mdlt\n")) << log;
    EXPECT_TRUE(has(log, "device : 9 with status updated\n")) << log;
    EXPECT_EQ(notify_rec::summary(), Strings{kEntries});
}

TEST_F(Events, RecordDeleted) {
    attr_fake::set(1, 0, 2);
    int32_t ret = 0;
    EXPECT_EQ(logged([&] { ret = tr111_callback_remove_tr69_device(-1); }), "");
    EXPECT_EQ(ret, -1);

    // With an entry: freed quietly.
    ASSERT_EQ(mdlt_add(4), 0);
    std::string log = logged([] { tr111_callback_remove_tr69_device(4); });
    EXPECT_EQ(mdlt_count(4), 0);
    EXPECT_TRUE(has(log, "tr111_callback_remove_tr69_device \n")) << log;
    EXPECT_FALSE(has(log, "fail to delete")) << log;
    EXPECT_EQ(notify_rec::summary(), Strings{kEntries});
}

TEST_F(Events, PlainDeviceReleasedThenItsRecordDeleted) {
    // The whole road through the change messages: plain TR-111 device 5 with
    // lease 2 is active; the lease is released, which forgets the device at
    // once; the record's deletion then finds no entry but still notifies.
    attr_fake::set(1, 0, 2);
    ASSERT_TRUE(db_set({{kDev + "5/MacAddress", "aa:bb:cc:00:00:05"},
                        {kDev + "5/type", "1"},
                        {kLease + "2/hardware_mac", "aa:bb:cc:00:00:05"},
                        {kLease + "2/ip", "192.168.1.5"}}));
    ASSERT_EQ(md_initilize(), 0);
    auto send = [](const std::string& path, char action, const std::string& param) {
        auto p = change_payload(path, action, param);
        return tr111_callback_for_MSG_CHANGE_DB(nullptr, p.data(), static_cast<uint32_t>(p.size()));
    };
    EXPECT_EQ(send(kLease, 'C', "2"), 0);
    EXPECT_EQ(mdlt_status(5), 1);

    std::string log = logged([&] { EXPECT_EQ(send(kLease + "2/valid_time", 'U', "0"), 0); });
    EXPECT_TRUE(has(log, "event code = 4 \n")) << log;
    EXPECT_EQ(mdlt_count(5), 0);
    bool present = true;
    db_get(kDev + "5/type", &present);
    EXPECT_FALSE(present);
    EXPECT_TRUE(notify_rec::events().empty());

    log = logged([&] { EXPECT_EQ(send(kDev, 'D', "5"), 0); });
    EXPECT_TRUE(has(log, "event code = 8 \n")) << log;
    EXPECT_TRUE(has(log, "device : 5 fail to delete device in mdlt\n")) << log;
    EXPECT_EQ(notify_rec::summary(), Strings{kEntries});
}
