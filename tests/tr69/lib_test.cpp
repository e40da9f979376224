// The TR-069 data-model library against a scripted agent of the test's own
// on 127.0.0.1:7100: the bytes of every frame, answers out of order, frames
// of wrong type or length; and the reference table.
#include "platform/include/tr69_lib.h"
#include "platform/include/tr69_wire.h"

#include <arpa/inet.h>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Taken during static initialisation, before main.
int early_target;
const uint32_t early_ref = tr69_ref(&early_target);

// The scripted agent: one listening socket, one accepted connection.
class ScriptAgent {
  public:
    ScriptAgent() {
        lfd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(TR69_AGENT_PORT);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(lfd, 4), 0);
    }
    ~ScriptAgent() {
        if (fd >= 0) close(fd);
        close(lfd);
    }
    void accept_one() {
        pollfd p{lfd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1);
        if (fd >= 0) close(fd);
        fd = accept(lfd, nullptr, nullptr);
        ASSERT_GE(fd, 0);
    }
    // Reads one frame of the given type; its payload.
    std::vector<uint8_t> expect(uint8_t type) {
        std::vector<uint8_t> payload(TR69_WIRE_MAX_PAYLOAD);
        uint8_t got = 0;
        EXPECT_EQ(tr69_wire_recv(fd, std::string_view(reinterpret_cast<char*>(&type), 1), &got,
                                 payload, 10000),
                  TR69_WIRE_OK);
        payload.resize(tr69_wire_payload_size(type));
        return payload;
    }
    void send(uint8_t type, std::span<const uint8_t> payload) {
        ASSERT_EQ(tr69_wire_send(fd, type, payload), 0);
    }
    // A header claiming len bytes, and the bytes.
    void send_raw(uint8_t type, uint32_t len) {
        std::vector<uint8_t> b(TR69_WIRE_HEADER + len);
        b[0] = type;
        tr69_put_u32(b.data() + 1, len);
        ASSERT_EQ(tr69_wire_send_all(fd, b.data(), b.size()), 0);
    }
    void answer_open(int32_t fault, int32_t id) {
        uint8_t a[8];
        tr69_put_i32(a, fault);
        tr69_put_i32(a + 4, id);
        send(TR69_FRAME_OPEN_ANSWER, a);
    }
    // Opens handle's channel through this agent with id.
    void open(int32_t* handle, int32_t id) {
        auto f = std::async(std::launch::async,
                            [&] { return tr69_open_channel_use_rx_mbx("TR111", handle, 64000); });
        accept_one();
        expect(TR69_FRAME_OPEN);
        answer_open(0, id);
        ASSERT_EQ(f.get(), 0);
        ASSERT_EQ(*handle, id);
    }

    int lfd = -1;
    int fd = -1;
};

int32_t dummy_handler(uint32_t) {
    return 0;
}

tr69_request sample_request(const char* name, uint32_t echo) {
    tr69_request r{};
    snprintf(r.name, sizeof r.name, "%s", name);
    r.handler = 7;
    r.id = 3;
    r.echo = echo;
    r.instances[0] = 2;
    snprintf(r.value_in, sizeof r.value_in, "v%u", echo);
    return r;
}

} // namespace

TEST(Tr69Refs, SameAddressSameReferenceFromEveryThread) {
    EXPECT_NE(early_ref, 0u);
    EXPECT_EQ(tr69_addr(early_ref), &early_target);
    EXPECT_EQ(tr69_ref(&early_target), early_ref);
    EXPECT_EQ(tr69_ref(nullptr), 0u);
    EXPECT_EQ(tr69_addr(0), nullptr);
    EXPECT_EQ(tr69_addr(TR69_END_MARK), nullptr);
    EXPECT_EQ(tr69_addr(TR69_REF_MAX + 1), nullptr);
    EXPECT_EQ(tr69_fn<int32_t(uint32_t)>(tr69_ref_fn(dummy_handler)), dummy_handler);

    // Eight threads take references for the same 120 addresses, each in
    // its own order, all at once.
    static int targets[120];
    constexpr int T = 8;
    std::vector<std::vector<uint32_t>> refs(T, std::vector<uint32_t>(120));
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < T; ++t)
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < T) {
            }
            for (int k = 0; k < 120; ++k) {
                int i = (k + t * 15) % 120;
                if (t % 2) i = 119 - i;
                refs[t][i] = tr69_ref(&targets[i]);
            }
        });
    for (auto& th : threads)
        th.join();
    std::set<uint32_t> distinct;
    for (int i = 0; i < 120; ++i) {
        for (int t = 1; t < T; ++t)
            EXPECT_EQ(refs[t][i], refs[0][i]) << i;
        EXPECT_GE(refs[0][i], 1u);
        EXPECT_LE(refs[0][i], TR69_REF_MAX);
        EXPECT_EQ(tr69_addr(refs[0][i]), &targets[i]);
        distinct.insert(refs[0][i]);
    }
    EXPECT_EQ(distinct.size(), 120u);
    EXPECT_EQ(distinct.count(early_ref), 0u);
}

