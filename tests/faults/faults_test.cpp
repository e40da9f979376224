// Faults through the real stand-ins (confd killed or stalling, the TR-069 agent
// killed or breaking its channel, junk on the daemon's mailbox): what is in flight
// fails with its code, no descriptor leaks, service resumes, every wait is bounded,
// a dead TR-069 channel ends the daemon with 255. And 10,000 changes under load.
#include "bench/footprint/loadgen.h"
#include "platform/include/ipc.h"
#include "platform/include/tr69_lib.h"
#include "platform/include/tr69_wire.h"
#include "tests/support/confd.h"
#include "tests/support/lab.h"
#include "tests/support/net.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <numeric>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tr111test;
using namespace tr111load;
using namespace std::literals;

namespace {

const std::string MS = "InternetGatewayDevice.ManagementServer.";
const std::string SN1 = MS + "ManageableDevice.1.SerialNumber";
const std::string TLV = "TLV3 change->Param_name = "; // one line per change handled

// Open descriptors of a process; -1 once it is gone.
int fds_of(int pid) {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
    return ec ? -1 : static_cast<int>(std::distance(it, {}));
}

// The whole lab, the daemon with its debug output, seeded with devices
// the agent has been told of (device i+1 has SerialNumber "SN-i").
struct LabRun : Lab {
    int daemon = -1;
    void start(int devices) {
        up({"--debug", "3"});
        ASSERT_TRUE(seed(devices));
        ASSERT_TRUE(eventually([&] { return agent_events() >= devices; }, 60000));
        daemon = pid("tr111d");
    }
    int pid(const std::string& prog) {
        return atoi(read_file(dir() + "/pid/" + prog + ".pid").c_str());
    }
    size_t logged(const std::string& text) { return count(log("tr111d"), text); }
    void kill_confd() {
        int p = pid("confd");
        kill(p, SIGKILL);
        ASSERT_TRUE(eventually([p] { return kill(p, 0) != 0; }));
    }
};

// tr111d run by the test itself (for its exit status) at debug level 3,
// with notifications active, beside a confd, an mgmtd and, unless the test
// plays the agent, a tr69agent.
struct OwnDaemon {
    TempDir dir;
    Confd confd;
    Background mgmtd{program("mgmtd"), dir.path() + "/mgmtd.log"};
    std::unique_ptr<Background> agent, daemon;
    explicit OwnDaemon(bool with_agent) {
        confd.set("KELMO/TR111/tr111_debug", "1");
        confd.set("/KELMO/TR111/attrib/1/", "2");
        wait_port(3490, 10000);
        if (!with_agent) return;
        agent = std::make_unique<Background>(program("tr69agent"), dir.path() + "/agent.log");
        wait_port(TR69_AGENT_PORT, 10000);
    }
    // True once mgmtd reports the daemon started.
    bool start() {
        write_file(dir.path() + "/config.txt", "com_mode 0\n");
        auto argv = program("tr111d");
        argv.insert(argv.begin(), {src("lab/scripts/with-etc-config"), dir.path() + "/config.txt"});
        argv.push_back("3");
        daemon = std::make_unique<Background>(argv, dir.path() + "/tr111d.log");
        return eventually(
            [] { return run_program("mgmt", {"status"}).out.rfind("daemon: started", 0) == 0; },
            30000);
    }
    std::string log() const { return read_file(dir.path() + "/tr111d.log"); }
};

// The TR-069 agent played by the test: answers the daemon's open and
// registrations as tr69agent does, records the handler words registered,
// then leaves the channel to the test (its receive window kept small by rcvbuf).
struct FakeAgent {
    int listener = ipc_listen(TR69_AGENT_PORT);
    int fd = -1;
    std::vector<uint32_t> handlers;
    std::thread thread;
    explicit FakeAgent(int rcvbuf = 0) {
        if (rcvbuf > 0) setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        thread = std::thread([this] {
            int c = accept_within(listener, 60000);
            uint8_t p[TR69_WIRE_MAX_PAYLOAD], type = 0, out[8] = {};
            while (c >= 0 && tr69_wire_recv(c, "OEA", &type, p, 30000) == TR69_WIRE_OK) {
                for (size_t i = 0; type == TR69_FRAME_ENTRY && i < TR69_HANDLER_BLOCK_WORDS; ++i) {
                    uint32_t w = tr69_get_u32(p + TR69_WIRE_NAME + 12 + 4 * i);
                    if (w != 0 && w != TR69_END_MARK) handlers.push_back(w);
                }
                // Each answered by its lower-case frame: result 0, then the
                // open's channel 1 or the rows' "no failing row".
                tr69_put_u32(out + 4, type == TR69_FRAME_OPEN ? 1 : TR69_WIRE_NO_ROW);
                uint8_t answer = static_cast<uint8_t>(type - 'A' + 'a');
                tr69_wire_send(c, answer, std::span(out, tr69_wire_payload_size(answer)));
                if (type != TR69_FRAME_ENTRIES) continue;
                for (uint32_t i = 0; i < std::min(tr69_get_u32(p), 8u);
                     ++i) // atomicity rows, 8 a frame
                    handlers.push_back(
                        tr69_get_u32(p + 4 + i * TR69_WIRE_ATOM_ROW_SIZE + TR69_WIRE_NAME + 12));
                fd = c;
                return;
            }
        });
    }
    ~FakeAgent() {
        if (thread.joinable()) thread.join();
        close(fd);
        close(listener);
    }
    // Sends a request naming handler word: the result of its reply, -1 if none.
    int32_t request(uint32_t word) {
        tr69_request req{};
        SN1.copy(req.name, SN1.size());
        req.handler = word, req.id = 4, req.echo = word, req.instances[0] = 1;
        tr69_wire_send(fd, TR69_FRAME_REQUEST,
                       std::span(reinterpret_cast<const uint8_t*>(&req), sizeof req));
        for (tr69_reply rep;;) {
            uint8_t type = 0;
            if (tr69_wire_recv(fd, "rN", &type,
                               std::span(reinterpret_cast<uint8_t*>(&rep), sizeof rep),
                               20000) != TR69_WIRE_OK)
                return -1;
            if (type == TR69_FRAME_REPLY && rep.echo == req.echo) return rep.result;
        }
    }
};

// A configuration server whose reply trickles in: each connection, once it
// has sent something, gets the start of a 1000-byte string item, then one
// more byte a second.
struct TricklingConfd {
    int listener = ipc_listen(7000);
    std::atomic<bool> stop{false};
    std::thread thread{[this] {
        while (!stop) {
            int c = accept_within(listener, 100);
            pollfd p{c, POLLIN, 0};
            char buf[4096];
            for (bool replying = false; c >= 0 && !stop;) {
                int r = poll(&p, 1, 1000);
                if (r > 0 && recv(c, buf, sizeof buf, 0) <= 0) break;
                if (r > 0 && !replying) replying = send_bytes(c, "S\0\0\x03\xE8"sv);
                if (r == 0 && replying && !send_bytes(c, "x")) break;
            }
            if (c >= 0) close(c);
        }
    }};
    ~TricklingConfd() {
        stop = true;
        thread.join();
        close(listener);
    }
};

} // namespace

