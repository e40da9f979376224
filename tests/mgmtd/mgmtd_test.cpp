// mgmtd and its CLI mgmt, with a mailbox in the test process in place of
// the daemon and, for forwarding, a real confd.
#include "main/tr111_main.h"
#include "platform/include/ipc.h"
#include "platform/include/msg.h"
#include "tests/support/confd.h"
#include "tests/support/proc.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace tr111test;

namespace {

struct Received {
    uint32_t code;
    std::vector<uint8_t> payload;
};

// The daemon's side of the link: its mailbox, its channel to mgmtd, what it
// received, and whether it acknowledges START and STOP.
struct FakeDaemon {
    static inline std::mutex mu;
    static inline std::vector<Received> got;
    static inline int to_mgmtd = -1;
    static inline bool ack_start = true;
    static inline bool ack_stop = true;
    int mailbox = -1;

    FakeDaemon() {
        std::lock_guard<std::mutex> lk(mu);
        got.clear();
        ack_start = ack_stop = true;
    }
    ~FakeDaemon() {
        if (mailbox >= 0) MSG_CloseMailbox(mailbox);
    }

    static int on_message(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
        bool start, stop;
        {
            std::lock_guard<std::mutex> lk(mu);
            got.push_back({msg->code, payload ? std::vector<uint8_t>(payload, payload + length)
                                              : std::vector<uint8_t>{}});
            start = msg->code == MSG_START && ack_start;
            stop = msg->code == MSG_STOP && ack_stop;
        }
        if (start) MSG_SendMessage(to_mgmtd, MSG_START_ACK, nullptr, 0);
        if (stop) {
            uint8_t buf[TR111_STOP_ACK_SIZE] = {};
            memcpy(buf, TR111_STOP_ACK_TEXT, strlen(TR111_STOP_ACK_TEXT) + 1);
            MSG_SendMessage(to_mgmtd, MSG_STOP_ACK, buf, sizeof buf);
        }
        return 0;
    }

    // Opens the daemon's mailbox on port.
    void open(int port) {
        ASSERT_EQ(MSG_Init(16), 0);
        mailbox = MSG_CreateChannel(port);
        ASSERT_GE(mailbox, 0);
        for (uint32_t code : {MSG_START, MSG_STOP, MSG_CHANGE_DB})
            ASSERT_EQ(MSG_RegisterMessage(mailbox, code, on_message), 0);
        ASSERT_NE(MSG_StartThread(mailbox), 0u);
    }
    void close() {
        ASSERT_EQ(MSG_CloseMailbox(mailbox), 0);
        mailbox = -1;
    }

    // Announces the daemon as tr111d does: the word 0xABCD in host byte order.
    void hello(int mgmt_port) {
        if (to_mgmtd < 0) to_mgmtd = MSG_OpenChannel("127.0.0.1", mgmt_port);
        ASSERT_GE(to_mgmtd, 0);
        uint32_t word = TR111_HELLO_WORD;
        ASSERT_EQ(MSG_SendMessageRetry(to_mgmtd, MSG_HELLO, &word, sizeof word, 5), 0);
    }

    static std::vector<Received> of(uint32_t code) {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<Received> out;
        for (const auto& r : got)
            if (r.code == code) out.push_back(r);
        return out;
    }
    static size_t count(uint32_t code) { return of(code).size(); }
};

// mgmtd in the background with its log in a folder of the test's own.
struct Mgmtd {
    TempDir dir;
    std::unique_ptr<Background> proc;
    int port;

