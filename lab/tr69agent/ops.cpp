// The ACS side of tr69agent: one command of acs becomes request records on
// the application's channel, and the replies go back to acs.
#include "lab/tr69agent/agent.h"
#include "platform/include/tr69_wire.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unistd.h>

namespace {

constexpr int COMMAND_TIMEOUT_MS = 10000; // acs sends its command at once
constexpr int SHORT_WAIT_MS = 1000;       // requests that expect no reply

// The answers to one acs connection.
struct Answer {
    int fd;
    bool ok = true; // false once acs went away

    void send(uint8_t type, std::span<const uint8_t> payload) {
        if (ok && tr69_wire_send(fd, type, payload, acs_payload_size) != 0) ok = false;
    }
    void reply(const tr69_reply& r) {
        uint8_t p[ACS_REPLY_SIZE];
        tr69_put_i32(p, r.result);
        std::memcpy(p + 4, r.value, ACS_VALUE);
        send(ACS_FRAME_REPLY, p);
    }
    void line(const std::string& text) {
        uint8_t p[ACS_LINE];
        tr69_put_text(p, text);
        send(ACS_FRAME_LINE, p);
    }
    void done(acs_outcome outcome, int32_t fault, const std::string& text) {
        uint8_t p[ACS_DONE_SIZE];
        tr69_put_u32(p, outcome);
        tr69_put_i32(p + 4, fault);
        tr69_put_text(std::span(p + 8, ACS_TEXT), text);
        send(ACS_FRAME_DONE, p);
    }
    void error(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        char text[ACS_TEXT];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        agent_log("acs: %s", text);
        done(ACS_ERROR, 0, text);
    }
};

struct Command {
    uint32_t op = 0;
    uint32_t word = 0;
    uint32_t status = 0;
    uint32_t flags = 0;
    std::string name;
    char value_in[ACS_VALUE_IN] = {};
};

enum class Collect { Final, NoReply, Timeout, Closed };

// Sends one request on the channel. False when the channel is gone.
bool send_request(AgentChannel& ch, const tr69_request& req) {
    bool sent;
    {
        std::lock_guard<std::mutex> w(ch.wmx);
        sent = tr69_wire_send(ch.fd, TR69_FRAME_REQUEST,
                              std::span(reinterpret_cast<const uint8_t*>(&req), sizeof req)) == 0;
    }
    std::lock_guard<std::mutex> l(ch.mx);
    ++ch.requests;
    agent_log("channel %d: request %s handler %" PRIu32 " id %" PRIu32 " echo %" PRIu32
              " status %" PRIu32 "%s",
              ch.id, req.name, req.handler, req.id, req.echo, req.status, sent ? "" : ": not sent");
    return sent && !ch.closed;
}

// After each request exchange: --drop-after closes the channel once it has
// carried that many requests.
void maybe_drop(AgentChannel& ch) {
    if (agent.opt.drop_after == 0) return;
    std::lock_guard<std::mutex> l(ch.mx);
    if (ch.requests >= agent.opt.drop_after && !ch.closed) {
        agent_log("channel %d: dropped after %u requests", ch.id, ch.requests);
        ch.drop();
    }
}

// Collects the replies of the request with this echo until one has a result
// other than 10000. Each reply must come within wait_ms of the previous
// step; short: wait_ms bounds the whole collection and silence is no error.
Collect collect(AgentChannel& ch, uint32_t echo, int wait_ms, bool short_wait, Answer& out,
                tr69_reply* last) {
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(wait_ms);
    bool any = false;
    std::unique_lock<std::mutex> l(ch.mx);
    for (;;) {
        while (!ch.replies.empty()) {
            tr69_reply r = ch.replies.front();
            ch.replies.pop_front();
            if (r.echo != echo) {
                agent_log("channel %d: reply with echo %" PRIu32 " dropped (waiting for %" PRIu32
                          ")",
                          ch.id, r.echo, echo);
                continue;
            }
            agent_log("channel %d: reply %s echo %" PRIu32 " result %" PRId32, ch.id, r.name,
                      r.echo, r.result);
            any = true;
            *last = r;
            l.unlock();
            out.reply(r);
            l.lock();
            if (r.result != static_cast<int32_t>(TR69_STATUS_NO_DISPATCH)) return Collect::Final;
            if (!short_wait) deadline = clock::now() + std::chrono::milliseconds(wait_ms);
        }
        if (ch.closed) return Collect::Closed;
        if (ch.cv.wait_until(l, deadline) == std::cv_status::timeout && ch.replies.empty()) {
            if (ch.closed) return Collect::Closed;
            return short_wait && !any ? Collect::NoReply : Collect::Timeout;
        }
    }
}

const AgentEntry* find_entry(const std::vector<AgentEntry>& entries, const std::string& name) {
    for (const AgentEntry& e : entries)
        if (e.name == name) return &e;
    return nullptr;
}

// Word k of an entry's block; 0 when the block ends before it or holds no handler there.
uint32_t block_word(const AgentEntry& e, uint32_t k) {
    for (uint32_t i = 0; i < TR69_HANDLER_BLOCK_WORDS; ++i) {
        if (e.block[i] == TR69_END_MARK) return 0;
        if (i == k) return e.block[i];
    }
    return 0;
}

void list_names(Answer& out) {
    std::shared_ptr<AgentChannel> ch;
    {
        std::lock_guard<std::mutex> l(agent.mx);
        ch = agent.current;
    }
    if (!ch) return out.error("no daemon connected to the TR-069 agent");
    std::vector<AgentEntry> entries;
    {
        std::lock_guard<std::mutex> l(ch->mx);
        entries = ch->entries;
    }
    for (const AgentEntry& e : entries) {
        char line[ACS_LINE];
        snprintf(line, sizeof line, "%s id=%" PRIu32 " flags=0x%" PRIx32 " type=0x%" PRIx32 "%s%s",
                 e.name.c_str(), e.id, e.flags, e.type, e.atomicity ? " kind=" : "",
                 e.kind.c_str());
        out.line(line);
    }
    out.done(ACS_OK, 0, "");
}

void list_events(Answer& out, bool clear) {
    std::deque<AgentEvent> events;
    {
        std::lock_guard<std::mutex> l(agent.mx);
        if (clear) {
            agent.events.clear();
        } else {
            events = agent.events;
        }
    }
    for (const AgentEvent& ev : events)
        out.line(ev.code + " " + ev.name + " " + std::to_string(ev.attribute));
    out.done(ACS_OK, 0, "");
}

// The operations that reach the application.
void run_request(const Command& cmd, Answer& out) {
    std::shared_ptr<AgentChannel> ch;
    {
        std::lock_guard<std::mutex> l(agent.mx);
        ch = agent.current;
    }
    if (!ch) return out.error("no daemon connected to the TR-069 agent");

    tr69_request req{};
    std::string registered;
    if (cmd.name.size() >= sizeof req.name ||
        !agent_split_name(cmd.name, registered, req.instances))
        return out.error("unknown parameter %s", cmd.name.c_str());
    AgentEntry entry;
    std::optional<AgentEntry> start, commit, rollback; // atomicity entries, when registered
    {
        std::lock_guard<std::mutex> l(ch->mx);
        const AgentEntry* e = find_entry(ch->entries, registered);
        if (e == nullptr) return out.error("unknown parameter %s", cmd.name.c_str());
        entry = *e;
        for (const AgentEntry& a : ch->entries) {
            if (!a.atomicity) continue;
            if (a.kind == "StartSequence" && !start) start = a;
            if (a.kind == "Commit" && !commit) commit = a;
            if (a.kind == "Rollback" && !rollback) rollback = a;
        }
    }

    uint32_t word = cmd.word;
    switch (cmd.op) {
    case ACS_OP_GET:
        word = ACS_WORD_GET;
        break;
    case ACS_OP_SET:
        word = ACS_WORD_SET;
        break;
    case ACS_OP_INSTANCES:
        word = ACS_WORD_INSTANCES;
        break;
    case ACS_OP_GETATTR:
        word = ACS_WORD_GETATTR;
        break;
    case ACS_OP_SETATTR:
        word = ACS_WORD_SETATTR;
        break;
    default:
        break;
    }
    req.handler = block_word(entry, word);
    if (req.handler == 0) {
        agent_log("acs: %s has no handler in word %" PRIu32 ": fault %d", cmd.name.c_str(), word,
                  AGENT_FAULT_READ_ONLY);
        return out.done(ACS_FAULT, AGENT_FAULT_READ_ONLY, "");
    }
    std::memcpy(req.name, cmd.name.data(), cmd.name.size());
    req.id = entry.id;
    req.status = (cmd.flags & ACS_FLAG_STATUS) ? cmd.status : 0;
    std::memcpy(req.value_in, cmd.value_in, sizeof req.value_in);

    // Atomicity requests get no reply: sent, then forgotten.
    auto bracket = [&](const std::optional<AgentEntry>& a) {
        if (!a) return true;
        tr69_request r{};
        std::memcpy(r.name, a->name.data(), a->name.size());
        r.handler = a->block[0];
        r.id = a->id;
        r.echo = agent.next_echo++;
        bool ok = send_request(*ch, r);
        maybe_drop(*ch);
        return ok;
    };
    bool is_set = cmd.op == ACS_OP_SET;
    if (is_set && !bracket(start)) return out.error("the daemon's channel closed");

    req.echo = agent.next_echo++;
    bool short_wait = entry.atomicity || req.status == TR69_STATUS_NO_DISPATCH;
    tr69_reply last{};
    Collect c = Collect::Closed;
    if (send_request(*ch, req))
        c = collect(*ch, req.echo, short_wait ? SHORT_WAIT_MS : agent.opt.reply_timeout_ms,
                    short_wait, out, &last);
    maybe_drop(*ch);

    bool fine = c == Collect::Final && last.result == 0;
    if (is_set && c != Collect::Closed && !bracket(fine ? commit : rollback)) c = Collect::Closed;

    switch (c) {
    case Collect::Final:
        if (cmd.op != ACS_OP_RAW && last.result != 0) return out.done(ACS_FAULT, last.result, "");
        return out.done(ACS_OK, 0, "");
    case Collect::NoReply:
        return out.done(ACS_NO_REPLY, 0, "");
    case Collect::Timeout:
        return out.error("no reply from the daemon within %d ms",
                         short_wait ? SHORT_WAIT_MS : agent.opt.reply_timeout_ms);
    case Collect::Closed:
        return out.error("the daemon's channel closed");
    }
}

// False when no valid command came; *probe when the connection closed
// before its first byte.
bool read_command(int fd, Command& cmd, bool* probe) {
    uint8_t p[ACS_COMMAND_SIZE];
    uint8_t type = 0;
    tr69_wire_status st = tr69_wire_recv(fd, std::string_view("C", 1), &type, p, COMMAND_TIMEOUT_MS,
                                         acs_payload_size);
    *probe = st == TR69_WIRE_CLOSED;
    if (st != TR69_WIRE_OK) return false;
    cmd.op = tr69_get_u32(p);
    cmd.word = tr69_get_u32(p + 4);
    cmd.status = tr69_get_u32(p + 8);
    cmd.flags = tr69_get_u32(p + 12);
    cmd.name = std::string(tr69_get_text(std::span(p + 16, ACS_NAME)));
    std::memcpy(cmd.value_in, p + 16 + ACS_NAME, ACS_VALUE_IN);
    cmd.value_in[ACS_VALUE_IN - 1] = 0;
    return true;
}

} // namespace

