// Link to the management process: the message library, the START, STOP and
// CHANGE_DB callbacks, the channel back and the HELLO announcement.
#include "main/tr111.h"
#include "main/tr111_main.h"
#include "notify/notify.h"

#include <cstdlib>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_automate";

std::atomic<int32_t> automate_msgqid{-1};

namespace {

uint32_t rx_thread_handle = 0; // kept, not used further

constexpr int kOwnPortMode0 = 2055;
constexpr int kOwnPort = 64000;
constexpr int kRemotePortMode0 = 837;
constexpr int kRemotePort = 3490;
constexpr int kMaxMailboxes = 16;

} // namespace

int init_lib_msg() {
    lib_msg_comm_mode = get_lib_msg_comm_mode();
    if (lib_msg_comm_mode == -1) {
        // The mode is chosen by start-up proper: its line is the main module's.
        if (tr111_info_on())
            tr111_debug_plain("TR111_main", __LINE__, __func__, "get_lib_msg_comm_mode : failed");
        return -1;
    }
    if (MSG_SetMode(lib_msg_comm_mode) != 0) {
        TR111_ERR("MSG_SetMode failed");
        return -1;
    }
    if (MSG_Init(kMaxMailboxes) != 0) {
        TR111_ERR("MSG_Init failed");
        return 1;
    }
    tr111_automate_idmailbox = MSG_CreateChannel(lib_msg_comm_mode != 0 ? kOwnPort : kOwnPortMode0);
    if (tr111_automate_idmailbox == -1) {
        // The line names 64000 whichever port was asked.
        TR111_ERRF("MSG_CreateChannel failed : %d\n", kOwnPort);
        return -1;
    }
    TR111_INFOF("MSG_CreateChannel success, tr111_automate_idmailbox=%d\n",
                tr111_automate_idmailbox);
    rx_thread_handle = MSG_StartThread(tr111_automate_idmailbox);
    if (rx_thread_handle == 0) {
        TR111_ERR("MSG_StartThread failed");
        return -1;
    }
    return 0;
}

int EstablishCommunicationWithAutomate() {
    TR111_INFOF("Reception mailbox created: ID is %x\n",
                static_cast<unsigned>(tr111_automate_idmailbox));
    if (MSG_RegisterMessage(tr111_automate_idmailbox, MSG_START, tr111_callback_for_MSG_START) !=
        0) {
        TR111_ERR("MSG_RegisterMessage MSG_START failed");
        return -1;
    }
    if (MSG_RegisterMessage(tr111_automate_idmailbox, MSG_STOP, tr111_callback_for_MSG_STOP) != 0) {
        TR111_ERR("MSG_RegisterMessage MSG_STOP failed");
        return -1;
    }
    if (MSG_RegisterMessage(tr111_automate_idmailbox, MSG_CHANGE_DB,
                            tr111_callback_for_MSG_CHANGE_DB) != 0) {
        TR111_ERR("MSG_RegisterMessage MSG_REGISTER failed");
        return 9;
    }
    TR111_INFO("MSG_RegisterMessage MSG_REGISTER OK");
    TR111_INFOF("TR111 attached to mailbox %x\n", static_cast<unsigned>(tr111_automate_idmailbox));

    int port = lib_msg_comm_mode != 0 ? kRemotePort : kRemotePortMode0;
    TR111_INFOF("Automate remote_process_port = %d \n", port);
    int32_t channel = MSG_OpenChannel("127.0.0.1", port);
    automate_msgqid = channel;
    if (channel == -1) {
        TR111_INFO("TR111 called MSG_OpenChannel KO ");
        exit(1);
    }
    TR111_INFO("TR111 called MSG_OpenChannel OK ");

    // One 32-bit word in host byte order: 00 00 AB CD on a big-endian CPU.
    static const uint32_t hello = TR111_HELLO_WORD;
    if (MSG_SendMessageRetry(channel, MSG_HELLO, &hello, sizeof hello, TR111_HELLO_RETRIES) != 0) {
        TR111_INFO("Error while sending message by TR111");
        exit(2);
    }
    TR111_INFO("Message sent successfull by TR111");
    return 0;
}

int tr111_callback_for_MSG_START(const MSG_Message*, const uint8_t*, uint32_t) {
    int32_t channel = automate_msgqid;
    if (channel == -1) {
        TR111_INFO("Invalid automate_msgqid");
    } else if (MSG_SendMessage(channel, MSG_START_ACK, nullptr, 0) != 0) {
        TR111_INFO("Error while sending ACK message");
    } else {
        sem_post(&start_sem);
    }
    TR111_INFO("TR69 : my_callback_for_START : return");
    return 0;
}

int tr111_callback_for_MSG_STOP(const MSG_Message*, const uint8_t*, uint32_t) {
    char buffer[TR111_STOP_ACK_SIZE];
    memset(buffer, 0, sizeof buffer);
    int32_t channel = automate_msgqid;
    if (channel == -1) {
        TR111_ERR("Invalid automate_msgqid");
        return 0;
    }
    memcpy(buffer, TR111_STOP_ACK_TEXT, strlen(TR111_STOP_ACK_TEXT) + 1);
    if (MSG_SendMessage(channel, MSG_STOP_ACK, buffer, sizeof buffer) != 0)
        TR111_ERR("Error while sending ACK message");
    else
        TR111_INFO("STOP message received");
    return 0;
}
