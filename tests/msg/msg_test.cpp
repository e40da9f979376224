// The message library in one process: mailboxes, channels, and peers of
// the test's own that speak (or break) its wire format.
#include "platform/include/ipc.h"
#include "platform/include/msg.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <random>
#include <thread>

using namespace tr111test;
using Strings = std::vector<std::string>;

namespace {

// What each mailbox received, in order: "CODE:PAYLOAD" ("CODE:null" for a null payload).
std::mutex mu;
std::map<int, Strings> inboxes;

int record(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    std::string p = payload ? std::string(reinterpret_cast<const char*>(payload), length) : "null";
    std::lock_guard<std::mutex> l(mu);
    inboxes[msg->mailbox].push_back(std::to_string(msg->code) + ":" + p);
    return 0;
}
// A mailbox's messages, once it has at least n.
Strings inbox(int mb, size_t n) {
    eventually([&] {
        std::lock_guard<std::mutex> l(mu);
        return inboxes[mb].size() >= n;
    });
    std::lock_guard<std::mutex> l(mu);
    return inboxes[mb];
}

// Ports of a test's own (the library keeps its mailboxes for the life of the
// process), below the ephemeral range so that no outgoing connection holds
// one. The first call sets the library up.
int next_port() {
    static int port = (signal(SIGPIPE, SIG_IGN), MSG_Init(64), 21000);
    return port += 10;
}
int mailbox(int port, std::initializer_list<uint32_t> codes) {
    int id = MSG_CreateChannel(port);
    for (uint32_t c : codes)
        EXPECT_EQ(MSG_RegisterMessage(id, c, record), 0);
    EXPECT_NE(MSG_StartThread(id), 0u);
    return id;
}

std::string be(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}
std::string frame(uint32_t sender, uint32_t seq, uint32_t code, const std::string& payload) {
    return "M" + be(sender) + be(seq) + be(code) + be(payload.size()) + payload;
}

// A mailbox played by the test: records each message as "SEQ CODE PAYLOAD"
// (read once it has stopped) and acknowledges it, or closes the connection
// instead while drop > 0; with cut, closes it right after the acknowledgement.
struct FakeMailbox {
    int lfd;
    std::atomic<int> drop{0}, connections{0};
    std::atomic<bool> cut{false}, open{false}, stop{false};
    Strings frames;
    std::jthread thread{[this] {
        for (int fd; !stop;) {
            if ((fd = accept_within(lfd, 20)) < 0) continue;
            ++connections, open = true;
            for (pollfd pf{fd, POLLIN, 0};;) {
                while (!stop && poll(&pf, 1, 20) == 0) {
                }
                std::string h = recv_bytes(fd, 17);
                if (stop || h.size() != 17) break;
                std::string p = recv_bytes(fd, static_cast<uint8_t>(h[16]));
                frames.push_back(std::to_string(h[8]) + " " + std::to_string(h[12]) + " " + p);
                if (drop > 0 && drop-- > 0) break;
                send_bytes(fd, "A" + h.substr(5, 4));
                if (cut) break;
            }
            close(fd);
            open = false;
        }
    }};
    explicit FakeMailbox(int port) : lfd(ipc_listen(port)) {}
    ~FakeMailbox() {
        stop = true;
        thread = {};
        close(lfd);
    }
};

TEST(Msg, ManyMessagesArriveInOrderExactlyOnceWhateverOtherPeersDo) {
    int port = next_port(), mb = mailbox(port, {7});
    // Peers that stall inside a frame, announce a huge length, or send garbage.
    int stalled_header = ipc_connect(port), stalled_payload = ipc_connect(port);
    int huge = ipc_connect(port), garbage = ipc_connect(port);
    send_bytes(stalled_header, "M\0\0\0\1");
    send_bytes(stalled_payload, frame(9, 1, 7, std::string(100, 'x')).substr(0, 67));
    send_bytes(huge, frame(9, 1, 7, "").substr(0, 13) + "\xff\xff\xff\xff");
    send_bytes(garbage, "GET / HTTP/1.0\r\n\r\n");
    // Four senders with a channel each, and two that share one.
    constexpr int per_sender = 400, senders = 6;
    int shared = MSG_OpenChannel("127.0.0.1", port);
    std::vector<std::jthread> threads;
    for (int s = 0; s < senders; ++s)
        threads.emplace_back([&, s] {
            int ch = s < 4 ? MSG_OpenChannel("127.0.0.1", port) : shared;
            for (int i = 0; i < per_sender; ++i) {
                std::string p = std::to_string(s) + " " + std::to_string(i);
                EXPECT_EQ(MSG_SendMessage(ch, 7, p.data(), p.size()), 0);
            }
        });
    threads.clear();
    // Every send was acknowledged, so every callback has run or is running.
    Strings got = inbox(mb, senders * per_sender);
    ASSERT_EQ(got.size(), size_t{senders * per_sender});
    std::vector<int> next(senders, 0);
    for (const std::string& m : got) {
        int s = m[2] - '0';
        ASSERT_EQ(m, "7:" + std::to_string(s) + " " + std::to_string(next[s]++));
    }
    EXPECT_TRUE(closed_by_peer(huge)) << "huge length not dropped";
    EXPECT_TRUE(closed_by_peer(garbage)) << "garbage not dropped";
    EXPECT_FALSE(closed_by_peer(stalled_header, 0));
    EXPECT_FALSE(closed_by_peer(stalled_payload, 0));
    for (int fd : {stalled_header, stalled_payload, huge, garbage})
        close(fd);
}

TEST(Msg, PayloadBytesArriveIntact) {
    int port = next_port(), mb = mailbox(port, {3});
    int ch = MSG_OpenChannel("127.0.0.1", port);
    std::mt19937 rng(42);
    Strings want;
    for (uint32_t n : {0u, 1u, 4095u, 4096u, 4097u, 60000u, MSG_PAYLOAD_MAX}) {
        std::string p(n, '\0');
        for (char& b : p)
            b = static_cast<char>(rng());
        ASSERT_EQ(MSG_SendMessage(ch, 3, n ? p.data() : nullptr, n), 0) << n << " bytes";
        want.push_back(n ? "3:" + p : "3:null"); // an empty payload is handed as null
    }
    // Refused before anything goes out.
    std::string big(MSG_PAYLOAD_MAX + 1, 'b');
    EXPECT_EQ(MSG_SendMessage(ch, 3, big.data(), MSG_PAYLOAD_MAX + 1), -1);
    EXPECT_EQ(MSG_SendMessage(ch, 3, nullptr, 5), -1);
    ASSERT_EQ(MSG_SendMessage(ch, 3, "end", 3), 0);
    want.push_back("3:end");
    EXPECT_TRUE(inbox(mb, want.size()) == want);
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
    // After a failed call, a different message is new.
    fake.drop = 1;
    EXPECT_EQ(MSG_SendMessage(ch, 22, "three", 5), -1);
    fake.cut = true; // a connection that breaks between two messages is opened again first
    EXPECT_EQ(MSG_SendMessage(ch, 22, "four", 4), 0);
    EXPECT_TRUE(eventually([&] { return !fake.open; }));
    fake.cut = false;
    EXPECT_EQ(MSG_SendMessage(ch, 22, "five", 4), 0);
    // A retry count is the number of attempts, each on a connection of its own.
    fake.drop = 100;
    EXPECT_EQ(MSG_SendMessageRetry(ch, 1, "x", 1, 3), -1);
    EXPECT_EQ(MSG_SendMessageRetry(ch, 1, "x", 1, 0), -1);
    fake.stop = true;
    fake.thread = {};
    EXPECT_EQ(fake.frames, (Strings{"1 20 one", "1 20 one", "2 21 two", "2 21 two", "3 22 three",
                                    "4 22 four", "5 22 five", "6 1 x", "6 1 x", "6 1 x", "6 1 x"}));
    EXPECT_EQ(fake.connections, 8);
}

TEST(Msg, WireFormatAndDuplicateDropForARawPeer) {
    int port = next_port(), mb = mailbox(port, {40});
    // Two messages in one write; each is acknowledged with its sequence.
    int fd = ipc_connect(port);
    send_bytes(fd, frame(0x01020304, 7, 40, "abc") + frame(0x01020304, 8, 40, ""));
    EXPECT_EQ(recv_bytes(fd, 10), "A" + be(7) + "A" + be(8));
    close(fd);
    // Sequence 8 again, and an older one, from the same sender over a new
    // connection: acknowledged, not taken. Another sender may use the same numbers.
    fd = ipc_connect(port);
    for (auto [sender, seq] : {std::pair{0x01020304u, 8u}, {0x01020304u, 7u}, {0x0a0b0c0du, 8u}}) {
        send_bytes(fd, frame(sender, seq, 40, "again"));
        EXPECT_EQ(recv_bytes(fd, 5), "A" + be(seq));
    }
    close(fd);
    EXPECT_EQ(inbox(mb, 3), (Strings{"40:abc", "40:null", "40:again"}));
}

TEST(Msg, ClosedMailboxesAndCodesWithoutACallback) {
    int port = next_port();
    EXPECT_EQ(MSG_OpenChannel("127.0.0.1", port), -1);
    int mb = mailbox(port, {});
    EXPECT_EQ(MSG_CreateChannel(port), -1) << "one port, two mailboxes";
    int ch = MSG_OpenChannel("127.0.0.1", port);
    ASSERT_GE(ch, 0);
    // A message nobody would take is refused, until its callback is registered.
    EXPECT_EQ(MSG_SendMessage(ch, 1, "early", 5), -1);
    ASSERT_EQ(MSG_RegisterMessage(mb, 1, record), 0);
    EXPECT_EQ(MSG_SendMessage(ch, 1, "early", 5), 0);
    EXPECT_EQ(inbox(mb, 1), Strings{"1:early"});
    // A closed mailbox takes nothing, and its port can be had again: the old
    // channel reaches the new mailbox.
    ASSERT_EQ(MSG_CloseMailbox(mb), 0);
    EXPECT_EQ(MSG_CloseMailbox(mb), -1);
    EXPECT_EQ(MSG_RegisterMessage(mb, 2, record), -1);
    EXPECT_EQ(MSG_SendMessage(ch, 1, "y", 1), -1);
    int again = mailbox(port, {1});
    EXPECT_EQ(MSG_SendMessage(ch, 1, "y", 1), 0);
    EXPECT_EQ(inbox(again, 1), Strings{"1:y"});
}

TEST(Msg, SilentMailboxFailsTheAttemptAfterTheTimeout) {
    int port = next_port();
    int lfd = ipc_listen(port); // accepts (in the backlog), never reads, never acknowledges
    int ch = MSG_OpenChannel("127.0.0.1", port);
    ASSERT_GE(ch, 0);
    EXPECT_EQ(MSG_SendMessage(ch, 1, "x", 1), -1);
    close(lfd);
}

} // namespace
