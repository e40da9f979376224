// mgmtd: stand-in of the gateway's management process. It starts and stops
// tr111d over the message library and forwards to it the configuration
// changes that concern it, taken from confd's change records.
//
// Files: main.cpp (options, start-up, signals), daemon_link.cpp (the
// daemon's messages and the channel to it), forward.cpp (queue and sender
// thread), confd_link.cpp (subscription to confd), control.cpp (control
// port of the mgmt CLI), log.cpp (event lines on standard output).
#pragma once

#include "lab/mgmtd/control_port.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr uint16_t MGMTD_CONFD_PORT = 7000;
constexpr int MGMTD_CONFD_RETRY_MS = 500;    // reconnection to confd
constexpr int MGMTD_FORWARD_RETRY_MS = 1000; // a record not delivered is tried again after
constexpr int MGMTD_SEND_ATTEMPTS = 3;       // MSG_SendMessageRetry count of one try
constexpr int MGMTD_ACK_WAIT_MS = 5000;      // START_ACK / STOP_ACK awaited by a control command
// Default bounds of the queue of records waiting for the daemon: three
// times the records that 127 devices and their leases make when they all
// appear at once (some 1,300), and payload bytes for as many records of
// 256 bytes (a lease record takes about 70). The byte bound is never
// below the largest message, which an empty queue always takes.
constexpr size_t MGMTD_QUEUE_RECORDS = 4096;
constexpr size_t MGMTD_QUEUE_BYTES = 1024 * 1024;
constexpr size_t MGMTD_QUEUE_RECORDS_MAX = 1000000;
constexpr size_t MGMTD_QUEUE_BYTES_MIN = 64 * 1024; // MSG_PAYLOAD_MAX
constexpr size_t MGMTD_QUEUE_BYTES_MAX = 256 * 1024 * 1024;

struct MgmtdConfig {
    int mode = 2;            // the daemon's message-library mode
    int own_port = 3490;     // our mailbox
    int daemon_port = 64000; // the daemon's mailbox
    bool auto_start = true;  // START on HELLO
    size_t queue_records = MGMTD_QUEUE_RECORDS;
    size_t queue_bytes = MGMTD_QUEUE_BYTES;
};

// One line on standard output, written at once (never interleaved, never buffered).
void mgmtd_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Printable rendering of text for a log line: control bytes as '?', cut at max bytes.
std::string mgmtd_printable(std::string_view text, size_t max = 200);

// ---- daemon_link.cpp ----
enum class DaemonState { None, Hello, Started };

void daemon_link_init(const MgmtdConfig& cfg);
// Registers the HELLO, START_ACK and STOP_ACK callbacks on our mailbox. 0 or -1.
int daemon_link_register(int mailbox);
// The channel to the daemon's mailbox, opened on first use. -1 when its
// mailbox does not accept connections.
int daemon_channel();
DaemonState daemon_state();
// True once a HELLO has been received (ever).
bool daemon_hello_seen();
// START sent on a HELLO (sender thread); logs the outcome.
void daemon_send_start_after_hello();
// Control commands: send START / STOP and wait for the acknowledgement.
// The reply text of the control port.
std::string daemon_command_start();
std::string daemon_command_stop();

// ---- forward.cpp ----
// True when a configuration path concerns the daemon.
bool forward_concerns_daemon(std::string_view path);
// Appends the MSG_CHANGE_DB payload of a record to out: the TLVs "P" path,
// "C" action, "C" text, lengths unsigned 32-bit in host byte order.
// False (out untouched) when the payload would exceed the library's limit.
bool forward_payload(std::string_view path, char action, std::string_view text,
                     std::vector<uint8_t>& out);
// Takes one change record from confd: filtered, then queued or dropped
// (before the daemon's first HELLO, too large for a message, or the queue
// at one of its bounds).
void forward_record(std::string_view path, char action, std::string_view text);
// Asks the sender thread to send START before the next record.
void forward_request_start();
// Sets the queue's bounds and starts the sender thread.
void forward_start(const MgmtdConfig& cfg);
struct ForwardCounts {
    uint64_t forwarded = 0;
    uint64_t dropped = 0;      // in all
    uint64_t dropped_full = 0; // of them, because the queue was at a bound
    uint64_t queued = 0;
    uint64_t queued_bytes = 0;               // payload bytes of the queued records
    uint64_t max_records = 0, max_bytes = 0; // the queue's bounds
};
ForwardCounts forward_counts();

// ---- confd_link.cpp ----
void confd_link_start();

// ---- control.cpp ----
// Listens on the control port and serves it on a thread of its own. 0 or -1.
int control_start();
