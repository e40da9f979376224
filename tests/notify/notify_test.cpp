// Value-change notification: attributes, the shared limit on active
// notifications with a test clock, the event record, failures, start-up.
#include "notify/notify.h"

#include "datamodel/datamodel.h"
#include "registry/md.h"
#include "tests/notify/notify_support.h"
#include "tests/support/capture.h"
#include "tests/support/wire.h"
#include "tr69/tr69_dm.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace tr111test;

namespace {

using Strings = std::vector<std::string>;
const std::string kPrefix = "InternetGatewayDevice.ManagementServer.";

class Notify : public DaemonFixture {
  protected:
    // Notifies at the given clock reading; true when an event went out.
    bool at(time_t now, uint32_t id, uint32_t instance) {
        test_clock_now = now;
        size_t before = notify_rec::events().size();
        EXPECT_EQ(Notify_by_index(id, instance), 0);
        return notify_rec::events().size() == before + 1;
    }
};

} // namespace

TEST_F(Notify, AttributeDecides) {
    // Nothing stored: off.
    EXPECT_FALSE(at(1000, TR111_ID_ACTIVE, 3));
    attr_fake::set(6, 3, 1);
    EXPECT_FALSE(at(1000, TR111_ID_ACTIVE, 3));

    // Passive: sent with its attribute; never limited and never moving the
    // last active time, whatever the limit.
    attr_fake::set(6, 3, 2);
    ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", "60"}}));
    tr111_last_active_notif = 1000;
    EXPECT_TRUE(at(1000, TR111_ID_ACTIVE, 3));
    EXPECT_TRUE(at(1001, TR111_ID_ACTIVE, 3));
    EXPECT_EQ(tr111_last_active_notif, 1000u);
    EXPECT_EQ(notify_rec::summary(), (Strings{kPrefix + "ManageableDevice.3.Active 2",
                                              kPrefix + "ManageableDevice.3.Active 2"}));

    // Another instance has attributes of its own.
    EXPECT_FALSE(at(1002, TR111_ID_ACTIVE, 4));

    // Parameters without an instance: the instance number is ignored for the
    // name and the attribute key.
    notify_rec::reset();
    attr_fake::set(1, 0, 2);
    attr_fake::set(2, 0, 2);
    EXPECT_TRUE(at(1003, TR111_ID_NBR_ENTRIES, 7));
    EXPECT_TRUE(at(1003, TR111_ID_NOTIF_LIMIT, 0));
    EXPECT_EQ(notify_rec::summary(), (Strings{kPrefix + "ManageableDeviceNumberOfEntries 2",
                                              kPrefix + "ManageableDeviceNotificationLimit 2"}));

    // An id no row carries notifies nothing, and reads no attribute.
    attr_fake::set(11, 3, 2);
    EXPECT_FALSE(at(1004, 11, 3));

    // The attribute was read for the parameter id and the instance array
    // (instance, 0, 0, 0, 0), or all 0 without an instance.
    EXPECT_EQ(attr_fake::reads(),
              (Strings{"6/3.0.0.0.0", "6/3.0.0.0.0", "6/3.0.0.0.0", "6/3.0.0.0.0", "6/4.0.0.0.0",
                       "1/0.0.0.0.0", "2/0.0.0.0.0"}));
}

TEST_F(Notify, ActiveLimitIsSharedByAllParametersAndInstances) {
    attr_fake::set(6, 1, 3);
    attr_fake::set(6, 2, 3);
    attr_fake::set(9, 2, 3);
    attr_fake::set(1, 0, 3);
    ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", "60"}}));
    const time_t T = 1700000000;
    DebugSwitches sw(1, 3);
    CaptureStdout cap;
    EXPECT_TRUE(at(T, TR111_ID_ACTIVE, 1));
    EXPECT_EQ(tr111_last_active_notif, static_cast<uint32_t>(T));
    EXPECT_FALSE(at(T + 10, TR111_ID_ACTIVE, 1));     // dropped for good
    EXPECT_FALSE(at(T + 10, TR111_ID_ACTIVE, 2));     // another instance
    EXPECT_FALSE(at(T + 59, TR111_ID_DEV_CR_URL, 2)); // another parameter
    EXPECT_FALSE(at(T + 59, TR111_ID_NBR_ENTRIES, 0));
    EXPECT_EQ(tr111_last_active_notif, static_cast<uint32_t>(T));
    EXPECT_TRUE(at(T + 60, TR111_ID_DEV_CR_URL, 2));
    EXPECT_EQ(tr111_last_active_notif, static_cast<uint32_t>(T + 60));
    EXPECT_FALSE(at(T + 100, TR111_ID_ACTIVE, 2));
    EXPECT_EQ(notify_rec::summary(),
              (Strings{kPrefix + "ManageableDevice.1.Active 3",
                       kPrefix + "ManageableDevice.2.DeviceConnectionRequestURL 3"}));
    std::string log = cap.text();
    EXPECT_NE(log.find(" get_notification_limit = 60\n"), std::string::npos) << log;
    EXPECT_NE(log.find("current time =1700000010\tnotif time =1700000000 \n"), std::string::npos);
    EXPECT_NE(log.find("Active Notification available for index = 9\n"), std::string::npos);
    EXPECT_NE(
        log.find("parameter is " + kPrefix + "ManageableDevice.2.DeviceConnectionRequestURL\r\n"),
        std::string::npos);
}

