// tr111d as a process (start-up, failing peers, the test as its management
// process), and the request loop on a thread of the test against the agent.
#include "main/tr111_main.h"
#include "tests/support/capture.h"
#include "tests/support/daemon.h"
#include "tr69/tr69_dm.h"

#include <atomic>
#include <cstdio>
#include <future>
#include <gtest/gtest.h>
#include <mutex>

using namespace tr111test;

const std::string kInfo = "TR111 application is registred to TR69";
const std::string kRefused = "TR111 model registration failed, fault code :";

class Daemon : public ::testing::Test, public DaemonRig {};

TEST_F(Daemon, StartupFailuresDebugSwitchesAndConfigurationFile) {
    // An agent refusing the first row: tr111d ends (255) right after its start-up lines.
    start_agent({"--refuse-id", "1"});
    struct Case {
        const char* key;
        std::vector<std::string> args, present, absent;
        const char* config = "com_mode 0\n";
    } cases[] = {
        {"1", {}, {"get_debug_activation_status : activ_status=1\n"}, {kInfo, kRefused}},
        {"1", {"abc"}, {kInfo, kRefused + "9004\n"}, {}}, // not a number: level 4
        {"1", {"2"}, {"ManagementServer.ManageableDeviceNumberOfEntries\n"}, {kInfo}}, // its row
        // A bad com_mode is said at level 1; registration goes on.
        {"1", {"1"}, {"In main: Init_lib_msg : failed\n\n", kRefused}, {kInfo}, "com_mode 3\n"},
        {"2", {"3"}, {"activ_status=2\nget_debug_activation_status :return 0\n"}, {kRefused}},
        {nullptr, {"3"}, {"get_debug_activation_status : path does not exist\n"}, {kInfo}},
    };
    for (const auto& c : cases) {
        RunResult r = run(tr111d(c.key, c.args, c.config));
        SCOPED_TRACE(std::string("key ") + (c.key ? c.key : "none") + " " + c.config + r.out);
        EXPECT_EQ(r.status, 255) << r.err;
        for (const auto& p : c.present)
            EXPECT_NE(r.out.find(p), std::string::npos) << "missing " << p;
        for (const auto& a : c.absent)
            EXPECT_EQ(r.out.find(a), std::string::npos) << "unexpected " << a;
    }
}

// What the test, as the management process, received: codes and payloads in order.
std::mutex mu;
std::vector<std::pair<uint32_t, std::string>> received;
int record(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    std::lock_guard<std::mutex> l(mu);
    received.emplace_back(msg->code, std::string(reinterpret_cast<const char*>(payload), length));
    return 0;
}

TEST_F(Daemon, LinkHelloStartAndStop) {
    ASSERT_EQ(MSG_Init(16), 0);
    int mbox = MSG_CreateChannel(837);
    for (uint32_t code : {2003u, 2101u, 2005u}) // HELLO, START_ACK, STOP_ACK
        ASSERT_EQ(MSG_RegisterMessage(mbox, code, record), 0);
    ASSERT_NE(MSG_StartThread(mbox), 0u);
    start_agent();
    std::string log = dir.path() + "/tr111d.log";
    // sem_init slowed down: the semaphore must be made before the callbacks
    // that post it, or the STARTs that come right after HELLO are lost.
    auto args = tr111d("1", {"3"}, "com_mode 2\n");
#ifdef SLOW_SEM_INIT
    args.insert(args.begin(), {"env", "LD_PRELOAD=" SLOW_SEM_INIT});
#endif
    Background daemon(args, log);
    auto received_are = [](const std::vector<std::pair<uint32_t, std::string>>& want) {
        return eventually([&] { return std::lock_guard<std::mutex>(mu), received == want; }, 20000);
    };
    // HELLO: one 32-bit word 0xABCD in host byte order. No request served before START.
    uint32_t word = 0xABCD;
    std::pair<uint32_t, std::string> hello{2003, std::string(reinterpret_cast<char*>(&word), 4)};
    EXPECT_TRUE(received_are({hello})) << read_file(log);
    EXPECT_EQ(count(read_file(log), "TR111 in RunState"), 0u);
    // START, STOP, START: each acked, STOP by 2048 bytes (text, zeros); tr111d goes on.
    int ch = MSG_OpenChannel("127.0.0.1", 2055);
    for (uint32_t code : {2001u, 2009u, 2001u})
        ASSERT_EQ(MSG_SendMessage(ch, code, "x", 1), 0);
    std::string stop = "TR69 callback_for_STOP is called";
    stop.resize(2048, '\0');
    EXPECT_TRUE(received_are({hello, {2101, ""}, {2005, stop}, {2101, ""}}));
    EXPECT_TRUE(eventually([&] { return count(read_file(log), "TR111 in RunState") > 0; }));
    EXPECT_TRUE(daemon.running());
}

