// Message library: mailboxes on 127.0.0.1 between the gateway's local
// programs (the management process and the applications it controls).
//
// A mailbox (MSG_CreateChannel) is a listening TCP port; the receive thread
// (MSG_StartThread) accepts connections on it and runs the callback
// registered for each incoming message's code, one message at a time, in
// the order of arrival on each connection. A channel (MSG_OpenChannel) is
// the sending side towards another program's mailbox.
//
// Wire (library fields in network byte order, payload bytes as given):
//     message: 'M' | sender id (u32) | sequence (u32) | code (u32) | length (u32) | payload
//     ack:     'A' | sequence (u32)
// A send succeeds only when the receiving library has acknowledged the
// message, which it does as soon as the message is whole and queued for its
// callback. A message whose code has no callback on that mailbox (yet) is
// not taken: the mailbox closes the connection without acknowledging it,
// and the send fails. A message re-sent after a broken connection keeps its
// sequence number, and the receiver drops a message whose sequence number
// is not newer than the last it took from that sender (still acknowledging
// it; a mailbox remembers its 64 most recent senders), so between two
// mailboxes messages are never lost, duplicated or reordered. A received
// length above MSG_PAYLOAD_MAX, or a frame that does not start with a known
// byte, drops that connection with a line on standard error; other
// connections are not affected. So does a peer that sends part of a frame
// and then nothing for 10 s. A mailbox keeps at most 64 connections open: a
// new one beyond them takes the place of the connection idle the longest
// (no message under way on it), whose peer reconnects when it next sends;
// it is refused only when all 64 are in the middle of a message.
//
// Sender id: a random non-zero number drawn when the channel is opened, so
// that two channels (of one process or of two) never pass for one another.
// Sequence numbers start at 1 on every channel. A call that follows a
// failed call on the same channel with the same code and the same payload
// bytes is taken as a re-send of it and keeps its sequence number, so a
// caller that keeps a message and tries again later (the management
// process's forwarding queue) does not deliver it twice either; any other
// message gets the next number.
//
// Threads: the receive thread reads every connection of its mailbox without
// blocking, so a peer that stalls in the middle of a frame or sends garbage
// never holds up the others. A callback runs on that thread and may send on
// any channel, but not to its own mailbox (that message would wait for the
// very thread that runs the callback, and fail after MSG_ACK_TIMEOUT_MS).
// Channels may be used from several threads: a channel sends one message at
// a time.
#pragma once

#include <cstdint>

constexpr uint32_t MSG_PAYLOAD_MAX = 64 * 1024;
constexpr int MSG_ACK_TIMEOUT_MS = 5000;

struct MSG_Message {
    uint32_t code;     // message code
    uint32_t length;   // payload length in bytes
    int mailbox;       // mailbox that received it
};

// Callback run on the receive thread: the message, its payload (null when
// the length is 0) and the payload length. The return value is not used.
typedef int (*MSG_Callback)(const MSG_Message* msg, const uint8_t* payload, uint32_t length);

// Library debug level: 0 silent, 1 errors (the level until MSG_Debug is
// called), 2 and more every message sent and received, on standard error.
void MSG_Debug(int level);
// Mode 0, 1 or 2 (recorded; the transport is the same). Returns 0, or -1 for another value.
int MSG_SetMode(int mode);
// Initialises the library for at most max mailboxes and channels each
// (1 to 1024). A later call may raise the limit, never lower it; what
// exists stays. Returns 0, or -1.
int MSG_Init(int max);
// Creates a mailbox listening on 127.0.0.1:port. Returns its id (>= 0), or -1.
int MSG_CreateChannel(int port);
// Starts the receive thread of a mailbox (once; a second call returns the
// same handle). Returns a non-zero handle, or 0.
uint32_t MSG_StartThread(int mailbox);
// Closes a mailbox: its receive thread ends, its port and its connections
// are closed; the id is not used again. Not from the mailbox's own
// callbacks. Returns 0, or -1.
int MSG_CloseMailbox(int mailbox);
// Registers the callback of a message code on a mailbox (replacing an
// earlier one). Returns 0, or -1.
int MSG_RegisterMessage(int mailbox, uint32_t code, MSG_Callback callback);
// Opens a channel to the mailbox at host:port and connects it. Returns the
// channel id (>= 0), or -1 when nothing accepts the connection.
int MSG_OpenChannel(const char* host, int port);
// Sends one message and waits for its acknowledgement (one attempt; a
// connection found broken before sending is re-opened first). The payload
// may be null only when length is 0; length is at most MSG_PAYLOAD_MAX.
// Returns 0, or -1.
int MSG_SendMessage(int channel, uint32_t code, const void* payload, uint32_t length);
// Like MSG_SendMessage with up to retries attempts (a count below 1 counts
// as 1). An attempt is: a new connection when the channel has none (every
// failed attempt closes it), the send, and the wait for the
// acknowledgement, all within MSG_ACK_TIMEOUT_MS; a failed attempt waits
// 200 ms before the next. Returns 0, or -1.
int MSG_SendMessageRetry(int channel, uint32_t code, const void* payload, uint32_t length,
                         int retries);
