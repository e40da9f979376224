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
// message, which it does as soon as the message is whole and taken for its
// callback. A message whose code has no callback on that mailbox (yet) is
// not taken: the mailbox closes the connection without acknowledging it,
// and the send fails. A received length above MSG_PAYLOAD_MAX, or a frame
// that does not start with a known byte, drops that connection with a line
// on standard error; other connections are not affected. So does a peer
// that sends part of a frame and then nothing for 10 s. A mailbox keeps at
// most MSG_CONNECTION_MAX connections open: a new one beyond them takes the
// place of the connection idle the longest (no message under way on it),
// whose peer reconnects when it next sends; it is refused only when all are
// in the middle of a message.
//
// Exactly once, in order. Every message of a channel has a sequence number
// (from 1, one more for each new message) and keeps it until it is
// acknowledged or given up: a send that fails leaves the message with the
// channel, and a later call with the same code and the same payload bytes
// is a re-send of it under the same number, whatever other messages went
// out in between (the management process's forwarding queue keeps a
// message and tries again later, while its control commands use the same
// channel). A channel keeps the MSG_UNCONFIRMED_MAX most recent of these
// messages, each until MSG_SEQ_WINDOW newer numbers have been used; older
// ones are given up, and sending one again makes a new message. A mailbox
// remembers, for each of its MSG_SENDER_MAX most recent senders, which of
// the sender's MSG_SEQ_WINDOW latest numbers it has taken: a re-send of one
// it took is acknowledged and dropped, one it never took is taken now.
// A channel uses one connection at a time and does not leave it because
// an acknowledgement is late: the message stays on it, and a later send
// (of that message or of another, which follows it on the connection)
// reads the acknowledgement when it comes; the mailbox reads a connection
// in order. A connection is left only once the mailbox has closed it or
// the channel could write only part of a message (the channel then closes
// its writing side and waits until the mailbox has taken what was whole
// before it opens the next). So a mailbox takes each message at most once,
// the messages of a channel in the order they were first sent, except that
// a message whose send failed without the mailbox taking it is taken when
// it is sent again.
//
// Sender id: a random non-zero number drawn when the channel is opened, so
// that two channels (of one process or of two) never pass for one another.
//
// Threads: the receive thread reads every connection of its mailbox without
// blocking, so a peer that stalls in the middle of a frame or sends garbage
// never holds up the others. A callback runs on that thread and may send on
// any channel, but not to its own mailbox (that message would wait for the
// very thread that runs the callback, and fail after the attempt's time).
// Channels may be used from several threads: a channel sends one message at
// a time.
//
// Resources: fixed tables (below), no thread but the receive threads, and
// per connection a receive buffer of MSG_READ_CHUNK bytes, grown for a
// larger message while it arrives; an unconfirmed message's payload is
// copied until it is confirmed or given up.
#pragma once

#include <cstdint>

constexpr uint32_t MSG_PAYLOAD_MAX = 64 * 1024;
constexpr int MSG_ACK_TIMEOUT_MS = 5000; // default time of one attempt (MSG_SetAttemptTime)

constexpr int MSG_MAILBOX_MAX = 4;        // mailboxes open at once in a process
constexpr int MSG_CHANNEL_MAX = 16;       // channels of a process (never closed)
constexpr int MSG_CONNECTION_MAX = 16;    // connections open per mailbox
constexpr int MSG_SENDER_MAX = 16;        // senders a mailbox remembers
constexpr int MSG_CALLBACK_MAX = 16;      // message codes per mailbox
constexpr int MSG_UNCONFIRMED_MAX = 8;    // unconfirmed messages a channel keeps
constexpr uint32_t MSG_SEQ_WINDOW = 32;   // sequence numbers remembered per sender
constexpr uint32_t MSG_READ_CHUNK = 2048; // receive buffer of a connection

struct MSG_Message {
    uint32_t code;   // message code
    uint32_t length; // payload length in bytes
    int mailbox;     // mailbox that received it
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
// (1 to 1024; the tables above cap both). A later call may raise the limit,
// never lower it; what exists stays. Returns 0, or -1.
int MSG_Init(int max);
// Creates a mailbox listening on 127.0.0.1:port. Returns its id (>= 0), or -1.
int MSG_CreateChannel(int port);
// Starts the receive thread of a mailbox (once; a second call returns the
// same handle). Returns a non-zero handle, or 0.
uint32_t MSG_StartThread(int mailbox);
// Closes a mailbox: its receive thread ends, its port and its connections
// are closed, its slot is free for another; the id is not used again. Not
// from the mailbox's own callbacks. Returns 0, or -1.
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
// Returns 0, or -1 (the message may still be taken later: see above).
int MSG_SendMessage(int channel, uint32_t code, const void* payload, uint32_t length);
// Like MSG_SendMessage with up to retries attempts (a count below 1 counts
// as 1). An attempt is: a new connection when the channel has none, the
// send (unless the message is on the connection already), and the wait for
// the acknowledgement, all within the attempt time; a failed attempt waits
// 200 ms before the next. Returns 0, or -1.
int MSG_SendMessageRetry(int channel, uint32_t code, const void* payload, uint32_t length,
                         int retries);
// The time of one attempt in milliseconds (1 to 600000; MSG_ACK_TIMEOUT_MS
// until called), for every channel of the process. Returns 0, or -1.
int MSG_SetAttemptTime(int ms);
