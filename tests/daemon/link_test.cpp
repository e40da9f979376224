// The link to the management process, with the test process in the place
// of the management process: ports per mode, the HELLO word, START
// releasing the request loop, the STOP acknowledgement.
#include "main/tr111_main.h"
#include "tests/daemon/daemon_support.h"
#include "tests/support/capture.h"
#include "tests/support/confd.h"

#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <mutex>

using namespace tr111test;

namespace {

// What the fake management process received, by message code.
std::mutex mu;
std::condition_variable cv;
std::map<uint32_t, std::vector<std::string>> received;

int record(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    std::lock_guard<std::mutex> l(mu);
    received[msg->code].emplace_back(reinterpret_cast<const char*>(payload), length);
    cv.notify_all();
    return 0;
}

bool wait_for(uint32_t code, size_t n, int ms = 20000) {
    std::unique_lock<std::mutex> l(mu);
    return cv.wait_for(l, std::chrono::milliseconds(ms),
                       [&] { return received[code].size() >= n; });
}

std::string last(uint32_t code) {
    std::lock_guard<std::mutex> l(mu);
    return received[code].back();
}

} // namespace

TEST(ManagementLink, PortsHelloStartAndStopPerMode) {
    ASSERT_EQ(MSG_Init(16), 0);
    TempDir dir;
    Confd confd;
    ASSERT_TRUE(confd.set("KELMO/TR111/tr111_debug", "1"));
    Background agent(program("tr69agent"), dir.path() + "/agent.log");
    ASSERT_TRUE(wait_port(7100, 10000));

    struct Mode {
        const char* config;
        int mgmt_port, daemon_port;
    } modes[] = {{"com_mode 2\n", 837, 2055}, {"com_mode 1\n", 3490, 64000}};
    for (const auto& m : modes) {
        {
            std::lock_guard<std::mutex> l(mu);
            received.clear();
        }
        int mbox = MSG_CreateChannel(m.mgmt_port);
        ASSERT_GE(mbox, 0);
        for (uint32_t code : {MSG_HELLO, MSG_START_ACK, MSG_STOP_ACK})
            ASSERT_EQ(MSG_RegisterMessage(mbox, code, record), 0);
        ASSERT_NE(MSG_StartThread(mbox), 0u);

        std::string log = dir.path() + "/tr111d-" + std::to_string(m.daemon_port) + ".log";
        Background daemon(daemon_argv(dir, m.config, {"3"}), log);
        ASSERT_TRUE(wait_for(MSG_HELLO, 1)) << read_file(log);
        // One 32-bit word 0xABCD in host byte order.
        uint32_t word = 0xABCD;
        EXPECT_EQ(last(MSG_HELLO), std::string(reinterpret_cast<const char*>(&word), 4));
        EXPECT_EQ(read_file(log).find("TR111 in RunState"), std::string::npos);

        int ch = MSG_OpenChannel("127.0.0.1", m.daemon_port);
        ASSERT_GE(ch, 0) << "daemon mailbox on " << m.daemon_port;
        ASSERT_EQ(MSG_SendMessage(ch, MSG_START, nullptr, 0), 0);
        ASSERT_TRUE(wait_for(MSG_START_ACK, 1));
        EXPECT_EQ(last(MSG_START_ACK), "");
        EXPECT_TRUE(eventually(
            [&] { return read_file(log).find("TR111 in RunState") != std::string::npos; }));

        ASSERT_EQ(MSG_SendMessage(ch, MSG_STOP, "x", 1), 0);
        ASSERT_TRUE(wait_for(MSG_STOP_ACK, 1));
        std::string ack = last(MSG_STOP_ACK);
        ASSERT_EQ(ack.size(), 2048u);
        std::string text = "TR69 callback_for_STOP is called";
        EXPECT_EQ(ack.substr(0, text.size()), text);
        EXPECT_EQ(ack.find_first_not_of('\0', text.size()), std::string::npos);
        EXPECT_TRUE(eventually(
            [&] { return read_file(log).find("STOP message received") != std::string::npos; }));

        // Still serving, and a second START is acknowledged again.
        RunResult r = run_program(
            "acs",
            {"get", "InternetGatewayDevice.ManagementServer.ManageableDeviceNumberOfEntries"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "0\n");
        ASSERT_EQ(MSG_SendMessage(ch, MSG_START, nullptr, 0), 0);
        ASSERT_TRUE(wait_for(MSG_START_ACK, 2));
        EXPECT_TRUE(daemon.running());
    }
}

TEST(ManagementLink, StartBeforeTheChannelIsOpenIsNotAcknowledged) {
    ASSERT_EQ(sem_init(&start_sem, 0, 0), 0);
    automate_msgqid = -1;
    DebugSwitches sw(1, 3);
    CaptureStdout cap;
    tr111_callback_for_MSG_START(nullptr, nullptr, 0);
    tr111_callback_for_MSG_STOP(nullptr, nullptr, 0);
    int value = -1;
    sem_getvalue(&start_sem, &value);
    EXPECT_EQ(value, 0);
    std::string out = cap.text();
    EXPECT_NE(out.find("In tr111_callback_for_MSG_START: Invalid automate_msgqid\n\n"),
              std::string::npos);
    EXPECT_NE(out.find("TR69 : my_callback_for_START : return\n\n"), std::string::npos);
    EXPECT_NE(out.find("In tr111_callback_for_MSG_STOP: Invalid automate_msgqid\n\n"),
              std::string::npos);
}
