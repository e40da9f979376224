// Faults through the real stand-ins: the configuration server killed in the
// middle of traffic and restarted, or stalling; the TR-069 agent killed, or
// sending garbage, or stalling in the middle of a frame, or no longer
// reading; garbage and half frames on the daemon's mailbox. The daemon must
// fail what is in flight with its fault code, leak no descriptor, resume,
// and never stay blocked where a bound exists; when its TR-069 channel
// dies, it ends with status 255.
#include "bench/footprint/loadgen.h"
#include "platform/include/tr69_lib.h"
#include "tests/faults/faults_support.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tr111test;
using namespace tr111load;

namespace {

const std::string IGD_MS = "InternetGatewayDevice.ManagementServer.";
const std::string MD = IGD_MS + "ManageableDevice.";

int fault_of(const AcsResult& r) {
    return r.outcome == 1 ? r.fault : -r.outcome;
}

int raw_connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The lab up with the daemon's debug output, seeded with devices whose
// creation the agent has been told of (NumberOfEntries is passive).
void lab_with_devices(Lab& lab, int devices) {
    lab.up({"--debug", "3"});
    ASSERT_TRUE(seed(devices));
    ASSERT_TRUE(eventually([&] { return agent_events() >= devices; }, 60000));
}

} // namespace

TEST(Faults, ConfdKilledInTrafficThenRestarted) {
    Lab lab;
    lab_with_devices(lab, 4);
    const int daemon = lab_pid(lab, "tr111d");
    const std::string log = lab.dir() + "/log/tr111d.log";
    Mailbox mb;
    ASSERT_TRUE(mb.ok());
    ASSERT_TRUE(mb.send(quiet_change()));
    ASSERT_EQ(
        acs(AcsOp::set, MD + "1.DeviceConnectionRequestURL", "http://192.0.2.20:7547/cr").outcome,
        0);
    ASSERT_EQ(acs(AcsOp::get, MD + "1.SerialNumber").value, "SN-0");
    const int fds = fd_count(daemon);
    ASSERT_GT(fds, 0);

    // ACS operations and CHANGE_DB messages keep coming while confd dies.
    std::atomic<bool> stop{false};
    LoopCounts counts;
    std::thread ops([&] { acs_loop(4, stop, 0, counts); });
    std::atomic<int> sent{0};
    std::thread changes([&] {
        for (int i = 1; !stop; ++i)
            sent += mb.send(burst_change(i, 4)) ? 1 : 0;
    });
    ASSERT_TRUE(eventually([&] { return counts.done > 20 && sent > 50; }, 60000));
    ASSERT_TRUE(lab_kill(lab, "confd"));
    int done_at_kill = counts.done;
    ASSERT_TRUE(eventually([&] { return counts.done > done_at_kill + 20; }, 60000));
    stop = true;
    ops.join();
    changes.join();

    // With confd gone, every operation fails with the internal error.
    EXPECT_EQ(fault_of(acs(AcsOp::get, MD + "1.SerialNumber")), 9002);
    EXPECT_EQ(fault_of(acs(AcsOp::get, IGD_MS + "ManageableDeviceNumberOfEntries")), 9002);
    EXPECT_EQ(fault_of(acs(AcsOp::instances, MD)), 9002);
    EXPECT_EQ(fault_of(acs(AcsOp::get, IGD_MS + "ManageableDeviceNotificationLimit")), 9002);
    EXPECT_EQ(fault_of(acs(AcsOp::set, IGD_MS + "ManageableDeviceNotificationLimit", "5")), 9002);
    EXPECT_EQ(fault_of(acs(AcsOp::get, MD + "1.DeviceConnectionRequestURL")), 9002);
    // Events are still taken, and fail inside.
    size_t events = count_in_file(log, "event code = ");
    ASSERT_TRUE(mb.send(burst_change(1000001, 0)));
    EXPECT_TRUE(eventually([&] { return count_in_file(log, "event code = ") > events; }));
    EXPECT_EQ(kill(daemon, 0), 0) << "the daemon ended";
    EXPECT_GT(counts.failed, 0);

    // confd back on its state folder: service resumes with what was committed.
    lab.up();
    EXPECT_TRUE(
        eventually([&] { return acs(AcsOp::get, MD + "1.SerialNumber").value == "SN-0"; }, 30000));
    EXPECT_EQ(acs(AcsOp::get, MD + "4.SerialNumber").value, "SN-3");
    EXPECT_EQ(acs(AcsOp::get, MD + "1.DeviceConnectionRequestURL").value,
              "http://192.0.2.20:7547/cr");
    EXPECT_EQ(acs(AcsOp::get, IGD_MS + "ManageableDeviceNumberOfEntries").value, "4");
    EXPECT_EQ(acs(AcsOp::set, IGD_MS + "ManageableDeviceNotificationLimit", "0").outcome, 0);
    int before = agent_events();
    ASSERT_TRUE(mb.send(burst_change(2000000, 0)));
    EXPECT_TRUE(eventually([&] { return agent_events() > before; }));
    EXPECT_EQ(kill(daemon, 0), 0);
    // Every handle of the outage was closed.
    EXPECT_TRUE(eventually([&] { return fd_count(daemon) == fds; })) << fd_count(daemon);
}

