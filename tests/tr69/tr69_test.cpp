// The TR-069 data-model library against an agent played by the test (Tr69Refs,
// Tr69Lib), and with an application of the test's own, tr69agent and acs (Tr69Agent).
#include "lab/tr69agent/acs_wire.h"
#include "platform/include/ipc.h"
#include "platform/include/tr69_lib.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"

#include <cstring>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <latch>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tr111test;
using Strings = std::vector<std::string>;

namespace {

int early_target;
const uint32_t early_ref = tr69_ref(&early_target); // during static initialisation

// 32-bit words, big-endian, one after the other.
std::string be(std::initializer_list<uint32_t> words) {
    std::string out;
    for (uint32_t w : words)
        out += {char(w >> 24), char(w >> 16), char(w >> 8), char(w)};
    return out;
}
// A frame: type, the length it announces (by default its payload's), payload.
std::string frame(char type, const std::string& payload, size_t len = SIZE_MAX) {
    return type + be({static_cast<uint32_t>(len == SIZE_MAX ? payload.size() : len)}) + payload;
}
// A record's bytes; a call run on a thread of its own; a receive into a scratch record.
const auto bytes = [](const auto& r) {
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
};
const auto later = [](auto f) { return std::async(std::launch::async, f); };
const auto rx = [](int32_t* chan, int flag, tr69_request r = {}) {
    return tr69_rx_msg(&r, chan, flag);
};

// The agent played by the test: its listening socket and the connection of the last open.
struct ScriptAgent {
    int lfd = ipc_listen(TR69_AGENT_PORT);
    int fd = -1;
    std::string opened; // the last open frame's payload

    ~ScriptAgent() { close(fd), close(lfd); }
    // The payload of the next frame, which must be of this type and size.
    std::string expect(char type, size_t size) {
        EXPECT_EQ(recv_bytes(fd, 5), type + be({static_cast<uint32_t>(size)}));
        return recv_bytes(fd, size);
    }
    void put(const std::string& bytes) { EXPECT_TRUE(send_bytes(fd, bytes)); }
    // Opens handle's channel; the agent answers with reply (nothing: it closes).
    int open(int32_t* handle, const std::string& reply) {
        auto f = later([&] { return tr69_open_channel_use_rx_mbx("TR111", handle, 64000); });
        close(fd);
        fd = accept_within(lfd);
        opened = expect('O', 68);
        reply.empty() ? (void)shutdown(fd, SHUT_RDWR) : put(reply);
        return f.get();
    }
    void open(int32_t* handle, int32_t id) {
        EXPECT_EQ(open(handle, frame('o', be({0, static_cast<uint32_t>(id)}))), 0);
        EXPECT_EQ(*handle, id);
    }
};

} // namespace

TEST(Tr69Refs, OneReferencePerAddressFromEveryThreadAndZeroOnceFull) {
    EXPECT_EQ(tr69_addr(early_ref), &early_target);
    EXPECT_TRUE(!tr69_ref(nullptr) && !tr69_addr(0) && !tr69_addr(TR69_END_MARK) &&
                !tr69_addr(TR69_REF_MAX + 1));
    // In child processes, each with its copy of the table: two threads take references
    // for the same 120 addresses at once, in opposite orders; then the table fills.
    for (int run = 0; run < 20; ++run)
        EXPECT_EXIT(
            {
                static int targets[120];
                uint32_t refs[2][120];
                std::latch go(2);
                auto take = [&](int t) {
                    go.arrive_and_wait();
                    for (int k = 0; k < 120; ++k) {
                        int i = t ? 119 - k : k;
                        refs[t][i] = tr69_ref(&targets[i]);
                    }
                };
                {
                    std::jthread a(take, 0);
                    std::jthread b(take, 1);
                }
                static char many[TR69_REF_MAX + 1];
                uint32_t last = 0;
                for (int i = 0; i < 120; ++i)
                    if (tr69_addr(refs[0][i]) != &targets[i] || refs[1][i] != refs[0][i]) exit(1);
                for (char& c : many)
                    if (uint32_t r = tr69_ref(&c)) last = r;
                exit(last == TR69_REF_MAX && tr69_ref(&early_target) == early_ref ? 0 : 2);
            },
            testing::ExitedWithCode(0), "reference table full");
}

