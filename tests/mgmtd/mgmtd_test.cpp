// mgmtd and its CLI mgmt; the test's own mailbox stands for the daemon.
// Each case starts from nothing of the one before: its own mgmtd (and
// confd), what the daemon's mailbox got emptied, the mailboxes closed.
#include "main/tr111_main.h"
#include "platform/include/msg.h"
#include "tests/support/confd.h"
#include "tests/support/pipe.h"

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <mutex>

using namespace tr111test;

namespace {

// The daemon's side of the link: what its mailbox got, and whether it acks STOP.
std::mutex mu;
std::map<uint32_t, std::vector<std::string>> got; // payloads by message code
std::atomic<bool> ack_stop{true};
std::atomic<int> to_mgmtd{-1};   // the channel to the mgmtd of the case
std::map<int, int> channel_to;   // one channel per mgmtd port, for the life of the process
std::vector<int> open_mailboxes; // closed at the end of each case

int on_message(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    std::lock_guard<std::mutex> lk(mu);
    got[msg->code].emplace_back(reinterpret_cast<const char*>(payload), length);
    if (msg->code == MSG_START) MSG_SendMessage(to_mgmtd, MSG_START_ACK, nullptr, 0);
    if (msg->code == MSG_STOP && ack_stop) {
        char ack[2048] = "TR69 callback_for_STOP is called";
        MSG_SendMessage(to_mgmtd, MSG_STOP_ACK, ack, sizeof ack);
    }
    return 0;
}

void forget_messages() {
    std::lock_guard<std::mutex> lk(mu);
    got.clear();
}
std::vector<std::string> of(uint32_t code) {
    std::lock_guard<std::mutex> lk(mu);
    return got[code];
}

// The daemon's mailbox on port; then its HELLO to mgmtd, as tr111d sends it.
int open_mailbox(int port) {
    EXPECT_EQ(MSG_Init(16), 0);
    int mailbox = MSG_CreateChannel(port);
    for (uint32_t code : {MSG_START, MSG_STOP, MSG_CHANGE_DB})
        EXPECT_EQ(MSG_RegisterMessage(mailbox, code, on_message), 0);
    EXPECT_NE(MSG_StartThread(mailbox), 0u);
    open_mailboxes.push_back(mailbox);
    return mailbox;
}
void close_mailbox(int mailbox) {
    std::erase(open_mailboxes, mailbox);
    ASSERT_EQ(MSG_CloseMailbox(mailbox), 0);
}
void hello(int mgmt_port) {
    auto [it, fresh] = channel_to.try_emplace(mgmt_port, -1);
    if (fresh) it->second = MSG_OpenChannel("127.0.0.1", mgmt_port);
    to_mgmtd = it->second;
    uint32_t word = 0xABCD;
    ASSERT_EQ(MSG_SendMessageRetry(to_mgmtd, MSG_HELLO, &word, sizeof word, 5), 0);
}

struct Mgmtd { // in the background, logging to a folder of its own
    TempDir dir;
    std::unique_ptr<Background> proc;
    explicit Mgmtd(std::vector<std::string> args) {
        auto prog = program("mgmtd");
        args.insert(args.begin(), prog.begin(), prog.end());
        proc = std::make_unique<Background>(args, dir.path() + "/mgmtd.log");
        EXPECT_TRUE(wait_port(3490, 10000) && wait_port(3499, 10000)) << log();
    }
    std::string log() const { return read_file(dir.path() + "/mgmtd.log"); }
    bool logged(const std::string& text) {
        return eventually([&] { return log().find(text) != std::string::npos; });
    }
};

bool status_has(const std::string& lines) { // whole lines of "mgmt status"
    return eventually([&] {
        return ("\n" + run_program("mgmt", {"status"}).out).find("\n" + lines + "\n") !=
               std::string::npos;
    });
}

void conf_set(std::vector<std::string> pairs) { // one commit
    pairs.insert(pairs.begin(), "set");
    ASSERT_EQ(run_program("conf", pairs).status, 0);
}

// A CHANGE_DB payload: "P" path, "C" action, "C" text, lengths in host order.
std::string tlv(char type, const std::string& value) {
    uint32_t len = static_cast<uint32_t>(value.size());
    return type + std::string(reinterpret_cast<const char*>(&len), sizeof len) + value;
}
std::string change(const std::string& path, char action, const std::string& text) {
    return tlv('P', path) + tlv('C', std::string(1, action)) + tlv('C', text);
}

class MgmtdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        forget_messages();
        ack_stop = true;
    }
    void TearDown() override {
        for (int m : std::vector<int>(open_mailboxes))
            close_mailbox(m);
    }
};

} // namespace