TEST_F(Notify, LimitZeroAndTheFirstNotification) {
    attr_fake::set(6, 1, 3);
    ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", "0"}}));
    // Limit 0: every active notification goes, also at the same second...
    EXPECT_TRUE(at(5000, TR111_ID_ACTIVE, 1));
    EXPECT_TRUE(at(5000, TR111_ID_ACTIVE, 1));
    // ...unless the clock reads earlier than the last one.
    EXPECT_FALSE(at(4999, TR111_ID_ACTIVE, 1));
    EXPECT_EQ(tr111_last_active_notif, 5000u);

    // The first after start (last time 0) goes once now reaches the limit.
    tr111_last_active_notif = 0;
    ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", "100"}}));
    EXPECT_FALSE(at(99, TR111_ID_ACTIVE, 1));
    EXPECT_TRUE(at(100, TR111_ID_ACTIVE, 1));
}

TEST_F(Notify, LimitThatCannotBeReadIsZero) {
    DebugSwitches sw(1, 0);
    {
        CaptureStdout cap;
        EXPECT_EQ(get_notification_limit(), 0);
        EXPECT_NE(cap.text().find("Error in read DB_MANAGEABLE_DEVICE_NOTIF_LIMIT \n"),
                  std::string::npos)
            << cap.text();
    }
    for (auto text : {"abc", "60s", " ", "99999999999"}) {
        ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", text}}));
        CaptureStdout cap;
        EXPECT_EQ(get_notification_limit(), 0) << text;
        EXPECT_NE(cap.text().find("invalid notification limit value \n"), std::string::npos)
            << text << cap.text();
    }
    ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", "-10"}}));
    EXPECT_EQ(get_notification_limit(), -10);

    // A limit text that is not a number lets every active notification go.
    attr_fake::set(6, 1, 3);
    ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", "soon"}}));
    EXPECT_TRUE(at(2000, TR111_ID_ACTIVE, 1));
    EXPECT_TRUE(at(2000, TR111_ID_ACTIVE, 1));
}

TEST_F(Notify, NegativeLimitWrapsAsUnsigned) {
    attr_fake::set(6, 1, 3);
    ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", "-10"}}));
    // From start: 0 + 0xFFFFFFF6 is later than any clock reading below it.
    EXPECT_FALSE(at(1700000000, TR111_ID_ACTIVE, 1));
    EXPECT_EQ(tr111_last_active_notif, 0u);
    // After a notification at 1000 the sum wraps to 990.
    tr111_last_active_notif = 1000;
    EXPECT_FALSE(at(989, TR111_ID_ACTIVE, 1));
    EXPECT_TRUE(at(990, TR111_ID_ACTIVE, 1));
    EXPECT_EQ(tr111_last_active_notif, 990u);
    // Clock readings beyond 32 bits are taken modulo 2^32.
    ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", "0"}}));
    tr111_last_active_notif = 0;
    EXPECT_TRUE(at(static_cast<time_t>(0x100000005LL), TR111_ID_ACTIVE, 1));
    EXPECT_EQ(tr111_last_active_notif, 5u);
}

TEST_F(Notify, EventRecordBytes) {
    attr_fake::set(8, 127, 2);
    ASSERT_TRUE(at(1000, TR111_ID_CRPT_ENABLE, 127));
    NotifyEvent e = notify_rec::events().at(0);
    ASSERT_EQ(e.code.size(), 104u);
    ASSERT_EQ(e.param.size(), 258u);
    std::vector<uint8_t> code(104, 0);
    memcpy(code.data(), "4 VALUE CHANGE", 14);
    EXPECT_EQ(e.code, code);
    std::vector<uint8_t> param(258, 0);
    std::string name = kPrefix + "ManageableDevice.127.ConnectionRequestPassThroughEnable";
    memcpy(param.data(), name.data(), name.size());
    param[257] = 2;
    EXPECT_EQ(e.param, param);

    // A name of 256 characters or more keeps its terminator in the field.
    notify_rec::reset();
    std::string longname(300, 'n');
    EXPECT_EQ(TR69notify(longname.c_str(), 3), 0);
    e = notify_rec::events().at(0);
    EXPECT_EQ(e.name(), std::string(256, 'n'));
    EXPECT_EQ(e.param[256], 0);
    EXPECT_EQ(e.attribute(), 3);
}

