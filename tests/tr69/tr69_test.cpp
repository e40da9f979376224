// The TR-069 data-model library: its reference table, and its frames against
// an agent played by the test.
#include "platform/include/tr69_lib.h"
#include "tests/support/net.h"

#include <functional>
#include <future>
#include <gtest/gtest.h>

using namespace tr111test;

namespace {

int early_target;
const uint32_t early_ref = tr69_ref(&early_target); // during static initialisation

// A frame: type, the length it announces (by default its payload's), payload.
std::string frame(char type, const std::string& payload, size_t len = SIZE_MAX) {
    return type + be({static_cast<uint32_t>(len == SIZE_MAX ? payload.size() : len)}) + payload;
}
// A record's bytes; a call run on a thread of its own; a receive into a scratch record.
const auto bytes = [](const auto& r) {
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
};
const auto later = [](auto f) { return std::async(std::launch::async, f); };
const auto rx = [](int32_t* c, int flag, tr69_request r = {}) { return tr69_rx_msg(&r, c, flag); };

// The agent played by the test: its listening socket and the connection of the last open.
struct ScriptAgent {
    int lfd = ipc_listen(TR69_AGENT_PORT);
    int fd = -1;
    std::string opened; // the last open frame's payload

    ~ScriptAgent() { close(fd), close(lfd); }
    void put(const std::string& bytes) { EXPECT_TRUE(send_bytes(fd, bytes)); }
    // Opens handle's channel; the agent answers with reply (nothing: it closes).
    int open(int32_t* handle, const std::string& reply) {
        auto f = later([&] { return tr69_open_channel_use_rx_mbx("TR111", handle, 64000); });
        close(fd);
        fd = accept_within(lfd);
        EXPECT_EQ(recv_bytes(fd, 5), 'O' + be({68}));
        opened = recv_bytes(fd, 68);
        reply.empty() ? (void)shutdown(fd, SHUT_RDWR) : put(reply);
        return f.get();
    }
    void open(int32_t* handle, int32_t id) {
        EXPECT_EQ(open(handle, frame('o', be({0, static_cast<uint32_t>(id)}))), 0);
        EXPECT_EQ(*handle, id);
    }
};

} // namespace

// (References are taken while static tables are built, on one thread.)
TEST(Tr69Refs, OneReferencePerAddressAndZeroOnceFull) {
    EXPECT_EQ(tr69_addr(early_ref), &early_target);
    EXPECT_EXIT( // in a child process, with its copy of the table
        {
            static char many[TR69_REF_MAX + 1];
            uint32_t last = 0;
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
}

TEST(Tr69Lib, BadAnswersAndFramesFailTheChannel) {
    int32_t chan = 0;
    EXPECT_EQ(tr69_open_channel_use_rx_mbx("TR111", &chan, 1), TR69_ERR_CONNECT);
    EXPECT_EQ(tr69_open_channel_use_rx_mbx(std::string(64, 'a').c_str(), &chan, 1),
              TR69_ERR_REFUSED);
    ScriptAgent agent;
    const std::pair<std::string, int> opens[] = {
        {frame('o', std::string(7, '\0')), TR69_ERR_CHANNEL},
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
        EXPECT_EQ(rx(&chan, 1), TR69_ERR_CHANNEL);
    }
    // (The agent gone without a word: tests/faults, through tr111d.)
}
