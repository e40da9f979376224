// tr111d as a process: arguments, the debug key, the configuration file,
// the TR-069 agent down or refusing, the management process absent or
// dropping every connection.
#include "tests/daemon/daemon_support.h"
#include "tests/support/confd.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tr111test;

namespace {

const std::string kInfoLine = "TR111 application is registred to TR69";
const std::string kRefused = "TR111 model registration failed, fault code :";

class Startup : public ::testing::Test {
  protected:
    // An agent that refuses the first parameter row: the daemon ends right
    // after its start-up lines.
    void refusing_agent() {
        auto argv = program("tr69agent");
        argv.insert(argv.end(), {"--refuse-id", "1"});
        agent_ = std::make_unique<Background>(argv, dir_.path() + "/agent.log");
        ASSERT_TRUE(wait_port(7100, 10000));
    }
    RunResult daemon(const std::string& config, const std::vector<std::string>& args,
                     int timeout_ms = 30000) {
        return run(daemon_argv(dir_, config, args), "", timeout_ms);
    }
    TempDir dir_;
    Confd confd_;
    std::unique_ptr<Background> agent_;
};

} // namespace

TEST_F(Startup, DebugKeyAndArguments) {
    refusing_agent();
    struct Case {
        const char* key; // null: no key
        std::vector<std::string> args;
        std::vector<std::string> present, absent;
    } cases[] = {
        {"1", {}, {"get_debug_activation_status : activ_status=1\n"}, {kInfoLine, kRefused}},
        {"1", {"abc"}, {kInfoLine, kRefused + "9004\n"}, {}},
        {"1", {""}, {kInfoLine}, {}},
        {"1", {"-1"}, {kInfoLine}, {}},
        {"1",
         {"2"},
         {kRefused + "9004\n", "dm entry that cause failure : "
                               "InternetGatewayDevice.ManagementServer."
                               "ManageableDeviceNumberOfEntries\n"},
         {kInfoLine}},
        {"1", {"3", "x", "ignored"}, {kInfoLine}, {}},
        {"2",
         {"3"},
         {"get_debug_activation_status : activ_status=2\nget_debug_activation_status :return 0\n"},
         {kInfoLine, kRefused}},
        {"-5",
         {"3"},
         {"get_debug_activation_status : activ_status=-5\nget_debug_activation_status :return 0\n"},
         {kInfoLine}},
        {nullptr, {"3"}, {"get_debug_activation_status : path does not exist\n"}, {kInfoLine}},
    };
    for (const auto& c : cases) {
        if (c.key)
            ASSERT_TRUE(confd_.set("KELMO/TR111/tr111_debug", c.key));
        else
            ASSERT_TRUE(confd_.del("KELMO/TR111/tr111_debug"));
        RunResult r = daemon("com_mode 0\n", c.args);
        std::string what = std::string("key ") + (c.key ? c.key : "none") + " args " +
                           (c.args.empty() ? "" : c.args[0]);
        EXPECT_EQ(r.status, 255) << what << "\n" << r.out << r.err;
        for (const auto& p : c.present)
            EXPECT_NE(r.out.find(p), std::string::npos) << what << ": missing " << p << "\n"
                                                        << r.out;
        for (const auto& a : c.absent)
            EXPECT_EQ(r.out.find(a), std::string::npos) << what << ": unexpected " << a << "\n"
                                                        << r.out;
    }
}

TEST_F(Startup, ConfigurationFileFailuresStillRegister) {
    refusing_agent();
    ASSERT_TRUE(confd_.set("KELMO/TR111/tr111_debug", "1"));
    for (const char* config : {"com_mode 3\n", "com_mode\n", "com_mode x\n"}) {
        // debug_level 1: the Init_lib_msg line needs it non-zero, not >= 3.
        RunResult r = daemon(config, {"1"});
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.out.find("In main: Init_lib_msg : failed\n\n"), std::string::npos)
            << config << r.out;
        EXPECT_NE(r.out.find(kRefused), std::string::npos) << config << r.out;
    }
    RunResult r = daemon("com_mode 0\n", {"1"});
    EXPECT_EQ(r.out.find("Init_lib_msg : failed"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 255);
}

TEST_F(Startup, AgentDownTenTriesThenExit255) {
    ASSERT_TRUE(confd_.set("KELMO/TR111/tr111_debug", "1"));
    RunResult r = daemon("com_mode 0\n", {"3"}, 60000);
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_EQ(count(r.out, " TR111 can not open channel with tr69 process, fault code : "), 10u)
        << r.out;
    EXPECT_EQ(count(r.out, "tr69_open_channel_use_rx_mbx: channel id = 0 \n"), 10u);
    EXPECT_NE(r.out.find("TR111 application registration failed after 10 tries\n"),
              std::string::npos);
}

TEST_F(Startup, ManagementProcessAbsentExitsWith1) {
    auto agent = std::make_unique<Background>(program("tr69agent"), dir_.path() + "/agent.log");
    ASSERT_TRUE(wait_port(7100, 10000));
    RunResult r = daemon("com_mode 0\n", {});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
}

TEST_F(Startup, HelloNeverDeliveredExitsWith2) {
    auto agent = std::make_unique<Background>(program("tr69agent"), dir_.path() + "/agent.log");
    ASSERT_TRUE(wait_port(7100, 10000));
    // A management port that accepts and drops every connection.
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(3490);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 16), 0);
    std::atomic<int> accepted{0};
    std::atomic<bool> stop{false};
    std::thread dropper([&] {
        while (!stop) {
            int c = accept(lfd, nullptr, nullptr);
            if (c < 0) break;
            ++accepted;
            close(c);
        }
    });
    ASSERT_TRUE(confd_.set("KELMO/TR111/tr111_debug", "1"));
    RunResult r = daemon("com_mode 0\n", {"3"}, 60000);
    stop = true;
    shutdown(lfd, SHUT_RDWR);
    close(lfd);
    dropper.join();
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.out.find("TR111 called MSG_OpenChannel OK "), std::string::npos);
    EXPECT_NE(r.out.find("Error while sending message by TR111"), std::string::npos);
    // The open, then one connection per attempt at most.
    EXPECT_GE(accepted.load(), 2);
    EXPECT_LE(accepted.load(), 6);
}
