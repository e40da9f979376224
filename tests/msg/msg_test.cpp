// The message library in one process: mailboxes, channels, and raw peers
// that speak (or break) its wire format.
#include "platform/include/msg.h"
#include "tests/support/proc.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using tr111test::eventually;

namespace {

struct Received {
    uint32_t code;
    uint32_t length;
    bool null_payload;
    std::vector<uint8_t> payload;
};

// What one mailbox received, in order.
struct Inbox {
    std::mutex mu;
    std::vector<Received> got;

    size_t size() {
        std::lock_guard<std::mutex> lk(mu);
        return got.size();
    }
    std::vector<Received> all() {
        std::lock_guard<std::mutex> lk(mu);
        return got;
    }
};

std::mutex g_inboxes_mu;
std::map<int, Inbox*> g_inboxes;

int record(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    Inbox* box;
    {
        std::lock_guard<std::mutex> lk(g_inboxes_mu);
        box = g_inboxes.at(msg->mailbox);
    }
    Received r{msg->code, length, payload == nullptr, {}};
    if (payload) r.payload.assign(payload, payload + length);
    std::lock_guard<std::mutex> lk(box->mu);
    box->got.push_back(std::move(r));
    return 0;
}

// Every test has ports of its own: the library keeps its mailboxes for the
// life of the process. Below the ephemeral range (32768 and up), so that no
// outgoing connection of an earlier test holds one of them.
int next_port() {
    static int port = 21000;
    return port += 10;
}

int mailbox(int port, Inbox& box, std::initializer_list<uint32_t> codes) {
    int id = MSG_CreateChannel(port);
    EXPECT_GE(id, 0);
    {
        std::lock_guard<std::mutex> lk(g_inboxes_mu);
        g_inboxes[id] = &box;
    }
    for (uint32_t c : codes)
        EXPECT_EQ(MSG_RegisterMessage(id, c, record), 0);
    EXPECT_NE(MSG_StartThread(id), 0u);
    return id;
}

std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

// ---- raw sockets ----

int raw_listen(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, 64), 0);
    return fd;
}

int raw_connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

void raw_send(int fd, const std::vector<uint8_t>& b) {
    ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(static_cast<uint8_t>(v >> shift));
}

std::vector<uint8_t> frame(uint32_t sender, uint32_t seq, uint32_t code, const std::string& p) {
    std::vector<uint8_t> b{'M'};
    put32(b, sender);
    put32(b, seq);
    put32(b, code);
    put32(b, static_cast<uint32_t>(p.size()));
    b.insert(b.end(), p.begin(), p.end());
    return b;
}

// True once the peer has closed fd (a read gives end of file or an error).
bool peer_closed(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// Reads n bytes within 5 s.
std::vector<uint8_t> raw_read(int fd, size_t n) {
    std::vector<uint8_t> b;
    while (b.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        uint8_t buf[64];
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - b.size()), 0);
        if (r <= 0) break;
        b.insert(b.end(), buf, buf + r);
    }
    return b;
}

// A TCP relay in front of a mailbox that can lose the next acknowledgement
// (closing both sides instead of passing it on) or cut the connection.
class Relay {
  public:
    Relay(int port, int upstream) : upstream_(upstream), listen_(raw_listen(port)) {
        thread_ = std::thread([this] { run(); });
    }
    ~Relay() {
        stop_ = true;
        thread_.join();
        close(listen_);
    }
    std::atomic<bool> lose_next_ack{false};
    std::atomic<bool> cut{false};
    std::atomic<int> connections{0};
    std::atomic<bool> active{false};

  private:
    void run() {
        while (!stop_) {
            pollfd l{listen_, POLLIN, 0};
            if (poll(&l, 1, 20) <= 0) continue;
            int client = accept(listen_, nullptr, nullptr);
            int server = raw_connect(upstream_);
            ++connections;
            active = true;
            pump(client, server);
            close(client);
            close(server);
            active = false;
        }
    }
    void pump(int client, int server) {
        while (!stop_) {
            if (cut.exchange(false)) return;
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0) continue;
            uint8_t buf[70000];
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = recv(p[i].fd, buf, sizeof buf, 0);
                if (n <= 0) return;
                if (i == 1 && lose_next_ack.exchange(false)) return;
                send(i == 0 ? server : client, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
        }
    }
    int upstream_;
    int listen_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Msg : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(MSG_Init(64), 0);
    }
};

