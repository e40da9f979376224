// The link to the management process in-process: the START and STOP callbacks
// before the channel is open, EstablishCommunicationWithAutomate against a
// management process played by the test through the message library in mode 2
// (mode 0, START and STOP answered: through tr111d in tests/daemon); HELLO's
// attempts against one that takes no message.
#include "main/tr111_main.h"
#include "tests/support/capture.h"
#include "tests/support/net.h"

using namespace tr111test;

namespace {

const uint32_t kHello = 0xABCD; // one word in host byte order
const std::string kHelloBytes(reinterpret_cast<const char*>(&kHello), 4);

} // namespace

TEST(ManagementLink, NothingBeforeTheChannelThenHelloOnThePortOfMode2) {
    ASSERT_EQ(MSG_Init(16), 0);
    ASSERT_EQ(sem_init(&start_sem, 0, 0), 0);
    {
        // START and STOP before the channel is open: not answered, main not released.
        DebugSwitches sw(1, 3);
        CaptureStdout cap;
        tr111_callback_for_MSG_START(nullptr, nullptr, 0);
        tr111_callback_for_MSG_STOP(nullptr, nullptr, 0);
        EXPECT_EQ(count(cap.text(), "Invalid automate_msgqid\n\n"), 2u) << cap.text();
        int posted = -1;
        EXPECT_TRUE(sem_getvalue(&start_sem, &posted) == 0 && posted == 0);
    }
    int mp = MSG_CreateChannel(3490); // the management process
    ASSERT_EQ(MSG_RegisterMessage(mp, 2003, inbox_record), 0);
    ASSERT_NE(MSG_StartThread(mp), 0u);
    lib_msg_comm_mode = 2;
    tr111_automate_idmailbox = MSG_CreateChannel(64000);
    ASSERT_NE(MSG_StartThread(tr111_automate_idmailbox), 0u);
    EXPECT_EQ(EstablishCommunicationWithAutomate(), 0);
    EXPECT_EQ(inbox(1), Strings{"2003:" + kHelloBytes});
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