TEST(Tr69Refs, FullTableGivesZero) {
    // In a child process, so the other tests keep their room.
    EXPECT_EXIT(
        {
            static char many[TR69_REF_MAX + 1];
            uint32_t last = 0;
            for (unsigned i = 0; i < TR69_REF_MAX + 1; ++i) {
                uint32_t r = tr69_ref(&many[i]);
                if (r == 0) break;
                last = r;
            }
            bool ok = last == TR69_REF_MAX && tr69_ref(&many[TR69_REF_MAX]) == 0 &&
                      tr69_ref(&early_target) == early_ref;
            exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "reference table full");
}

TEST(Tr69Lib, FramesOfOpenRegistrationReplyAndEvent) {
    ScriptAgent agent;
    int32_t chan = 0;
    auto opened = std::async(std::launch::async,
                             [&] { return tr69_open_channel_use_rx_mbx("TR111", &chan, -1); });
    agent.accept_one();
    auto open = agent.expect(TR69_FRAME_OPEN);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(open.data())), "TR111");
    EXPECT_EQ(open[TR69_WIRE_APP_NAME - 1], 0);
    EXPECT_EQ(tr69_get_i32(open.data() + TR69_WIRE_APP_NAME), -1);
    agent.answer_open(0, 77);
    ASSERT_EQ(opened.get(), 0);
    EXPECT_EQ(chan, 77);

    // An entry: the block goes up to its end mark, zeros after it. Two
    // requests arrive before the answer; they wait for tr69_rx_msg.
    uint32_t block[11] = {11, 12, 0, 0, 0, 15, 16, 17, 18, TR69_END_MARK, 0x55555555};
    auto reg = std::async(std::launch::async, [&] {
        return tr69_register_entry("A.B.Leaf", 0x10000, 3, 0x0E, block, &chan);
    });
    auto entry = agent.expect(TR69_FRAME_ENTRY);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(entry.data())), "A.B.Leaf");
    const uint8_t* w = entry.data() + TR69_WIRE_NAME;
    EXPECT_EQ(tr69_get_u32(w), 0x10000u);
    EXPECT_EQ(tr69_get_u32(w + 4), 3u);
    EXPECT_EQ(tr69_get_u32(w + 8), 0x0Eu);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(tr69_get_u32(w + 12 + 4 * i), block[i]) << i;
    EXPECT_EQ(tr69_get_u32(w + 12 + 40), 0u);
    tr69_request first = sample_request("First", 1);
    memset(first.name, 'x', sizeof first.name); // unterminated: cut by the library
    tr69_request second = sample_request("Second", 2);
    agent.send(TR69_FRAME_REQUEST, std::span(reinterpret_cast<uint8_t*>(&first), sizeof first));
    agent.send(TR69_FRAME_REQUEST, std::span(reinterpret_cast<uint8_t*>(&second), sizeof second));
    uint8_t fault[4];
    tr69_put_i32(fault, 9004);
    agent.send(TR69_FRAME_ENTRY_ANSWER, fault);
    EXPECT_EQ(reg.get(), 9004);

    // The object row's block ends at word 3.
    uint32_t object[11] = {0, 0, 21, TR69_END_MARK, 99, 99, 99, 99, 99, 99, 99};
    reg = std::async(std::launch::async,
                     [&] { return tr69_register_entry("A.B.", 0x100, 0, 0, object, &chan); });
    entry = agent.expect(TR69_FRAME_ENTRY);
    w = entry.data() + TR69_WIRE_NAME + 12;
    EXPECT_EQ(tr69_get_u32(w + 8), 21u);
    EXPECT_EQ(tr69_get_u32(w + 12), TR69_END_MARK);
    for (int i = 4; i < 11; ++i)
        EXPECT_EQ(tr69_get_u32(w + 4 * i), 0u) << i;
    tr69_put_i32(fault, 0);
    agent.send(TR69_FRAME_ENTRY_ANSWER, fault);
    EXPECT_EQ(reg.get(), 0);
    EXPECT_EQ(tr69_register_entry(std::string(260, 'n').c_str(), 0, 1, 0, block, &chan),
              TR69_ERR_REFUSED);

    tr69_request got{};
    ASSERT_EQ(tr69_rx_msg(&got, &chan, 0), 0);
    EXPECT_EQ(std::string(got.name), std::string(259, 'x'));
    EXPECT_EQ(got.echo, 1u);
    ASSERT_EQ(tr69_rx_msg(&got, &chan, 1), 0);
    EXPECT_EQ(memcmp(&got, &second, sizeof got), 0);
    EXPECT_EQ(tr69_rx_msg(&got, &chan, 0), TR69_ERR_AGAIN);

    // Atomicity rows: names resolved to text, failing row named by index.
    const tr69_atomicity_row table[] = {
        {tr69_ref("XX.StartSequence.T"), 0x100000, 1, 0x0D, 41, TR69_END_MARK, {}},
        {tr69_ref("XX.Commit.T"), 0x100000, 2, 0x0D, 42, TR69_END_MARK, {}},
        {tr69_ref("XX.Rollback.T"), 0x100000, 3, 0x0D, 43, TR69_END_MARK, {}},
        {0, 0, 0, 0, 0, 0, {}},
    };
    const tr69_atomicity_row* failed = nullptr;
    auto regs = std::async(std::launch::async,
                           [&] { return tr69_register_entries(table, &chan, &failed); });
    auto rows = agent.expect(TR69_FRAME_ENTRIES);
    EXPECT_EQ(tr69_get_u32(rows.data()), 3u);
    const uint8_t* r1 = rows.data() + 4 + TR69_WIRE_ATOM_ROW_SIZE;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r1)), "XX.Commit.T");
    EXPECT_EQ(tr69_get_u32(r1 + TR69_WIRE_NAME), 0x100000u);
    EXPECT_EQ(tr69_get_u32(r1 + TR69_WIRE_NAME + 4), 2u);
    EXPECT_EQ(tr69_get_u32(r1 + TR69_WIRE_NAME + 8), 0x0Du);
    EXPECT_EQ(tr69_get_u32(r1 + TR69_WIRE_NAME + 12), 42u);
    EXPECT_EQ(tr69_get_u32(r1 + TR69_WIRE_NAME + 16), TR69_END_MARK);
    uint8_t ans[8];
    tr69_put_i32(ans, 9004);
    tr69_put_u32(ans + 4, 2);
    agent.send(TR69_FRAME_ENTRIES_ANSWER, ans);
    EXPECT_EQ(regs.get(), 9004);
    EXPECT_EQ(failed, &table[2]);
    // A table whose name cannot be resolved is refused without a frame.
    const tr69_atomicity_row bad[] = {table[0], {TR69_REF_MAX, 0, 9, 0, 0, 0, {}}, table[3]};
    if (tr69_addr(TR69_REF_MAX) == nullptr) {
        EXPECT_EQ(tr69_register_entries(bad, &chan, &failed), TR69_ERR_REFUSED);
        EXPECT_EQ(failed, &bad[1]);
    }

    // Reply and event travel as they are.
    tr69_reply reply{};
    snprintf(reply.name, sizeof reply.name, "A.2.Leaf");
    reply.id = 3;
    reply.echo = 99;
    reply.result = -5;
    snprintf(reply.value, sizeof reply.value, "value");
    ASSERT_EQ(tr69_tx_msg(&reply, &chan), 0);
    auto sent = agent.expect(TR69_FRAME_REPLY);
    EXPECT_EQ(memcmp(sent.data(), &reply, sizeof reply), 0);
    char code[TR69_EVENT_CODE_SIZE] = "4 VALUE CHANGE";
    uint8_t param[TR69_EVENT_PARAM_SIZE] = {};
    memcpy(param, "A.2.Leaf", 8);
    param[TR69_EVENT_NAME_SIZE] = 3;
    ASSERT_EQ(tr69_notify_event(&chan, code, param), 0);
    auto ev = agent.expect(TR69_FRAME_EVENT);
    EXPECT_EQ(memcmp(ev.data(), code, sizeof code), 0);
    EXPECT_EQ(memcmp(ev.data() + TR69_EVENT_CODE_SIZE, param, sizeof param), 0);

    // A request frame one byte short: the channel fails, and stays failed.
    auto rx = std::async(std::launch::async, [&] {
        tr69_request r{};
        return tr69_rx_msg(&r, &chan, 1);
    });
    agent.send_raw(TR69_FRAME_REQUEST, sizeof(tr69_request) - 1);
    EXPECT_EQ(rx.get(), TR69_ERR_CHANNEL);
    EXPECT_EQ(tr69_tx_msg(&reply, &chan), TR69_ERR_CHANNEL);
    EXPECT_EQ(tr69_notify_event(&chan, code, param), -TR69_ERR_CHANNEL);
    EXPECT_EQ(tr69_rx_msg(&got, &chan, 1), TR69_ERR_CHANNEL);
}

