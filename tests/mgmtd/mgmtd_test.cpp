// mgmtd between confd and the daemon, whose mailbox the test plays.
#include "main/tr111_main.h"
#include "platform/include/msg.h"
#include "tests/support/confd.h"

#include <gtest/gtest.h>
#include <mutex>

using namespace tr111test;

namespace {

// The daemon's side of the link: its START acked, the CHANGE_DB payloads kept.
std::mutex mu;
std::vector<std::string> got;
int to_mgmtd = -1;

int on_message(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    std::lock_guard<std::mutex> lk(mu);
    if (msg->code == MSG_START) MSG_SendMessage(to_mgmtd, MSG_START_ACK, nullptr, 0);
    if (msg->code == MSG_CHANGE_DB)
        got.emplace_back(reinterpret_cast<const char*>(payload), length);
    return 0;
}
std::vector<std::string> changes() {
    std::lock_guard<std::mutex> lk(mu);
    return got;
}
int open_mailbox() {
    int mailbox = MSG_CreateChannel(64000);
    for (uint32_t code : {MSG_START, MSG_CHANGE_DB})
        EXPECT_EQ(MSG_RegisterMessage(mailbox, code, on_message), 0);
    EXPECT_NE(MSG_StartThread(mailbox), 0u);
    return mailbox;
}

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

} // namespace

// Held while the daemon is down, up to the queue's bounds (300 records,
// 64 KiB here): then the newest are dropped, each logged and counted.
TEST(Mgmtd, QueuesUpToItsBoundsThenDropsAndCounts) {
    Confd confd;
    const std::string dev = "/KELMO/TR111/ManageableDevice/0/";
    conf_set({dev + "k999", "999"}); // the sets made before mgmtd is there
    TempDir dir;
    auto argv = program("mgmtd");
    argv.insert(argv.end(), {"--queue-records", "300", "--queue-bytes", "65536"});
    Background mgmtd(argv, dir.path() + "/mgmtd.log");
    auto log = [&] { return read_file(dir.path() + "/mgmtd.log"); };
    auto logged = [&](const std::string& text) {
        return eventually([&] { return log().find(text) != std::string::npos; });
    };
    ASSERT_TRUE(wait_port(3490, 10000) && logged("confd: subscribed")) << log();
    ASSERT_EQ(MSG_Init(16), 0);
    int mailbox = open_mailbox();
    to_mgmtd = MSG_OpenChannel("127.0.0.1", 3490);
    uint32_t word = 0xABCD;
    ASSERT_EQ(MSG_SendMessageRetry(to_mgmtd, MSG_HELLO, &word, sizeof word, 5), 0);
    ASSERT_TRUE(status_has("daemon: started"));
    std::vector<std::string> want;
    // Three commits of 100 records of 57 bytes while the daemon's mailbox is
    // closed fill the queue; one more record is dropped, with a line.
    ASSERT_EQ(MSG_CloseMailbox(mailbox), 0);
    for (int b = 0; b < 3; ++b) {
        std::vector<std::string> pairs;
        for (int i = 1000 + b * 100; i < 1100 + b * 100; ++i) {
            std::string key = dev + "k" + std::to_string(i);
            pairs.insert(pairs.end(), {key, std::to_string(i)});
            want.push_back(change(key, 'U', std::to_string(i)));
        }
        conf_set(pairs);
    }
    // With the LAN address, which is not forwarded and takes no place.
    conf_set({dev + "k1300", "1300", "/dev/eth0/ip", "192.168.7.1"});
    EXPECT_TRUE(status_has("dropped: 1\nqueued: 300\nqueued_bytes: 17100\ndropped_queue_full: 1\n"
                           "queue_limit: 300 records, 65536 bytes"))
        << log();
    EXPECT_TRUE(logged("forward: queue full (300 records, 17100 bytes; at most 300, 65536); "
                       "record " +
                       dev + "k1300 U dropped (1 dropped while full, 1 in all)\n"));
    // Back, the daemon gets everything queued, once, in order.
    mailbox = open_mailbox();
    EXPECT_TRUE(eventually([&] { return changes().size() >= want.size(); }, 30000));
    EXPECT_EQ(changes(), want);
    // Down again: three records of 65536 bytes in all fill the byte bound
    // exactly; one more byte is too many, though the count bound has room.
    // Ended with records held: the end says so.
    ASSERT_EQ(MSG_CloseMailbox(mailbox), 0);
    conf_set({dev + "b1", std::string(21795, 'x'), dev + "b2", std::string(21795, 'x'), dev + "b3",
              std::string(21796, 'x'), dev + "b4", ""});
    EXPECT_TRUE(status_has("queued: 3\nqueued_bytes: 65536\ndropped_queue_full: 2")) << log();
    EXPECT_EQ(mgmtd.stop(), 0);
    EXPECT_TRUE(logged("stopped by signal 15; 300 record(s) forwarded, 2 dropped, 3 still "
                       "queued (not delivered)"));
}
