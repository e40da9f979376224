// The library side of tr69agent: opening of the channel, registration of
// entries, replies and value-change events coming from the application.
#include "lab/tr69agent/agent.h"
#include "platform/include/tr69_wire.h"

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int OPEN_TIMEOUT_MS = 10000; // the first frame of a new connection

int send_answer(AgentChannel& ch, uint8_t type, std::span<const uint8_t> payload) {
    std::lock_guard<std::mutex> w(ch.wmx);
    return tr69_wire_send(ch.fd, type, payload);
}

std::string text_of(const uint8_t* field, size_t size) {
    return std::string(tr69_get_text(std::span(field, size)));
}

// "XX.StartSequence.TR111" -> "StartSequence".
std::string atomicity_kind(const std::string& name) {
    size_t a = name.find('.');
    if (a == std::string::npos) return "";
    size_t b = name.find('.', a + 1);
    return name.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
}

// Adds an entry; one registered again under the same name replaces the old one.
void add_entry(AgentChannel& ch, AgentEntry e) {
    std::lock_guard<std::mutex> l(ch.mx);
    for (AgentEntry& old : ch.entries)
        if (old.name == e.name) {
            old = std::move(e);
            return;
        }
    ch.entries.push_back(std::move(e));
}

int32_t register_entry(AgentChannel& ch, const uint8_t* p) {
    AgentEntry e;
    e.name = text_of(p, TR69_WIRE_NAME);
    p += TR69_WIRE_NAME;
    e.flags = tr69_get_u32(p);
    e.id = tr69_get_u32(p + 4);
    e.type = tr69_get_u32(p + 8);
    for (size_t i = 0; i < TR69_HANDLER_BLOCK_WORDS; ++i)
        e.block[i] = tr69_get_u32(p + 12 + 4 * i);
    if (e.name.empty() || (agent.opt.refuse_id_set && e.id == agent.opt.refuse_id)) {
        agent_log("channel %d: entry %s (id %u) refused", ch.id, e.name.c_str(), e.id);
        return TR69_ERR_REFUSED;
    }
    agent_log("channel %d: entry %s id %u flags 0x%x type 0x%x", ch.id, e.name.c_str(), e.id,
              e.flags, e.type);
    add_entry(ch, std::move(e));
    return 0;
}

// An atomicity table registers as a whole, or not at all.
void register_entries(AgentChannel& ch, const uint8_t* p, int32_t* fault, uint32_t* failed) {
    uint32_t count = tr69_get_u32(p);
    *fault = 0;
    *failed = TR69_WIRE_NO_ROW;
    if (count > TR69_WIRE_ATOMICITY_MAX) {
        *fault = TR69_ERR_REFUSED;
        *failed = TR69_WIRE_ATOMICITY_MAX;
        return;
    }
    std::vector<AgentEntry> rows;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* r = p + 4 + i * TR69_WIRE_ATOM_ROW_SIZE;
        AgentEntry e;
        e.atomicity = true;
        e.name = text_of(r, TR69_WIRE_NAME);
        r += TR69_WIRE_NAME;
        e.flags = tr69_get_u32(r);
        e.id = tr69_get_u32(r + 4);
        e.type = tr69_get_u32(r + 8);
        e.block[0] = tr69_get_u32(r + 12);
        e.block[1] = TR69_END_MARK;
        e.kind = atomicity_kind(e.name);
        if (e.name.empty() ||
            (agent.opt.refuse_atomicity_set && e.id == agent.opt.refuse_atomicity_id)) {
            agent_log("channel %d: atomicity entry %s (id %u) refused; none registered", ch.id,
                      e.name.c_str(), e.id);
            *fault = TR69_ERR_REFUSED;
            *failed = i;
            return;
        }
        rows.push_back(std::move(e));
    }
    for (AgentEntry& e : rows) {
        agent_log("channel %d: atomicity entry %s id %u kind %s", ch.id, e.name.c_str(), e.id,
                  e.kind.c_str());
        add_entry(ch, std::move(e));
    }
}

void take_reply(AgentChannel& ch, const uint8_t* p) {
    tr69_reply r;
    std::memcpy(&r, p, sizeof r);
    r.name[sizeof r.name - 1] = 0;
    r.value[sizeof r.value - 1] = 0;
    std::lock_guard<std::mutex> l(ch.mx);
    ch.replies.push_back(r);
    ch.cv.notify_all();
}

