// tr69agent: listens on 127.0.0.1:7100 for the TR-069 data-model library
// and on 127.0.0.1:7101 for acs. See README.md for frames and options.
#include "lab/common/linelog.h"
#include "platform/net.h"

#include "lab/tr69agent/agent.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

Agent agent;

void agent_log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    linelog_v(STDOUT_FILENO, nullptr, fmt, ap);
    va_end(ap);
}

namespace {

void usage() {
    fprintf(stderr, "usage: tr69agent [--refuse-id N] [--refuse-atomicity-id N] [--refuse-open]\n"
                    "                 [--drop-after N] [--reply-timeout MS]\n");
    exit(2);
}

uint32_t number(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9') usage();
    errno = 0;
    char* end = nullptr;
    unsigned long v = strtoul(text, &end, 10);
    if (errno != 0 || *end != 0 || v > UINT32_MAX) usage();
    return static_cast<uint32_t>(v);
}

void parse_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--refuse-id") {
            agent.opt.refuse_id_set = true;
            agent.opt.refuse_id = number(next);
            ++i;
        } else if (a == "--refuse-atomicity-id") {
            agent.opt.refuse_atomicity_set = true;
            agent.opt.refuse_atomicity_id = number(next);
            ++i;
        } else if (a == "--refuse-open") {
            agent.opt.refuse_open = true;
        } else if (a == "--drop-after") {
            agent.opt.drop_after = number(next);
            ++i;
        } else if (a == "--reply-timeout") {
            uint32_t ms = number(next);
            if (ms == 0 || ms > 3600000) usage();
            agent.opt.reply_timeout_ms = static_cast<int>(ms);
            ++i;
        } else {
            usage();
        }
    }
}

int listen_on(uint16_t port) {
    return loopback_listen(port, 16);
}

// Accepts connections for ever; each is served by a thread of its own.
void accept_loop(int lfd, void (*serve)(int)) {
    for (;;) {
        int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            agent_log("accept failed: %s", strerror(errno));
            sleep(1);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread(serve, fd).detach();
    }
}

} // namespace

int main(int argc, char** argv) {
    parse_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    int lib = listen_on(TR69_AGENT_PORT);
    if (lib < 0) {
        fprintf(stderr, "tr69agent: cannot listen on 127.0.0.1:%u: %s\n", TR69_AGENT_PORT,
                strerror(errno));
        return 1;
    }
    int acs = listen_on(ACS_PORT);
    if (acs < 0) {
        fprintf(stderr, "tr69agent: cannot listen on 127.0.0.1:%u: %s\n", ACS_PORT,
                strerror(errno));
        return 1;
    }
    agent_log("tr69agent: listening on 127.0.0.1:%u (library) and 127.0.0.1:%u (acs)",
              TR69_AGENT_PORT, ACS_PORT);
    std::thread(accept_loop, acs, acs_serve).detach();
    accept_loop(lib, channel_serve);
}