// HELLO answered by START; STOP acked or not. mgmtd and mgmt writing into a
// pipe whose reader went away, and the lab's programs with a usage error, go on.
TEST_F(MgmtdTest, HelloIsAnsweredWithStartAndBrokenPipesEndNothing) {
    RunResult r = run_program("mgmt", {"status"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "mgmt: mgmtd not reachable on 127.0.0.1:3499\n");
    for (auto [opt, bad] : {std::pair{"--mode", "3"},
                            {"--queue-records", "0"},
                            {"--queue-bytes", "65535"}}) // below the largest message
        EXPECT_EQ(run_program("mgmtd", {opt, bad}).status, 2) << opt;
    TempDir dir;
    Background mgmtd(program_into_broken_pipe(dir.path(), "mgmtd", {"--mode", "0"}), "/dev/null");
    ASSERT_TRUE(wait_port(837, 10000) && wait_port(3499, 10000));
    EXPECT_EQ(run(program_into_broken_pipe(dir.path(), "mgmt", {"status"})).status, 0);
    for (const char* prog : {"dhcpbridge", "fwrender", "crserver"}) // usage on standard error
        EXPECT_EQ(run(program_into_broken_pipe(dir.path(), prog, {"--no-such-option"})).status, 2)
            << prog;
    r = run_program("mgmt", {"start"}); // no daemon mailbox yet: mgmtd logs it
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "error: daemon mailbox 127.0.0.1:2055 not reachable\n");
    open_mailbox(2055);
    hello(837);
    ASSERT_TRUE(eventually([] { return of(MSG_START).size() == 1; }));
    EXPECT_EQ(run_program("mgmt", {"start"}).out, "ack\n");
    r = run_program("mgmt", {"stop"});
    EXPECT_EQ(r.out, "ack\nstop_ack: \"TR69 callback_for_STOP is called\" (2048 bytes)\n");
    EXPECT_TRUE(status_has("daemon: started")); // STOP leaves it started
    ack_stop = false;                           // a daemon that takes STOP and never answers
    r = run_program("mgmt", {"stop"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "timeout\n");
    hello(837); // the daemon restarted: a new start
    EXPECT_TRUE(eventually([] { return of(MSG_START).size() == 3; }));
    EXPECT_TRUE(mgmtd.running());
}

// Forwarded as TLVs; held while the daemon is down, up to the queue's bounds
// (300 records, 64 KiB here): then the newest are dropped, each logged and counted.
TEST_F(MgmtdTest, ForwardsWhatConcernsTheDaemonAsTlvsQueuedUpToItsBounds) {
    Confd confd;
    Mgmtd mgmtd({"--queue-records", "300", "--queue-bytes", "65536"});
    ASSERT_TRUE(mgmtd.logged("confd: subscribed"));
    // Before the daemon's first HELLO: dropped (it reads everything at start-up).
    conf_set({"/dev/br0/dhcps/lease/3/start_time", "1", "/KELMO/TR111/ManageableDevice/0/OUI",
              "00D09E"});
    ASSERT_TRUE(status_has("dropped: 4")) << mgmtd.log();
    int mailbox = open_mailbox(64000);
    hello(3490);
    ASSERT_TRUE(status_has("daemon: started"));
    conf_set({"/fw/rule/loc_srv/1/enabled", "1", "/dev/br0/dhcps/lease/3/valid_time", "0",
              "/KELMO/TR111/ManageableDevice/0/SerialNumber", "SN-1",
              "/KELMO/TR111/MDNotificationLimit", "30", "/dev/ppp0/ip", "10.0.0.1", "/dev/eth0/ip",
              "192.168.7.1"});
    ASSERT_TRUE(confd.del("/dev/br0/dhcps/lease/3"));
    std::vector<std::string> want = {
        change("/dev/br0/dhcps/lease/3/valid_time", 'U', "0"),
        change("/KELMO/TR111/ManageableDevice/0/SerialNumber", 'U', "SN-1"),
        change("/KELMO/TR111/MDNotificationLimit", 'U', "30"),
        change("/dev/ppp0/ip", 'U', "10.0.0.1"),
        change("/dev/br0/dhcps/lease/", 'D', "3"),
    };
    EXPECT_TRUE(eventually([&] { return of(MSG_CHANGE_DB).size() >= want.size(); }));
    EXPECT_EQ(of(MSG_CHANGE_DB), want) << mgmtd.log();
    // Three commits of 100 records of 57 bytes while the daemon's mailbox is
    // closed fill the queue; one more record is dropped, with a line.
    const std::string dev = "/KELMO/TR111/ManageableDevice/0/";
    close_mailbox(mailbox);
    for (int b = 0; b < 3; ++b) {
        std::vector<std::string> pairs;
        for (int i = 1000 + b * 100; i < 1100 + b * 100; ++i) {
            std::string key = dev + "k" + std::to_string(i);
            pairs.insert(pairs.end(), {key, std::to_string(i)});
            want.push_back(change(key, 'U', std::to_string(i)));
        }
        conf_set(pairs);
    }
    conf_set({dev + "k1300", "1300"});
    EXPECT_TRUE(status_has("dropped: 5\nqueued: 300\nqueued_bytes: 17100\ndropped_queue_full: 1\n"
                           "queue_limit: 300 records, 65536 bytes"))
        << mgmtd.log();
    EXPECT_TRUE(mgmtd.logged("forward: queue full (300 records, 17100 bytes; at most 300, 65536); "
                             "record " +
                             dev + "k1300 U dropped (1 dropped while full, 5 in all)\n"));
    EXPECT_TRUE(mgmtd.logged("forward: daemon not reachable")); // a try has failed
    // Back, the daemon gets everything queued, once, in order; a record is taken again.
    mailbox = open_mailbox(64000);
    EXPECT_TRUE(eventually([&] { return of(MSG_CHANGE_DB).size() >= want.size(); }, 30000));
    EXPECT_EQ(of(MSG_CHANGE_DB), want);
    conf_set({dev + "k1301", "1301"});
    EXPECT_TRUE(mgmtd.logged("forward: queue takes records again; 1 dropped while it was full"));
    EXPECT_TRUE(status_has("forwarded: 306\ndropped: 5\nqueued: 0\nqueued_bytes: 0"));
    // Down again: three records of 65536 bytes in all fill the byte bound
    // exactly; one more byte is too many, though the count bound has room.
    close_mailbox(mailbox);
    conf_set({dev + "b1", std::string(21795, 'x'), dev + "b2", std::string(21795, 'x'), dev + "b3",
              std::string(21796, 'x'), dev + "b4", ""});
    EXPECT_TRUE(status_has("queued: 3\nqueued_bytes: 65536\ndropped_queue_full: 2")) << mgmtd.log();
    EXPECT_TRUE(mgmtd.logged(dev + "b4 U dropped (1 dropped while full, 6 in all)\n"));
    // Ended with records held: the end says so.
    EXPECT_EQ(mgmtd.proc->stop(), 0);
    EXPECT_TRUE(mgmtd.logged("stopped by signal 15; 306 record(s) forwarded, 6 dropped, 3 still "
                             "queued (not delivered)"));
}
