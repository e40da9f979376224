// The library and tr69agent together: an application of the test's own
// opens the channel, registers a small table and serves the requests that
// acs makes the agent send.
#include "lab/tr69agent/acs_wire.h"
#include "platform/include/ipc.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

using namespace tr111test;
using Strings = std::vector<std::string>;

namespace {

// Handler words of the test table. The agent only passes them back, so
// plain numbers stand for handlers; each names what the application does.
enum : uint32_t { GET = 1, SET, LIST, ATTR_GET, ATTR_SET, FAULT, MULTI, SILENT, STRAY, ATOMIC };
constexpr uint32_t END = TR69_END_MARK;

struct Row {
    const char* name;
    uint32_t flags, id, type;
    uint32_t block[TR69_HANDLER_BLOCK_WORDS];
};
const Row rows[] = {
    {"T.Counter", 0, 1, 0x10, {GET, 0, 0, 0, 0, ATTR_GET, ATTR_SET, 0, 0, END}},
    {"T.Obj.", 0x100, 0, 0, {0, 0, LIST, END, ATTR_GET, ATTR_GET}}, // nothing after the end
    {"T.Obj.Name", 0x10000, 3, 0xE, {GET, SET, 0, 0, 0, ATTR_GET, ATTR_SET, 0, 0, END}},
    {"T.Obj.Fault", 0, 4, 0xE, {FAULT, FAULT, END}},
    {"T.Multi", 0, 5, 0xE, {MULTI, END}},
    {"T.Silent", 0, 6, 0xE, {SILENT, END}},
    {"T.Stray", 0, 7, 0xE, {STRAY, END}},
    {"T.Obj.Sub.Leaf", 0, 8, 0xE, {GET, END}},
};
const tr69_atomicity_row atomicity[] = {
    {tr69_ref("XX.StartSequence.TR111"), 0x100000, 1, 0x0D, ATOMIC, END, {}},
    {tr69_ref("XX.Commit.TR111"), 0x100000, 2, 0x0D, ATOMIC, END, {}},
    {tr69_ref("XX.Rollback.TR111"), 0x100000, 3, 0x0D, ATOMIC, END, {}},
    {0, 0, 0, 0, 0, 0, {}},
};
// The replies to each handler word: result and value (STRAY's first one
// carries another request's echo; SILENT has none).
const std::map<uint32_t, std::vector<std::pair<int32_t, std::string>>> replies = {
    {GET, {{0, "42"}}},
    {SET, {{0, ""}}},
    {LIST, {{0, "\1\3\5"}}},
    {ATTR_GET, {{0, "\2"}}},
    {ATTR_SET, {{0, ""}}},
    {FAULT, {{9002, ""}}},
    {STRAY, {{0, "stray"}, {0, "right"}}},
    {MULTI, {{10000, "part1"}, {10000, "part2"}, {0, "done"}}},
};

// Every request the applications received: "NAME hWORD idID sSTATUS i" and
// the instance numbers up to the first 0, then " =VALUE_IN" when not empty.
std::mutex mu;
Strings journal;

// Takes the journal once it holds at least n requests (some get no reply).
Strings received(size_t n = 0) {
    eventually([&] {
        std::lock_guard<std::mutex> l(mu);
        return journal.size() >= n;
    });
    std::lock_guard<std::mutex> l(mu);
    return std::exchange(journal, {});
}

// An application: the daemon's request loop in small (status 10000 and
// atomicity requests get no reply).
struct App {
    int32_t chan = 0;
    std::atomic<int> ended{0}; // the fault that ended the loop
    std::jthread thread;       // joined when the agent has gone
    int open(const char* app = "TR111") { return tr69_open_channel_use_rx_mbx(app, &chan, 1); }
    int add(const Row& r) {
        return tr69_register_entry(r.name, r.flags, r.id, r.type, r.block, &chan);
    }
    void serve() {
        thread = std::jthread([this] {
            for (tr69_request q{}; (ended = tr69_rx_msg(&q, &chan, 1)) == 0; q = {}) {
                std::string line = std::string(q.name) + " h" + std::to_string(q.handler) + " id" +
                                   std::to_string(q.id) + " s" + std::to_string(q.status) + " i";
                for (int i = 0; i < 5 && q.instances[i]; ++i)
                    line += (i ? "." : "") + std::to_string(q.instances[i]);
                std::unique_lock<std::mutex> l(mu);
                journal.push_back(line + (*q.value_in ? " =" : "") + q.value_in);
                l.unlock();
                if (q.status == TR69_STATUS_NO_DISPATCH || !replies.count(q.handler)) continue;
                for (const auto& [result, value] : replies.at(q.handler)) {
                    tr69_reply r{{}, q.id, q.echo + (value == "stray" ? 1000 : 0), result, {}};
                    memcpy(r.name, q.name, sizeof r.name);
                    memcpy(r.value, value.data(), value.size());
                    tr69_tx_msg(&r, &chan);
                }
            }
        });
    }
    // Opened, the whole table registered, serving.
    void up(bool with_atomicity = true) {
        received();
        ASSERT_EQ(open(), 0);
        for (const Row& r : rows)
            ASSERT_EQ(add(r), 0) << r.name;
        ASSERT_TRUE(!with_atomicity || tr69_register_entries(atomicity, &chan, nullptr) == 0);
        serve();
    }
};

// tr69agent. Declared after the applications of a test, it goes first and
// its end ends their loops.
struct Agent {
    TempDir dir;
    std::unique_ptr<Background> proc;
    explicit Agent(const Strings& args = {}) {
        auto argv = program("tr69agent");
        argv.insert(argv.end(), args.begin(), args.end());
        proc = std::make_unique<Background>(argv, dir.path() + "/agent.log");
        EXPECT_TRUE(wait_port(ACS_PORT, 10000)) << log();
    }
    std::string log() const { return read_file(dir.path() + "/agent.log"); }
};

// An acs command's exit status, a blank, its standard output and error.
std::string acs(const Strings& args) {
    RunResult r = run_program("acs", args);
    return std::to_string(r.status) + " " + r.out + r.err;
}

} // namespace