TEST_F(Msg, ManyMessagesArriveInOrderExactlyOnce) {
    int port = next_port();
    Inbox box;
    mailbox(port, box, {7});

    // Four senders with a channel each, and two that share one channel.
    constexpr int per_sender = 400;
    constexpr int senders = 6;
    int shared = MSG_OpenChannel("127.0.0.1", port);
    ASSERT_GE(shared, 0);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&, s] {
            int ch = s < 4 ? MSG_OpenChannel("127.0.0.1", port) : shared;
            for (int i = 0; i < per_sender; ++i) {
                uint32_t word[2] = {static_cast<uint32_t>(s), static_cast<uint32_t>(i)};
                if (MSG_SendMessage(ch, 7, word, sizeof word) != 0) ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    // Every send was acknowledged, so every callback has run or is running.
    ASSERT_TRUE(eventually([&] { return box.size() >= senders * per_sender; }));

    auto got = box.all();
    ASSERT_EQ(got.size(), static_cast<size_t>(senders * per_sender));
    std::vector<int> next(senders, 0);
    for (const auto& r : got) {
        ASSERT_EQ(r.code, 7u);
        ASSERT_EQ(r.length, 8u);
        uint32_t word[2];
        memcpy(word, r.payload.data(), sizeof word);
        ASSERT_LT(word[0], static_cast<uint32_t>(senders));
        ASSERT_EQ(word[1], static_cast<uint32_t>(next[word[0]]))
            << "sender " << word[0] << " out of order";
        ++next[word[0]];
    }
}

TEST_F(Msg, PayloadBytesArriveIntact) {
    int port = next_port();
    Inbox box;
    mailbox(port, box, {3});
    int ch = MSG_OpenChannel("127.0.0.1", port);
    ASSERT_GE(ch, 0);

    std::mt19937 rng(42);
    std::vector<uint32_t> sizes = {0, 1, 16, 17, 4095, 4096, 4097, 60000, MSG_PAYLOAD_MAX};
    std::vector<std::vector<uint8_t>> sent;
    for (uint32_t n : sizes) {
        std::vector<uint8_t> p(n);
        for (auto& b : p)
            b = static_cast<uint8_t>(rng());
        ASSERT_EQ(MSG_SendMessage(ch, 3, n ? p.data() : nullptr, n), 0) << n << " bytes";
        sent.push_back(std::move(p));
    }
    // Refused before anything goes out.
    std::vector<uint8_t> big(MSG_PAYLOAD_MAX + 1);
    EXPECT_EQ(MSG_SendMessage(ch, 3, big.data(), MSG_PAYLOAD_MAX + 1), -1);
    EXPECT_EQ(MSG_SendMessage(ch, 3, nullptr, 5), -1);
    ASSERT_EQ(MSG_SendMessage(ch, 3, "end", 3), 0);

    ASSERT_TRUE(eventually([&] { return box.size() == sizes.size() + 1; }));
    auto got = box.all();
    for (size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(got[i].length, sizes[i]);
        EXPECT_EQ(got[i].null_payload, sizes[i] == 0) << "empty payload is handed as null";
        EXPECT_TRUE(got[i].payload == sent[i]) << sizes[i] << " bytes differ";
    }
    EXPECT_EQ(got.back().payload, bytes("end"));
}

// Callbacks of the second mailbox send on to the first one.
int g_echo_channel = -1;
std::atomic<int> g_echo_failures{0};
int echo(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    if (MSG_SendMessage(g_echo_channel, msg->code + 1, payload, length) != 0) ++g_echo_failures;
    return 0;
}

TEST_F(Msg, CallbackSendsToAnotherMailbox) {
    int port_a = next_port(), port_b = next_port();
    Inbox a, b;
    mailbox(port_a, a, {11});
    int mb_b = mailbox(port_b, b, {});
    ASSERT_EQ(MSG_RegisterMessage(mb_b, 10, echo), 0);
    g_echo_channel = MSG_OpenChannel("127.0.0.1", port_a);
    ASSERT_GE(g_echo_channel, 0);

    int to_b = MSG_OpenChannel("127.0.0.1", port_b);
    for (int i = 0; i < 100; ++i) {
        std::string p = "ping " + std::to_string(i);
        ASSERT_EQ(MSG_SendMessage(to_b, 10, p.data(), static_cast<uint32_t>(p.size())), 0);
    }
    ASSERT_TRUE(eventually([&] { return a.size() == 100; }));
    auto got = a.all();
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(got[i].code, 11u);
        EXPECT_EQ(got[i].payload, bytes("ping " + std::to_string(i)));
    }
    EXPECT_EQ(g_echo_failures.load(), 0);
    EXPECT_EQ(b.size(), 0u);
}