TEST(Faults, ConfdKilledInTrafficThenRestarted) {
    LabRun lab;
    ASSERT_NO_FATAL_FAILURE(lab.start(4));
    Mailbox mb;
    ASSERT_TRUE(mb.send(quiet_change()));
    const std::string url = MS + "ManageableDevice.1.DeviceConnectionRequestURL";
    ASSERT_EQ(acs(AcsOp::set, url, "http://192.0.2.20:7547/cr").outcome, 0);
    const int fds = fds_of(lab.daemon);

    // ACS operations and CHANGE_DB messages keep coming while confd dies.
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    LoopCounts counts;
    std::thread ops([&] { acs_loop(4, stop, 0, counts); });
    std::thread changes([&] {
        for (int i = 1; !stop; ++i)
            sent += mb.send(burst_change(i, 4)) ? 1 : 0;
    });
    EXPECT_TRUE(eventually([&] { return counts.done > 20 && sent > 50; }, 60000));
    lab.kill_confd();
    // Both go on: operations fail with the internal error, changes are
    // still taken (each after the previous one's handling ended).
    const int done_at_kill = counts.done, sent_at_kill = sent;
    EXPECT_TRUE(eventually(
        [&] { return counts.done > done_at_kill + 20 && sent > sent_at_kill + 20; }, 60000));
    stop = true;
    ops.join();
    changes.join();
    EXPECT_EQ(acs(AcsOp::get, SN1).fault, 9002);

    // confd back on its state folder: service resumes with what was committed.
    lab.up();
    EXPECT_TRUE(eventually(
        [&] { return acs(AcsOp::get, url).value == "http://192.0.2.20:7547/cr"; }, 30000));
    const int before = agent_events();
    ASSERT_TRUE(mb.send(burst_change(2000000, 0)));
    EXPECT_TRUE(eventually([&] { return agent_events() > before; }));
    // Every handle of the outage was closed.
    EXPECT_TRUE(eventually([&] { return fds_of(lab.daemon) == fds; })) << fds_of(lab.daemon);
}