TEST(Tr69Lib, FramesOfEveryCall) {
    ScriptAgent agent;
    int32_t chan = 0;
    agent.open(&chan, 77);
    EXPECT_EQ(agent.opened, "TR111" + std::string(59, '\0') + be({64000})); // the mailbox
    // Refused without a frame: a name too long, a row whose name has no reference.
    const uint32_t E = TR69_END_MARK, block[11] = {11, 12, 0, 0, 0, 15, 16, 17, 18, E, 7};
    EXPECT_EQ(tr69_register_entry(std::string(260, 'n').c_str(), 0, 1, 0, block, &chan),
              TR69_ERR_REFUSED);
    const tr69_atomicity_row unknown[] = {{TR69_REF_MAX, 0, 2, 0, 1, E, {}}, {}};
    EXPECT_EQ(tr69_register_entries(unknown, &chan, nullptr), TR69_ERR_REFUSED);

    // Each call, the frame it sends (texts zero-padded, or cut to end in a
    // zero byte; a block up to its end mark), and the agent's answer.
    tr69_request first{}, second{"Second", 7, 3, 2, 0, {2}, "v"}, got{};
    memset(first.name, 'x', sizeof first.name); // unterminated: cut by the library
    const tr69_reply reply{"A.B.Leaf", 3, 9, -7, "value"};
    const tr69_atomicity_row table[] = {{tr69_ref("XX.Commit.T"), 0x100000, 2, 13, 21, E, {}}, {}};
    std::string code(104, 'c'), param = std::string(257, 'n') + '\3';
    auto* record = reinterpret_cast<uint8_t*>(param.data());
    const std::tuple<std::function<int()>, std::string, std::string> calls[] = {
        {[&] { return tr69_register_entry("A.B.Leaf", 0x100, 3, 14, block, &chan); },
         frame('E', "A.B.Leaf" + std::string(252, '\0') +
                        be({0x100, 3, 14, 11, 12, 0, 0, 0, 15, 16, 17, 18, E, 0})),
         frame('R', bytes(first)) + frame('R', bytes(second)) + frame('e', be({0}))},
        {[&] { return tr69_register_entries(table, &chan, nullptr); },
         frame('A', be({1}) + "XX.Commit.T" + std::string(249, '\0') +
                        be({0x100000, 2, 13, 21, E}) + std::string(7 * 280, '\0')),
         frame('a', be({0, 0xFFFFFFFF}))},
        {[&] { return tr69_tx_msg(&reply, &chan); }, frame('r', bytes(reply)), ""},
        {[&] { return tr69_notify_event(&chan, code.data(), record); },
         frame('N', std::string(103, 'c') + '\0' + std::string(256, 'n') + std::string("\0\3", 2)),
         ""},
    };
    for (const auto& [call, sent, answer] : calls) {
        auto done = later(call);
        EXPECT_EQ(recv_bytes(agent.fd, sent.size()), sent);
        agent.put(answer);
        EXPECT_EQ(done.get(), 0);
    }
    // The two requests that came before an answer wait for tr69_rx_msg.
    ASSERT_EQ(tr69_rx_msg(&got, &chan, 0), 0);
    EXPECT_EQ(std::string(got.name), std::string(259, 'x'));
    ASSERT_EQ(tr69_rx_msg(&got, &chan, 1), 0);
    EXPECT_EQ(bytes(got), bytes(second));
    EXPECT_EQ(rx(&chan, 0), TR69_ERR_AGAIN);
}

