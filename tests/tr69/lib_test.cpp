// The TR-069 data-model library against an agent played by the test on
// 127.0.0.1:7100: the bytes of every frame, requests that arrive before an
// answer, frames of wrong type or length; and the reference table.
#include "platform/include/ipc.h"
#include "platform/include/tr69_lib.h"
#include "tests/support/net.h"

#include <atomic>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using tr111test::recv_bytes;

namespace {

int early_target;
const uint32_t early_ref = tr69_ref(&early_target); // during static initialisation

// 32-bit words, big-endian, one after the other.
std::string be(std::initializer_list<uint32_t> words) {
    std::string out;
    for (uint32_t w : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            out += static_cast<char>(w >> shift);
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
int rx(int32_t* chan, int flag, tr69_request r = {}) {
    return tr69_rx_msg(&r, chan, flag);
}

// The agent: its listening socket and the connection of the last open.
struct ScriptAgent {
    int lfd = ipc_listen(TR69_AGENT_PORT);
    int fd = -1;
    std::string opened; // the last open frame's payload

    ~ScriptAgent() {
        close(fd);
        close(lfd);
    }
    // The payload of the next frame, which must be of this type and size.
    std::string expect(char type, size_t size) {
        EXPECT_EQ(recv_bytes(fd, 5), type + be({static_cast<uint32_t>(size)}));
        return recv_bytes(fd, size);
    }
    void put(const std::string& bytes) { EXPECT_TRUE(tr111test::send_bytes(fd, bytes)); }
    // Opens handle's channel; the agent answers with reply (nothing: it closes).
    int open(int32_t* handle, const std::string& reply) {
        auto f = later([&] { return tr69_open_channel_use_rx_mbx("TR111", handle, -1); });
        close(fd);
        fd = tr111test::accept_within(lfd);
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

TEST(Tr69Refs, SameAddressSameReferenceFromEveryThread) {
    EXPECT_EQ(tr69_addr(early_ref), &early_target);
    EXPECT_EQ(tr69_ref(nullptr), 0u);
    for (uint32_t never : {0u, TR69_END_MARK, TR69_REF_MAX + 1})
        EXPECT_EQ(tr69_addr(never), nullptr);
    // Four threads take references for the same 120 addresses at once, in two orders.
    static int targets[120];
    uint32_t refs[4][120];
    std::atomic<int> ready{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (++ready; ready.load() < 4;) {
                }
                for (int k = 0; k < 120; ++k)
                    refs[t][t % 2 ? 119 - k : k] = tr69_ref(&targets[t % 2 ? 119 - k : k]);
            });
    }
    std::set<uint32_t> distinct = {early_ref};
    for (int i = 0; i < 120; ++i) {
        EXPECT_TRUE(refs[1][i] == refs[0][i] && refs[2][i] == refs[0][i] &&
                    refs[3][i] == refs[0][i]);
        EXPECT_EQ(tr69_addr(refs[0][i]), &targets[i]);
        distinct.insert(refs[0][i]);
    }
    EXPECT_EQ(distinct.size(), 121u);
}

TEST(Tr69Refs, FullTableGivesZero) {
    EXPECT_EXIT( // in a child process, so that the other tests keep their room
        {
            static char many[TR69_REF_MAX + 1];
            uint32_t last = 0;
            for (char& c : many)
                if (uint32_t r = tr69_ref(&c)) last = r;
            exit(last == TR69_REF_MAX && tr69_ref(&early_target) == early_ref ? 0 : 1);
        },
        testing::ExitedWithCode(0), "reference table full");
}

TEST(Tr69Lib, FramesOfOpenRegistrationAndEvent) {
    ScriptAgent agent;
    int32_t chan = 0;
    agent.open(&chan, 77);
    EXPECT_EQ(agent.opened, "TR111" + std::string(59, '\0') + be({0xFFFFFFFF})); // mailbox -1

    // An entry's block goes up to its end mark, zeros after it. Two
    // requests come before the answer: they wait for tr69_rx_msg.
    const uint32_t E = TR69_END_MARK, block[11] = {11, 12, 0, 0, 0, 15, 16, 17, 18, E, 7};
    auto reg = later([&] { return tr69_register_entry("A.B.Leaf", 0x100, 3, 14, block, &chan); });
    EXPECT_EQ(agent.expect('E', 316),
              "A.B.Leaf" + std::string(252, '\0') +
                  be({0x100, 3, 14, 11, 12, 0, 0, 0, 15, 16, 17, 18, E, 0}));
    tr69_request first{}, second{"Second", 7, 3, 2, 0, {2}, "v"}, got{};
    memset(first.name, 'x', sizeof first.name); // unterminated: cut by the library
    agent.put(frame('R', bytes(first)) + frame('R', bytes(second)) + frame('e', be({9004})));
    EXPECT_EQ(reg.get(), 9004);
    // A name that does not fit is refused without a frame.
    EXPECT_EQ(tr69_register_entry(std::string(260, 'n').c_str(), 0, 1, 0, block, &chan),
              TR69_ERR_REFUSED);
    ASSERT_EQ(tr69_rx_msg(&got, &chan, 0), 0);
    EXPECT_EQ(std::string(got.name), std::string(259, 'x'));
    ASSERT_EQ(tr69_rx_msg(&got, &chan, 1), 0);
    EXPECT_EQ(bytes(got), bytes(second));
    EXPECT_EQ(rx(&chan, 0), TR69_ERR_AGAIN);
    // An atomicity row whose name cannot be resolved: refused without a frame.
    const tr69_atomicity_row table[] = {{tr69_ref("XX.Commit.T"), 0, 1, 0, 1, E, {}},
                                        {TR69_REF_MAX, 0, 2, 0, 1, E, {}},
                                        {0, 0, 0, 0, 0, 0, {}}};
    const tr69_atomicity_row* failed = nullptr;
    EXPECT_EQ(tr69_register_entries(table, &chan, &failed), TR69_ERR_REFUSED);
    EXPECT_EQ(failed, &table[1]);

    // An event goes with its text fields cut to end in a zero byte.
    std::string code(104, 'c'), param = std::string(257, 'n') + '\3';
    auto* record = reinterpret_cast<const uint8_t*>(param.data());
    auto event = [&] { return tr69_notify_event(&chan, code.data(), record); };
    ASSERT_EQ(event(), 0);
    EXPECT_EQ(agent.expect('N', 362),
              std::string(103, 'c') + '\0' + std::string(256, 'n') + std::string("\0\3", 2));

    // A request frame one byte short: the channel fails, and stays failed.
    auto waiting = later([&] { return rx(&chan, 1); });
    agent.put(frame('R', bytes(first), sizeof first - 1));
    EXPECT_EQ(waiting.get(), TR69_ERR_CHANNEL);
    tr69_reply reply{};
    EXPECT_EQ(tr69_tx_msg(&reply, &chan), TR69_ERR_CHANNEL);
    EXPECT_EQ(event(), -TR69_ERR_CHANNEL);
    EXPECT_EQ(rx(&chan, 1), TR69_ERR_CHANNEL);
}

TEST(Tr69Lib, BadOpenAnswersFailTheOpen) {
    int32_t chan = 0;
    EXPECT_EQ(tr69_open_channel_use_rx_mbx("TR111", &chan, 1), TR69_ERR_CONNECT);
    EXPECT_EQ(tr69_open_channel_use_rx_mbx(std::string(64, 'a').c_str(), &chan, 1),
              TR69_ERR_REFUSED);
    ScriptAgent agent;
    const std::pair<std::string, int> cases[] = {
        {frame('o', std::string(7, '\0')), TR69_ERR_CHANNEL},
        {frame('o', std::string(9, '\0')), TR69_ERR_CHANNEL},
        {frame('R', bytes(tr69_request{})), TR69_ERR_CHANNEL},
        {frame('o', be({9004, 5})), 9004},
        {frame('o', be({0, 0})), TR69_ERR_CHANNEL}, // channel id 0
        {"", TR69_ERR_CHANNEL},                     // closed
    };
    for (const auto& [reply, result] : cases)
        EXPECT_EQ(agent.open(&chan, reply), result);
    // Nothing opened: no call works on the handle.
    EXPECT_EQ(chan, 0);
    EXPECT_EQ(rx(&chan, 0), TR69_ERR_CHANNEL);
    uint32_t block[11] = {TR69_END_MARK};
    EXPECT_EQ(tr69_register_entry("A", 0, 1, 0, block, &chan), TR69_ERR_CHANNEL);
}

TEST(Tr69Lib, UnexpectedFramesFailTheChannel) {
    ScriptAgent agent;
    int32_t chan = 0;
    agent.open(&chan, 5);
    // An answer while nothing was asked.
    auto waiting = later([&] { return rx(&chan, 1); });
    agent.put(frame('e', be({0})));
    EXPECT_EQ(waiting.get(), TR69_ERR_CHANNEL);

    // Opened again with the same handle: a new connection replaces the failed
    // one. More requests come during a registration than the library keeps.
    agent.open(&chan, 6);
    uint32_t block[11] = {1, TR69_END_MARK};
    auto reg = later([&] { return tr69_register_entry("A", 0, 1, 0, block, &chan); });
    agent.expect('E', 316);
    std::string five;
    for (int i = 0; i < 5; ++i)
        five += frame('R', bytes(tr69_request{}));
    agent.put(five + frame('e', be({0})));
    EXPECT_EQ(reg.get(), TR69_ERR_CHANNEL);

    // The new channel starts without the requests the old one kept; the
    // agent closes it while the receive waits.
    agent.open(&chan, 7);
    EXPECT_EQ(rx(&chan, 0), TR69_ERR_AGAIN);
    waiting = later([&] { return rx(&chan, 1); });
    shutdown(agent.fd, SHUT_RDWR);
    EXPECT_EQ(waiting.get(), TR69_ERR_CHANNEL);
}