TEST(Faults, ConfdThatStallsFailsOperationsWithinTheTimeout) {
    LabRun lab;
    ASSERT_NO_FATAL_FAILURE(lab.start(1));
    Mailbox mb;
    ASSERT_TRUE(mb.send(quiet_change()));
    const int fds = fds_of(lab.daemon);
    lab.kill_confd();
    // Connections taken (in the backlog) but never answered: each exchange
    // gives up after the client's 5 s timeout, in an operation as in a
    // change; the next change is taken after it.
    int silent = ipc_listen(7000);
    const size_t seen = lab.logged(TLV);
    ASSERT_TRUE(mb.send(burst_change(0, 0)));
    EXPECT_EQ(acs(AcsOp::get, SN1).fault, 9002);
    EXPECT_TRUE(mb.send(burst_change(1, 0)));
    EXPECT_TRUE(eventually([&] { return lab.logged(TLV) == seen + 2; }, 60000));
    close(silent);
    {
        // An item, once begun, must arrive whole within the timeout.
        TricklingConfd trickling;
        EXPECT_EQ(acs(AcsOp::get, SN1).fault, 9002);
    }
    lab.up();
    EXPECT_TRUE(eventually([&] { return acs(AcsOp::get, SN1).value == "SN-0"; }, 30000));
    EXPECT_TRUE(eventually([&] { return fds_of(lab.daemon) == fds; })) << fds_of(lab.daemon);
}

TEST(Faults, AgentKilledEndsTheDaemonWith255) {
    OwnDaemon own(true);
    ASSERT_TRUE(own.start());
    // Notifications on their way to the agent from the receive thread while it dies.
    Mailbox mb;
    std::atomic<bool> stop{false};
    std::thread changes([&] {
        for (int i = 0; !stop && mb.send(burst_change(i, 0)); ++i) {
        }
    });
    EXPECT_TRUE(eventually([] { return agent_events() > 20; }, 30000));
    own.agent->signal(SIGKILL);
    EXPECT_EQ(own.daemon->wait(60000), 255) << own.log();
    stop = true;
    changes.join();
    EXPECT_NE(own.log().find("receiving data msg from tr69 failed"), std::string::npos);
}

TEST(Faults, GarbageAndHalfFramesOnTheMailbox) {
    LabRun lab;
    ASSERT_NO_FATAL_FAILURE(lab.start(1));
    Mailbox mb;
    ASSERT_TRUE(mb.send(quiet_change()));
    // Bytes that are no frame at all, a length beyond the largest payload,
    // and a message cut short, its peer silent from then on.
    std::vector<int> conns;
    for (std::string_view bytes :
         {"GET / HTTP/1.0\r\n\r\n"sv, "M\0\0\0\1\0\0\0\1\0\0\x07\xD6\x7F\xFF\xFF\xFF"sv,
          "M\0\0\0\x09\0\0\0\1\0\0\x07\xD6\0\0\0\x28P"sv}) {
        conns.push_back(ipc_connect(DAEMON_MAILBOX_PORT));
        EXPECT_TRUE(send_bytes(conns.back(), bytes));
    }
    // Meanwhile, idle connections beyond the mailbox's 64: each new one
    // takes the place of the one idle the longest, so senders still get
    // through (one whose connection went reconnects).
    while (conns.size() < 73)
        conns.push_back(ipc_connect(DAEMON_MAILBOX_PORT));
    Mailbox other;
    const size_t seen = lab.logged(TLV);
    ASSERT_TRUE(other.send(burst_change(0, 0)));
    ASSERT_TRUE(mb.send(burst_change(1, 0)));
    EXPECT_TRUE(eventually([&] { return lab.logged(TLV) == seen + 2; }));
    EXPECT_GE(lab.logged("the one idle longest is closed"), 7u);
    // The silent one goes after the library's stall limit, the others at once.
    EXPECT_TRUE(eventually([&] { return lab.logged("peer stalled inside a frame") == 1; }, 30000));
    EXPECT_EQ(lab.logged("connection dropped"), 3u) << lab.log("tr111d");
    for (int fd : conns)
        close(fd);
    EXPECT_EQ(acs(AcsOp::get, SN1).value, "SN-0");
}

