// The request loop against the TR-069 agent stand-in, with test entries:
// no dispatch for status 10000, no reply for the atomicity entries, four
// replies for a handler that asks three times to be called again, the value
// buffer carried into a setter's reply, a fault, the loop ending when the
// channel fails.
#include "tests/support/capture.h"
#include "tests/support/proc.h"
#include "tr69/tr69_dm.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using namespace tr111test;

namespace {

std::atomic<int> again_calls{0}, set_calls{0};

int32_t h_again(const char*, const uint32_t*, uint32_t, const char*, char* out) {
    int n = ++again_calls;
    snprintf(out, TR111_VALUE_SIZE, "n=%d", n);
    return n % 4 == 0 ? 0 : TR111_CALL_AGAIN;
}

int32_t h_set(const char*, const uint32_t*, uint32_t, const char*, char*) {
    ++set_calls;
    return 0;
}

int32_t h_fault(const char*, const uint32_t*, uint32_t, const char*, char* out) {
    strcpy(out, "bad");
    return TR111_FAULT_9002;
}

dm_entry row(uint32_t id, const char* name, dm_handler* get, dm_handler* set) {
    dm_entry e{};
    e.id = id;
    e.name = tr69_ref(name);
    e.type = TR111_TYPE_STRING;
    e.getter = tr69_ref_fn(get);
    e.setter = set ? tr69_ref_fn(set) : 0;
    e.end = TR69_END_MARK;
    return e;
}

class RequestLoop : public ::testing::Test {
  protected:
    void start(std::vector<std::string> agent_args = {}) {
        auto argv = program("tr69agent");
        argv.insert(argv.end(), agent_args.begin(), agent_args.end());
        agent_ = std::make_unique<Background>(argv, dir_.path() + "/agent.log");
        ASSERT_TRUE(wait_port(7100, 10000));
        ASSERT_EQ(tr69dm_register_app(-1), 0);
        static const dm_entry table[] = {row(101, "Test.Again", h_again, h_set),
                                         row(102, "Test.Fault", h_fault, nullptr), dm_entry{}};
        const dm_entry* failed = nullptr;
        ASSERT_EQ(register_TR69_dm_entries(table, getChannelId(), &failed), 0);
        ASSERT_EQ(register_atomicity_support(), 0);
        loop_ = std::thread([this] { loop_result_ = tr69dm_handle_data_req(); });
    }
    void TearDown() override {
        agent_.reset(); // the channel fails: the loop ends
        if (loop_.joinable()) loop_.join();
    }
    RunResult raw(const std::vector<std::string>& args) {
        std::vector<std::string> a = {"raw"};
        a.insert(a.end(), args.begin(), args.end());
        return run_program("acs", a);
    }

    TempDir dir_;
    std::unique_ptr<Background> agent_;
    std::thread loop_;
    std::atomic<int> loop_result_{0};
};

} // namespace

TEST_F(RequestLoop, DispatchRepliesAndTheValueBuffer) {
    DebugSwitches sw(1, 3);
    CaptureStdout cap;
    start();

    // Called again three times: four replies to one request.
    RunResult r = raw({"--handler-word", "0", "Test.Again"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "10000 n=1\n10000 n=2\n10000 n=3\n0 n=4\n");
    EXPECT_EQ(again_calls, 4);

    // Status 10000: no handler runs, no reply.
    r = raw({"--handler-word", "0", "--status", "10000", "Test.Again"});
    EXPECT_EQ(r.out, "no reply\n");
    EXPECT_EQ(again_calls, 4);

    // A setter writes nothing: its reply carries what the getter left.
    r = raw({"--handler-word", "1", "Test.Again", "v"});
    EXPECT_EQ(r.out, "0 n=4\n");
    EXPECT_EQ(set_calls, 1);

    // A set through the agent is bracketed by the atomicity entries, which
    // run without a reply.
    size_t replies = count(cap.text(), "sending response to TR69 ");
    size_t executed = count(cap.text(), "atomicity : executed");
    r = run_program("acs", {"set", "Test.Again", "w"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(set_calls, 2);
    EXPECT_TRUE(
        eventually([&] { return count(cap.text(), "atomicity : executed") == executed + 2; }));
    EXPECT_EQ(count(cap.text(), "sending response to TR69 "), replies + 1);

    // A fault is one reply; the next request is served normally.
    r = raw({"--handler-word", "0", "Test.Fault"});
    EXPECT_EQ(r.out, "9002 bad\n");
    r = run_program("acs", {"get", "Test.Again"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "n=8\n");
    // A row without a setter: the agent answers it without asking the daemon.
    r = run_program("acs", {"set", "Test.Fault", "x"});
    EXPECT_EQ(r.status, 1);

    std::string out = cap.text();
    EXPECT_NE(out.find("msg<Test.Again>, received\n"), std::string::npos);
    EXPECT_NE(out.find("function executed with code = 10000\n"), std::string::npos);
    EXPECT_NE(out.find("function executed with code = 9002\n"), std::string::npos);
    // The loop ends before the debug switches it reads are put back.
    TearDown();
}

TEST_F(RequestLoop, EndsWhenTheChannelFails) {
    DebugSwitches sw(1, 3);
    CaptureStdout cap;
    again_calls = 0;
    start({"--drop-after", "1"});
    raw({"--handler-word", "0", "Test.Again"});
    ASSERT_TRUE(eventually([&] { return !agent_->running() || loop_result_ != 0; }, 20000));
    loop_.join();
    EXPECT_NE(loop_result_, 0);
    std::string out = cap.text();
    EXPECT_TRUE(out.find("sending reply to tr69 failed") != std::string::npos ||
                out.find("receiving data msg from tr69 failed") != std::string::npos)
        << out;
}