TEST(Faults, ConfdThatStallsFailsOperationsWithinTheTimeout) {
    Lab lab;
    lab_with_devices(lab, 2);
    const int daemon = lab_pid(lab, "tr111d");
    const std::string log = lab.dir() + "/log/tr111d.log";
    Mailbox mb;
    ASSERT_TRUE(mb.ok());
    ASSERT_TRUE(mb.send(quiet_change()));
    const int fds = fd_count(daemon);
    ASSERT_TRUE(lab_kill(lab, "confd"));
    {
        StalledConfd stalled;
        ASSERT_TRUE(stalled.listening());
        // Each database exchange gives up after the client's 5 s timeout.
        EXPECT_EQ(fault_of(acs(AcsOp::get, MD + "1.SerialNumber")), 9002);
        EXPECT_EQ(fault_of(acs(AcsOp::instances, MD)), 9002);
        EXPECT_EQ(fault_of(acs(AcsOp::get, IGD_MS + "ManageableDeviceNotificationLimit")), 9002);
        EXPECT_GE(stalled.accepted(), 3);
        // A change is taken and its lookups time out too; the next one is
        // taken after it.
        size_t tlv = count_in_file(log, "TLV3 change->Param_name = ");
        ASSERT_TRUE(mb.send(burst_change(0, 0)));
        ASSERT_TRUE(mb.send(burst_change(1, 0)));
        EXPECT_TRUE(eventually(
            [&] { return count_in_file(log, "TLV3 change->Param_name = ") == tlv + 2; }, 30000));
    }
    {
        // A reply that trickles in fails as well: an item, once begun, must
        // arrive whole within the timeout.
        StalledConfd trickling(true);
        ASSERT_TRUE(trickling.listening());
        EXPECT_EQ(fault_of(acs(AcsOp::get, MD + "1.SerialNumber")), 9002);
    }
    lab.up();
    EXPECT_TRUE(
        eventually([&] { return acs(AcsOp::get, MD + "2.SerialNumber").value == "SN-1"; }, 30000));
    EXPECT_EQ(kill(daemon, 0), 0);
    EXPECT_TRUE(eventually([&] { return fd_count(daemon) == fds; })) << fd_count(daemon);
}

TEST(Faults, AgentKilledEndsTheDaemonWith255) {
    OwnDaemon own;
    ASSERT_TRUE(own.start());
    own.confd().set("/KELMO/TR111/attrib/1/", "2");
    ASSERT_EQ(acs(AcsOp::get, IGD_MS + "ManageableDeviceNumberOfEntries").value, "0");
    // Notifications on their way to the agent from the receive thread while
    // it dies.
    Mailbox mb;
    ASSERT_TRUE(mb.ok());
    std::atomic<bool> stop{false};
    std::thread changes([&] {
        for (int i = 0; !stop && mb.send(burst_change(i, 0)); ++i) {
        }
    });
    ASSERT_TRUE(eventually([] { return agent_events() > 20; }, 30000));
    own.agent()->signal(SIGKILL);
    EXPECT_EQ(own.daemon().wait(60000), 255) << own.log();
    stop = true;
    changes.join();
    EXPECT_NE(own.log().find("receiving data msg from tr69 failed"), std::string::npos);
}