bool agent_split_name(const std::string& full, std::string& registered, uint32_t instances[5]) {
    registered.clear();
    for (int i = 0; i < 5; ++i)
        instances[i] = 0;
    int n = 0;
    size_t pos = 0;
    while (pos < full.size()) {
        size_t dot = full.find('.', pos);
        size_t end = dot == std::string::npos ? full.size() : dot + 1;
        std::string part = full.substr(pos, end - pos);
        std::string digits = dot == std::string::npos ? part : part.substr(0, part.size() - 1);
        bool number =
            !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
        if (number) {
            errno = 0;
            unsigned long long v = strtoull(digits.c_str(), nullptr, 10);
            if (n == 5 || errno != 0 || v > UINT32_MAX) return false;
            instances[n++] = static_cast<uint32_t>(v);
        } else {
            registered += part;
        }
        pos = end;
    }
    return true;
}

void acs_serve(int fd) {
    Answer out{fd};
    Command cmd;
    bool probe = false;
    if (!read_command(fd, cmd, &probe)) {
        if (!probe) agent_log("acs connection without a valid command: closed");
        close(fd);
        return;
    }
    std::lock_guard<std::mutex> op(agent.op_mx);
    switch (cmd.op) {
    case ACS_OP_NAMES:
        list_names(out);
        break;
    case ACS_OP_EVENTS:
    case ACS_OP_EVENTS_CLEAR:
        list_events(out, cmd.op == ACS_OP_EVENTS_CLEAR);
        break;
    case ACS_OP_GET:
    case ACS_OP_SET:
    case ACS_OP_GETATTR:
    case ACS_OP_SETATTR:
    case ACS_OP_INSTANCES:
        run_request(cmd, out);
        break;
    case ACS_OP_RAW:
        if (cmd.word >= TR69_HANDLER_BLOCK_WORDS) {
            out.error("handler word %" PRIu32 " outside the block (0 to %zu)", cmd.word,
                      TR69_HANDLER_BLOCK_WORDS - 1);
            break;
        }
        run_request(cmd, out);
        break;
    default:
        out.error("unknown operation %" PRIu32, cmd.op);
        break;
    }
    close(fd);
}
