// Faults through the real stand-ins (confd killed or stalling, the TR-069 agent killed
// or breaking its channel, junk on the mailbox), and 10,000 changes under load.
#include "bench/footprint/loadgen.h"
#include "platform/include/ipc.h"
#include "platform/include/msg.h"
#include "platform/include/tr69_lib.h"
#include "platform/include/tr69_wire.h"
#include "platform/net.h"
#include "tests/support/daemon.h"
#include "tests/support/lab.h"
#include "tests/support/net.h"

#include <numeric>
#include <optional>

using namespace tr111test;
using namespace tr111load;
using namespace std::literals;

namespace {

const std::string MS = "InternetGatewayDevice.ManagementServer.";
const std::string SN1 = MS + "ManageableDevice.1.SerialNumber";
const std::string TLV = "TLV3 change->Param_name = "; // one line per change handled
constexpr size_t npos = std::string::npos;

// Open descriptors of a process; -1 once it is gone.
int fds_of(int pid) {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
    return ec ? -1 : static_cast<int>(std::distance(it, {}));
}

// The whole lab at debug level 3, seeded with devices the agent has been
// told of (device i+1 has SerialNumber "SN-i"), and a mailbox to the daemon.
struct LabRun : Lab {
    int daemon = -1;
    std::optional<Mailbox> mb;
    void start(int devices) {
        up({"--debug", "3"});
        ASSERT_TRUE(seed(devices));
        ASSERT_TRUE(eventually([&] { return agent_events() >= devices; }, 60000));
        daemon = atoi(read_file(dir() + "/pid/tr111d.pid").c_str());
        ASSERT_TRUE(mb.emplace().send(quiet_change()));
    }
    size_t logged(const std::string& text) { return count(log("tr111d"), text); }
};

// tr111d run by the test (for its exit status) at debug level 3, notifications on, beside
// a confd, an mgmtd and, unless the test plays it, a tr69agent; started once mgmtd says so.
struct OwnDaemon : DaemonRig {
    Background mgmtd{program("mgmtd"), dir.path() + "/mgmtd.log"};
    std::unique_ptr<Background> daemon;
    bool started = false;
    explicit OwnDaemon(bool with_agent) {
        confd.set("/KELMO/TR111/attrib/1/", "2");
        wait_port(3490, 10000);
        if (with_agent) start_agent();
        daemon = std::make_unique<Background>(tr111d("1", {"3"}), dir.path() + "/tr111d.log");
        started = eventually(
            [] { return run_program("mgmt", {"status"}).out.rfind("daemon: started", 0) == 0; },
            30000);
    }
    std::string log() const { return read_file(dir.path() + "/tr111d.log"); }
};

// The TR-069 agent played by the test: answers the open and registrations as tr69agent does,
// records the handler words, then leaves the channel (fd, receive window rcvbuf) to the test.
struct FakeAgent {
    int listener = ipc_listen(TR69_AGENT_PORT), fd = -1;
    std::vector<uint32_t> handlers;
    std::thread thread;
    explicit FakeAgent(int rcvbuf = 0) {
        if (rcvbuf > 0) setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        thread = std::thread([this] {
            int c = accept_within(listener, 60000);
            uint8_t p[TR69_WIRE_MAX_PAYLOAD], type = 0, out[8] = {};
            while (c >= 0 && tr69_wire_recv(c, "OEA", &type, p, 30000) == TR69_WIRE_OK) {
                for (size_t i = 0; type == TR69_FRAME_ENTRY && i < TR69_HANDLER_BLOCK_WORDS; ++i)
                    if (uint32_t w = tr69_get_u32(p + TR69_WIRE_NAME + 12 + 4 * i);
                        w != 0 && w != TR69_END_MARK)
                        handlers.push_back(w);
                // Answered by its lower-case frame: result 0, then the open's
                // channel 1 or the rows' "no failing row".
                tr69_put_u32(out + 4, type == TR69_FRAME_OPEN ? 1 : TR69_WIRE_NO_ROW);
                uint8_t answer = static_cast<uint8_t>(type - 'A' + 'a');
                tr69_wire_send(c, answer, std::span(out, tr69_wire_payload_size(answer)));
                if (type != TR69_FRAME_ENTRIES) continue;
                for (uint32_t i = 0; i < std::min(tr69_get_u32(p), 8u); ++i) // atomicity rows
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
        auto bytes = [](auto& x) { return std::span(reinterpret_cast<uint8_t*>(&x), sizeof x); };
        tr69_wire_send(fd, TR69_FRAME_REQUEST, bytes(req));
        tr69_reply rep;
        for (uint8_t type = 0; tr69_wire_recv(fd, "rN", &type, bytes(rep), 20000) == TR69_WIRE_OK;)
            if (type == TR69_FRAME_REPLY && rep.echo == req.echo) return rep.result;
        return -1;
    }
};

} // namespace

// confd dies under ACS operations and CHANGE_DB messages, then a confd that
// takes connections but stalls stands in: what is in flight fails with 9002
// within the client's timeout, changes are still taken, service resumes with
// what was committed once confd is back, and no descriptor leaks.
TEST(Faults, ConfdKilledInTrafficThenRestarted) {
    LabRun lab;
    ASSERT_NO_FATAL_FAILURE(lab.start(4));
    const std::string url = MS + "ManageableDevice.1.DeviceConnectionRequestURL";
    ASSERT_EQ(acs(AcsOp::set, url, "http://192.0.2.20:7547/cr").outcome, 0);
    const int fds = fds_of(lab.daemon);

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    LoopCounts counts;
    std::thread ops([&] { acs_loop(4, stop, 0, counts); });
    std::thread changes([&] {
        for (int i = 1; !stop; ++i)
            sent += lab.mb->send(burst_change(i, 4)) ? 1 : 0;
    });
    EXPECT_TRUE(eventually([&] { return counts.done > 20 && sent > 50; }, 60000));
    int confd = atoi(read_file(lab.dir() + "/pid/confd.pid").c_str());
    kill(confd, SIGKILL);
    ASSERT_TRUE(eventually([confd] { return kill(confd, 0) != 0; }));
    const int done_at_kill = counts.done, sent_at_kill = sent;
    EXPECT_TRUE(eventually(
        [&] { return counts.done > done_at_kill + 20 && sent > sent_at_kill + 20; }, 60000));
    stop = true;
    ops.join();
    changes.join();
    EXPECT_EQ(acs(AcsOp::get, SN1).fault, 9002);

    // The daemon first handles every change its library took (quickly, confd
    // refusing): one still in hand when confd stalls would hold up the two below.
    for (size_t last = SIZE_MAX, now; (now = lab.logged(TLV)) != last; last = now)
        std::this_thread::sleep_for(1s);
    // Connections taken (in the backlog) but never answered, in an operation
    // as in a change; then an item that trickles in a byte a second must
    // still arrive whole within the timeout.
    int silent = ipc_listen(7000);
    const size_t seen = lab.logged(TLV);
    ASSERT_TRUE(lab.mb->send(burst_change(0, 0)));
    EXPECT_EQ(acs(AcsOp::get, SN1).fault, 9002);
    EXPECT_TRUE(lab.mb->send(burst_change(1, 0)));
    EXPECT_TRUE(eventually([&] { return lab.logged(TLV) == seen + 2; }, 60000));
    close(silent);
    silent = ipc_listen(7000);
    std::atomic<bool> trickle{true};
    std::thread trickler([&] {
        for (int c; trickle;) {
            if ((c = accept_within(silent, 100)) < 0) continue;
            for (bool ok = recv_bytes(c, 1).size() == 1 && send_bytes(c, "S\0\0\x03\xE8"sv);
                 ok && trickle; ok = send_bytes(c, "x"))
                std::this_thread::sleep_for(1s);
            close(c);
        }
    });
    EXPECT_EQ(acs(AcsOp::get, SN1).fault, 9002);
    trickle = false;
    trickler.join();
    close(silent);

    lab.up();
    EXPECT_TRUE(eventually(
        [&] { return acs(AcsOp::get, url).value == "http://192.0.2.20:7547/cr"; }, 30000));
    const int before = agent_events();
    ASSERT_TRUE(lab.mb->send(burst_change(2000000, 0)));
    EXPECT_TRUE(eventually([&] { return agent_events() > before; }));
    EXPECT_TRUE(eventually([&] { return fds_of(lab.daemon) == fds; })) << fds_of(lab.daemon);
}

// The agent killed while notifications are on their way to it, or stalling
// inside a frame: the channel fails within its bound and the daemon ends with
// 255. An agent that stops reading while notifications pile up: the one it
// does not take is printed and dropped, the channel stays, and once the agent
// reads again the daemon answers it.
TEST(Faults, AgentKilledStallingOrNotReading) {
    for (int rcvbuf : {-1, 0, 2048}) { // real agent killed, half frame, not reading
        SCOPED_TRACE(rcvbuf);
        std::optional<FakeAgent> fake;
        if (rcvbuf >= 0) fake.emplace(rcvbuf);
        OwnDaemon own(!fake);
        ASSERT_TRUE(own.started);
        if (fake) fake->thread.join(); // the daemon has registered everything
        ASSERT_TRUE(!fake || fake->fd >= 0);
        std::atomic<bool> stop{false};
        std::thread changes([&] {
            Mailbox mb;
            for (int i = 0; !stop && rcvbuf != 0; ++i)
                mb.send(burst_change(i, 0));
        });
        if (!fake && eventually([] { return agent_events() > 20; }, 30000))
            own.tr69agent->signal(SIGKILL);
        std::string part(TR69_WIRE_HEADER + 100, 'x');
        part[0] = static_cast<char>(TR69_FRAME_REQUEST);
        tr69_put_u32(reinterpret_cast<uint8_t*>(&part[1]), sizeof(tr69_request));
        EXPECT_TRUE(rcvbuf != 0 || send_bytes(fake->fd, part));
        if (rcvbuf > 0) {
            EXPECT_TRUE(
                eventually([&] { return own.log().find("failure code=-9006") != npos; }, 120000));
            stop = true;
            changes.join();
            EXPECT_EQ(fake->request(fake->handlers[3]), 0);
        }
        EXPECT_EQ(own.daemon->wait(rcvbuf > 0 ? 0 : 120000), rcvbuf > 0 ? -1 : 255) << own.log();
        stop = true;
        if (changes.joinable()) changes.join();
        EXPECT_EQ(own.log().find("receiving data msg from tr69 failed") != npos, rcvbuf <= 0);
    }
}

// Start-up with an agent that is absent, accepts nothing (its accept queue
// full) or takes connections and never answers: ten tries, then 255. The
// first writes its debug lines into a pipe whose reader is gone, as in
// "tr111d 3 | head -c 0".
enum class Agent { absent, queue_full, silent };
class Startup : public testing::TestWithParam<Agent> {};
TEST_P(Startup, GivesUpAfterTenTries) {
    std::vector<int> fds; // the listener and the connections that fill its queue
    if (GetParam() != Agent::absent)
        fds.push_back(loopback_listen(TR69_AGENT_PORT, GetParam() == Agent::silent ? 16 : 0));
    for (int i = 0; GetParam() == Agent::queue_full && i < 2; ++i) {
        fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const sockaddr_in a = loopback_addr(TR69_AGENT_PORT);
        connect(fds.back(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    TempDir dir;
    const std::string log = dir.path() + "/log";
    auto argv = program("tr111d");
    argv.push_back("3");
    if (GetParam() == Agent::absent) // output on a fifo whose reader is closed
        argv.insert(argv.begin(), {"sh", "-c",
                                   "f=$0/pipe && mkfifo $f && exec 3<>$f 4>$f 3<&- && rm $f && "
                                   "exec \"$@\" >&4 2>&4 4>&-",
                                   dir.path()});
    Background daemon(argv, log);
    EXPECT_EQ(daemon.wait(120000), 255); // not 141 (SIGPIPE)
    EXPECT_TRUE(GetParam() == Agent::absent || count(read_file(log), "failed after 10 tries") == 1);
    for (int fd : fds)
        close(fd);
}
INSTANTIATE_TEST_SUITE_P(Agent, Startup,
                         testing::Values(Agent::absent, Agent::queue_full, Agent::silent));

TEST(Faults, GarbageAndHalfFramesOnTheMailbox) {
    LabRun lab;
    ASSERT_NO_FATAL_FAILURE(lab.start(1));
    // Bytes that are no frame at all, a length beyond the largest payload,
    // and a message cut short, its peer silent from then on.
    std::vector<int> conns;
    for (std::string_view bytes :
         {"GET / HTTP/1.0\r\n\r\n"sv, "M\0\0\0\1\0\0\0\1\0\0\x07\xD6\x7F\xFF\xFF\xFF"sv,
          "M\0\0\0\x09\0\0\0\1\0\0\x07\xD6\0\0\0\x28P"sv}) {
        conns.push_back(ipc_connect(DAEMON_MAILBOX_PORT));
        EXPECT_TRUE(send_bytes(conns.back(), bytes));
    }
    // Meanwhile, idle connections beyond the mailbox's 16: each new one takes
    // the place of the one idle the longest, so senders still get through
    // (one whose connection went reconnects).
    while (conns.size() < MSG_CONNECTION_MAX + 9)
        conns.push_back(ipc_connect(DAEMON_MAILBOX_PORT));
    // Each of the two is handled once (the lab's own records may still be
    // on their way: count these two alone).
    Mailbox other;
    ASSERT_TRUE(other.send(burst_change(0, 0)));
    ASSERT_TRUE(lab.mb->send(burst_change(1, 0)));
    EXPECT_TRUE(eventually([&] {
        return lab.logged(TLV + "1000000/burst-0 ") == 1 &&
               lab.logged(TLV + "1000000/burst-1 ") == 1;
    })) << lab.log("tr111d");
    EXPECT_GE(lab.logged("the one idle longest is closed"), 7u);
    // The silent one goes after the library's stall limit, the others at once.
    EXPECT_TRUE(eventually([&] { return lab.logged("peer stalled inside a frame") == 1; }, 30000));
    EXPECT_EQ(lab.logged("connection dropped"), 3u) << lab.log("tr111d");
    for (int fd : conns)
        close(fd);
    EXPECT_EQ(acs(AcsOp::get, SN1).value, "SN-0");
}

// A request is answered with the internal error unless it names a handler
// the daemon registered: a reference to a name or one never issued is not
// followed (calling it crashed the daemon).
TEST(Faults, RequestsForUnregisteredHandlersAreRefused) {
    FakeAgent agent;
    OwnDaemon own(false);
    ASSERT_TRUE(own.started);
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

// 10,000 CHANGE_DB messages in one burst from a mailbox of the test, while
// ACS gets and sets loop through the agent: each message is handled once, in
// order (its "/burst-<i>" in the daemon's debug line), each notification it
// raises reaches the agent, and no ACS operation fails.
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
    const int fds = fds_of(lab.daemon);
    std::atomic<bool> stop{false};
    LoopCounts counts;
    std::thread ops([&] { acs_loop(kDevices, stop, 50, counts); });
    const int sent = burst(*lab.mb, 0, kMessages, kDevices);
    stop = true;
    ops.join();
    ASSERT_EQ(sent, kMessages);
    EXPECT_EQ(counts.failed, 0) << counts.first_failure;

    int want = events + kMessages; // one notification per message but the lease renewals
    for (int i = 0; i < kMessages; ++i)
        want -= burst_change(i, kDevices).action == 'U' ? 1 : 0;
    EXPECT_TRUE(eventually([&] { return agent_events() >= want; }, 300000));
    EXPECT_EQ(agent_events(), want);
    std::vector<int> handled;
    for (const std::string& line : lines(lab.log("tr111d")))
        if (size_t tag = line.find("/burst-");
            line.find(TLV) != std::string::npos && tag != std::string::npos)
            handled.push_back(atoi(line.c_str() + tag + 7));
    std::vector<int> expected(kMessages);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_TRUE(handled == expected) << handled.size() << " handled";
    EXPECT_TRUE(eventually([&] { return fds_of(lab.daemon) == fds; })) << fds_of(lab.daemon);
}