// An agent that stalls inside a frame, or stops reading while notifications
// pile up: either fails the channel within its 10 s bound.
TEST(Faults, BrokenAgentChannelEndsTheDaemonWith255) {
    for (bool half_frame : {true, false}) {
        SCOPED_TRACE(half_frame ? "half frame" : "not reading");
        FakeAgent agent(half_frame ? 0 : 2048);
        OwnDaemon own(false);
        ASSERT_TRUE(own.start());
        agent.thread.join(); // the daemon has registered everything
        ASSERT_GE(agent.fd, 0);
        std::atomic<bool> stop{false};
        std::thread changes;
        if (half_frame) {
            std::string part(TR69_WIRE_HEADER + 100, 'x');
            part[0] = static_cast<char>(TR69_FRAME_REQUEST);
            tr69_put_u32(reinterpret_cast<uint8_t*>(&part[1]), sizeof(tr69_request));
            EXPECT_TRUE(send_bytes(agent.fd, part));
        } else {
            changes = std::thread([&] {
                Mailbox mb;
                for (int i = 0; !stop; ++i)
                    mb.send(burst_change(i, 0));
            });
        }
        EXPECT_EQ(own.daemon->wait(120000), 255) << own.log();
        stop = true;
        if (changes.joinable()) changes.join();
        EXPECT_NE(own.log().find("receiving data msg from tr69 failed"), std::string::npos);
    }
}

// A request is answered with the internal error unless it names a handler
// the daemon registered: a reference to a name or one never issued is not
// followed (calling it crashed the daemon).
TEST(Faults, RequestsForUnregisteredHandlersAreRefused) {
    FakeAgent agent;
    OwnDaemon own(false);
    ASSERT_TRUE(own.start());
    agent.thread.join();
    ASSERT_GE(agent.fd, 0);
    ASSERT_GE(agent.handlers.size(), 20u);
    for (uint32_t word = 0; word <= TR69_REF_MAX + 1; ++word)
        EXPECT_TRUE(std::ranges::find(agent.handlers, word) != agent.handlers.end() ||
                    agent.request(word) == 9002)
            << "word " << word;
    EXPECT_EQ(agent.request(0xFFFFFFFFu), 9002);
    // A registered one is still called: the access-list getter of the first row.
    EXPECT_EQ(agent.request(agent.handlers[3]), 0);
}

// 10,000 CHANGE_DB messages in one burst, straight from a mailbox of the
// test to the daemon's, while ACS gets and sets loop through the agent:
// each message is handled once, in order (its "/burst-<i>" in the daemon's
// debug line), each notification it raises reaches the agent, and no ACS
// operation fails.
TEST(Load, TenThousandChangesWhileTheAcsWorks) {
    constexpr int kMessages = 10000, kDevices = 16;
    LabRun lab;
    ASSERT_NO_FATAL_FAILURE(lab.start(kDevices));
    // The seeding's own messages are all handled before the counts start.
    ASSERT_TRUE(eventually(
        [&] { return lab.mgmt({"status"}).out.find("queued: 0") != std::string::npos; }, 60000));
    int events = -1, before = -2; // the same twice in a row
    ASSERT_TRUE(eventually(
        [&] { return (before = std::exchange(events, agent_events())) == events; }, 60000));
    Mailbox mb;
    ASSERT_TRUE(mb.send(quiet_change()));
    const int fds = fds_of(lab.daemon);
    std::atomic<bool> stop{false};
    LoopCounts counts;
    std::thread ops([&] { acs_loop(kDevices, stop, 50, counts); });
    const int sent = burst(mb, 0, kMessages, kDevices);
    stop = true;
    ops.join();
    ASSERT_EQ(sent, kMessages);
    EXPECT_EQ(counts.failed, 0) << counts.first_failure;

    // One notification per message but the lease renewals.
    int want = events + kMessages;
    for (int i = 0; i < kMessages; ++i)
        want -= burst_change(i, kDevices).action == 'U' ? 1 : 0;
    EXPECT_TRUE(eventually([&] { return agent_events() >= want; }, 300000));
    EXPECT_EQ(agent_events(), want);
    std::vector<int> handled, all(kMessages);
    std::iota(all.begin(), all.end(), 0);
    for (const std::string& line : lines(lab.log("tr111d"))) {
        size_t tag = line.find("/burst-");
        if (line.find(TLV) != std::string::npos && tag != std::string::npos)
            handled.push_back(atoi(line.c_str() + tag + 7));
    }
    EXPECT_TRUE(handled == all) << handled.size() << " handled";
    EXPECT_TRUE(eventually([&] { return fds_of(lab.daemon) == fds; })) << fds_of(lab.daemon);
}