TEST(Faults, GarbageAndHalfFramesOnTheMailbox) {
    Lab lab;
    lab_with_devices(lab, 1);
    const int daemon = lab_pid(lab, "tr111d");
    const std::string log = lab.dir() + "/log/tr111d.log";
    Mailbox mb;
    ASSERT_TRUE(mb.ok());
    ASSERT_TRUE(mb.send(burst_change(0, 0)));

    // Bytes that are no frame at all, and a length beyond the largest payload.
    int junk = raw_connect(DAEMON_MAILBOX_PORT);
    ASSERT_GE(junk, 0);
    const char http[] = "GET / HTTP/1.0\r\n\r\n";
    send(junk, http, sizeof http - 1, MSG_NOSIGNAL);
    int big = raw_connect(DAEMON_MAILBOX_PORT);
    const uint8_t huge[] = {'M', 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0x07, 0xD6, 0x7F, 0xFF, 0xFF, 0xFF};
    send(big, huge, sizeof huge, MSG_NOSIGNAL);
    // A message cut short, its peer silent from then on.
    int half = raw_connect(DAEMON_MAILBOX_PORT);
    const uint8_t part[] = {'M', 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0x07, 0xD6, 0, 0, 0, 40, 'P'};
    send(half, part, sizeof part, MSG_NOSIGNAL);

    // The others are served meanwhile.
    size_t tlv = count_in_file(log, "TLV3 change->Param_name = ");
    ASSERT_TRUE(mb.send(burst_change(1, 0)));
    EXPECT_TRUE(
        eventually([&] { return count_in_file(log, "TLV3 change->Param_name = ") == tlv + 1; }));
    EXPECT_EQ(acs(AcsOp::get, MD + "1.SerialNumber").value, "SN-0");
    EXPECT_TRUE(eventually([&] { return count_in_file(log, "connection dropped") >= 2; }));
    // The silent one goes after the library's stall limit.
    EXPECT_TRUE(
        eventually([&] { return count_in_file(log, "peer stalled inside a frame") == 1; }, 30000))
        << lab.log("tr111d");
    for (int fd : {junk, big, half})
        close(fd);
    ASSERT_TRUE(mb.send(burst_change(2, 0)));

    // Idle connections beyond the mailbox's 64: each new one takes the
    // place of the one idle the longest, so senders still get through (the
    // one whose connection went reconnects).
    std::vector<int> idle;
    for (int i = 0; i < 70; ++i)
        idle.push_back(raw_connect(DAEMON_MAILBOX_PORT));
    Mailbox other;
    ASSERT_TRUE(other.ok());
    tlv = count_in_file(log, "TLV3 change->Param_name = ");
    ASSERT_TRUE(other.send(burst_change(3, 0)));
    ASSERT_TRUE(mb.send(burst_change(4, 0)));
    EXPECT_TRUE(
        eventually([&] { return count_in_file(log, "TLV3 change->Param_name = ") == tlv + 2; }));
    EXPECT_GE(count_in_file(log, "the one idle longest is closed"), 7u);
    for (int fd : idle)
        close(fd);
    EXPECT_EQ(acs(AcsOp::get, MD + "1.SerialNumber").value, "SN-0");
    EXPECT_EQ(kill(daemon, 0), 0);
}

TEST(Faults, BrokenAgentChannelEndsTheDaemonWith255) {
    for (auto mode :
         {BadAgent::Mode::garbage, BadAgent::Mode::half_frame, BadAgent::Mode::no_reading}) {
        SCOPED_TRACE(static_cast<int>(mode));
        BadAgent agent(mode);
        OwnDaemon own(false);
        own.confd().set("/KELMO/TR111/attrib/1/", "2");
        ASSERT_TRUE(own.start());
        ASSERT_TRUE(agent.wait_registered(10000));
        agent.misbehave();
        std::atomic<bool> stop{false};
        std::thread changes;
        if (mode == BadAgent::Mode::no_reading) {
            // Notifications pile up until the agent's buffers are full.
            changes = std::thread([&] {
                Mailbox mb;
                for (int i = 0; !stop; ++i)
                    mb.send(burst_change(i, 0));
            });
        }
        // Bounded: a stalled frame or a send not taken fails after 10 s.
        EXPECT_EQ(own.daemon().wait(90000), 255) << own.log();
        stop = true;
        if (changes.joinable()) changes.join();
        EXPECT_NE(own.log().find("receiving data msg from tr69 failed"), std::string::npos);
    }
}

// A request is answered with the internal error unless it names a handler
// the daemon registered: a reference to a name or one never issued is not
// followed (calling it crashed the daemon).
TEST(Faults, RequestsForUnregisteredHandlersAreRefused) {
    BadAgent agent(BadAgent::Mode::stray);
    OwnDaemon own(false);
    ASSERT_TRUE(own.start());
    ASSERT_TRUE(agent.wait_registered(10000));
    auto registered = [&](uint32_t w) {
        for (uint32_t h : agent.handlers())
            if (h == w) return true;
        return false;
    };
    ASSERT_GE(agent.handlers().size(), 20u);
    int asked = 0;
    for (uint32_t word = 0; word <= TR69_REF_MAX + 1; ++word) {
        if (registered(word)) continue;
        ASSERT_EQ(agent.request(word), 9002) << "handler word " << word;
        ++asked;
    }
    EXPECT_EQ(agent.request(0xFFFFFFFFu), 9002);
    EXPECT_GT(asked, 200);
    // The access-list getter of the first row: 0 without any database.
    EXPECT_EQ(agent.request(agent.handlers()[3]), 0);
    EXPECT_TRUE(own.daemon().running());
    EXPECT_NE(own.log().find("names no registered handler"), std::string::npos);
}