TEST_F(Notify, FailuresAreLoggedAndDropped) {
    attr_fake::set(6, 1, 3);
    ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", "60"}}));
    // The library refuses the event: TR69notify fails, the last time stays.
    notify_rec::set_result(-4);
    DebugSwitches sw(1, 0);
    {
        CaptureStdout cap;
        EXPECT_TRUE(at(5000, TR111_ID_ACTIVE, 1));
        EXPECT_EQ(tr111_last_active_notif, 5000u);
        EXPECT_NE(cap.text().find("TR69 notify event failed: failure code=-4\r\n"),
                  std::string::npos)
            << cap.text();
    }
    EXPECT_EQ(TR69notify("x", 2), -1);
    EXPECT_FALSE(at(5030, TR111_ID_ACTIVE, 1));

    // An attribute that cannot be read counts as off; its line needs a
    // non-zero debug level.
    attr_fake::fail(7, 1);
    {
        CaptureStdout cap;
        EXPECT_FALSE(at(9000, TR111_ID_RETAIN, 1));
        EXPECT_EQ(cap.text().find("attribute notification error"), std::string::npos);
    }
    {
        DebugSwitches one(1, 1);
        CaptureStdout cap;
        EXPECT_FALSE(at(9000, TR111_ID_RETAIN, 1));
        EXPECT_NE(cap.text().find("attribute notification error : " + kPrefix +
                                  "ManageableDevice.1.RetainDeviceEntry\n"),
                  std::string::npos)
            << cap.text();
    }
}

TEST_F(Notify, InitCreatesTheDeviceSetOnce) {
    request_list.next = request_list.prev = nullptr;
    WireLog wire;
    DebugSwitches sw(1, 3);
    {
        CaptureStdout cap;
        init_notification();
        EXPECT_NE(cap.text().find("Creating ManageableDevice Path \n"), std::string::npos);
    }
    EXPECT_EQ(request_list.next, &request_list);
    EXPECT_EQ(request_list.prev, &request_list);
    int32_t ids[MD_MAX_NBR];
    EXPECT_EQ(md_get_list(ids), 0);
    bool present = false;
    db_get("/KELMO/TR111/ManageableDevice/", &present);
    EXPECT_TRUE(present);
    auto w = wire.written();
    // The creation is applied: ... "reconf", 4, "close".
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(
        Strings(w.begin(), w.begin() + 9),
        (Strings{"rg_conf_get_exist", "/KELMO/TR111/ManageableDevice/", "rg_conf_set_path_value",
                 "/KELMO/TR111/", "ManageableDevice", "reconf", "#4", "close", "|"}));

    // Present: read and closed without reconfiguration.
    wire.clear();
    {
        CaptureStdout cap;
        init_notification();
        EXPECT_EQ(cap.text().find("Creating"), std::string::npos);
    }
    EXPECT_EQ(wire.written(),
              (Strings{"rg_conf_get_exist", "/KELMO/TR111/ManageableDevice/", "close", "|"}));
}

TEST_F(Notify, InitWithoutServer) {
    confd_->stop(true);
    DebugSwitches sw(1, 0);
    {
        CaptureStdout cap;
        init_notification();
        std::string log = cap.text();
        EXPECT_EQ(log.rfind("TR111_atomicity[", 0), 0u) << log;
        EXPECT_NE(log.find("unable to open Tamrix database \n"), std::string::npos);
    }
    EXPECT_EQ(request_list.next, &request_list);
    // Notifications go on without a server: nothing can be read, nothing sent.
    EXPECT_FALSE(at(1000, TR111_ID_ACTIVE, 1));
    ASSERT_TRUE(confd_->start());
}

TEST_F(Notify, EndToEndFromAttributeStoreToAgent) {
    // Attributes set the way the ACS sets them, kept in the configuration
    // database; events through the real library to the TR-069 agent.
    Background agent(program("tr69agent"), confd_->state_dir() + "/tr69agent.log");
    ASSERT_TRUE(wait_port(TR69_AGENT_PORT, 10000));
    ASSERT_EQ(tr69_open_channel_use_rx_mbx("TR111", getChannelId(), -1), 0);
    notify_rec::set_forward(true);
    attr_fake::use_store(true);
    char out[TR111_VALUE_SIZE] = {};
    const uint32_t inst3[5] = {3, 0, 0, 0, 0};
    const char passive[2] = {2, 0}, active[2] = {3, 0};
    ASSERT_EQ(TR69set_attribute("", inst3, TR111_ID_ACTIVE, passive, out), 0);
    ASSERT_EQ(TR69set_attribute("", inst3, TR111_ID_RETAIN, active, out), 0);
    ASSERT_TRUE(db_set({{"/KELMO/TR111/MDNotificationLimit", "60"}}));
    EXPECT_TRUE(at(1000, TR111_ID_RETAIN, 3));
    EXPECT_FALSE(at(1010, TR111_ID_RETAIN, 3));
    EXPECT_FALSE(at(1010, TR111_ID_ACTIVE, 2));
    EXPECT_TRUE(at(1010, TR111_ID_ACTIVE, 3));
    // Events travel in order on the channel: once the passive one is there,
    // the dropped active one would have been there before it.
    RunResult r;
    EXPECT_TRUE(eventually([&] {
        r = run_program("acs", {"events"});
        return lines(r.out).size() >= 2;
    })) << r.out
        << r.err;
    EXPECT_EQ(lines(r.out),
              (Strings{"4 VALUE CHANGE " + kPrefix + "ManageableDevice.3.RetainDeviceEntry 3",
                       "4 VALUE CHANGE " + kPrefix + "ManageableDevice.3.Active 2"}));
}
