// mgmtd [--mode N] [--no-auto-start] [--msg-debug N] [--queue-records N] [--queue-bytes N]
#include "lab/mgmtd/mgmtd.h"
#include "platform/include/msg.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace {

void usage() {
    fprintf(stderr,
            "usage: mgmtd [--mode N] [--no-auto-start] [--msg-debug N] [--queue-records N]\n"
            "             [--queue-bytes N]\n"
            "  --mode N           the daemon's message-library mode 0, 1 or 2 (default 2):\n"
            "                     mode 0: our mailbox 127.0.0.1:837, the daemon's 2055;\n"
            "                     modes 1, 2: our mailbox 127.0.0.1:3490, the daemon's 64000\n"
            "  --no-auto-start    do not send START on the daemon's HELLO (use mgmt start)\n"
            "  --msg-debug N      message-library debug level (0 silent, 1 errors, 2 messages)\n"
            "  --queue-records N  records held for the daemon at most, 1 to %zu (default %zu)\n"
            "  --queue-bytes N    their payload bytes at most, %zu to %zu (default %zu)\n"
            "control port 127.0.0.1:%d (mgmt start|stop|status); confd on 127.0.0.1:%d\n",
            MGMTD_QUEUE_RECORDS_MAX, MGMTD_QUEUE_RECORDS, MGMTD_QUEUE_BYTES_MIN,
            MGMTD_QUEUE_BYTES_MAX, MGMTD_QUEUE_BYTES, MGMTD_CONTROL_PORT, MGMTD_CONFD_PORT);
}

template <typename T>
bool parse_num(const char* s, long long lo, long long hi, T* out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (*end != '\0' || errno != 0 || v < lo || v > hi) return false;
    *out = static_cast<T>(v);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // A peer that has gone (a control client, the daemon, confd, a closed
    // standard output) is an error of that write, never the end of mgmtd.
    signal(SIGPIPE, SIG_IGN);
    MgmtdConfig cfg;
    int msg_debug = -1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--mode") == 0 && i + 1 < argc) {
            if (!parse_num(argv[++i], 0, 2, &cfg.mode)) {
                fprintf(stderr, "mgmtd: --mode takes 0, 1 or 2, not \"%s\"\n", argv[i]);
                return 2;
            }
        } else if (strcmp(argv[i], "--no-auto-start") == 0) {
            cfg.auto_start = false;
        } else if (strcmp(argv[i], "--msg-debug") == 0 && i + 1 < argc) {
            if (!parse_num(argv[++i], 0, 100, &msg_debug)) {
                fprintf(stderr, "mgmtd: --msg-debug takes a number, not \"%s\"\n", argv[i]);
                return 2;
            }
        } else if (strcmp(argv[i], "--queue-records") == 0 && i + 1 < argc) {
            if (!parse_num(argv[++i], 1, MGMTD_QUEUE_RECORDS_MAX, &cfg.queue_records)) {
                fprintf(stderr, "mgmtd: --queue-records takes 1 to %zu, not \"%s\"\n",
                        MGMTD_QUEUE_RECORDS_MAX, argv[i]);
                return 2;
            }
        } else if (strcmp(argv[i], "--queue-bytes") == 0 && i + 1 < argc) {
            if (!parse_num(argv[++i], MGMTD_QUEUE_BYTES_MIN, MGMTD_QUEUE_BYTES_MAX,
                           &cfg.queue_bytes)) {
                fprintf(stderr, "mgmtd: --queue-bytes takes %zu to %zu, not \"%s\"\n",
                        MGMTD_QUEUE_BYTES_MIN, MGMTD_QUEUE_BYTES_MAX, argv[i]);
                return 2;
            }
        } else {
            usage();
            return 2;
        }
    }
    cfg.own_port = cfg.mode == 0 ? 837 : 3490;
    cfg.daemon_port = cfg.mode == 0 ? 2055 : 64000;

    // SIGTERM and SIGINT are taken by the main thread alone (sigwait); every
    // thread created from here on inherits the blocked mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    if (msg_debug >= 0) MSG_Debug(msg_debug);
    daemon_link_init(cfg);
    // The control port comes up first: once the mailbox accepts, mgmt works too.
    if (control_start() != 0) {
        mgmtd_log("cannot listen on the control port 127.0.0.1:%d", MGMTD_CONTROL_PORT);
        return 1;
    }
    if (MSG_SetMode(cfg.mode) != 0 || MSG_Init(16) != 0) {
        mgmtd_log("message library not initialised");
        return 1;
    }
    int mailbox = MSG_CreateChannel(cfg.own_port);
    if (mailbox < 0) {
        mgmtd_log("cannot create our mailbox on 127.0.0.1:%d", cfg.own_port);
        return 1;
    }
    if (daemon_link_register(mailbox) != 0 || MSG_StartThread(mailbox) == 0) {
        mgmtd_log("cannot start the receive thread of our mailbox");
        return 1;
    }
    forward_start(cfg);
    confd_link_start();
    mgmtd_log("started: mode %d, mailbox 127.0.0.1:%d, daemon mailbox 127.0.0.1:%d, control "
              "127.0.0.1:%d, START on HELLO %s, queue of at most %zu records and %zu bytes",
              cfg.mode, cfg.own_port, cfg.daemon_port, MGMTD_CONTROL_PORT,
              cfg.auto_start ? "on" : "off", cfg.queue_records, cfg.queue_bytes);

    int sig = 0;
    while (sigwait(&stop_signals, &sig) != 0) {
    }
    ForwardCounts n = forward_counts();
    mgmtd_log("stopped by signal %d; %llu record(s) forwarded, %llu dropped, %llu still queued "
              "(not delivered)",
              sig, static_cast<unsigned long long>(n.forwarded),
              static_cast<unsigned long long>(n.dropped),
              static_cast<unsigned long long>(n.queued));
    // The other threads may be inside the library: end without running exit handlers.
    _exit(0);
}
