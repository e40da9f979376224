// crserver: a LAN device's connection-request server. It answers every
// HTTP request with 200 and records it, one line per request:
//     <seconds.microseconds since the epoch> <METHOD> <TARGET> from <PEER ADDRESS>
// A request that does not arrive whole within 5 s is answered 400 and
// recorded as "bad request".
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t REQUEST_MAX = 8192;
constexpr int TIMEOUT_S = 5;

int record_fd = 1;

void record(const std::string& what, const sockaddr_in& peer) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    char from[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, from, sizeof from);
    char head[64];
    snprintf(head, sizeof head, "%lld.%06ld ", static_cast<long long>(ts.tv_sec),
             ts.tv_nsec / 1000);
    std::string line = head + what + " from " + from + "\n";
    // One append per request: readers never see half a line.
    if (write(record_fd, line.data(), line.size()) < 0) perror("crserver: record");
}

void reply(int fd, const char* status) {
    char buf[128];
    int n = snprintf(buf, sizeof buf,
                     "HTTP/1.1 %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", status);
    if (send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) < 0) return;
}

// Printable text of a request-line field, at most 200 characters.
std::string printable(std::string_view s) {
    std::string out;
    for (char c : s.substr(0, 200))
        out.push_back(c > 0x20 && c < 0x7f ? c : '?');
    return out;
}

void serve(int fd, const sockaddr_in& peer) {
    timeval tv{TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    char buf[REQUEST_MAX];
    size_t len = 0;
    std::string_view req;
    while (len < sizeof buf) {
        ssize_t n = recv(fd, buf + len, sizeof buf - len, 0);
        if (n <= 0) break;
        len += static_cast<size_t>(n);
        req = std::string_view(buf, len);
        if (req.find("\r\n\r\n") != std::string_view::npos ||
            req.find("\n\n") != std::string_view::npos)
            break;
    }
    size_t eol = req.find_first_of("\r\n");
    std::string_view line = req.substr(0, eol);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    bool whole = req.find("\r\n\r\n") != std::string_view::npos ||
                 req.find("\n\n") != std::string_view::npos;
    if (!whole || sp2 == std::string_view::npos || sp1 == 0 || sp2 == sp1 + 1) {
        record("bad request", peer);
        reply(fd, "400 Bad Request");
        return;
    }
    record(printable(line.substr(0, sp1)) + " " + printable(line.substr(sp1 + 1, sp2 - sp1 - 1)),
           peer);
    reply(fd, "200 OK");
}

} // namespace

int main(int argc, char** argv) {
    // A client gone before its answer, or a closed output: never the end of crserver.
    signal(SIGPIPE, SIG_IGN);
    int port = 7547;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            char* end = nullptr;
            long p = strtol(argv[++i], &end, 10);
            if (*end || p < 1 || p > 65535) {
                fprintf(stderr, "crserver: --port %s: not 1 to 65535\n", argv[i]);
                return 2;
            }
            port = static_cast<int>(p);
        } else if (strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            record_fd = open(argv[++i], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (record_fd < 0) {
                fprintf(stderr, "crserver: cannot open %s: %s\n", argv[i], strerror(errno));
                return 2;
            }
        } else {
            fprintf(stderr, "usage: crserver [--port N] [--log FILE]\n");
            return 2;
        }
    }
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (ls < 0 || setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 16) != 0) {
        fprintf(stderr, "crserver: cannot listen on port %d: %s\n", port, strerror(errno));
        return 1;
    }
    fprintf(stderr, "crserver: listening on port %d\n", port);
    for (;;) {
        sockaddr_in peer{};
        socklen_t plen = sizeof peer;
        int fd = accept4(ls, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            fprintf(stderr, "crserver: accept: %s\n", strerror(errno));
            return 1;
        }
        serve(fd, peer);
        close(fd);
    }
}