TEST(Tr69Lib, BadAnswersAndFramesFailTheChannel) {
    int32_t chan = 0;
    EXPECT_EQ(tr69_open_channel_use_rx_mbx("TR111", &chan, 1), TR69_ERR_CONNECT);
    EXPECT_EQ(tr69_open_channel_use_rx_mbx(std::string(64, 'a').c_str(), &chan, 1),
              TR69_ERR_REFUSED);
    ScriptAgent agent;
    const std::pair<std::string, int> opens[] = {
        {frame('o', std::string(7, '\0')), TR69_ERR_CHANNEL},
        {frame('o', std::string(9, '\0')), TR69_ERR_CHANNEL},
        {frame('R', bytes(tr69_request{})), TR69_ERR_CHANNEL},
        {frame('o', be({9004, 5})), 9004},
        {frame('o', be({0, 0})), TR69_ERR_CHANNEL}, // channel id 0
        {"", TR69_ERR_CHANNEL},                     // closed
    };
    for (const auto& [reply, result] : opens)
        EXPECT_EQ(agent.open(&chan, reply), result);
    EXPECT_TRUE(chan == 0 && rx(&chan, 0) == TR69_ERR_CHANNEL); // nothing opened: no call works

    // While the receive waits, a request one byte short, an answer to nothing or the end
    // fails the channel for good; an open with the same handle replaces it.
    for (const std::string& bad : {frame('R', bytes(tr69_request{}), sizeof(tr69_request) - 1),
                                   frame('e', be({0})), std::string()}) {
        agent.open(&chan, 5);
        auto waiting = later([&] { return rx(&chan, 1); });
        bad.empty() ? (void)shutdown(agent.fd, SHUT_RDWR) : agent.put(bad);
        EXPECT_EQ(waiting.get(), TR69_ERR_CHANNEL);
        tr69_reply reply{};
        EXPECT_EQ(tr69_tx_msg(&reply, &chan), TR69_ERR_CHANNEL);
        auto* param = reinterpret_cast<uint8_t*>(reply.name); // (258 bytes of its 260)
        EXPECT_EQ(tr69_notify_event(&chan, reply.name, param), -TR69_ERR_CHANNEL);
        EXPECT_EQ(rx(&chan, 1), TR69_ERR_CHANNEL);
    }

    // More requests come during a registration than the library keeps.
    agent.open(&chan, 6);
    uint32_t block[11] = {1, TR69_END_MARK};
    auto reg = later([&] { return tr69_register_entry("A", 0, 1, 0, block, &chan); });
    agent.expect('E', 316);
    const std::string q = frame('R', bytes(tr69_request{}));
    agent.put(q + q + q + q + q + frame('e', be({0})));
    EXPECT_EQ(reg.get(), TR69_ERR_CHANNEL);
    agent.open(&chan, 7); // a new channel, without the requests the old one kept
    EXPECT_EQ(rx(&chan, 0), TR69_ERR_AGAIN);

    // The agent gone without a word: events go into the void until one fails
    // the channel, without SIGPIPE (whose default ends the test).
    close(std::exchange(agent.fd, -1));
    const std::string code(TR69_EVENT_CODE_SIZE, 'c'), param(TR69_EVENT_PARAM_SIZE, 'p');
    auto* record = reinterpret_cast<const uint8_t*>(param.data());
    EXPECT_TRUE(eventually([&] { return tr69_notify_event(&chan, code.data(), record) != 0; }));
    EXPECT_EQ(rx(&chan, 0), TR69_ERR_CHANNEL);
}

namespace {

// Handler words of the test table: the agent only passes them back.
enum : uint32_t { GET = 1, SET, LIST, ATTR_GET, ATTR_SET, FAULT, SILENT, ATOMIC };
constexpr uint32_t END = TR69_END_MARK;
struct Row {
    const char* name;
    uint32_t flags, id, type, block[TR69_HANDLER_BLOCK_WORDS];
};
const Row rows[] = {
    {"T.Counter", 0, 1, 0x10, {GET, 0, 0, 0, 0, ATTR_GET, ATTR_SET, 0, 0, END}},
    {"T.Obj.", 0x100, 0, 0, {0, 0, LIST, END, ATTR_GET, ATTR_GET}}, // nothing after the end
    {"T.Obj.Sub.Name", 0x10000, 3, 0xE, {GET, SET, END}},
    {"T.Obj.Fault", 0, 4, 0xE, {FAULT, FAULT, END}},
    {"T.Silent", 0, 6, 0xE, {SILENT, END}},
};
const tr69_atomicity_row atomicity[] = {
    {tr69_ref("XX.StartSequence.TR111"), 0x100000, 1, 0x0D, ATOMIC, END, {}},
    {tr69_ref("XX.Commit.TR111"), 0x100000, 2, 0x0D, ATOMIC, END, {}},
    {tr69_ref("XX.Rollback.TR111"), 0x100000, 3, 0x0D, ATOMIC, END, {}},
    {},
};

// Every request the application received: "NAME hWORD idID sSTATUS i", the
// instance numbers up to the first 0, and " =VALUE_IN" when not empty.
std::mutex mu;
Strings journal;
// The journal, taken once it holds at least n requests.
Strings received(size_t n = 0) {
    Strings got;
    eventually([&] {
        std::lock_guard<std::mutex> l(mu);
        return journal.size() >= n && (got = std::exchange(journal, {}), true);
    });
    return got;
}

// An acs command's exit status, a blank, its standard output and error.
std::string acs(const Strings& args) {
    RunResult r = run_program("acs", args);
    return std::to_string(r.status) + " " + r.out + r.err;
}

} // namespace