TEST(Tr69Lib, BadOpenAnswersFailTheOpen) {
    int32_t chan = 0;
    EXPECT_EQ(tr69_open_channel_use_rx_mbx("TR111", &chan, 1), TR69_ERR_CONNECT);
    EXPECT_EQ(tr69_open_channel_use_rx_mbx(std::string(64, 'a').c_str(), &chan, 1),
              TR69_ERR_REFUSED);

    ScriptAgent agent;
    auto attempt = [&](auto&& script) {
        auto f = std::async(std::launch::async,
                            [&] { return tr69_open_channel_use_rx_mbx("TR111", &chan, 1); });
        agent.accept_one();
        agent.expect(TR69_FRAME_OPEN);
        script();
        return f.get();
    };
    EXPECT_EQ(attempt([&] { agent.send_raw(TR69_FRAME_OPEN_ANSWER, 7); }), TR69_ERR_CHANNEL);
    EXPECT_EQ(attempt([&] { agent.send_raw(TR69_FRAME_OPEN_ANSWER, 9); }), TR69_ERR_CHANNEL);
    EXPECT_EQ(attempt([&] { agent.send_raw(TR69_FRAME_REQUEST, sizeof(tr69_request)); }),
              TR69_ERR_CHANNEL);
    EXPECT_EQ(attempt([&] { agent.answer_open(9004, 0); }), 9004);
    EXPECT_EQ(attempt([&] { agent.answer_open(0, 0); }), TR69_ERR_CHANNEL);
    EXPECT_EQ(attempt([&] { close(agent.fd), agent.fd = -1; }), TR69_ERR_CHANNEL);
    EXPECT_EQ(chan, 0);
    // Nothing opened: no call works on the handle.
    tr69_request r{};
    EXPECT_EQ(tr69_rx_msg(&r, &chan, 0), TR69_ERR_CHANNEL);
    uint32_t block[11] = {TR69_END_MARK};
    EXPECT_EQ(tr69_register_entry("A", 0, 1, 0, block, &chan), TR69_ERR_CHANNEL);
}

