// The message library in one process: a mailbox, channels, and a mailbox
// of the test's own that drops connections.
#include "platform/include/msg.h"
#include "tests/support/net.h"

#include <atomic>
#include <gtest/gtest.h>
#include <map>

using namespace tr111test;

namespace {

// Ports of a test's own, below the ephemeral range. The first call sets
// the library up. SIGPIPE keeps its default: the library's writes to a
// peer that went away must not raise it.
int next_port() {
    static int port = (MSG_Init(64), 21000);
    return port += 10;
}

std::string ack(uint32_t seq) {
    return std::string("A").append(be({seq}));
}
std::string frame(uint32_t sender, uint32_t seq, const std::string& payload) {
    // Code 7.
    return std::string("M").append(be({sender, seq, 7u, uint32_t(payload.size())})).append(payload);
}

// (Senders with channels of their own, and messages given up and sent
// again: ExactlyOnceInOrder... below; broken frames: tests/faults.)
TEST(Msg, MailboxTakesEveryMessageWholeOnceAndInOrder) {
    const int port = next_port(), mb = MSG_CreateChannel(port);
    ASSERT_EQ(MSG_RegisterMessage(mb, 7, inbox_record), 0);
    ASSERT_NE(MSG_StartThread(mb), 0u);
    const int ch = MSG_OpenChannel("127.0.0.1", port);
    // Two threads sending on the one channel: each one's messages in order.
    auto sender = [ch](char s) {
        for (int i = 0; i < 400; ++i) {
            const std::string p = std::string(1, s).append(std::to_string(i));
            EXPECT_EQ(MSG_SendMessage(ch, 7, p.data(), p.size()), 0);
        }
    };
    { std::jthread a(sender, 'a'), b(sender, 'b'); }
    std::map<char, int> next;
    for (const std::string& m : inbox(800))
        EXPECT_EQ(m.substr(3), std::to_string(next[m[2]]++)) << m;
    EXPECT_EQ(next, (std::map<char, int>{{'a', 400}, {'b', 400}}));
    // Payloads of every size up to the largest, bytes intact.
    Strings want = inbox(800);
    std::string bytes(MSG_PAYLOAD_MAX + 1, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 256);
    for (uint32_t n : {0u, 1u, 4095u, 4096u, 4097u, 60000u, MSG_PAYLOAD_MAX}) {
        ASSERT_EQ(MSG_SendMessage(ch, 7, n ? bytes.data() : nullptr, n), 0) << n << " bytes";
        want.push_back(n ? "7:" + bytes.substr(0, n) : "7:null");
    }
    EXPECT_EQ(MSG_SendMessage(ch, 7, bytes.data(), MSG_PAYLOAD_MAX + 1), -1); // refused
    // A peer of the test's own sends sequence 8 again on a new connection,
    // and an older one: acknowledged, not taken. Another sender may use the
    // same numbers.
    const uint32_t S = 0x01020304, T = 0x0a0b0c0d;
    std::string acks;
    for (const auto& [out, n] : {std::pair{frame(S, 7, "abc") + frame(S, 8, ""), 2},
                                 {frame(S, 8, "dup") + frame(S, 7, "old") + frame(T, 8, "t"), 3}}) {
        const int fd = ipc_connect(port);
        send_bytes(fd, out);
        acks += recv_bytes(fd, 5 * n);
        close(fd);
    }
    EXPECT_EQ(acks, ack(7) + ack(8) + ack(8) + ack(7) + ack(8));
    want.insert(want.end(), {"7:abc", "7:null", "7:t"});
    EXPECT_TRUE(inbox(want.size()) == want);
}

TEST(Msg, ResendsKeepTheirSequenceNumber) {
    int port = next_port();
    FakeMailbox fake(port);
    int ch = MSG_OpenChannel("127.0.0.1", port);
    // Its acknowledgement lost with the connection, "one" goes again on a new
    // one under the same number, within the call and across calls.
    fake.drop = 1;
    EXPECT_EQ(MSG_SendMessageRetry(ch, 20, "one", 3, 3), 0);
    fake.drop = 1;
    EXPECT_EQ(MSG_SendMessage(ch, 21, "two", 3), -1);
    EXPECT_EQ(MSG_SendMessage(ch, 21, "two", 3), 0);
    // A retry count is the number of attempts, each on a connection of its own.
    fake.drop = 100;
    EXPECT_EQ(MSG_SendMessageRetry(ch, 1, "x", 1, 3), -1);
    EXPECT_EQ(MSG_SendMessageRetry(ch, 1, "x", 1, 0), -1);
    fake.thread = {}; // ended: it dropped the last connection
    EXPECT_EQ(fake.frames, (Strings{"1 20 one", "1 20 one", "2 21 two", "2 21 two", "3 1 x",
                                    "3 1 x", "3 1 x", "3 1 x"}));
}

// What the management process does: its forwarder retries a change until it
// is confirmed while its control thread sends on the same channel; a callback
// outlasts the attempts, a code is refused until its callback comes. Each
// message is taken once, in the order of its sender.
TEST(Msg, ExactlyOnceInOrderWhateverFailsInBetween) {
    const int port = next_port(), mb = MSG_CreateChannel(port);
    constexpr int T = 100; // ms of an attempt
    MSG_SetAttemptTime(T);
    std::lock_guard<std::mutex>{inbox_mu}, inbox_got.clear();
    // "hold" keeps the mailbox's thread until X and Y have failed; "...slow" a while.
    static std::atomic<bool> holding{true};
    ASSERT_EQ(MSG_RegisterMessage(mb, 1,
                                  [](const MSG_Message* m, const uint8_t* p, uint32_t n) {
                                      const std::string_view s(reinterpret_cast<const char*>(p), n);
                                      for (int i = 0; s == "hold" && holding && i < 2000; ++i)
                                          std::this_thread::sleep_for(std::chrono::milliseconds(5));
                                      if (s.ends_with("slow"))
                                          std::this_thread::sleep_for(
                                              std::chrono::milliseconds(5 * T));
                                      return inbox_record(m, p, n);
                                  }),
              0);
    ASSERT_NE(MSG_StartThread(mb), 0u);
    const int shared = MSG_OpenChannel("127.0.0.1", port), own = MSG_OpenChannel("127.0.0.1", port);
    // As the forwarder does, a sender pauses after a failure: a thread retrying
    // at once could keep the shared channel from the other for a minute on a
    // loaded machine. Given up after 60 s.
    auto until_sent = [](int ch, uint32_t code, const std::string& p) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        bool sent = false;
        while (!(sent = MSG_SendMessageRetry(ch, code, p.data(), p.size(), 2) == 0) &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_TRUE(sent) << p;
    };
    // X and Y wait behind the held one and fail; X sent again is X, once.
    until_sent(shared, 1, "hold");
    EXPECT_EQ(MSG_SendMessage(shared, 1, "X", 1), -1);
    EXPECT_EQ(MSG_SendMessage(shared, 1, "Y", 1), -1);
    holding = false;
    EXPECT_EQ(MSG_SendMessageRetry(shared, 1, "X", 1, 30), 0);
    EXPECT_EQ(MSG_SendMessage(shared, 1, "Y", 1), 0);
    Strings want = {"1:hold", "1:X", "1:Y"};
    EXPECT_EQ(inbox(3), want);

    // Three senders at once: the forwarder and control on the shared channel,
    // another on its own; every tenth change is slow, code 2 is refused (its
    // connection closed) until the forwarder is half-way.
    constexpr int N = 40;
    // Built by appends: "K" + std::string&& trips the same -Wrestrict false positive.
    auto tag = [](const char* p, int j, const char* tail = "") {
        return std::string(p).append(std::to_string(j)).append(tail);
    };
    std::jthread control([&] {
        for (int j = 0; j < N / 2; ++j)
            until_sent(shared, 2, tag("K", j));
    });
    std::jthread other([&] {
        for (int j = 0; j < N; ++j)
            until_sent(own, 1, tag("G", j));
    });
    for (int i = 0; i < N; ++i) {
        until_sent(shared, 1, tag("F", i, i % 10 == 3 ? "slow" : ""));
        if (i == N / 2) {
            ASSERT_EQ(MSG_RegisterMessage(mb, 2, inbox_record), 0);
        }
    }
    control.join();
    other.join();
    MSG_SetAttemptTime(MSG_ACK_TIMEOUT_MS);
    Strings got = inbox(3 + 2 * N + N / 2);
    std::map<char, int> next;
    for (size_t k = 3; k < got.size(); ++k)
        EXPECT_EQ(atoi(got[k].c_str() + 3), next[got[k][2]]++) << got[k];
    EXPECT_EQ(next, (std::map<char, int>{{'F', N}, {'G', N}, {'K', N / 2}}));
}

} // namespace
