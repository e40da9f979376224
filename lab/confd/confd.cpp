// confd: the configuration server of the lab. One thread serves every
// connection from one epoll loop over non-blocking sockets, in rounds: each
// connection with work gets its share (one commit, 64 KB of requests), the
// commits of the round are synced at once, then the replies go out. No peer
// can hold up another for longer than one commit's work.
#include "lab/confd/confd_core.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <malloc.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char usage_text[] =
    "usage: confd [--state DIR] [--max-connections N] [--idle-timeout SECONDS]\n"
    "             [--fold-bytes BYTES]\n"
    "\n"
    "The configuration server of the lab: a tree of text values on\n"
    "127.0.0.1:7000, in four stores: main (kind 0) and private (kind 2),\n"
    "saved in DIR; RAM (kind 1), lost at exit; factory (kind 3), saved in DIR.\n"
    "\n"
    "  --state DIR          folder of the state files main.conf, priv.conf,\n"
    "                       factory.conf and of the journal (default\n"
    "                       /var/lib/tr111-confd; created when missing). A state\n"
    "                       file that cannot be read or parsed stops confd with\n"
    "                       status 1.\n"
    "  --max-connections N  connections served at once (default 1000, fewer when\n"
    "                       the descriptor limit is lower); past it a connection\n"
    "                       idle for a second is closed to make room, or the new\n"
    "                       one is refused\n"
    "  --idle-timeout S     a connection that sends no request for S seconds is\n"
    "                       closed (default 30; subscribers are never idle)\n"
    "  --fold-bytes BYTES   the journal is folded into the state files once it\n"
    "                       holds more than BYTES and more than the state files\n"
    "                       (default 1048576)\n"
    "\n"
    "Sons are listed with the keys made only of digits first, in numeric\n"
    "order, then the other keys in byte order. Commits (\"reconf\") are synced\n"
    "to the journal before any later reply goes out, and reported to the\n"
    "connections that sent \"subscribe\". See lab/confd/README.md.\n";

volatile sig_atomic_t stop_signal = 0;

void on_signal(int sig) {
    stop_signal = sig;
}

struct Options {
    std::string dir = confd::CONFD_STATE_DIR;
    size_t max_conns = 1000;
    int idle_s = 30;
    confd::Limits limits;
};

struct Conn {
    int fd;
    std::unique_ptr<confd::Session> s;
    Clock::time_point last;             // last request handled or byte sent
    std::list<uint32_t>::iterator idle; // place in the idle order (not for subscribers)
    bool in_idle = true;
    uint32_t events = 0; // registered with epoll
};

// Sends what the session has waiting. Returns false when the connection
// failed; adds the bytes sent to sent.
bool flush(Conn& c, size_t& sent) {
    while (c.s->has_output()) {
        iovec iov[64];
        int n = c.s->output_iov(iov, 64);
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = static_cast<decltype(mh.msg_iovlen)>(n);
        ssize_t r = sendmsg(c.fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        c.s->output_sent(static_cast<size_t>(r));
        sent += static_cast<size_t>(r);
    }
    return true;
}

// Reads what has arrived, as long as the session takes input, and lets it
// handle its share; false when the connection failed. Reading on after the
// share is used finds the end of a peer that has finished: such a
// connection is handled to its end in this round, so that what a client
// wrote (without acknowledgement) and closed is seen by its next
// connection, which is served after it.
bool receive(Conn& c) {
    constexpr size_t READ_ROUND = 1u << 20;
    uint8_t buf[65536];
    for (size_t got = 0; got < READ_ROUND && c.s->wants_input();) {
        ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (n == 0) {
            c.s->input_ended();
            return true;
        }
        c.s->feed(buf, static_cast<size_t>(n));
        got += static_cast<size_t>(n);
    }
    c.s->process();
    return true;
}

class Loop {
  public:
    Loop(confd::Server& srv, int lfd, const Options& o) : srv_(srv), lfd_(lfd), o_(o) {}
    int run(const sigset_t& run_mask);

  private:
    void round(const epoll_event* evs, int n);
    void accept_all();
    void close_conn(uint32_t id, const char* why);
    void watch(Conn& c);
    int timeout_ms();

    confd::Server& srv_;
    int lfd_;
    const Options& o_;
    int ep_ = -1;
    std::map<uint32_t, Conn> conns_; // by age: older connections are served first
    std::list<uint32_t> idle_;       // least recently active first
    std::vector<uint32_t> subs_;     // subscribed connections
    std::vector<uint32_t> again_;    // with work left for the next round
    uint32_t next_id_ = 0;
    bool accept_paused_ = false;
    size_t freed_ = 0; // bytes freed since the last trim
    Clock::time_point refusal_logged_{};
    size_t refusals_unlogged_ = 0;
};

void Loop::watch(Conn& c) {
    uint32_t want = (c.s->wants_input() ? EPOLLIN : 0u) | (c.s->has_output() ? EPOLLOUT : 0u);
    if (want == c.events) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = c.s->id();
    epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
    c.events = want;
}

void Loop::close_conn(uint32_t id, const char* why) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    Conn& c = it->second;
    if (why) confd::logf("conn %" PRIu32 ": closed: %s", id, why);
    if (c.in_idle) idle_.erase(c.idle);
    if (c.s->subscribed() || c.s->dropped()) std::erase(subs_, id);
    close(c.fd);
    freed_ += c.s->out_bytes() + c.s->pending_bytes() + c.s->in_bytes();
    conns_.erase(it);
    accept_paused_ = false;
    // Factory settings are committed when their connection ends: synced at
    // once, so that no output waits for a later round.
    if (srv_.held()) srv_.sync();
}

