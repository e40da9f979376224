// confd: the configuration server of the lab. One thread, one poll() loop
// over non-blocking sockets: no peer can hold up another.
#include "lab/confd/confd_core.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

const char usage_text[] =
    "usage: confd [--state DIR]\n"
    "\n"
    "The configuration server of the lab: a tree of text values on\n"
    "127.0.0.1:7000, in four stores: main (kind 0) and private (kind 2),\n"
    "saved in DIR; RAM (kind 1), lost at exit; factory (kind 3), saved in DIR.\n"
    "\n"
    "  --state DIR   folder of the state files main.conf, priv.conf and\n"
    "                factory.conf (default /var/lib/tr111-confd; created when\n"
    "                missing). A state file that cannot be read or parsed stops\n"
    "                confd with status 1.\n"
    "\n"
    "Sons are listed with the keys made only of digits first, in numeric\n"
    "order, then the other keys in byte order. Changes are saved on \"reconf\"\n"
    "(and at SIGTERM) and reported to the connections that sent \"subscribe\".\n"
    "See lab/confd/README.md.\n";

volatile sig_atomic_t stop_signal = 0;

void on_signal(int sig) {
    stop_signal = sig;
}

struct Conn {
    int fd;
    std::unique_ptr<confd::Session> session;
};

// Sends what the session has waiting; false when the connection failed.
bool flush(Conn& c) {
    while (c.session->has_output()) {
        iovec iov[64];
        int n = c.session->output_iov(iov, 64);
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = static_cast<decltype(mh.msg_iovlen)>(n);
        ssize_t sent = sendmsg(c.fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        c.session->output_sent(static_cast<size_t>(sent));
    }
    return true;
}

// Reads what has arrived, until a read finds nothing, and lets the session
// handle it; false when the connection failed. Reading a connection dry
// keeps the order between connections: a client's writes are not
// acknowledged, so what it wrote before it opened another connection must
// be handled first. Older connections are read first in each round, and a
// new one only from the round after its accept. A short read does not
// prove the connection dry: bytes that arrive while it runs wait in the
// socket's backlog for the next read. A connection that keeps sending gets
// at most READ_ROUND bytes per round.
bool receive(Conn& c) {
    constexpr size_t READ_ROUND = 1u << 20;
    uint8_t buf[65536];
    for (size_t got = 0; got < READ_ROUND && c.session->wants_input();) {
        ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (n == 0) {
            c.session->input_ended();
            return true;
        }
        c.session->feed(buf, static_cast<size_t>(n));
        got += static_cast<size_t>(n);
    }
    return true;
}

// Sends the output, then lets the session go on with input it kept while
// its output was full, as long as that makes progress.
bool pump(Conn& c) {
    for (;;) {
        if (!flush(c)) return false;
        if (!c.session->wants_input() || c.session->has_output()) return true;
        size_t before = c.session->out_bytes();
        c.session->process();
        if (c.session->out_bytes() == before) return true;
    }
}

int serve(confd::Server& srv, int lfd, const sigset_t& run_mask) {
    std::vector<Conn> conns;
    std::vector<pollfd> pfds;
    uint32_t next_id = 0;
    bool accept_paused = false;
    while (!stop_signal) {
        pfds.clear();
        pfds.push_back({lfd, static_cast<short>(accept_paused ? 0 : POLLIN), 0});
        for (auto& c : conns) {
            short ev = 0;
            if (c.session->wants_input()) ev |= POLLIN;
            if (c.session->has_output()) ev |= POLLOUT;
            pfds.push_back({c.fd, ev, 0});
        }
        int r = ppoll(pfds.data(), pfds.size(), nullptr, &run_mask);
        if (r < 0) {
            if (errno == EINTR) continue;
            confd::logf("poll failed: %s", strerror(errno));
            return 1;
        }
        size_t polled = conns.size();
        for (size_t i = 0; i < polled; ++i) {
            Conn& c = conns[i];
            short rev = pfds[i + 1].revents;
            bool ok = true;
            if (rev & (POLLIN | POLLHUP | POLLERR)) ok = receive(c);
            if (ok) ok = pump(c);
            if (!ok) c.session->input_ended();
            if (!ok || c.session->done()) {
                close(c.fd);
                c.fd = -1;
            }
        }
        // Records published during this round wait in subscribers' queues.
        for (auto& c : conns) {
            if (c.fd < 0) continue;
            if ((c.session->has_output() && !flush(c)) || c.session->done()) {
                close(c.fd);
                c.fd = -1;
            }
        }
        size_t before = conns.size();
        std::erase_if(conns, [](const Conn& c) { return c.fd < 0; });
        if (conns.size() < before) accept_paused = false;
        if (pfds[0].revents & POLLIN) {
            for (;;) {
                int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EINTR || errno == ECONNABORTED) continue;
                    if (errno == EMFILE || errno == ENFILE) {
                        confd::logf("cannot accept more connections: %s", strerror(errno));
                        accept_paused = !conns.empty();
                    }
                    break;
                }
                // Its input is read from the next round on, after the
                // connections accepted before it.
                conns.push_back({fd, std::make_unique<confd::Session>(srv, ++next_id)});
            }
        }
    }
    confd::logf("signal %d: stopping", static_cast<int>(stop_signal));
    for (auto& c : conns)
        close(c.fd);
    conns.clear();
    return srv.save_dirty() == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string dir = confd::CONFD_STATE_DIR;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--state" && i + 1 < argc && argv[i + 1][0] != '\0') {
            dir = argv[++i];
        } else if (a == "-h" || a == "--help") {
            fputs(usage_text, stdout);
            return 0;
        } else {
            fputs(usage_text, stderr);
            return 2;
        }
    }

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // The stop signals are let in only while the loop waits in ppoll().
    sigset_t block, run_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &run_mask);
    sigdelset(&run_mask, SIGTERM);
    sigdelset(&run_mask, SIGINT);

    // As many connections as the system lets this process have.
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    confd::logf("starting, pid %d, state folder %s", static_cast<int>(getpid()), dir.c_str());
    confd::Server srv(dir);
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
    confd::logf("listening on 127.0.0.1:%u", confd::CONFD_PORT);
    int rc = serve(srv, lfd, run_mask);
    close(lfd);
    confd::logf("stopped");
    return rc;
}