TEST_F(Msg, ResendAfterLostAcknowledgementIsNotDuplicated) {
    int port = next_port(), relay_port = next_port();
    Inbox box;
    mailbox(port, box, {20, 21, 22});
    Relay relay(relay_port, port);
    int ch = MSG_OpenChannel("127.0.0.1", relay_port);
    ASSERT_GE(ch, 0);

    // The mailbox takes "one", its acknowledgement is lost with the
    // connection; the second attempt re-sends it over a new one.
    relay.lose_next_ack = true;
    ASSERT_EQ(MSG_SendMessageRetry(ch, 20, "one", 3, 3), 0);
    EXPECT_EQ(relay.connections.load(), 2);
    ASSERT_EQ(box.size(), 1u) << "the re-send was taken a second time";

    // A caller that tries again with the same message after a failed call.
    relay.lose_next_ack = true;
    EXPECT_EQ(MSG_SendMessage(ch, 21, "two", 3), -1);
    EXPECT_EQ(MSG_SendMessage(ch, 21, "two", 3), 0);
    EXPECT_EQ(box.size(), 2u);

    // After a failed call, a different message is new, not a re-send.
    relay.lose_next_ack = true;
    EXPECT_EQ(MSG_SendMessage(ch, 22, "three", 5), -1);
    EXPECT_EQ(MSG_SendMessage(ch, 22, "four", 4), 0);

    // A connection that broke between two messages is re-opened first.
    ASSERT_TRUE(eventually([&] { return relay.active.load(); }));
    relay.cut = true;
    ASSERT_TRUE(eventually([&] { return !relay.active.load(); }));
    EXPECT_EQ(MSG_SendMessage(ch, 22, "five", 4), 0);

    ASSERT_TRUE(eventually([&] { return box.size() == 5; }));
    auto got = box.all();
    std::vector<std::string> texts;
    for (const auto& r : got)
        texts.emplace_back(r.payload.begin(), r.payload.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"one", "two", "three", "four", "five"}));
}

TEST_F(Msg, StalledAndGarbagePeersDoNotHoldUpOthers) {
    int port = next_port();
    Inbox box;
    mailbox(port, box, {30, 31});

    int stalled_header = raw_connect(port);
    raw_send(stalled_header, {'M', 0, 0, 0, 1, 0});
    int stalled_payload = raw_connect(port);
    auto part = frame(9, 1, 31, std::string(100, 'x'));
    part.erase(part.end() - 50, part.end()); // 50 bytes of its payload never come
    raw_send(stalled_payload, part);
    int huge = raw_connect(port);
    auto h = frame(9, 1, 31, "");
    h[13] = h[14] = h[15] = h[16] = 0xff;
    raw_send(huge, h);
    int garbage = raw_connect(port);
    raw_send(garbage, bytes("GET / HTTP/1.0\r\n\r\n"));

    int ch = MSG_OpenChannel("127.0.0.1", port);
    for (int i = 0; i < 200; ++i) {
        std::string p = std::to_string(i);
        ASSERT_EQ(MSG_SendMessage(ch, 30, p.data(), static_cast<uint32_t>(p.size())), 0);
    }
    ASSERT_TRUE(eventually([&] { return box.size() == 200; }));
    auto got = box.all();
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(got[i].payload, bytes(std::to_string(i)));

    EXPECT_TRUE(eventually([&] { return peer_closed(huge); })) << "huge length not dropped";
    EXPECT_TRUE(eventually([&] { return peer_closed(garbage); })) << "garbage not dropped";
    EXPECT_FALSE(peer_closed(stalled_header));
    EXPECT_FALSE(peer_closed(stalled_payload));
    for (int fd : {stalled_header, stalled_payload, huge, garbage})
        close(fd);
}

TEST_F(Msg, WireFormatAndDuplicateDropForARawPeer) {
    int port = next_port();
    Inbox box;
    mailbox(port, box, {40});
    int fd = raw_connect(port);

    // Two messages in one write; each is acknowledged with its sequence.
    auto two = frame(0x01020304, 7, 40, "abc");
    auto second = frame(0x01020304, 8, 40, "");
    two.insert(two.end(), second.begin(), second.end());
    raw_send(fd, two);
    EXPECT_EQ(raw_read(fd, 10), (std::vector<uint8_t>{'A', 0, 0, 0, 7, 'A', 0, 0, 0, 8}));

    // Sequence 8 again, and an older one, from the same sender over a new
    // connection: acknowledged, not taken.
    close(fd);
    fd = raw_connect(port);
    raw_send(fd, frame(0x01020304, 8, 40, "again"));
    EXPECT_EQ(raw_read(fd, 5), (std::vector<uint8_t>{'A', 0, 0, 0, 8}));
    raw_send(fd, frame(0x01020304, 7, 40, "older"));
    EXPECT_EQ(raw_read(fd, 5), (std::vector<uint8_t>{'A', 0, 0, 0, 7}));
    // Another sender may use the same numbers.
    raw_send(fd, frame(0x0a0b0c0d, 8, 40, "other"));
    EXPECT_EQ(raw_read(fd, 5), (std::vector<uint8_t>{'A', 0, 0, 0, 8}));
    close(fd);

    ASSERT_TRUE(eventually([&] { return box.size() == 3; }));
    auto got = box.all();
    EXPECT_EQ(got[0].payload, bytes("abc"));
    EXPECT_EQ(got[1].length, 0u);
    EXPECT_EQ(got[2].payload, bytes("other"));
}

