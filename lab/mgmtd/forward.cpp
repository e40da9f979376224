// Forwarding of configuration changes to the daemon: the filter, the
// MSG_CHANGE_DB payload, the queue and the sender thread that empties it in
// order. A record leaves the queue only once the daemon's library has
// acknowledged it; a failed try keeps it at the head for the next one. The
// queue is bounded in records and in payload bytes: while the daemon is
// down (or does not keep up) and the queue is at a bound, new records are
// dropped, each with a line, and counted; the records already queued, the
// one being sent first among them, are never touched.
#include "lab/mgmtd/mgmtd.h"
#include "main/tr111_main.h"
#include "platform/include/msg.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// Lengths of the TLVs: type byte, then a 32-bit length in host byte order.
constexpr size_t TLV_HEAD = 1 + sizeof(uint32_t);
static_assert(TLV_HEAD == 5, "TLV head is a type byte and a 32-bit length");
static_assert(MGMTD_QUEUE_BYTES_MIN == MSG_PAYLOAD_MAX, "an empty queue takes any message");

size_t payload_size(std::string_view path, std::string_view text) {
    return 3 * TLV_HEAD + path.size() + 1 + text.size();
}

struct Record {
    std::string path;
    char action;
    std::string text;
    size_t size() const { return payload_size(path, text); }
};

std::mutex g_mu; // guards everything below
std::condition_variable g_wake;
std::deque<Record> g_queue;
size_t g_queued_bytes = 0;
size_t g_max_records = MGMTD_QUEUE_RECORDS, g_max_bytes = MGMTD_QUEUE_BYTES;
bool g_start_requested = false;
uint64_t g_forwarded = 0;
uint64_t g_dropped = 0;
uint64_t g_dropped_full = 0;
uint64_t g_dropped_this_time = 0; // since the queue was last found at a bound

void put_tlv(std::vector<uint8_t>& out, char type, std::string_view value) {
    out.push_back(static_cast<uint8_t>(type));
    auto len = static_cast<uint32_t>(value.size());
    uint8_t raw[sizeof len];
    memcpy(raw, &len, sizeof len); // host byte order, as the daemon reads it
    out.insert(out.end(), raw, raw + sizeof raw);
    out.insert(out.end(), value.begin(), value.end());
}

void sender_loop() {
    std::vector<uint8_t> payload;
    bool outage = false;
    std::unique_lock<std::mutex> lk(g_mu);
    for (;;) {
        g_wake.wait(lk, [] { return g_start_requested || !g_queue.empty(); });
        if (g_start_requested) {
            g_start_requested = false;
            lk.unlock();
            daemon_send_start_after_hello();
            lk.lock();
            continue;
        }
        Record rec = g_queue.front();
        lk.unlock();
        payload.clear();
        forward_payload(rec.path, rec.action, rec.text, payload); // size checked when queued
        int ch = daemon_channel();
        bool ok = ch >= 0 && MSG_SendMessageRetry(ch, MSG_CHANGE_DB, payload.data(),
                                                  static_cast<uint32_t>(payload.size()),
                                                  MGMTD_SEND_ATTEMPTS) == 0;
        lk.lock();
        if (ok) {
            g_queued_bytes -= g_queue.front().size();
            g_queue.pop_front();
            ++g_forwarded;
            if (outage) {
                mgmtd_log("forward: daemon reachable again");
                outage = false;
            }
            std::string path = mgmtd_printable(rec.path), text = mgmtd_printable(rec.text);
            mgmtd_log("forward: #%llu %s %c \"%s\"", static_cast<unsigned long long>(g_forwarded),
                      path.c_str(), rec.action, text.c_str());
            continue;
        }
        if (!outage) {
            mgmtd_log("forward: daemon not reachable; %zu record(s) held, trying again every %d ms",
                      g_queue.size(), MGMTD_FORWARD_RETRY_MS);
            outage = true;
        }
        // A HELLO (the daemon is back) cuts the pause short.
        g_wake.wait_for(lk, std::chrono::milliseconds(MGMTD_FORWARD_RETRY_MS),
                        [] { return g_start_requested; });
    }
}

} // namespace

bool forward_concerns_daemon(std::string_view path) {
    static constexpr std::string_view wanted[] = {"/dev/br0/dhcps/lease/", "/ManageableDevice",
                                                  "/dev/ppp0/ip", "MDNotificationLimit"};
    for (auto w : wanted)
        if (path.find(w) != std::string_view::npos) return true;
    return false;
}

bool forward_payload(std::string_view path, char action, std::string_view text,
                     std::vector<uint8_t>& out) {
    size_t size = payload_size(path, text);
    if (size > MSG_PAYLOAD_MAX) return false;
    out.reserve(out.size() + size);
    put_tlv(out, 'P', path);
    put_tlv(out, 'C', std::string_view(&action, 1));
    put_tlv(out, 'C', text);
    return true;
}

void forward_record(std::string_view path, char action, std::string_view text) {
    if (!forward_concerns_daemon(path)) return;
    std::string shown = mgmtd_printable(path);
    std::lock_guard<std::mutex> lk(g_mu);
    if (!daemon_hello_seen()) {
        ++g_dropped;
        mgmtd_log("forward: no HELLO from the daemon yet; record %s %c dropped (%llu dropped)",
                  shown.c_str(), action, static_cast<unsigned long long>(g_dropped));
        return;
    }
    const size_t size = payload_size(path, text);
    if (size > MSG_PAYLOAD_MAX) {
        ++g_dropped;
        mgmtd_log("forward: record %s %c too large for a message (%zu + %zu bytes); dropped",
                  shown.c_str(), action, path.size(), text.size());
        return;
    }
    if (g_queue.size() >= g_max_records || g_queued_bytes + size > g_max_bytes) {
        ++g_dropped;
        ++g_dropped_full;
        ++g_dropped_this_time;
        mgmtd_log("forward: queue full (%zu records, %zu bytes; at most %zu, %zu); record %s %c "
                  "dropped (%llu dropped while full, %llu in all)",
                  g_queue.size(), g_queued_bytes, g_max_records, g_max_bytes, shown.c_str(), action,
                  static_cast<unsigned long long>(g_dropped_this_time),
                  static_cast<unsigned long long>(g_dropped));
        return;
    }
    if (g_dropped_this_time > 0) {
        mgmtd_log("forward: queue takes records again; %llu dropped while it was full",
                  static_cast<unsigned long long>(g_dropped_this_time));
        g_dropped_this_time = 0;
    }
    g_queue.push_back(Record{std::string(path), action, std::string(text)});
    g_queued_bytes += size;
    g_wake.notify_one();
}

void forward_request_start() {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_start_requested = true;
    }
    g_wake.notify_one();
}

void forward_start(const MgmtdConfig& cfg) {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_max_records = cfg.queue_records;
        g_max_bytes = cfg.queue_bytes;
    }
    std::thread(sender_loop).detach();
}

ForwardCounts forward_counts() {
    std::lock_guard<std::mutex> lk(g_mu);
    return ForwardCounts{g_forwarded,    g_dropped,     g_dropped_full, g_queue.size(),
                         g_queued_bytes, g_max_records, g_max_bytes};
}