int Loop::timeout_ms() {
    // Work left, or a commit made since the round's sync (the factory
    // settings of a connection that closed).
    if (!again_.empty() || srv_.held()) return 0;
    int t = -1;
    if (!idle_.empty()) {
        auto due = conns_.at(idle_.front()).last + std::chrono::seconds(o_.idle_s);
        auto ms = std::chrono::duration_cast<milliseconds>(due - Clock::now()).count();
        t = static_cast<int>(std::clamp<long long>(ms + 1, 0, 60000));
    }
    // A fold in progress is reaped soon after it ends.
    if (srv_.folding()) t = t < 0 ? 100 : std::min(t, 100);
    return t;
}

void Loop::round(const epoll_event* evs, int n) {
    std::map<uint32_t, uint32_t> work; // connection -> events, oldest first
    for (uint32_t id : again_)
        work[id] |= 0;
    again_.clear();
    bool listener = false;
    for (int i = 0; i < n; ++i) {
        if (evs[i].data.u64 == 0)
            listener = true;
        else
            work[static_cast<uint32_t>(evs[i].data.u64)] |= evs[i].events;
    }
    struct Touched {
        uint32_t id;
        bool ok, active;
    };
    std::vector<Touched> touched;
    for (auto [id, ev] : work) {
        auto it = conns_.find(id);
        if (it == conns_.end()) continue;
        Conn& c = it->second;
        uint64_t items = c.s->items();
        c.s->begin_round();
        bool ok = true;
        if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR))
            ok = receive(c);
        else
            c.s->process();
        touched.push_back({id, ok, c.s->items() != items});
    }
    // The commits of this round become durable before any reply goes out.
    srv_.sync();
    freed_ += srv_.take_freed();
    auto now = Clock::now();
    // Subscribers have this round's records to send.
    for (uint32_t id : subs_)
        if (work.find(id) == work.end()) touched.push_back({id, true, false});
    for (auto [id, ok, active] : touched) {
        auto it = conns_.find(id);
        if (it == conns_.end()) continue;
        Conn& c = it->second;
        size_t sent = 0;
        if (ok) ok = flush(c, sent);
        if (!ok || c.s->done()) {
            close_conn(id, nullptr);
            continue;
        }
        if (c.s->subscribed() && c.in_idle) {
            idle_.erase(c.idle);
            c.in_idle = false;
            subs_.push_back(id);
        } else if (c.in_idle && (active || sent > 0)) {
            c.last = now;
            idle_.splice(idle_.end(), idle_, c.idle);
        }
        if (c.s->runnable()) again_.push_back(id);
        watch(c);
    }
    // Connections silent for too long.
    while (!idle_.empty()) {
        Conn& c = conns_.at(idle_.front());
        if (now - c.last < std::chrono::seconds(o_.idle_s)) break;
        char why[64];
        snprintf(why, sizeof why, "no request for %d s", o_.idle_s);
        close_conn(idle_.front(), why);
    }
    if (listener && !accept_paused_) accept_all();
    // What closed connections and deleted nodes held is given back to the
    // system once it adds up.
    if (freed_ > (4u << 20)) {
        malloc_trim(0);
        freed_ = 0;
    }
}

void Loop::accept_all() {
    auto now = Clock::now();
    const auto evict_after =
        std::min<Clock::duration>(std::chrono::seconds(1), std::chrono::seconds(o_.idle_s));
    for (;;) {
        int fd = accept4(lfd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {
                confd::logf("cannot accept more connections: %s", strerror(errno));
                accept_paused_ = !conns_.empty();
                if (!accept_paused_) usleep(10000);
            }
            break;
        }
        if (conns_.size() >= o_.max_conns) {
            // Room is made by closing the connection idle the longest, if
            // it has been for a second; else the new one is refused.
            if (!idle_.empty() && now - conns_.at(idle_.front()).last >= evict_after) {
                auto ms =
                    std::chrono::duration_cast<milliseconds>(now - conns_.at(idle_.front()).last)
                        .count();
                char why[96];
                snprintf(why, sizeof why, "idle for %lld ms, to make room for a new connection",
                         static_cast<long long>(ms));
                close_conn(idle_.front(), why);
            } else {
                linger lg{1, 0}; // a reset: the client fails at once
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
                close(fd);
                ++refusals_unlogged_;
                if (now - refusal_logged_ >= std::chrono::seconds(1)) {
                    confd::logf("refused %zu connection%s: %zu open, the most allowed",
                                refusals_unlogged_, refusals_unlogged_ == 1 ? "" : "s",
                                conns_.size());
                    refusal_logged_ = now;
                    refusals_unlogged_ = 0;
                }
                continue;
            }
        }
        uint32_t id = ++next_id_;
        Conn c{fd, std::make_unique<confd::Session>(srv_, id), now, {}, true, EPOLLIN};
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = id;
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            confd::logf("cannot watch a new connection: %s", strerror(errno));
            close(fd);
            continue;
        }
        idle_.push_back(id);
        c.idle = std::prev(idle_.end());
        // Its input is read from the next round on, after the connections
        // accepted before it.
        conns_.emplace(id, std::move(c));
    }
}

