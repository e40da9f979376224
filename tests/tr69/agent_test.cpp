// The library and tr69agent together: a fake application opens the channel
// and serves requests, acs drives the agent.
#include "lab/tr69agent/acs_wire.h"
#include "platform/include/tr69_wire.h"
#include "tests/support/proc.h"
#include "tests/tr69/fake_app.h"

#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tr69test;
using tr111test::eventually;
using tr111test::lines;
using tr111test::RunResult;

namespace {

// tr69agent in the background. Declare it after the FakeApp objects of a
// test: it goes first, and its end ends their loops.
class AgentProc {
  public:
    explicit AgentProc(const std::vector<std::string>& args = {}) {
        auto argv = tr111test::program("tr69agent");
        argv.insert(argv.end(), args.begin(), args.end());
        proc = std::make_unique<tr111test::Background>(argv, dir.path() + "/agent.log");
        EXPECT_TRUE(tr111test::wait_port(ACS_PORT, 10000)) << log();
    }
    std::string log() const { return tr111test::read_file(dir.path() + "/agent.log"); }
    void kill() { proc.reset(); }

  private:
    tr111test::TempDir dir;
    std::unique_ptr<tr111test::Background> proc;
};

RunResult acs(const std::vector<std::string>& args) {
    return tr111test::run_program("acs", args);
}

// A running application with the whole test table registered.
void bring_up(FakeApp& app, bool atomicity = true) {
    journal.clear();
    ASSERT_EQ(app.open(), 0);
    ASSERT_NE(app.chan, 0);
    ASSERT_EQ(app.register_rows(), 0);
    if (atomicity) {
        ASSERT_EQ(app.register_atomicity(), 0);
    }
    app.serve();
}

int connect_to(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
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

// True when the peer closes or resets the connection (within 5 s).
bool closed_by_peer(int fd) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return false;
        uint8_t b[64];
        ssize_t n = recv(fd, b, sizeof b, 0);
        if (n <= 0) return true;
    }
}

} // namespace

TEST(Tr69Agent, RequestRecordsCarryTheEntry) {
    FakeApp app;
    AgentProc agent;
    bring_up(app);

    RunResult r = acs({"get", "Test.Obj.3.Name"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "name-3\n");
    r = acs({"get", "Test.Counter"});
    EXPECT_EQ(r.out, "42\n");
    r = acs({"get", "Test.Obj.2.Sub.7.Leaf"});
    EXPECT_EQ(r.out, "name-2-7\n");

    auto got = journal.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].name, "Test.Obj.3.Name");
    EXPECT_EQ(got[0].id, 3u);
    EXPECT_EQ(tr69_fn<dm_handler>(got[0].handler), h_get_name);
    EXPECT_EQ(got[0].status, 0u);
    EXPECT_EQ(std::vector<uint32_t>(got[0].instances, got[0].instances + 5),
              (std::vector<uint32_t>{3, 0, 0, 0, 0}));
    EXPECT_EQ(got[1].name, "Test.Counter");
    EXPECT_EQ(got[1].id, 1u);
    EXPECT_EQ(tr69_fn<dm_handler>(got[1].handler), h_get_counter);
    EXPECT_EQ(got[1].instances[0], 0u);
    EXPECT_EQ(std::vector<uint32_t>(got[2].instances, got[2].instances + 5),
              (std::vector<uint32_t>{2, 7, 0, 0, 0}));
    EXPECT_NE(got[0].echo, got[1].echo);
    EXPECT_NE(got[1].echo, got[2].echo);

    r = acs({"names"});
    EXPECT_EQ(r.status, 0);
    auto names = lines(r.out);
    ASSERT_EQ(names.size(), test_rows().size() + 3);
    EXPECT_EQ(names[0], "Test.Counter id=1 flags=0x0 type=0x10");
    EXPECT_EQ(names[1], "Test.Obj. id=0 flags=0x100 type=0x0");
    EXPECT_EQ(names[2], "Test.Obj.Name id=3 flags=0x10000 type=0xe");
    EXPECT_EQ(names[names.size() - 3], "XX.StartSequence.TR111 id=1 flags=0x100000 type=0xd "
                                       "kind=StartSequence");
    EXPECT_EQ(names.back(), "XX.Rollback.TR111 id=3 flags=0x100000 type=0xd kind=Rollback");
    EXPECT_EQ(app.ended(), 0);
}

