// Start-up and the link to the management process.
#pragma once

#include "platform/include/msg.h"

#include <atomic>
#include <cstdint>
#include <semaphore.h>

constexpr const char* TR111_CONFIG_FILE = "/etc/config.txt";
constexpr const char* TR111_DEBUG_KEY = "KELMO/TR111/tr111_debug";

// Message codes exchanged with the management process.
constexpr uint32_t MSG_START = 2001;
constexpr uint32_t MSG_HELLO = 2003;
constexpr uint32_t MSG_STOP_ACK = 2005;
constexpr uint32_t MSG_CHANGE_DB = 2006;
constexpr uint32_t MSG_STOP = 2009;
constexpr uint32_t MSG_START_ACK = 2101;

constexpr uint32_t TR111_HELLO_WORD = 0xABCD;
constexpr int TR111_HELLO_RETRIES = 5;
constexpr uint32_t TR111_STOP_ACK_SIZE = 2048;
constexpr const char* TR111_STOP_ACK_TEXT = "TR69 callback_for_STOP is called";

extern int32_t lib_msg_comm_mode;
extern int32_t tr111_automate_idmailbox;
// Channel to the management process, -1 until it is open: written once by
// the main thread, read by the callbacks on the receive thread.
extern std::atomic<int32_t> automate_msgqid;
extern sem_t start_sem;

int32_t get_debug_activation_status();
// The message-library mode chosen from the com_mode key of the file.
int32_t get_lib_msg_comm_mode(const char* path = TR111_CONFIG_FILE);
int init_lib_msg();
int EstablishCommunicationWithAutomate();
int tr111_callback_for_MSG_START(const MSG_Message* msg, const uint8_t* payload, uint32_t length);
int tr111_callback_for_MSG_STOP(const MSG_Message* msg, const uint8_t* payload, uint32_t length);
