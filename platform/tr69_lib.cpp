// TR-069 data-model library: the application's side of the channel to the
// TR-069 agent (frames in tr69_wire.h).
//
// Each open channel has a slot of its own, known by the channel handle. A
// slot has two locks: wmx serialises the writers (replies, events, the
// registration frames), rmx the reader (tr69_rx_msg, or a registration
// waiting for its answer). A socket descriptor is changed only with both
// locks held, so a writer on another thread never sees it closed under it.
#include "platform/include/tr69_lib.h"
#include "platform/include/tr69_wire.h"
#include "platform/net.h"
#include "platform/rt.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// References: slot i holds the address of reference i + 1. Slots are only
// ever filled, and always the first empty one, so the filled slots form a
// prefix and an address is held at most once.
std::atomic<const void*> ref_table[TR69_REF_MAX];

constexpr unsigned CHANNEL_MAX = 4;
constexpr size_t STASH_MAX = 4;                          // requests kept while a registration waits
constexpr int ANSWER_TIMEOUT_MS = TR69_FRAME_TIMEOUT_MS; // a frame, a registration's answer

struct Channel {
    std::atomic<int32_t*> handle{nullptr}; // null: never used
    std::atomic<bool> broken{false};
    rt::Mutex ctl; // one open or registration exchange at a time
    rt::Mutex wmx; // writers
    rt::Mutex rmx; // the reader; guards the stash
    int fd = -1;   // changed, like handle, only with ctl, wmx and rmx held
    tr69_request stash[STASH_MAX];
    size_t stash_first = 0;
    size_t stash_count = 0;
};
// Lock order: open_mx, ctl, wmx, rmx.

Channel channels[CHANNEL_MAX];
rt::Mutex open_mx; // opens one at a time: slot choice and replacement

Channel* find_channel(const int32_t* handle) {
    if (handle == nullptr) return nullptr;
    for (Channel& c : channels)
        if (c.handle.load(std::memory_order_acquire) == handle) return &c;
    return nullptr;
}

// After taking wmx or rmx: the slot still belongs to the handle that found
// it (an open may have given a dead slot to another handle meanwhile).
bool owned(const Channel& c, const int32_t* handle) {
    return c.handle.load(std::memory_order_relaxed) == handle;
}

// Marks the channel broken and wakes its reader. Called with wmx or rmx held.
void fail_channel(Channel& c) {
    c.broken.store(true, std::memory_order_release);
    if (c.fd >= 0) shutdown(c.fd, SHUT_RDWR);
}

