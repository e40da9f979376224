// The daemon as the management process sees it: its HELLO, START_ACK and
// STOP_ACK messages, the channel to its mailbox, START and STOP.
#include "lab/mgmtd/mgmtd.h"
#include "main/tr111_main.h"
#include "platform/include/msg.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

MgmtdConfig g_cfg;

std::mutex g_mu; // guards the state below
std::condition_variable g_changed;
DaemonState g_state = DaemonState::None;
bool g_hello_seen = false;
uint64_t g_start_acks = 0;
uint64_t g_stop_acks = 0;
std::string g_stop_text;
uint32_t g_stop_length = 0;

std::mutex g_channel_mu;
int g_channel = -1;

int on_hello(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    (void)msg;
    constexpr uint32_t shown_max = 64;
    std::string hex;
    char byte[3];
    for (uint32_t i = 0; i < length && i < shown_max; ++i) {
        snprintf(byte, sizeof byte, "%02x", payload[i]);
        hex += byte;
    }
    if (length > shown_max) hex += "...";
    mgmtd_log("hello: received, payload %s (%u bytes)", length ? hex.c_str() : "empty",
              static_cast<unsigned>(length));
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_state = DaemonState::Hello;
        g_hello_seen = true;
    }
    g_changed.notify_all();
    if (daemon_channel() < 0)
        mgmtd_log("daemon: mailbox 127.0.0.1:%d does not accept connections", g_cfg.daemon_port);
    // START goes out from the sender thread: a callback that waited here for
    // the daemon's acknowledgement would hold up our own mailbox.
    if (g_cfg.auto_start) forward_request_start();
    return 0;
}

int on_start_ack(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    (void)msg;
    (void)payload;
    mgmtd_log("start_ack: received (%u bytes)", static_cast<unsigned>(length));
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_state = DaemonState::Started;
        ++g_start_acks;
    }
    g_changed.notify_all();
    return 0;
}

int on_stop_ack(const MSG_Message* msg, const uint8_t* payload, uint32_t length) {
    (void)msg;
    std::string_view text;
    if (payload) {
        const auto* chars = reinterpret_cast<const char*>(payload);
        text = std::string_view(chars, strnlen(chars, length));
    }
    std::string shown = mgmtd_printable(text);
    mgmtd_log("stop_ack: received \"%s\" (%u bytes)", shown.c_str(), static_cast<unsigned>(length));
    {
        std::lock_guard<std::mutex> lk(g_mu);
        ++g_stop_acks;
        g_stop_text = shown;
        g_stop_length = length;
    }
    g_changed.notify_all();
    return 0;
}

// Sends code to the daemon and waits for the acknowledgement counted by acks.
std::string command(uint32_t code, const char* name, uint64_t* acks) {
    int ch = daemon_channel();
    if (ch < 0) {
        mgmtd_log("%s: daemon mailbox 127.0.0.1:%d not reachable", name, g_cfg.daemon_port);
        return "error: daemon mailbox 127.0.0.1:" + std::to_string(g_cfg.daemon_port) +
               " not reachable";
    }
    uint64_t before;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        before = *acks;
    }
    // Logged before the send: the acknowledgement may be logged before the send returns.
    mgmtd_log("%s: sending (control)", name);
    if (MSG_SendMessageRetry(ch, code, nullptr, 0, MGMTD_SEND_ATTEMPTS) != 0) {
        mgmtd_log("%s: not delivered to the daemon", name);
        return std::string("error: ") + name + " not delivered to the daemon";
    }
    std::unique_lock<std::mutex> lk(g_mu);
    if (!g_changed.wait_for(lk, std::chrono::milliseconds(MGMTD_ACK_WAIT_MS),
                            [&] { return *acks != before; })) {
        lk.unlock();
        mgmtd_log("%s: no acknowledgement within %d ms", name, MGMTD_ACK_WAIT_MS);
        return "timeout";
    }
    return "ack";
}

} // namespace

void daemon_link_init(const MgmtdConfig& cfg) {
    g_cfg = cfg;
}

int daemon_link_register(int mailbox) {
    if (MSG_RegisterMessage(mailbox, MSG_HELLO, on_hello) != 0 ||
        MSG_RegisterMessage(mailbox, MSG_START_ACK, on_start_ack) != 0 ||
        MSG_RegisterMessage(mailbox, MSG_STOP_ACK, on_stop_ack) != 0)
        return -1;
    return 0;
}

int daemon_channel() {
    std::lock_guard<std::mutex> lk(g_channel_mu);
    if (g_channel < 0) {
        g_channel = MSG_OpenChannel("127.0.0.1", g_cfg.daemon_port);
        if (g_channel >= 0) mgmtd_log("daemon: channel to 127.0.0.1:%d open", g_cfg.daemon_port);
    }
    return g_channel;
}

DaemonState daemon_state() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_state;
}

bool daemon_hello_seen() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_hello_seen;
}

void daemon_send_start_after_hello() {
    int ch = daemon_channel();
    mgmtd_log("start: sending (on hello)");
    if (ch < 0 || MSG_SendMessageRetry(ch, MSG_START, nullptr, 0, MGMTD_SEND_ATTEMPTS) != 0)
        mgmtd_log("start: not delivered to the daemon");
}

std::string daemon_command_start() {
    return command(MSG_START, "start", &g_start_acks);
}

std::string daemon_command_stop() {
    std::string reply = command(MSG_STOP, "stop", &g_stop_acks);
    if (reply != "ack") return reply;
    std::lock_guard<std::mutex> lk(g_mu);
    return reply + "\nstop_ack: \"" + g_stop_text + "\" (" + std::to_string(g_stop_length) +
           " bytes)";
}