TEST(Tr69Agent, RequestsCarryTheEntryAndTheWordOfTheOperation) {
    App app;
    Agent agent;
    app.up();
    struct Case {
        Strings args;
        std::string outcome, request;
    } cases[] = {
        {{"get", "T.Obj.2.Sub.7.Leaf"}, "0 42\n", "T.Obj.2.Sub.7.Leaf h1 id8 s0 i2.7"},
        {{"instances", "T.Obj."}, "0 1\n3\n5\n", "T.Obj. h3 id0 s0 i"},
        {{"getattr", "T.Obj.4.Name"}, "0 2\n", "T.Obj.4.Name h4 id3 s0 i4"},
        {{"setattr", "T.Counter", "3"}, "0 ", "T.Counter h5 id1 s0 i =\3"},
        {{"raw", "--handler-word", "0", "T.Multi"},
         "0 10000 part1\n10000 part2\n0 done\n",
         "T.Multi h7 id5 s0 i"},
        {{"raw", "--handler-word", "0", "--status", "10000", "T.Counter"},
         "0 no reply\n",
         "T.Counter h1 id1 s10000 i"},
        {{"raw", "--handler-word", "1", "--status", "7", "T.Obj.1.Fault", "x"},
         "0 9002 \n",
         "T.Obj.1.Fault h6 id4 s7 i1 =x"},
        {{"get", "T.Stray"}, "0 right\n", "T.Stray h9 id7 s0 i"},
        // No handler in the operation's word: the agent answers, nothing is sent.
        {{"getattr", "T.Obj."}, "1 fault 9008\n", ""},
        {{"instances", "T.Counter"}, "1 fault 9008\n", ""},
        {{"set", "T.Counter", "5"}, "1 fault 9008\n", ""},
        {{"get", "T.Counter"}, "0 42\n", "T.Counter h1 id1 s0 i"},
    };
    Strings want;
    for (const Case& c : cases) {
        EXPECT_EQ(acs(c.args), c.outcome) << c.args[1];
        if (!c.request.empty()) want.push_back(c.request);
    }
    EXPECT_EQ(received(), want);
    Strings names = lines(acs({"names"}));
    ASSERT_EQ(names.size(), std::size(rows) + 3);
    EXPECT_EQ(names[2], "T.Obj.Name id=3 flags=0x10000 type=0xe");
    EXPECT_EQ(names.back(), "XX.Rollback.TR111 id=3 flags=0x100000 type=0xd kind=Rollback");
}

TEST(Tr69Agent, SetIsBracketedByTheAtomicityEntries) {
    App app, plain;
    Agent agent;
    app.up();
    const std::string start = "XX.StartSequence.TR111 h10 id1 s0 i";
    EXPECT_EQ(acs({"set", "T.Obj.3.Name", "hello world"}), "0 ");
    EXPECT_EQ(received(3), (Strings{start, "T.Obj.3.Name h2 id3 s0 i3 =hello world",
                                    "XX.Commit.TR111 h10 id2 s0 i"}));
    EXPECT_EQ(acs({"set", "T.Obj.3.Fault", "x"}), "1 fault 9002\n");
    EXPECT_EQ(received(3),
              (Strings{start, "T.Obj.3.Fault h6 id4 s0 i3 =x", "XX.Rollback.TR111 h10 id3 s0 i"}));
    EXPECT_EQ(acs({"raw", "--handler-word", "0", "XX.Commit.TR111"}), "0 no reply\n");
    EXPECT_EQ(received(), Strings{"XX.Commit.TR111 h10 id2 s0 i"});

    // A new open replaces the channel and its entries: no atomicity entries, no brackets.
    plain.up(false);
    EXPECT_TRUE(eventually([&] { return app.ended != 0; }));
    EXPECT_EQ(acs({"set", "T.Obj.1.Name", "v"}), "0 ");
    EXPECT_EQ(received(), Strings{"T.Obj.1.Name h2 id3 s0 i1 =v"});
}

