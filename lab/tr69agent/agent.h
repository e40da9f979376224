// tr69agent: stand-in for the gateway's TR-069 agent. It keeps the channel
// of the application "TR111" (library side: tr69_wire.h) with the entries
// registered on it and the events it sent, and turns the commands of the
// acs client (acs_wire.h) into request records on that channel.
#pragma once

#include "lab/tr69agent/acs_wire.h"
#include "platform/include/tr69_lib.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

constexpr int32_t AGENT_FAULT_READ_ONLY = 9008; // no handler for the operation
constexpr const char* AGENT_APP = "TR111";      // the one application accepted
constexpr size_t AGENT_EVENTS_MAX = 100000;     // oldest events go beyond this

struct AgentOptions {
    bool refuse_id_set = false;
    uint32_t refuse_id = 0; // --refuse-id N: entry id refused (9004)
    bool refuse_atomicity_set = false;
    uint32_t refuse_atomicity_id = 0; // --refuse-atomicity-id N: atomicity row refused
    bool refuse_open = false;         // --refuse-open: every open refused (9004)
    uint32_t drop_after = 0;          // --drop-after N: channel closed after N requests
    int reply_timeout_ms = 10000;     // --reply-timeout MS: wait for one reply
};

// One registered entry: a parameter row, or a row of an atomicity table.
struct AgentEntry {
    std::string name; // as registered (without instance numbers)
    uint32_t flags = 0;
    uint32_t id = 0;
    uint32_t type = 0;
    uint32_t block[TR69_HANDLER_BLOCK_WORDS] = {}; // atomicity: handler, end mark
    bool atomicity = false;
    std::string kind; // atomicity entries: "StartSequence", "Commit", "Rollback"...
};

// The application's channel. Its connection is closed when the last
// reference goes, so no thread ever writes to a descriptor reused by another.
struct AgentChannel {
    int fd = -1;
    int32_t id = 0;
    int32_t mailbox = 0;
    std::mutex wmx; // one writer at a time

    std::mutex mx; // guards what follows
    std::condition_variable cv;
    std::vector<AgentEntry> entries;
    std::deque<tr69_reply> replies; // replies not yet taken by an operation
    bool closed = false;
    uint32_t requests = 0; // requests sent on this channel

    ~AgentChannel();
    // Ends the channel: its reader sees the end and drops it.
    void drop();
};

struct AgentEvent {
    std::string code;
    std::string name;
    unsigned attribute = 0;
};

struct Agent {
    AgentOptions opt;

    std::mutex mx; // guards current, events, next_channel_id
    std::shared_ptr<AgentChannel> current;
    std::deque<AgentEvent> events;
    int32_t next_channel_id = 1;

    std::mutex op_mx; // one ACS operation at a time; guards next_echo
    uint32_t next_echo = 1;
};

extern Agent agent;

// Logs one line on standard output.
void agent_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Serves one connection on the library port until it ends.
void channel_serve(int fd);
// Serves one connection of acs: one command, its answers.
void acs_serve(int fd);

// Splits a full parameter name into the registered name (instance numbers
// and their dots removed) and the instance numbers in order. False when the
// name has more than five instance numbers or one that is not a 32-bit number.
bool agent_split_name(const std::string& full, std::string& registered, uint32_t instances[5]);