TEST_F(Msg, OpenChannelToAClosedPortFails) {
    int port = next_port();
    EXPECT_EQ(MSG_OpenChannel("127.0.0.1", port), -1);
    // Once something listens, it opens; when it has gone, sends fail.
    Inbox box;
    int mb = mailbox(port, box, {1});
    EXPECT_EQ(MSG_CreateChannel(port), -1) << "one port, two mailboxes";
    int ch = MSG_OpenChannel("127.0.0.1", port);
    ASSERT_GE(ch, 0);
    ASSERT_EQ(MSG_SendMessage(ch, 1, "x", 1), 0);
    ASSERT_EQ(MSG_CloseMailbox(mb), 0);
    EXPECT_EQ(MSG_CloseMailbox(mb), -1);
    EXPECT_EQ(MSG_RegisterMessage(mb, 2, record), -1);
    EXPECT_EQ(MSG_SendMessage(ch, 1, "y", 1), -1);
    EXPECT_EQ(MSG_OpenChannel("127.0.0.1", port), -1);

    // The port can be had again, and the old channel reaches the new mailbox.
    Inbox again;
    mailbox(port, again, {1});
    EXPECT_EQ(MSG_SendMessage(ch, 1, "y", 1), 0);
    ASSERT_TRUE(eventually([&] { return again.size() == 1; }));
    EXPECT_EQ(again.all()[0].payload, bytes("y"));
}

TEST_F(Msg, MessageWithoutCallbackIsRefusedUntilOneIsRegistered) {
    int port = next_port();
    Inbox box;
    int mb = mailbox(port, box, {});
    int ch = MSG_OpenChannel("127.0.0.1", port);
    ASSERT_GE(ch, 0);
    EXPECT_EQ(MSG_SendMessage(ch, 50, "early", 5), -1) << "taken with nobody to hand it to";
    ASSERT_EQ(MSG_RegisterMessage(mb, 50, record), 0);
    EXPECT_EQ(MSG_SendMessage(ch, 50, "early", 5), 0);
    ASSERT_TRUE(eventually([&] { return box.size() == 1; }));
    EXPECT_EQ(box.all()[0].payload, bytes("early"));
}

TEST_F(Msg, RetryCountIsTheNumberOfConnections) {
    int port = next_port();
    int lfd = raw_listen(port);
    std::atomic<int> accepted{0};
    std::atomic<bool> stop{false};
    std::thread server([&] {
        while (!stop) {
            pollfd p{lfd, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            int fd = accept(lfd, nullptr, nullptr);
            close(fd);
            ++accepted;
        }
    });
    int ch = MSG_OpenChannel("127.0.0.1", port);
    ASSERT_GE(ch, 0);
    ASSERT_TRUE(eventually([&] { return accepted.load() == 1; }));

    EXPECT_EQ(MSG_SendMessageRetry(ch, 1, "x", 1, 3), -1);
    EXPECT_EQ(MSG_SendMessageRetry(ch, 1, "x", 1, 1), -1);
    // Every connection was made before the calls returned: count them all.
    ASSERT_TRUE(eventually([&] { return accepted.load() >= 5; }));
    stop = true;
    server.join();
    int late = 0;
    fcntl(lfd, F_SETFL, O_NONBLOCK);
    for (int fd; (fd = accept(lfd, nullptr, nullptr)) >= 0; ++late)
        close(fd);
    EXPECT_EQ(accepted.load() + late, 1 + 3 + 1);
    close(lfd);
}

TEST_F(Msg, SilentMailboxFailsTheAttemptAfterTheTimeout) {
    int port = next_port();
    int lfd = raw_listen(port); // accepts (in the backlog), never reads, never acknowledges
    int ch = MSG_OpenChannel("127.0.0.1", port);
    ASSERT_GE(ch, 0);
    EXPECT_EQ(MSG_SendMessage(ch, 1, "x", 1), -1);
    close(lfd);
}

} // namespace
