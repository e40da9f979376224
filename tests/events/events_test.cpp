// Device and DHCP event handlers against a real configuration server: the
// dispatch, the argument guards and failure lines of each handler, and the
// notifications that still go out after a failure. Their ordinary road from
// a configuration change is in tests/notify (ChangesByPath) and tests/road.
#include "tests/notify/notify_support.h"

using namespace tr111test;

namespace {

const std::string kDev = "/KELMO/TR111/ManageableDevice/";
const std::string kMd = "InternetGatewayDevice.ManagementServer.ManageableDevice";
const std::string kEntries = kMd + "NumberOfEntries 2";

class Events : public NotifyTest {};

} // namespace

TEST_F(Events, DispatchGuardsAndFailureLines) {
    // No row: nothing called, nothing printed. A row: its line under the
    // change handling's module, then the handler, whose result comes back.
    for (int32_t ev : {0, 9, -1})
        EXPECT_EQ(logged([&] { EXPECT_EQ(event_call_back(ev, 3), 0); }), "") << ev;
    std::string log = logged([] { EXPECT_EQ(event_call_back(2, -2), -1); });
    EXPECT_TRUE(has(log, "TR111_notif[") && has(log, "] In event_call_back: event code = 2 \n"));
    EXPECT_TRUE(has(log, "In tr111_callback_renew_dhcp: invalid device id :-2 \n"));

    // Handlers on a refused id (-1; any negative for three of them), and on
    // device 7, a plain TR-111 record without a table entry:
    // "" means refused without a line. The DHCP events notify nothing.
    using H = int32_t (*)(int32_t);
    const std::tuple<H, int32_t, const char*> cases[] = {
        {tr111_callback_new_dhcp, -1, ""},
        {tr111_callback_device_ip_change, -1, ""},
        {tr111_callback_renew_dhcp, -1, "invalid device id :-1 \n"},
        {tr111_callback_expire_dhcp, -2, "invalid device id :-2 \n"},
        {tr111_callback_release_dhcp, -2, "invalid device id :-2 \n"},
        {tr111_callback_new_dhcp, -2, "md_refresh_status failed ret_code : -2 \n"},
        {tr111_callback_renew_dhcp, 7, " md_refresh_status failed ret_code : -2 \n"},
        {tr111_callback_expire_dhcp, 7, "md_refresh_status failed code error : -2 \n"},
        {tr111_callback_release_dhcp, 7, "error md_refresh_status for device 7 ret_code= -2 \n"},
    };
    for (auto [handler, id, line] : cases) {
        db_set({{kDev + "7/type", "1"}}); // a release forgets it
        log = logged([&, h = handler, i = id] { EXPECT_LT(h(i), 0) << line; });
        EXPECT_TRUE(*line ? has(log, line) : log.empty()) << line << log;
        EXPECT_FALSE(std::string(line).starts_with("invalid") && has(log, "md_refresh")) << log;
    }
    EXPECT_TRUE(notify_rec::events().empty());
}

TEST_F(Events, NotificationsGoOutAfterFailures) {
    for (auto [id, instance] : {std::pair{1u, 0u}, {9u, 2u}, {9u, 3u}, {10u, 2u}, {10u, 3u}})
        set_attr(id, instance, 2);
    // Device 1 has no rule; device 2 has rule 5 and no lease: the rule is
    // left as it is, the URL still notified.
    device(1, "1");
    device(2, "0", {{"Crpt_Id", "5"}});
    db_set({{"/fw/rule/loc_srv/5/rdir/item/0/hostname", "192.168.1.60"}});
    std::string log = logged([] { tr111_callback_device_ip_change(1); });
    EXPECT_TRUE(has(log, "md_get_crpt_id  failed \n")) << log;
    tr111_callback_device_ip_change(2);
    EXPECT_EQ(db_get("/fw/rule/loc_srv/0/rdir/item/0/hostname"), "(absent)");
    EXPECT_EQ(db_get("/fw/rule/loc_srv/5/rdir/item/0/hostname"), "192.168.1.60");
    EXPECT_EQ(notify_rec::summary(), (Strings{kMd + ".2.DeviceConnectionRequestURL 2",
                                              kMd + ".3.DeviceConnectionRequestURL 2"}));

    // A record added twice: two entries, each add notifies the count. A full
    // table: the add fails with a line, the count is still notified. A
    // deletion without an entry: a line, the count notified.
    notify_rec::reset();
    tr111_callback_new_tr69_device(6);
    tr111_callback_new_tr69_device(6);
    EXPECT_EQ(mdlt_count(6), 2);
    for (int i = 0; i < MD_MAX_NBR - 2; ++i)
        ASSERT_EQ(mdlt_add(100 + i), 0);
    log = logged([] {
        tr111_callback_new_tr69_device(9);
        tr111_callback_remove_tr69_device(8);
    });
    EXPECT_EQ(mdlt_count(9), 0);
    EXPECT_TRUE(has(log, "device : 9 fail to add device in mdlt\n")) << log;
    EXPECT_TRUE(has(log, "device : 8 fail to delete device in mdlt\n")) << log;
    EXPECT_EQ(notify_rec::summary(), (Strings{kEntries, kEntries, kEntries, kEntries}));
}
