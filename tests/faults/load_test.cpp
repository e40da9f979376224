// Load: 10,000 CHANGE_DB messages in one burst, straight from a mailbox of
// the test to the daemon's, while ACS gets and sets run in a loop through
// the agent. Every message must be handled once, in order (its parameter
// text shows in the daemon's debug line, and its event line is counted),
// every notification it raises must reach the agent, and every ACS
// operation must succeed throughout.
#include "bench/footprint/loadgen.h"
#include "tests/faults/faults_support.h"

#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <vector>

using namespace tr111test;
using namespace tr111load;

namespace {

constexpr int kMessages = 10000;
constexpr int kDevices = 16;

// How many times each message of the burst shows in the daemon's log, and
// whether they showed in the order they were sent.
struct Seen {
    std::vector<int> times = std::vector<int>(kMessages, 0);
    bool in_order = true;
};

Seen scan(const std::string& log) {
    Seen seen;
    const std::string key = "TLV3 change->Param_name = ";
    int last = -1;
    for (size_t p = log.find(key); p != std::string::npos; p = log.find(key, p + 1)) {
        size_t tag = log.find("/burst-", p);
        size_t eol = log.find('\n', p);
        if (tag == std::string::npos || tag > eol) continue;
        int i = atoi(log.c_str() + tag + 7);
        if (i < 0 || i >= kMessages) continue;
        ++seen.times[i];
        if (i <= last) seen.in_order = false;
        last = i;
    }
    return seen;
}

} // namespace

TEST(Load, TenThousandChangesWhileTheAcsWorks) {
    Lab lab;
    lab.up({"--debug", "3"});
    const int daemon = lab_pid(lab, "tr111d");
    const std::string log = lab.dir() + "/log/tr111d.log";
    ASSERT_TRUE(seed(kDevices));
    ASSERT_TRUE(eventually([] { return agent_events() >= kDevices; }, 60000));
    // The seeding's own messages are all handled before the counts start.
    ASSERT_TRUE(eventually(
        [&] { return lab.mgmt({"status"}).out.find("queued: 0") != std::string::npos; }, 60000));
    size_t settled = 0;
    ASSERT_TRUE(eventually(
        [&] {
            size_t n = count_in_file(log, "event code = ");
            bool same = n == settled;
            settled = n;
            return same;
        },
        60000));
    Mailbox mb;
    ASSERT_TRUE(mb.ok());
    ASSERT_TRUE(mb.send(quiet_change()));
    const int events_before = agent_events();
    const size_t event_lines_before = count_in_file(log, "event code = ");
    const int fds = fd_count(daemon);
    std::atomic<bool> stop{false};
    LoopCounts counts;
    std::thread ops([&] { acs_loop(kDevices, stop, 50, counts); });
    int sent = burst(mb, 0, kMessages, kDevices);
    stop = true;
    ops.join();
    ASSERT_EQ(sent, kMessages);
    EXPECT_EQ(counts.failed, 0) << counts.first_failure;
    EXPECT_GE(counts.done, 50);

    // Every notification of a record change reached the agent: one per
    // message but the lease renewals.
    int renewals = 0;
    for (int i = 0; i < kMessages; ++i)
        renewals += burst_change(i, kDevices).action == 'U' ? 1 : 0;
    EXPECT_TRUE(
        eventually([&] { return agent_events() >= events_before + kMessages - renewals; }, 300000));
    EXPECT_EQ(agent_events(), events_before + kMessages - renewals);

    std::string text = read_file(log);
    Seen seen = scan(text);
    int missing = 0, twice = 0;
    for (int t : seen.times) {
        missing += t == 0 ? 1 : 0;
        twice += t > 1 ? 1 : 0;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(twice, 0);
    EXPECT_TRUE(seen.in_order);
    EXPECT_EQ(count(text, "event code = ") - event_lines_before, static_cast<size_t>(kMessages));
    EXPECT_EQ(kill(daemon, 0), 0);
    EXPECT_TRUE(eventually([&] { return fd_count(daemon) == fds; })) << fd_count(daemon);
    EXPECT_EQ(acs(AcsOp::get, "InternetGatewayDevice.ManagementServer.ManageableDevice.1."
                              "SerialNumber")
                  .value,
              "SN-0");
}