TEST(Tr69Agent, ErrorsAndABadFrame) {
    EXPECT_NE(acs({"names"}).find("cannot reach the TR-069 agent"), std::string::npos);
    App app;
    Agent agent({"--reply-timeout", "300"});
    EXPECT_NE(acs({"names"}).find("no daemon connected"), std::string::npos);

    // After a good open, an entry frame of the wrong length ends the channel.
    int fd = ipc_connect(TR69_AGENT_PORT);
    EXPECT_TRUE(send_bytes(fd, std::string("O\0\0\0\x44TR111", 10) + std::string(63, '\0')));
    EXPECT_EQ(recv_bytes(fd, 9), std::string("o\0\0\0\x08\0\0\0\0", 9)); // fault 0
    EXPECT_TRUE(send_bytes(fd, std::string("E\0\0\0\x08", 5) + std::string(8, '\0')));
    EXPECT_TRUE(closed_by_peer(fd));
    close(fd);
    EXPECT_TRUE(eventually([&] { return acs({"names"}).rfind("2 ", 0) == 0; }));
    EXPECT_NE(agent.log().find("frame of wrong type or length refused"), std::string::npos);

    app.up();
    const std::pair<Strings, std::string> cases[] = {
        {{"get", "T.Nothing"}, "unknown parameter T.Nothing"},
        {{"get", "T.Obj.1.2.3.4.5.6.Name"}, "unknown parameter"},
        {{"get", "T.Obj.99999999999.Name"}, "unknown parameter"},
        {{"raw", "--handler-word", "11", "T.Counter"}, "not a number 0 to 10"},
        {{"setattr", "T.Obj.1.Name", "256"}, "not a number 0 to 255"},
        {{"get", "T.Silent"}, "no reply"}, // and the agent goes on serving
    };
    for (const auto& [args, err] : cases) {
        std::string outcome = acs(args);
        EXPECT_TRUE(outcome.rfind("2 ", 0) == 0 && outcome.find(err) != std::string::npos)
            << outcome;
    }
    EXPECT_EQ(acs({"get", "T.Counter"}), "0 42\n");
}

TEST(Tr69Agent, RefusedOpensAndEntries) {
    App app, other;
    Agent agent({"--refuse-id", "4", "--refuse-atomicity-id", "2"});
    EXPECT_EQ(other.open("OTHER"), TR69_ERR_REFUSED);
    EXPECT_EQ(other.chan, 0);
    ASSERT_EQ(app.open(), 0);
    for (const Row& r : rows)
        EXPECT_EQ(app.add(r), r.id == 4 ? TR69_ERR_REFUSED : 0) << r.name;
    const tr69_atomicity_row* failed = nullptr;
    EXPECT_EQ(tr69_register_entries(atomicity, &app.chan, &failed), TR69_ERR_REFUSED);
    EXPECT_EQ(failed, &atomicity[1]);
    app.serve();
    // The refused entry is missing; an atomicity table registers whole or not at all.
    std::string names = acs({"names"});
    EXPECT_EQ(names.find("T.Obj.Fault"), std::string::npos);
    EXPECT_EQ(names.find("XX."), std::string::npos);
    EXPECT_NE(names.find("T.Multi id=5"), std::string::npos);
}

TEST(Tr69Agent, EventsFromOtherThreadsWhileTheLoopWaits) {
    App app;
    Agent agent;
    app.up();
    constexpr int N = 300;
    std::multiset<std::string> want;
    auto notifier = [&](int first) {
        for (int i = first; i < N; i += 2) {
            char code[TR69_EVENT_CODE_SIZE] = "4 VALUE CHANGE";
            uint8_t param[TR69_EVENT_PARAM_SIZE] = {};
            snprintf(reinterpret_cast<char*>(param), TR69_EVENT_NAME_SIZE, "T.Obj.%d.Name", i);
            param[TR69_EVENT_NAME_SIZE] = static_cast<uint8_t>(2 + i % 2);
            EXPECT_EQ(tr69_notify_event(&app.chan, code, param), 0);
        }
    };
    std::thread even(notifier, 0), odd(notifier, 1);
    for (int i = 0; i < 3; ++i) // replies from the loop's thread meanwhile
        EXPECT_EQ(acs({"get", "T.Counter"}), "0 42\n");
    even.join();
    odd.join();
    for (int i = 0; i < N; ++i)
        want.insert("4 VALUE CHANGE T.Obj." + std::to_string(i) + ".Name " + "23"[i % 2]);
    Strings got;
    EXPECT_TRUE(eventually([&] { return (got = lines(acs({"events"}).substr(2))).size() == N; }));
    EXPECT_EQ(std::multiset<std::string>(got.begin(), got.end()), want);
    EXPECT_EQ(app.ended, 0);
}