// Each operation's request and the brackets of a set. (Events from other
// threads while the loop waits: tests/road and tests/model, through the daemon.)
TEST(Tr69Agent, RequestsOfEachOperationAndTheBracketsOfASet) {
    // tr69agent, and an application on it that opens the channel, registers the
    // table and serves: the daemon's request loop in small, which answers 9002
    // to FAULT, nothing to SILENT and ATOMIC, "42" else.
    int32_t chan = 0;
    std::jthread loop;
    auto argv = program("tr69agent");
    argv.insert(argv.end(), {"--reply-timeout", "300"});
    Background agent(argv, "/dev/null");
    ASSERT_TRUE(wait_port(ACS_PORT, 10000)); // (the agent ends first, and so does the loop)
    ASSERT_EQ(tr69_open_channel_use_rx_mbx("TR111", &chan, 1), 0);
    for (const Row& r : rows)
        ASSERT_EQ(tr69_register_entry(r.name, r.flags, r.id, r.type, r.block, &chan), 0);
    ASSERT_EQ(tr69_register_entries(atomicity, &chan, nullptr), 0);
    loop = std::jthread([&] {
        for (tr69_request q{}; tr69_rx_msg(&q, &chan, 1) == 0; q = {}) {
            std::string line = std::string(q.name) + " h" + std::to_string(q.handler) + " id" +
                               std::to_string(q.id) + " s" + std::to_string(q.status) + " i";
            for (int i = 0; i < 5 && q.instances[i]; ++i)
                line.append(i ? "." : "").append(std::to_string(q.instances[i]));
            std::unique_lock<std::mutex> l(mu);
            journal.push_back(line + (*q.value_in ? " =" : "") + q.value_in);
            l.unlock();
            tr69_reply r{{}, q.id, q.echo, q.handler == FAULT ? 9002 : 0, "42"};
            if (q.handler != SILENT && q.handler != ATOMIC) tr69_tx_msg(&r, &chan);
        }
    });
    // An acs command, its outcome, the request the application received.
    const std::tuple<Strings, std::string, std::string> cases[] = {
        {{"get", "T.Obj.2.Sub.7.Name"}, "0 42\n", "T.Obj.2.Sub.7.Name h1 id3 s0 i2.7"},
        {{"raw", "--handler-word", "6", "--status", "7", "T.Counter", "\3"},
         "0 0 42\n",
         "T.Counter h5 id1 s7 i =\3"},
        {{"get", "T.Silent"},
         "2 acs: no reply from the daemon within 300 ms\n",
         "T.Silent h7 id6 s0 i"},
        // No handler in the operation's word: 9008, nothing sent.
        {{"set", "T.Counter", "5"}, "1 fault 9008\n", ""},
        // A name that is not to be split: an instance number above 32 bits.
        {{"instances", "T.Obj.4294967296."}, "2 acs: unknown parameter T.Obj.4294967296.\n", ""},
    };
    Strings want;
    for (const auto& [args, outcome, request] : cases) {
        EXPECT_EQ(acs(args), outcome) << args[1];
        if (!request.empty()) want.push_back(request);
    }
    EXPECT_EQ(received(), want);

    // A set is bracketed by the atomicity entries: Commit, or Rollback after a fault.
    const std::string start = "XX.StartSequence.TR111 h8 id1 s0 i";
    EXPECT_EQ(acs({"set", "T.Obj.3.Sub.1.Name", "hello world"}), "0 ");
    EXPECT_EQ(received(3), (Strings{start, "T.Obj.3.Sub.1.Name h2 id3 s0 i3.1 =hello world",
                                    "XX.Commit.TR111 h8 id2 s0 i"}));
    EXPECT_EQ(acs({"set", "T.Obj.3.Fault", "x"}), "1 fault 9002\n");
    EXPECT_EQ(received(3),
              (Strings{start, "T.Obj.3.Fault h6 id4 s0 i3 =x", "XX.Rollback.TR111 h8 id3 s0 i"}));
}
