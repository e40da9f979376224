// The IPC transport (its frames' bytes and length cap; the client on real
// sockets: refusals without a wait, a vanished peer, a reset on error) and the set parser (replies,
// nesting). Hostile bytes: fuzz/.
#include "platform/include/ipc.h"
#include "platform/include/set.h"

#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string read_str(int fd) {
    std::unique_ptr<char, decltype(&free)> s(ipc_string_read(fd), free);
    return s ? s.get() : "(null)";
}

long parse(const std::string& b) {
    ipc_item it{};
    return ipc_item_parse(reinterpret_cast<const uint8_t*>(b.data()), b.size(), &it);
}

// A connected pair: [0] for the code under test, [1] the peer.
struct Pair {
    int fd[2];
    Pair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd); }
    ~Pair() {
        close(fd[0]);
        close(fd[1]); // -1 once the test closed it
    }
    void put(const std::string& b) { EXPECT_EQ(write(fd[1], b.data(), b.size()), long(b.size())); }
};

// The first son's value of a set read from text; "(fail)" when it is refused.
std::string son_of(const std::string& text) {
    set_t* s = nullptr;
    const char* v = set_read(text.c_str(), &s) == 0 ? set_son_get_str(s) : "(fail)";
    std::string out = v ? v : "";
    set_free(&s);
    return out;
}

} // namespace

TEST(Ipc, FramesAndTheLengthCap) {
    signal(SIGPIPE, SIG_DFL); // a write to a closed peer must not raise it
    Pair p;
    EXPECT_EQ(ipc_string_write(p.fd[0], "close"), 0);
    EXPECT_EQ(ipc_u32_write(p.fd[0], 0x01020304), 0);
    EXPECT_EQ(ipc_string_write(p.fd[0], std::string(IPC_STRING_MAX + 1, 'x').c_str()), -1);
    char buf[64];
    EXPECT_EQ(std::string(buf, read(p.fd[1], buf, sizeof buf)),
              std::string("S\0\0\0\5close", 10) + std::string("U\0\0\0\4\1\2\3\4", 9));

    // The longest string and the empty one. Past the cap, refused at once by the
    // parser, by the client even when its bytes follow; a 'U' item, a zero byte too.
    const std::string max = std::string("S\0\1\0\0", 5) + std::string(IPC_STRING_MAX, 'm');
    EXPECT_EQ(parse(max), long(max.size()));
    EXPECT_EQ(parse(std::string("S\0\1\0\1", 5)), -1);
    EXPECT_EQ(parse(std::string("U\0\0\0\x08", 5)), -1);
    p.put(max + std::string("S\0\0\0\0", 5));
    EXPECT_TRUE(read_str(p.fd[0]) == max.substr(5)); // (no 64 KiB texts in a failure)
    EXPECT_EQ(read_str(p.fd[0]), "");
    for (const std::string& bad :
         {std::string("S\0\1\0\1", 5) + std::string(IPC_STRING_MAX + 1, 'a'),
          std::string("U\0\0\0\4\0\0\0\1", 9), std::string("S\0\0\0\3a\0c", 8)}) {
        Pair q;
        q.put(bad);
        EXPECT_TRUE(read_str(q.fd[0]) == "(null)") << bad.substr(0, 9);
    }
    // A frame cut by the peer's close; then writes fail without SIGPIPE.
    p.put(std::string("S\0\0\0\tabc", 8));
    close(std::exchange(p.fd[1], -1));
    EXPECT_EQ(read_str(p.fd[0]), "(null)");
    EXPECT_EQ(ipc_string_write(p.fd[0], "close"), -1);
}

TEST(Ipc, AFailedHandleIsResetAHealthyOneClosed) {
    int l = ipc_listen(7000);
    ASSERT_GE(l, 0);
    // A reset keeps the server from taking half an exchange for a whole one.
    for (uint32_t err : {1u, 0u}) {
        int fd = ipc_connect(7000), srv = accept(l, nullptr, nullptr);
        EXPECT_EQ(ipc_string_write(fd, "ok"), 0);
        ipc_client_close(fd, err);
        char buf[64];
        EXPECT_EQ(std::string(buf, read(srv, buf, sizeof buf)), std::string("S\0\0\0\2ok", 7));
        EXPECT_EQ(read(srv, buf, sizeof buf), err ? -1 : 0);
        EXPECT_EQ(err ? errno : 0, err ? ECONNRESET : 0);
        close(srv);
    }
    // Items wait corked until the writer turns to that connection or another:
    // what a thread wrote on one has left before what it closes on another.
    int a = ipc_connect(7000), sa = accept(l, nullptr, nullptr);
    int b = ipc_connect(7000), sb = accept(l, nullptr, nullptr);
    ASSERT_EQ(ipc_string_write(a, "first") + ipc_string_write(b, "second"), 0);
    ipc_client_close(b, 0);
    char buf[64];
    while (read(sb, buf, sizeof buf) > 0) {
    }
    pollfd p{sa, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
    // What a read took ahead stays with its connection, also when that was
    // closed without the client and its number comes back.
    auto send_items = [](int fd, const std::string& items) {
        for (char c : items) {
            uint8_t f[8];
            EXPECT_EQ(write(fd, f, ipc_frame_string(f, &c, 1)), 6);
        }
    };
    send_items(sa, "xy");
    EXPECT_EQ(read_str(a), "x");
    close(a);
    int c = ipc_connect(7000), sc = accept(l, nullptr, nullptr);
    ASSERT_EQ(c, a);
    send_items(sc, "z");
    EXPECT_EQ(read_str(c), "z");
    ipc_client_close(c, 0);
    for (int fd : {sa, sb, sc, l})
        close(fd);
}

TEST(SetRead, RepliesAndNesting) {
    EXPECT_EQ(son_of("(\"loc_srv\"(\"3\"=\"3\"))"), "3");           // a read of /fw/rule/loc_srv/3/
    EXPECT_EQ(son_of("(\"p\"(\"k\"=\"a\\\"b\\\\c\"))"), "a\"b\\c"); // escapes
    // Nesting is bounded; a million open sets fail without exhausting the stack.
    std::string deep;
    for (int i = 0; i < SET_DEPTH_MAX; ++i)
        deep = "(\"k\"" + deep + ")";
    EXPECT_NE(son_of(deep), "(fail)");
    EXPECT_EQ(son_of("(\"k\"" + deep + ")"), "(fail)");
    EXPECT_EQ(son_of(std::string(1000000, '(')), "(fail)");
}
