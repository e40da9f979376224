// The link to the management process in-process: EstablishCommunicationWith-
// Automate and the START and STOP callbacks against a management process
// played by the test through the message library, in mode 2 (mode 0: through
// tr111d in tests/daemon); HELLO's attempts against one that takes no message.
#include "main/tr111_main.h"
#include "tests/support/capture.h"
#include "tests/support/net.h"

using namespace tr111test;
using Strings = std::vector<std::string>;

namespace {

std::mutex mu;
Strings got; // what the management process received: "CODE:PAYLOAD"

int record(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    std::lock_guard<std::mutex> l(mu);
    got.push_back(std::to_string(msg->code) + ":" +
                  std::string(reinterpret_cast<const char*>(payload), payload ? length : 0));
    return 0;
}

const uint32_t kHello = 0xABCD; // one word in host byte order
const std::string kHelloBytes(reinterpret_cast<const char*>(&kHello), 4);

} // namespace

TEST(ManagementLink, HelloStartAndStopOnThePortsOfMode2) {
    ASSERT_EQ(MSG_Init(16), 0);
    ASSERT_EQ(sem_init(&start_sem, 0, 0), 0);
    {
        // START and STOP before the channel is open: not answered, main not released.
        DebugSwitches sw(1, 3);
        CaptureStdout cap;
        tr111_callback_for_MSG_START(nullptr, nullptr, 0);
        tr111_callback_for_MSG_STOP(nullptr, nullptr, 0);
        EXPECT_EQ(count(cap.text(), "Invalid automate_msgqid\n\n"), 2u) << cap.text();
    }
    int mp = MSG_CreateChannel(3490); // the management process
    for (uint32_t code : {2003u, 2101u, 2005u})
        ASSERT_EQ(MSG_RegisterMessage(mp, code, record), 0);
    ASSERT_NE(MSG_StartThread(mp), 0u);
    lib_msg_comm_mode = 2;
    tr111_automate_idmailbox = MSG_CreateChannel(64000);
    ASSERT_NE(MSG_StartThread(tr111_automate_idmailbox), 0u);
    EXPECT_EQ(EstablishCommunicationWithAutomate(), 0);
    // START, then STOP: each acknowledged, STOP by 2048 bytes (its text, then zeros).
    int ch = MSG_OpenChannel("127.0.0.1", 64000);
    for (uint32_t code : {2001u, 2009u})
        ASSERT_EQ(MSG_SendMessage(ch, code, "x", 1), 0);
    std::string stop = "TR69 callback_for_STOP is called";
    stop.resize(2048, '\0');
    const Strings want = {"2003:" + kHelloBytes, "2101:", "2005:" + stop};
    EXPECT_TRUE(eventually([&] { return std::lock_guard<std::mutex>(mu), got == want; }));
    int posted = 0; // START released main, once (not before)
    EXPECT_TRUE(eventually([&] { return sem_getvalue(&start_sem, &posted), posted == 1; }));
    MSG_CloseMailbox(mp);
    MSG_CloseMailbox(tr111_automate_idmailbox);
}

TEST(ManagementLink, NoChannelEndsWith1AHelloNotTakenAfterFiveAttemptsWith2) {
    ASSERT_EQ(MSG_Init(16), 0);
    tr111_automate_idmailbox = MSG_CreateChannel(2056);
    lib_msg_comm_mode = 0; // nothing on 837
    EXPECT_EXIT(EstablishCommunicationWithAutomate(), testing::ExitedWithCode(1), "");
    FakeMailbox peer(3490);
    peer.drop = 100; // each message read, its connection closed unanswered
    lib_msg_comm_mode = 1;
    EXPECT_EXIT(EstablishCommunicationWithAutomate(), testing::ExitedWithCode(2), "");
    EXPECT_TRUE(eventually([&] { return peer.conn < 0; }));
    peer.thread = {};
    EXPECT_EQ(peer.frames, Strings(5, "1 2003 " + kHelloBytes));
    MSG_CloseMailbox(tr111_automate_idmailbox);
}