    explicit Mgmtd(std::vector<std::string> args = {}, int mailbox_port = 3490)
        : port(mailbox_port) {
        auto argv = program("mgmtd");
        argv.insert(argv.end(), args.begin(), args.end());
        proc = std::make_unique<Background>(argv, dir.path() + "/mgmtd.log");
        EXPECT_TRUE(wait_port(port, 10000)) << log();
        EXPECT_TRUE(wait_port(3499, 10000)) << log();
    }
    std::string log() const { return read_file(dir.path() + "/mgmtd.log"); }
    bool logged(const std::string& text) {
        return eventually([&] { return log().find(text) != std::string::npos; });
    }
};

// A change record as the daemon decodes it.
struct Change {
    std::string path;
    char action;
    std::string text;
    bool operator==(const Change&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Change& c) {
    return os << "(" << c.path << ", " << c.action << ", \"" << c.text << "\")";
}

uint32_t host_u32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Decodes the three TLVs; fails the test on anything malformed.
Change decode(const std::vector<uint8_t>& p) {
    Change c{};
    EXPECT_GE(p.size(), 16u);
    if (p.size() < 16) return c;
    EXPECT_EQ(p[0], 'P');
    uint32_t l1 = host_u32(&p[1]);
    EXPECT_LE(16 + l1, p.size());
    if (16 + l1 > p.size()) return c;
    c.path.assign(p.begin() + 5, p.begin() + 5 + l1);
    EXPECT_EQ(p[5 + l1], 'C');
    EXPECT_EQ(host_u32(&p[6 + l1]), 1u);
    c.action = static_cast<char>(p[10 + l1]);
    EXPECT_EQ(p[11 + l1], 'C');
    uint32_t l3 = host_u32(&p[12 + l1]);
    EXPECT_EQ(16 + l1 + l3, p.size());
    c.text.assign(p.begin() + 16 + l1,
                  p.begin() + 16 + l1 + std::min<size_t>(l3, p.size() - 16 - l1));
    return c;
}

std::vector<Change> changes() {
    std::vector<Change> out;
    for (const auto& r : FakeDaemon::of(MSG_CHANGE_DB))
        out.push_back(decode(r.payload));
    return out;
}

// Writes to confd through one connection and commits, as the gateway's
// components do: every (path, value) is set, a path with no value deleted.
void conf_commit(const std::vector<std::pair<std::string, std::string>>& ops,
                 const std::vector<std::string>& deletes = {}) {
    int fd = ipc_connect(7000);
    ASSERT_GE(fd, 0);
    bool ok = true;
    for (const auto& [path, value] : ops) {
        ok = ok && ipc_string_write(fd, "rg_conf_set_path_value") == 0 &&
             ipc_string_write(fd, path.c_str()) == 0 && ipc_string_write(fd, value.c_str()) == 0;
    }
    for (const auto& path : deletes)
        ok = ok && ipc_string_write(fd, "rg_conf_set_free") == 0 &&
             ipc_string_write(fd, path.c_str()) == 0;
    ok = ok && ipc_string_write(fd, "reconf") == 0 && ipc_u32_write(fd, 4) == 0 &&
         ipc_string_write(fd, "close") == 0;
    ipc_client_close(fd, ok ? 0 : 1);
    ASSERT_TRUE(ok);
}

std::string status() {
    return run_program("mgmt", {"status"}).out;
}

bool status_has(const std::string& line) {
    return eventually([&] { return status().find(line + "\n") != std::string::npos; });
}

// mgmtd and the fake daemon, linked and started, on the ports of mode 2.
struct Started {
    Mgmtd mgmtd;
    FakeDaemon daemon;
    Started() {
        daemon.open(64000);
        daemon.hello(3490);
        EXPECT_TRUE(eventually([] { return FakeDaemon::count(MSG_START) == 1; }));
        EXPECT_TRUE(status_has("daemon: started")) << status();
    }
};

TEST(Mgmtd, HelloIsAnsweredWithStart) {
    Mgmtd mgmtd;
    RunResult r = run_program("mgmt", {"status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "daemon: none\nforwarded: 0\ndropped: 0\nqueued: 0\n");

    FakeDaemon daemon;
    daemon.open(64000);
    daemon.hello(3490);
    ASSERT_TRUE(eventually([] { return FakeDaemon::count(MSG_START) == 1; }));
    EXPECT_TRUE(FakeDaemon::of(MSG_START)[0].payload.empty());
    EXPECT_TRUE(status_has("daemon: started"));

    // The payload bytes as they are in memory: 00 00 ab cd on a big-endian host.
    uint32_t word = TR111_HELLO_WORD;
    uint8_t b[4];
    memcpy(b, &word, 4);
    char hex[9];
    snprintf(hex, sizeof hex, "%02x%02x%02x%02x", b[0], b[1], b[2], b[3]);
    EXPECT_TRUE(mgmtd.logged(std::string("hello: received, payload ") + hex + " (4 bytes)"))
        << mgmtd.log();
    EXPECT_TRUE(mgmtd.logged("start_ack: received"));

    // A new HELLO (the daemon restarted) is a new start.
    daemon.hello(3490);
    ASSERT_TRUE(eventually([] { return FakeDaemon::count(MSG_START) == 2; }));
    EXPECT_TRUE(status_has("daemon: started"));
}

TEST(Mgmtd, ModeZeroUsesItsOwnPorts) {
    Mgmtd mgmtd({"--mode", "0"}, 837);
    FakeDaemon daemon;
    daemon.open(2055);
    daemon.hello(837);
    ASSERT_TRUE(eventually([] { return FakeDaemon::count(MSG_START) == 1; }));
    EXPECT_TRUE(status_has("daemon: started"));
}

TEST(Mgmtd, NoAutoStartWaitsForTheCli) {
    Mgmtd mgmtd({"--no-auto-start"});
    FakeDaemon daemon;
    daemon.open(64000);
    daemon.hello(3490);
    ASSERT_TRUE(mgmtd.logged("hello: received"));
    EXPECT_TRUE(status_has("daemon: hello"));
    EXPECT_EQ(FakeDaemon::count(MSG_START), 0u);

    RunResult r = run_program("mgmt", {"start"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "ack\n");
    EXPECT_EQ(FakeDaemon::count(MSG_START), 1u);
    EXPECT_TRUE(status_has("daemon: started"));
}

TEST(Mgmtd, StopShowsTheAcknowledgement) {
    Started s;
    RunResult r = run_program("mgmt", {"stop"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "ack\nstop_ack: \"TR69 callback_for_STOP is called\" (2048 bytes)\n");
    ASSERT_EQ(FakeDaemon::count(MSG_STOP), 1u);
    EXPECT_TRUE(FakeDaemon::of(MSG_STOP)[0].payload.empty());
    EXPECT_TRUE(
        s.mgmtd.logged("stop_ack: received \"TR69 callback_for_STOP is called\" (2048 bytes)"));
    // STOP leaves the daemon started.
    EXPECT_TRUE(status_has("daemon: started"));

    // A daemon that takes STOP and never answers.
    {
        std::lock_guard<std::mutex> lk(FakeDaemon::mu);
        FakeDaemon::ack_stop = false;
    }
    r = run_program("mgmt", {"stop"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "timeout\n");
    EXPECT_EQ(FakeDaemon::count(MSG_STOP), 2u);
}

TEST(Mgmtd, CliErrors) {
    RunResult r = run_program("mgmt", {"status"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "mgmt: mgmtd not reachable on 127.0.0.1:3499\n");

    EXPECT_EQ(run_program("mgmt", {"restart"}).status, 2);
    EXPECT_EQ(run_program("mgmt", {}).status, 2);

    // No daemon mailbox at all.
    Mgmtd mgmtd;
    r = run_program("mgmt", {"start"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "error: daemon mailbox 127.0.0.1:64000 not reachable\n");

    // An unknown command on the control port itself.
    int fd = ipc_connect(3499);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ipc_string_write(fd, "reboot"), 0);
    char* reply = ipc_string_read(fd);
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply, "error: unknown command \"reboot\" (start, stop, status)");
    free(reply);
    ipc_client_close(fd, 0);

    EXPECT_EQ(run_program("mgmtd", {"--mode", "3"}).status, 2);
}

TEST(Mgmtd, ForwardsWhatConcernsTheDaemonAsTlvs) {
    Confd confd;
    Mgmtd mgmtd;
    ASSERT_TRUE(mgmtd.logged("confd: subscribed"));

    // Before the daemon's first HELLO: dropped (it reads everything at start-up).
    conf_commit({{"/dev/br0/dhcps/lease/3/start_time", "1"},
                 {"/KELMO/TR111/ManageableDevice/0/OUI", "00D09E"},
                 {"/fw/rule/loc_srv/1/enabled", "0"}});
    ASSERT_TRUE(status_has("dropped: 4")) << status() << mgmtd.log();

    FakeDaemon daemon;
    daemon.open(64000);
    daemon.hello(3490);
    ASSERT_TRUE(status_has("daemon: started"));

    conf_commit({{"/fw/rule/loc_srv/1/enabled", "1"},
                 {"/dev/br0/dhcps/lease/3/valid_time", "0"},
                 {"/KELMO/TR111/ManageableDevice/0/SerialNumber", "SN-1"},
                 {"/KELMO/TR111/MDNotificationLimit", "30"},
                 {"/dev/ppp0/ip", "10.0.0.1"},
                 {"/dev/eth0/ip", "192.168.7.1"}},
                {"/dev/br0/dhcps/lease/3"});
    std::vector<Change> want = {
        {"/dev/br0/dhcps/lease/3/valid_time", 'U', "0"},
        {"/KELMO/TR111/ManageableDevice/0/SerialNumber", 'U', "SN-1"},
        {"/KELMO/TR111/MDNotificationLimit", 'U', "30"},
        {"/dev/ppp0/ip", 'U', "10.0.0.1"},
        {"/dev/br0/dhcps/lease/", 'D', "3"},
    };
    ASSERT_TRUE(eventually([&] { return changes().size() >= want.size(); })) << mgmtd.log();
    EXPECT_EQ(changes(), want) << mgmtd.log();
    EXPECT_TRUE(status_has("forwarded: 5"));
    EXPECT_TRUE(status_has("dropped: 4"));
    EXPECT_TRUE(status_has("queued: 0"));

    // The bytes of the first one: "P", L1, path, "C", 1, "U", "C", L3, text.
    std::string path = "/dev/br0/dhcps/lease/3/valid_time";
    std::vector<uint8_t> bytes;
    auto put = [&](char type, const std::string& value) {
        bytes.push_back(static_cast<uint8_t>(type));
        uint32_t len = static_cast<uint32_t>(value.size());
        uint8_t raw[4];
        memcpy(raw, &len, 4);
        bytes.insert(bytes.end(), raw, raw + 4);
        bytes.insert(bytes.end(), value.begin(), value.end());
    };
    put('P', path);
    put('C', "U");
    put('C', "0");
    EXPECT_EQ(FakeDaemon::of(MSG_CHANGE_DB)[0].payload, bytes);
}

TEST(Mgmtd, BurstKeepsItsOrder) {
    Confd confd;
    Started s;
    ASSERT_TRUE(s.mgmtd.logged("confd: subscribed"));
    // The lease exists before the burst (two records: its creation, its ip).
    conf_commit({{"/dev/br0/dhcps/lease/7/ip", "192.0.2.7"}});
    ASSERT_TRUE(eventually([] { return changes().size() >= 2; }));
    size_t base = changes().size();

    constexpr int batches = 4, per_batch = 150;
    std::vector<Change> want;
    for (int b = 0; b < batches; ++b) {
        std::vector<std::pair<std::string, std::string>> ops;
        for (int i = 0; i < per_batch; ++i) {
            int n = b * per_batch + i;
            char key[64];
            snprintf(key, sizeof key, "/dev/br0/dhcps/lease/7/k%04d", n);
            ops.push_back({key, std::to_string(n)});
            want.push_back({key, 'U', std::to_string(n)});
        }
        conf_commit(ops);
    }
    ASSERT_TRUE(eventually([&] { return changes().size() >= base + want.size(); }, 30000))
        << changes().size();
    auto got = changes();
    ASSERT_EQ(got.size(), base + want.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin() + static_cast<long>(base)));
    EXPECT_TRUE(status_has("queued: 0"));
}

TEST(Mgmtd, RecordsWaitWhileTheDaemonIsDown) {
    Confd confd;
    Started s;
    ASSERT_TRUE(s.mgmtd.logged("confd: subscribed"));
    conf_commit({{"/dev/br0/dhcps/lease/5/ip", "192.0.2.5"}}); // created, ip written
    ASSERT_TRUE(eventually([] { return changes().size() == 2; }));

    s.daemon.close();
    std::vector<Change> want;
    for (int i = 0; i < 20; ++i) {
        std::string key = "/dev/br0/dhcps/lease/5/start_time";
        conf_commit({{key, std::to_string(1000 + i)}});
        want.push_back({key, 'U', std::to_string(1000 + i)});
    }
    ASSERT_TRUE(status_has("queued: 20")) << status() << s.mgmtd.log();
    EXPECT_TRUE(s.mgmtd.logged("forward: daemon not reachable"));

    // The daemon's mailbox is back: everything, once, in order.
    s.daemon.open(64000);
    ASSERT_TRUE(eventually([&] { return changes().size() >= 2 + want.size(); }, 20000));
    auto got = changes();
    EXPECT_EQ(std::vector<Change>(got.begin() + 2, got.end()), want);
    EXPECT_TRUE(status_has("forwarded: 22"));
    EXPECT_TRUE(status_has("queued: 0"));
    EXPECT_TRUE(s.mgmtd.logged("forward: daemon reachable again"));
}

} // namespace