TEST(Tr69Lib, UnexpectedFramesFailTheChannel) {
    ScriptAgent agent;
    int32_t chan = 0;
    agent.open(&chan, 5);
    // An answer while nothing was asked.
    auto rx = std::async(std::launch::async, [&] {
        tr69_request r{};
        return tr69_rx_msg(&r, &chan, 1);
    });
    uint8_t fault[4] = {};
    agent.send(TR69_FRAME_ENTRY_ANSWER, fault);
    EXPECT_EQ(rx.get(), TR69_ERR_CHANNEL);

    // Reopened with the same handle: a new connection replaces the failed one.
    agent.open(&chan, 6);
    // More requests than the library keeps during a registration.
    uint32_t block[11] = {1, TR69_END_MARK};
    auto reg = std::async(std::launch::async,
                          [&] { return tr69_register_entry("A", 0, 1, 0, block, &chan); });
    agent.expect(TR69_FRAME_ENTRY);
    tr69_request req = sample_request("R", 1);
    for (int i = 0; i < 5; ++i)
        agent.send(TR69_FRAME_REQUEST, std::span(reinterpret_cast<uint8_t*>(&req), sizeof req));
    EXPECT_EQ(reg.get(), TR69_ERR_CHANNEL);

    // The agent closes: the waiting receive ends with a fault.
    agent.open(&chan, 7);
    rx = std::async(std::launch::async, [&] {
        tr69_request r{};
        return tr69_rx_msg(&r, &chan, 1);
    });
    close(agent.fd);
    agent.fd = -1;
    EXPECT_EQ(rx.get(), TR69_ERR_CHANNEL);
}