void take_event(AgentChannel& ch, const uint8_t* p) {
    AgentEvent ev;
    ev.code = text_of(p, TR69_EVENT_CODE_SIZE);
    ev.name = text_of(p + TR69_EVENT_CODE_SIZE, TR69_EVENT_NAME_SIZE);
    ev.attribute = p[TR69_EVENT_CODE_SIZE + TR69_EVENT_NAME_SIZE];
    agent_log("channel %d: event %s %s %u", ch.id, ev.code.c_str(), ev.name.c_str(), ev.attribute);
    std::lock_guard<std::mutex> l(agent.mx);
    if (agent.events.size() == AGENT_EVENTS_MAX) agent.events.pop_front();
    agent.events.push_back(std::move(ev));
}

// The frames of an open channel, until it ends.
void serve_open_channel(const std::shared_ptr<AgentChannel>& ch) {
    uint8_t payload[TR69_WIRE_MAX_PAYLOAD];
    const char* why = "closed by the application";
    for (;;) {
        uint8_t type = 0;
        tr69_wire_status st = tr69_wire_recv(ch->fd, "EArN", &type, payload, -1);
        if (st == TR69_WIRE_BAD_FRAME) why = "frame of wrong type or length refused";
        if (st == TR69_WIRE_BROKEN) why = "broken";
        if (st != TR69_WIRE_OK) break;
        if (type == TR69_FRAME_ENTRY) {
            uint8_t answer[4];
            tr69_put_i32(answer, register_entry(*ch, payload));
            if (send_answer(*ch, TR69_FRAME_ENTRY_ANSWER, answer) != 0) break;
        } else if (type == TR69_FRAME_ENTRIES) {
            int32_t fault;
            uint32_t failed;
            register_entries(*ch, payload, &fault, &failed);
            uint8_t answer[8];
            tr69_put_i32(answer, fault);
            tr69_put_u32(answer + 4, failed);
            if (send_answer(*ch, TR69_FRAME_ENTRIES_ANSWER, answer) != 0) break;
        } else if (type == TR69_FRAME_REPLY) {
            take_reply(*ch, payload);
        } else {
            take_event(*ch, payload);
        }
    }
    {
        std::lock_guard<std::mutex> l(ch->mx);
        ch->closed = true;
        ch->entries.clear();
        ch->cv.notify_all();
    }
    {
        std::lock_guard<std::mutex> l(agent.mx);
        if (agent.current == ch) agent.current.reset();
    }
    shutdown(ch->fd, SHUT_RDWR);
    agent_log("channel %d: %s; its entries are dropped", ch->id, why);
}

} // namespace

AgentChannel::~AgentChannel() {
    if (fd >= 0) close(fd);
}

void AgentChannel::drop() {
    shutdown(fd, SHUT_RDWR);
}

void channel_serve(int fd) {
    uint8_t open[TR69_WIRE_OPEN_SIZE];
    uint8_t type = 0;
    tr69_wire_status st =
        tr69_wire_recv(fd, std::string_view("O", 1), &type, open, OPEN_TIMEOUT_MS);
    if (st != TR69_WIRE_OK) {
        // A connection closed before its first byte is a port probe: no noise.
        if (st != TR69_WIRE_CLOSED)
            agent_log("library connection without a valid open frame: closed");
        close(fd);
        return;
    }
    std::string app = text_of(open, TR69_WIRE_APP_NAME);
    int32_t mailbox = tr69_get_i32(open + TR69_WIRE_APP_NAME);
    uint8_t answer[8];
    if (agent.opt.refuse_open || app != AGENT_APP) {
        agent_log("open by application \"%s\" refused", app.c_str());
        tr69_put_i32(answer, TR69_ERR_REFUSED);
        tr69_put_i32(answer + 4, 0);
        tr69_wire_send(fd, TR69_FRAME_OPEN_ANSWER, answer);
        close(fd);
        return;
    }

    auto ch = std::make_shared<AgentChannel>();
    ch->fd = fd;
    ch->mailbox = mailbox;
    std::shared_ptr<AgentChannel> old;
    {
        std::lock_guard<std::mutex> l(agent.mx);
        ch->id = agent.next_channel_id++;
        old = std::move(agent.current);
        agent.current = ch;
    }
    if (old) {
        agent_log("channel %d replaces channel %d", ch->id, old->id);
        old->drop();
    }
    tr69_put_i32(answer, 0);
    tr69_put_i32(answer + 4, ch->id);
    if (send_answer(*ch, TR69_FRAME_OPEN_ANSWER, answer) == 0)
        agent_log("channel %d opened by %s (mailbox %d)", ch->id, app.c_str(), mailbox);
    serve_open_channel(ch);
}