TEST(Tr69Agent, InstancesAndAttributes) {
    FakeApp app;
    AgentProc agent;
    bring_up(app);

    RunResult r = acs({"instances", "Test.Obj."});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1\n3\n5\n");
    auto got = journal.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(tr69_fn<dm_handler>(got[0].handler), h_lister);
    EXPECT_EQ(got[0].id, 0u);

    r = acs({"getattr", "Test.Obj.4.Name"});
    EXPECT_EQ(r.out, "1\n");
    r = acs({"setattr", "Test.Obj.4.Name", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    r = acs({"getattr", "Test.Obj.4.Name"});
    EXPECT_EQ(r.out, "3\n");
    got = journal.received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(tr69_fn<dm_handler>(got[1].handler), h_attr_get);
    EXPECT_EQ(tr69_fn<dm_handler>(got[2].handler), h_attr_set);
    EXPECT_EQ(got[2].value_in, "\x03");
    EXPECT_EQ(got[2].instances[0], 4u);

    // The object row's block ends at word 3: no attribute handlers there,
    // and no request reaches the application.
    r = acs({"getattr", "Test.Obj."});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fault 9008\n");
    // A value row has no instance lister.
    r = acs({"instances", "Test.Counter"});
    EXPECT_EQ(r.err, "fault 9008\n");
    EXPECT_EQ(journal.received().size(), 4u);
}

TEST(Tr69Agent, MultiReplyRawAndNoDispatch) {
    FakeApp app;
    AgentProc agent;
    bring_up(app);

    RunResult r = acs({"get", "Test.Multi"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "done\n");
    EXPECT_EQ(journal.received().size(), 1u);
    EXPECT_EQ(journal.called(), (std::vector<std::string>{"multi", "multi", "multi"}));

    r = acs({"raw", "--handler-word", "0", "Test.Multi"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "10000 part1\n10000 part2\n0 done\n");

    // Status 10000: the application does not dispatch it and sends nothing.
    journal.clear();
    r = acs({"raw", "--handler-word", "0", "--status", "10000", "Test.Counter"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "no reply\n");
    auto got = journal.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, 10000u);
    EXPECT_TRUE(journal.called().empty());

    // Other status values and the chosen word travel as given; faults are printed, not judged.
    r = acs({"raw", "--handler-word", "1", "--status", "7", "Test.Obj.1.Broken", "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "9002 \n");
    got = journal.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].status, 7u);
    EXPECT_EQ(got[1].value_in, "x");

    r = acs({"raw", "--handler-word", "1", "Test.Counter"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fault 9008\n");
    r = acs({"raw", "--handler-word", "11", "Test.Counter"});
    EXPECT_EQ(r.status, 2);
    r = acs({"raw", "Test.Counter"});
    EXPECT_EQ(r.status, 2);
}

TEST(Tr69Agent, SetIsBracketedByAtomicityEntries) {
    FakeApp app;
    AgentProc agent;
    bring_up(app);

    RunResult r = acs({"set", "Test.Obj.3.Name", "hello world"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expect = {"start 1", "set Test.Obj.3.Name=hello world", "commit 2"};
    EXPECT_TRUE(eventually([&] { return journal.called() == expect; }));
    auto got = journal.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].name, "XX.StartSequence.TR111");
    EXPECT_EQ(got[0].id, 1u);
    EXPECT_EQ(tr69_fn<atomicity_handler>(got[0].handler), h_start);
    EXPECT_EQ(got[1].instances[0], 3u);
    EXPECT_EQ(got[2].name, "XX.Commit.TR111");
    EXPECT_EQ(tr69_fn<atomicity_handler>(got[2].handler), h_commit);

    journal.clear();
    r = acs({"set", "Test.Obj.3.Broken", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fault 9002\n");
    expect = {"start 1", "broken Test.Obj.3.Broken", "rollback 3"};
    EXPECT_TRUE(eventually([&] { return journal.called() == expect; }));

    // Read-only: refused by the agent, nothing reaches the application.
    journal.clear();
    r = acs({"set", "Test.Counter", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fault 9008\n");
    r = acs({"get", "Test.Counter"}); // served after anything a set might have sent
    EXPECT_EQ(journal.called(), (std::vector<std::string>{"get Test.Counter"}));

    // Atomicity entries themselves: raw gets no reply.
    journal.clear();
    r = acs({"raw", "--handler-word", "0", "XX.Rollback.TR111"});
    EXPECT_EQ(r.out, "no reply\n");
    EXPECT_EQ(journal.called(), (std::vector<std::string>{"rollback 3"}));
}

TEST(Tr69Agent, SetWithoutAtomicityEntriesIsNotBracketed) {
    FakeApp app;
    AgentProc agent;
    bring_up(app, false);
    RunResult r = acs({"set", "Test.Obj.1.Name", "v"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(journal.called(), (std::vector<std::string>{"set Test.Obj.1.Name=v"}));
}

TEST(Tr69Agent, FaultsAndExitCodes) {
    RunResult r = acs({"get", "Test.Counter"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot reach the TR-069 agent"), std::string::npos) << r.err;

    FakeApp app;
    AgentProc agent({"--reply-timeout", "300"});
    r = acs({"get", "Test.Counter"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no daemon connected"), std::string::npos) << r.err;
    r = acs({"names"});
    EXPECT_EQ(r.status, 2);

    bring_up(app);
    r = acs({"get", "Test.Obj.1.Broken"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fault 9002\n");
    EXPECT_EQ(r.out, "");
    r = acs({"get", "Test.Nothing"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown parameter Test.Nothing"), std::string::npos) << r.err;
    r = acs({"get", "Test.Obj.1.2.3.4.5.6.Name"});
    EXPECT_EQ(r.status, 2);
    r = acs({"get", "Test.Obj.99999999999.Name"});
    EXPECT_EQ(r.status, 2);
    r = acs({"setattr", "Test.Obj.1.Name", "256"});
    EXPECT_EQ(r.status, 2);
    r = acs({"frobnicate"});
    EXPECT_EQ(r.status, 2);
    r = acs({"get", std::string(300, 'a')});
    EXPECT_EQ(r.status, 2);

    // No reply in time: an error; the agent goes on serving.
    r = acs({"get", "Test.Silent"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no reply"), std::string::npos) << r.err;
    // A reply with a foreign echo is not taken for the answer.
    r = acs({"get", "Test.Stray"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "right\n");
    EXPECT_NE(agent.log().find("dropped"), std::string::npos);
    r = acs({"get", "Test.Counter"});
    EXPECT_EQ(r.out, "42\n");
}

TEST(Tr69Agent, RefusedOpensAndEntries) {
    {
        FakeApp app;
        AgentProc agent({"--refuse-id", "4"});
        journal.clear();
        ASSERT_EQ(app.open(), 0);
        for (const Row& row : test_rows()) {
            int rc = tr69_register_entry(row.name, row.entry.flags, row.entry.id, row.entry.type,
                                         &row.entry.getter, &app.chan);
            EXPECT_EQ(rc, row.entry.id == 4 ? TR69_ERR_REFUSED : 0) << row.name;
        }
        app.serve();
        RunResult r = acs({"names"});
        EXPECT_EQ(r.out.find("Test.Obj.Broken"), std::string::npos);
        EXPECT_NE(r.out.find("Test.Obj.Name id=3"), std::string::npos);
        EXPECT_NE(r.out.find("Test.Multi id=5"), std::string::npos);
        r = acs({"get", "Test.Obj.1.Broken"});
        EXPECT_EQ(r.status, 2);
    }
    {
        FakeApp app, other;
        AgentProc agent({"--refuse-atomicity-id", "2"});
        journal.clear();
        EXPECT_EQ(other.open("OTHER"), TR69_ERR_REFUSED);
        EXPECT_EQ(other.chan, 0);
        ASSERT_EQ(app.open(), 0);
        const tr69_atomicity_row* failed = nullptr;
        EXPECT_EQ(app.register_atomicity(&failed), TR69_ERR_REFUSED);
        EXPECT_EQ(failed, &test_atomicity[1]);
        app.serve();
        RunResult r = acs({"names"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, ""); // a table registers whole or not at all
    }
    {
        FakeApp app;
        AgentProc agent({"--refuse-open"});
        EXPECT_EQ(app.open(), TR69_ERR_REFUSED);
        EXPECT_EQ(app.chan, 0);
        EXPECT_EQ(acs({"names"}).status, 2);
    }
}

TEST(Tr69Agent, EventsFromAnotherThreadWhileWaiting) {
    FakeApp app;
    AgentProc agent;
    bring_up(app);

    // Two threads send events while the loop thread waits in tr69_rx_msg
    // and replies to the requests that go on meanwhile.
    constexpr int N = 300;
    std::atomic<int> failures{0};
    auto notifier = [&](int first) {
        for (int i = first; i < N; i += 2) {
            char code[TR69_EVENT_CODE_SIZE] = "4 VALUE CHANGE";
            uint8_t param[TR69_EVENT_PARAM_SIZE] = {};
            snprintf(reinterpret_cast<char*>(param), TR69_EVENT_NAME_SIZE, "Test.Obj.%d.Name", i);
            param[TR69_EVENT_NAME_SIZE] = static_cast<uint8_t>(2 + i % 2);
            if (tr69_notify_event(&app.chan, code, param) != 0) ++failures;
        }
    };
    std::thread even(notifier, 0), odd(notifier, 1);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(acs({"get", "Test.Counter"}).out, "42\n");
    even.join();
    odd.join();
    EXPECT_EQ(failures.load(), 0);

    std::vector<std::string> ev;
    EXPECT_TRUE(eventually([&] {
        ev = lines(acs({"events"}).out);
        return ev.size() == N;
    }));
    ASSERT_EQ(ev.size(), static_cast<size_t>(N));
    std::sort(ev.begin(), ev.end());
    std::vector<std::string> expect;
    for (int i = 0; i < N; ++i)
        expect.push_back("4 VALUE CHANGE Test.Obj." + std::to_string(i) + ".Name " +
                         std::to_string(2 + i % 2));
    std::sort(expect.begin(), expect.end());
    EXPECT_EQ(ev, expect);
    EXPECT_EQ(app.ended(), 0);

    // A name field without its zero byte is cut, never overrun.
    char code[TR69_EVENT_CODE_SIZE];
    memset(code, 'c', sizeof code);
    uint8_t param[TR69_EVENT_PARAM_SIZE];
    memset(param, 'n', sizeof param);
    param[TR69_EVENT_NAME_SIZE] = 3;
    EXPECT_EQ(tr69_notify_event(&app.chan, code, param), 0);
    EXPECT_TRUE(eventually([&] { return lines(acs({"events"}).out).size() == N + 1; }));
    EXPECT_EQ(lines(acs({"events"}).out).back(),
              std::string(103, 'c') + " " + std::string(256, 'n') + " 3");

    RunResult r = acs({"events", "--clear"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(acs({"events"}).out, "");
}

TEST(Tr69Agent, ChannelFailsWhenTheAgentGoes) {
    FakeApp app;
    auto agent = std::make_unique<AgentProc>();
    bring_up(app);
    EXPECT_EQ(acs({"get", "Test.Counter"}).out, "42\n");
    agent->kill();
    EXPECT_TRUE(eventually([&] { return app.ended() != 0; }));
    EXPECT_EQ(app.ended(), TR69_ERR_CHANNEL);
    char code[TR69_EVENT_CODE_SIZE] = "4 VALUE CHANGE";
    uint8_t param[TR69_EVENT_PARAM_SIZE] = {};
    EXPECT_LT(tr69_notify_event(&app.chan, code, param), 0);
    tr69_reply rep{};
    EXPECT_NE(tr69_tx_msg(&rep, &app.chan), 0);
    tr69_request req{};
    EXPECT_EQ(tr69_rx_msg(&req, &app.chan, 1), TR69_ERR_CHANNEL);
    EXPECT_EQ(tr69_register_entry("X", 0, 1, 0, &test_rows()[0].entry.getter, &app.chan),
              TR69_ERR_CHANNEL);

    // A new agent: the same handle opens again.
    AgentProc agent2;
    EXPECT_EQ(app.open(), 0);
    tr69_request none{};
    EXPECT_EQ(tr69_rx_msg(&none, &app.chan, 0), TR69_ERR_AGAIN);
    EXPECT_EQ(
        tr69_register_entry("Test.Again", 0, 9, 0x0E, &test_rows()[0].entry.getter, &app.chan), 0);
}

TEST(Tr69Agent, DropAfterClosesTheChannel) {
    FakeApp app;
    AgentProc agent({"--drop-after", "2"});
    bring_up(app);
    EXPECT_EQ(acs({"get", "Test.Counter"}).out, "42\n");
    EXPECT_EQ(acs({"get", "Test.Counter"}).out, "42\n");
    EXPECT_TRUE(eventually([&] { return app.ended() != 0; }));
    EXPECT_EQ(app.ended(), TR69_ERR_CHANNEL);
    RunResult r = acs({"get", "Test.Counter"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no daemon connected"), std::string::npos) << r.err;
    EXPECT_EQ(acs({"names"}).status, 2); // its entries went with it
}

TEST(Tr69Agent, NewOpenReplacesChannelAndEntries) {
    FakeApp first, second;
    AgentProc agent;
    bring_up(first);
    EXPECT_EQ(acs({"get", "Test.Counter"}).out, "42\n");

    ASSERT_EQ(second.open(), 0);
    EXPECT_NE(second.chan, first.chan);
    EXPECT_TRUE(eventually([&] { return first.ended() != 0; }));
    EXPECT_EQ(acs({"names"}).out, ""); // the old channel's entries are gone
    ASSERT_EQ(
        tr69_register_entry("Test.Second", 0, 1, 0x10, &test_rows()[0].entry.getter, &second.chan),
        0);
    second.serve();
    EXPECT_EQ(acs({"names"}).out, "Test.Second id=1 flags=0x0 type=0x10\n");
    EXPECT_EQ(acs({"get", "Test.Second"}).out, "42\n");
    EXPECT_EQ(acs({"get", "Test.Counter"}).status, 2);
}

TEST(Tr69Agent, FramesOfWrongLengthAreRefused) {
    FakeApp app;
    AgentProc agent;

    // An open frame one byte short: the agent closes the connection.
    int fd = connect_to(TR69_AGENT_PORT);
    ASSERT_GE(fd, 0);
    uint8_t frame[TR69_WIRE_HEADER + TR69_WIRE_OPEN_SIZE] = {TR69_FRAME_OPEN};
    tr69_put_u32(frame + 1, TR69_WIRE_OPEN_SIZE - 1);
    memcpy(frame + 5, "TR111", 5);
    ASSERT_EQ(tr69_wire_send_all(fd, frame, sizeof frame - 1), 0);
    EXPECT_TRUE(closed_by_peer(fd));
    close(fd);

    // After a good open, an entry frame of wrong length ends the channel.
    fd = connect_to(TR69_AGENT_PORT);
    uint8_t open[TR69_WIRE_OPEN_SIZE] = {};
    memcpy(open, "TR111", 5);
    ASSERT_EQ(tr69_wire_send(fd, TR69_FRAME_OPEN, open), 0);
    uint8_t answer[8];
    uint8_t type = 0;
    ASSERT_EQ(tr69_wire_recv(fd, "o", &type, answer, 5000), TR69_WIRE_OK);
    EXPECT_EQ(tr69_get_i32(answer), 0);
    EXPECT_EQ(acs({"names"}).status, 0);
    uint8_t entry[TR69_WIRE_HEADER + 8] = {TR69_FRAME_ENTRY};
    tr69_put_u32(entry + 1, 8);
    ASSERT_EQ(tr69_wire_send_all(fd, entry, sizeof entry), 0);
    EXPECT_TRUE(closed_by_peer(fd));
    close(fd);
    EXPECT_TRUE(eventually([&] { return acs({"names"}).status == 2; }));
    EXPECT_NE(agent.log().find("frame of wrong type or length refused"), std::string::npos);

    // A command of wrong length on the acs port is refused as well.
    fd = connect_to(ACS_PORT);
    uint8_t cmd[TR69_WIRE_HEADER + 16] = {ACS_FRAME_COMMAND};
    tr69_put_u32(cmd + 1, 16);
    ASSERT_EQ(tr69_wire_send_all(fd, cmd, sizeof cmd), 0);
    EXPECT_TRUE(closed_by_peer(fd));
    close(fd);

    // The agent still serves a proper application.
    bring_up(app);
    EXPECT_EQ(acs({"get", "Test.Counter"}).out, "42\n");
}