// tr69_tx_msg of the daemon's loop, made to fail once when the test asks
// (a link-time wrap); the id of the last reply.
std::atomic<bool> fail_reply{false};
std::atomic<uint32_t> reply_id{0};
extern "C" int __real__Z11tr69_tx_msgPK10tr69_replyPi(const tr69_reply*, int32_t*);
extern "C" int __wrap__Z11tr69_tx_msgPK10tr69_replyPi(const tr69_reply* reply, int32_t* channel) {
    reply_id = reply->id;
    return fail_reply.exchange(false) ? TR69_ERR_TIMEOUT
                                      : __real__Z11tr69_tx_msgPK10tr69_replyPi(reply, channel);
}

// The request loop on a thread of the test, until the agent goes.
class RequestLoop : public Daemon {
  protected:
    static std::string raw(std::vector<std::string> args) {
        args.insert(args.begin(), {"raw", "--handler-word"});
        return run_program("acs", args).out;
    }
    void TearDown() override {
        tr69agent.reset();
        if (loop_.valid()) loop_.wait();
    }
    DebugSwitches sw_{1, 3};
    CaptureStdout cap_;
    std::future<int32_t> loop_;
};

TEST_F(RequestLoop, DispatchRepliesAndTheValueBuffer) {
    static std::atomic<int> again{0};
    // Asks to be called again three times in four; writes its call count.
    dm_handler* h_again = [](const char*, const uint32_t*, uint32_t, const char*, char* out) {
        snprintf(out, TR111_VALUE_SIZE, "n=%d", ++again);
        return again % 4 == 0 ? 0 : TR111_CALL_AGAIN;
    };
    dm_handler* h_set = [](const char*, const uint32_t*, uint32_t, const char*, char*) {
        return 0;
    };
    dm_handler* h_fault = [](const char*, const uint32_t*, uint32_t, const char*, char* out) {
        snprintf(out, TR111_VALUE_SIZE, "bad");
        return TR111_FAULT_9002;
    };
    start_agent();
    ASSERT_EQ(tr69dm_register_app(-1), 0);
    const uint32_t end = TR69_END_MARK, str = TR111_TYPE_STRING;
    const dm_entry table[] = {{101, tr69_ref("Test.Again"), 0, 0, str, tr69_ref_fn(h_again),
                               tr69_ref_fn(h_set), 0, 0, 0, 0, 0, 0, 0, end, 0},
                              {102, tr69_ref("Test.Fault"), 0, 0, str, tr69_ref_fn(h_fault), 0, 0,
                               0, 0, 0, 0, 0, 0, end, 0},
                              {}};
    const dm_entry* failed = nullptr;
    ASSERT_EQ(register_TR69_dm_entries(table, getChannelId(), &failed), 0);
    ASSERT_EQ(register_atomicity_support(), 0);
    // Past the table: a handler word that refers to a name.
    const uint32_t stray[] = {tr69_ref("Test.Stray"), end};
    ASSERT_EQ(tr69_register_entry("Test.Stray", 0, 103, str, stray, getChannelId()), 0);
    loop_ = std::async(std::launch::async, tr69dm_handle_data_req);

    // Called again three times: four replies to one request.
    EXPECT_EQ(raw({"0", "Test.Again"}), "10000 n=1\n10000 n=2\n10000 n=3\n0 n=4\n");
    // Status 10000: no handler runs, no reply.
    EXPECT_EQ(raw({"0", "--status", "10000", "Test.Again"}), "no reply\n");
    // A setter writes nothing: its reply carries what the getter left.
    EXPECT_EQ(raw({"1", "Test.Again", "v"}), "0 n=4\n");
    // A set through the agent: the atomicity entries around it get no reply.
    size_t replies = count(cap_.text(), "sending response to TR69 ");
    EXPECT_EQ(run_program("acs", {"set", "Test.Again", "w"}).status, 0);
    EXPECT_TRUE(eventually([&] { return count(cap_.text(), "atomicity : executed") == 2; }));
    EXPECT_EQ(count(cap_.text(), "sending response to TR69 "), replies + 1);
    // A fault is one reply; a handler never registered is not called.
    EXPECT_EQ(raw({"0", "Test.Fault"}), "9002 bad\n");
    EXPECT_EQ(reply_id, 102u); // the reply names the request's parameter
    EXPECT_EQ(raw({"0", "Test.Stray"}), "9002 bad\n");
    EXPECT_EQ(raw({"0", "Test.Again"}).substr(0, 10), "10000 n=5\n"); // still served
    // A reply that cannot be sent ends the loop with the library's code.
    fail_reply = true;
    auto get = program("acs");
    get.insert(get.end(), {"get", "Test.Fault"});
    Background acs(get, "/dev/null");
    ASSERT_EQ(loop_.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(loop_.get(), TR69_ERR_TIMEOUT);
    EXPECT_EQ(count(cap_.text(), "In tr69dm_handle_data_req: sending reply to tr69 failed\n\n"),
              1u);
}