// A slot whose channel has ended may serve another handle.
bool reclaimable(Channel& c) {
    rt::Lock w(c.wmx);
    if (c.broken.load(std::memory_order_acquire) || c.fd < 0) return true;
    pollfd p{c.fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

// The slot an open of handle uses: its own, a free one, or a dead one.
Channel* pick_slot(int32_t* handle) {
    if (Channel* c = find_channel(handle)) return c;
    for (Channel& c : channels)
        if (c.handle.load(std::memory_order_acquire) == nullptr) return &c;
    for (Channel& c : channels)
        if (reclaimable(c)) return &c;
    return nullptr;
}

// A frame the agent takes whole, or not at all within the time, leaves the
// channel as it was (TR69_ERR_TIMEOUT); one that goes out in part, or a
// broken connection, fails the channel.
int send_frame(Channel& c, const int32_t* handle, uint8_t type, std::span<const uint8_t> payload) {
    rt::Lock w(c.wmx);
    if (!owned(c, handle) || c.broken.load(std::memory_order_acquire)) return TR69_ERR_CHANNEL;
    int rc = tr69_wire_send(c.fd, type, payload, tr69_wire_payload_size, ANSWER_TIMEOUT_MS);
    if (rc == TR69_WIRE_NOTHING_SENT) return TR69_ERR_TIMEOUT;
    if (rc != 0) {
        fail_channel(c);
        return TR69_ERR_CHANNEL;
    }
    return 0;
}

// Reads frames until the answer of type answer; requests that arrive first
// are kept for tr69_rx_msg. Called with ctl held, takes rmx.
int read_answer(Channel& c, const int32_t* handle, uint8_t answer, std::span<uint8_t> out) {
    rt::Lock r(c.rmx);
    if (!owned(c, handle)) return TR69_ERR_CHANNEL;
    const char allowed[] = {static_cast<char>(answer), static_cast<char>(TR69_FRAME_REQUEST), 0};
    uint8_t payload[TR69_WIRE_MAX_PAYLOAD];
    for (;;) {
        if (c.broken.load(std::memory_order_acquire)) return TR69_ERR_CHANNEL;
        uint8_t type = 0;
        if (tr69_wire_recv(c.fd, allowed, &type, payload, ANSWER_TIMEOUT_MS) != TR69_WIRE_OK) {
            fail_channel(c);
            return TR69_ERR_CHANNEL;
        }
        if (type == answer) {
            std::memcpy(out.data(), payload, out.size());
            return 0;
        }
        if (c.stash_count == STASH_MAX) {
            fail_channel(c);
            return TR69_ERR_CHANNEL;
        }
        tr69_request& slot = c.stash[(c.stash_first + c.stash_count) % STASH_MAX];
        std::memcpy(&slot, payload, sizeof slot);
        ++c.stash_count;
    }
}

void terminate_request(tr69_request* req) {
    req->name[sizeof req->name - 1] = 0;
    req->value_in[sizeof req->value_in - 1] = 0;
}

} // namespace

uint32_t tr69_ref(const void* addr) {
    if (addr == nullptr) return 0;
    for (unsigned i = 0; i < TR69_REF_MAX; ++i) {
        const void* held = ref_table[i].load(std::memory_order_acquire);
        if (held == nullptr) {
            const void* expected = nullptr;
            if (ref_table[i].compare_exchange_strong(expected, addr, std::memory_order_acq_rel))
                return i + 1;
            held = expected; // another thread filled the slot first
        }
        if (held == addr) return i + 1;
    }
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        fprintf(stderr, "tr69_ref: reference table full (%u addresses)\n", TR69_REF_MAX);
    return 0;
}

const void* tr69_addr(uint32_t ref) {
    if (ref == 0 || ref > TR69_REF_MAX) return nullptr;
    return ref_table[ref - 1].load(std::memory_order_acquire);
}

int tr69_open_channel_use_rx_mbx(const char* app, int32_t* channel, int mailbox) {
    if (channel == nullptr) return TR69_ERR_CHANNEL;
    uint8_t open[TR69_WIRE_OPEN_SIZE];
    if (app == nullptr || !tr69_put_text(std::span(open, TR69_WIRE_APP_NAME), app))
        return TR69_ERR_REFUSED;
    tr69_put_i32(open + TR69_WIRE_APP_NAME, mailbox);

    rt::Lock o(open_mx);
    Channel* c = pick_slot(channel);
    if (c == nullptr) return TR69_ERR_REFUSED; // every slot holds a live channel

    // Connection, open frame and answer all within TR69_OPEN_TIMEOUT_MS: an
    // agent that is absent, accepts nothing or never answers costs the
    // caller that long, and no more.
    const int64_t deadline = rt::now_ms() + TR69_OPEN_TIMEOUT_MS;
    rt::Fd fd(loopback_connect_within(TR69_AGENT_PORT, TR69_OPEN_TIMEOUT_MS));
    if (fd.get() < 0) return errno == ETIMEDOUT ? TR69_ERR_CHANNEL : TR69_ERR_CONNECT;
    uint8_t answer[8];
    uint8_t type = 0;
    if (tr69_wire_send(fd.get(), TR69_FRAME_OPEN, open, tr69_wire_payload_size,
                       rt::ms_left(deadline)) != 0 ||
        tr69_wire_recv(fd.get(), std::string_view("o", 1), &type, answer, rt::ms_left(deadline)) !=
            TR69_WIRE_OK)
        return TR69_ERR_CHANNEL;
    int32_t fault = tr69_get_i32(answer);
    int32_t id = tr69_get_i32(answer + 4);
    if (fault != 0 || id == 0) return fault != 0 ? fault : TR69_ERR_CHANNEL;

    // Install the new connection. The slot's older channel (of this handle,
    // or a dead one of another) is closed once its reader has been woken and
    // has let go.
    {
        rt::Lock ctl(c->ctl);
        rt::Lock w(c->wmx);
        if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
        rt::Lock r(c->rmx);
        if (c->fd >= 0) close(c->fd);
        c->fd = fd.release();
        c->stash_first = 0;
        c->stash_count = 0;
        c->broken.store(false, std::memory_order_release);
        c->handle.store(channel, std::memory_order_release);
    }
    std::atomic_ref<int32_t>(*channel).store(id);
    return 0;
}

int tr69_register_entry(const char* name, uint32_t flags, uint32_t id, uint32_t type,
                        const uint32_t* handler_block, int32_t* channel) {
    Channel* c = find_channel(channel);
    if (c == nullptr) return TR69_ERR_CHANNEL;
    uint8_t entry[TR69_WIRE_ENTRY_SIZE] = {};
    if (name == nullptr || handler_block == nullptr ||
        !tr69_put_text(std::span(entry, TR69_WIRE_NAME), name))
        return TR69_ERR_REFUSED;
    uint8_t* p = entry + TR69_WIRE_NAME;
    tr69_put_u32(p, flags);
    tr69_put_u32(p + 4, id);
    tr69_put_u32(p + 8, type);
    for (size_t i = 0; i < TR69_HANDLER_BLOCK_WORDS; ++i) {
        tr69_put_u32(p + 12 + 4 * i, handler_block[i]);
        if (handler_block[i] == TR69_END_MARK) break;
    }

    rt::Lock ctl(c->ctl);
    int rc = send_frame(*c, channel, TR69_FRAME_ENTRY, entry);
    if (rc != 0) return rc;
    uint8_t answer[4];
    rc = read_answer(*c, channel, TR69_FRAME_ENTRY_ANSWER, answer);
    return rc != 0 ? rc : tr69_get_i32(answer);
}

int tr69_register_entries(const tr69_atomicity_row* table, int32_t* channel,
                          const tr69_atomicity_row** failed_row) {
    const tr69_atomicity_row* ignored = nullptr;
    if (failed_row == nullptr) failed_row = &ignored;
    if (table == nullptr) return TR69_ERR_REFUSED;
    Channel* c = find_channel(channel);
    if (c == nullptr) {
        *failed_row = table;
        return TR69_ERR_CHANNEL;
    }

    uint8_t frame[TR69_WIRE_ENTRIES_SIZE] = {};
    uint32_t count = 0;
    for (; table[count].name != 0; ++count) {
        const tr69_atomicity_row& row = table[count];
        const char* name = static_cast<const char*>(tr69_addr(row.name));
        uint8_t* p = frame + 4 + count * TR69_WIRE_ATOM_ROW_SIZE;
        if (count == TR69_WIRE_ATOMICITY_MAX || name == nullptr ||
            !tr69_put_text(std::span(p, TR69_WIRE_NAME), name)) {
            *failed_row = &row;
            return TR69_ERR_REFUSED;
        }
        p += TR69_WIRE_NAME;
        tr69_put_u32(p, row.flags);
        tr69_put_u32(p + 4, row.id);
        tr69_put_u32(p + 8, row.type);
        tr69_put_u32(p + 12, row.handler);
        tr69_put_u32(p + 16, row.end);
    }
    tr69_put_u32(frame, count);

    rt::Lock ctl(c->ctl);
    int rc = send_frame(*c, channel, TR69_FRAME_ENTRIES, frame);
    uint8_t answer[8];
    if (rc == 0) rc = read_answer(*c, channel, TR69_FRAME_ENTRIES_ANSWER, answer);
    if (rc != 0) {
        *failed_row = table;
        return rc;
    }
    int32_t fault = tr69_get_i32(answer);
    uint32_t index = tr69_get_u32(answer + 4);
    if (fault != 0) *failed_row = index < count ? &table[index] : table;
    return fault;
}

int tr69_rx_msg(tr69_request* request, int32_t* channel, int flag) {
    Channel* c = find_channel(channel);
    if (c == nullptr || request == nullptr) return TR69_ERR_CHANNEL;
    rt::Lock r(c->rmx);
    if (!owned(*c, channel)) return TR69_ERR_CHANNEL;
    if (c->stash_count > 0) {
        std::memcpy(request, &c->stash[c->stash_first], sizeof *request);
        c->stash_first = (c->stash_first + 1) % STASH_MAX;
        --c->stash_count;
        terminate_request(request);
        return 0;
    }
    if (c->broken.load(std::memory_order_acquire)) return TR69_ERR_CHANNEL;
    // The next request may be long in coming; once a frame has begun, the
    // rest must follow within the answer timeout, so an agent that stalls
    // in the middle of a frame fails the channel instead of holding the
    // reader for ever.
    pollfd p{c->fd, POLLIN, 0};
    if (flag != 1) {
        if (poll(&p, 1, 0) == 0) return TR69_ERR_AGAIN;
    } else {
        while (poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
    }
    const int timeout_ms = ANSWER_TIMEOUT_MS;
    uint8_t type = 0;
    tr69_wire_status st =
        tr69_wire_recv(c->fd, std::string_view("R", 1), &type,
                       std::span(reinterpret_cast<uint8_t*>(request), sizeof *request), timeout_ms);
    if (st != TR69_WIRE_OK) {
        fail_channel(*c);
        return TR69_ERR_CHANNEL;
    }
    terminate_request(request);
    return 0;
}

int tr69_tx_msg(const tr69_reply* reply, int32_t* channel) {
    Channel* c = find_channel(channel);
    if (c == nullptr || reply == nullptr) return TR69_ERR_CHANNEL;
    return send_frame(*c, channel, TR69_FRAME_REPLY,
                      std::span(reinterpret_cast<const uint8_t*>(reply), sizeof *reply));
}

int tr69_notify_event(int32_t* channel, const char* event_code, const uint8_t* param) {
    Channel* c = find_channel(channel);
    if (c == nullptr) return -TR69_ERR_CHANNEL;
    if (event_code == nullptr || param == nullptr) return -TR69_ERR_REFUSED;
    uint8_t event[TR69_WIRE_EVENT_SIZE];
    std::memcpy(event, event_code, TR69_EVENT_CODE_SIZE);
    std::memcpy(event + TR69_EVENT_CODE_SIZE, param, TR69_EVENT_PARAM_SIZE);
    event[TR69_EVENT_CODE_SIZE - 1] = 0;
    event[TR69_EVENT_CODE_SIZE + TR69_EVENT_NAME_SIZE - 1] = 0;
    int rc = send_frame(*c, channel, TR69_FRAME_EVENT, event);
    return rc == 0 ? 0 : -rc;
}