int Loop::run(const sigset_t& run_mask) {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.u64 = 0;
    if (ep_ < 0 || epoll_ctl(ep_, EPOLL_CTL_ADD, lfd_, &lev) != 0) {
        confd::logf("cannot set up the loop: %s", strerror(errno));
        return 1;
    }
    bool listening = true;
    epoll_event evs[256];
    while (!stop_signal) {
        if (listening == accept_paused_) {
            // Out of descriptors: the listener waits until a connection closes.
            lev.events = accept_paused_ ? 0u : static_cast<uint32_t>(EPOLLIN);
            epoll_ctl(ep_, EPOLL_CTL_MOD, lfd_, &lev);
            listening = !accept_paused_;
        }
        int n = epoll_pwait(ep_, evs, 256, timeout_ms(), &run_mask);
        if (n < 0) {
            if (errno == EINTR) continue;
            confd::logf("poll failed: %s", strerror(errno));
            return 1;
        }
        round(evs, n);
    }
    confd::logf("signal %d: stopping", static_cast<int>(stop_signal));
    while (!conns_.empty())
        close_conn(conns_.begin()->first, nullptr);
    close(ep_);
    return srv_.finish() == 0 ? 0 : 1;
}

bool parse_size(const char* s, size_t min, size_t max, size_t* out) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno || end == s || *end || s[0] == '-' || v < min || v > max) return false;
    *out = static_cast<size_t>(v);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        size_t n = 0;
        if (a == "--state" && v && v[0] != '\0') {
            o.dir = v;
        } else if (a == "--max-connections" && v && parse_size(v, 1, 1000000, &n)) {
            o.max_conns = n;
        } else if (a == "--idle-timeout" && v && parse_size(v, 1, 86400, &n)) {
            o.idle_s = static_cast<int>(n);
        } else if (a == "--fold-bytes" && v && parse_size(v, 1, SIZE_MAX, &n)) {
            o.limits.compact_bytes = n;
        } else if (a == "-h" || a == "--help") {
            fputs(usage_text, stdout);
            return 0;
        } else {
            fputs(usage_text, stderr);
            return 2;
        }
        ++i;
    }

    // One heap for the loop and the fold's thread, so that what the fold
    // frees is given back to the system like the rest.
    mallopt(M_ARENA_MAX, 1);
    // A peer or a log reader that goes away never ends confd.
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // The stop signals are let in only while the loop waits.
    sigset_t block, run_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &run_mask);
    sigdelset(&run_mask, SIGTERM);
    sigdelset(&run_mask, SIGINT);

    // As many descriptors as the system lets this process have, and no
    // more connections than they allow (a few are kept for the listener,
    // the state files and the journal).
    constexpr rlim_t RESERVED_FDS = 16;
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        if (rl.rlim_cur < rl.rlim_max) {
            rl.rlim_cur = rl.rlim_max;
            setrlimit(RLIMIT_NOFILE, &rl);
            getrlimit(RLIMIT_NOFILE, &rl);
        }
        if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < o.max_conns + RESERVED_FDS)
            o.max_conns = rl.rlim_cur > 2 * RESERVED_FDS ? rl.rlim_cur - RESERVED_FDS : 1;
    }

    confd::logf("starting, pid %d, state folder %s", static_cast<int>(getpid()), o.dir.c_str());
    confd::Server srv(o.dir, o.limits);
    if (srv.load() != 0) {
        confd::logf("cannot start: the state is not usable");
        return 1;
    }
    int lfd = ipc_listen(confd::CONFD_PORT);
    if (lfd < 0) {
        confd::logf("cannot listen on 127.0.0.1:%u: %s", confd::CONFD_PORT, strerror(errno));
        return 1;
    }
    fcntl(lfd, F_SETFL, fcntl(lfd, F_GETFL) | O_NONBLOCK);
    // Replies go out at once; accepted sockets inherit the option.
    int one = 1;
    setsockopt(lfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    confd::logf("listening on 127.0.0.1:%u: at most %zu connections, closed after %d s without "
                "a request",
                confd::CONFD_PORT, o.max_conns, o.idle_s);
    int rc = Loop(srv, lfd, o).run(run_mask);
    close(lfd);
    confd::logf("stopped");
    return rc;
}
