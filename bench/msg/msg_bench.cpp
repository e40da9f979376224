// msg_bench [count]: acknowledged messages per second over one channel
// (empty and 1 KiB payloads), bytes per second with 64 KiB payloads, four
// channels sending at once, and the loopback floor: the same count of
// 17-byte requests and 5-byte replies on a bare TCP connection.
#include "platform/include/msg.h"
#include "platform/net.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint32_t> g_received{0}; // 32-bit: lock-free on the 32-bit target too

int count_it(const MSG_Message*, const uint8_t*, uint32_t) {
    ++g_received;
    return 0;
}

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Sends n messages of size bytes on each of channels; returns messages per second.
double run(int port, int channels, int n, uint32_t size) {
    std::vector<uint8_t> payload(size, 0x5a);
    std::vector<int> ch;
    for (int i = 0; i < channels; ++i)
        ch.push_back(MSG_OpenChannel("127.0.0.1", port));
    auto t0 = Clock::now();
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (int c : ch) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < n; ++i)
                if (MSG_SendMessage(c, 1, size ? payload.data() : nullptr, size) != 0) ++failed;
        });
    }
    for (auto& t : threads)
        t.join();
    double s = seconds_since(t0);
    if (failed) printf("  (%d sends failed)\n", failed.load());
    return channels * n / s;
}

int loopback_listener(int port) {
    int fd = loopback_listen(static_cast<uint16_t>(port), 4);
    if (fd < 0) exit(1);
    return fd;
}

bool read_n(int fd, uint8_t* b, size_t n) {
    for (size_t got = 0; got < n;) {
        ssize_t r = read(fd, b + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// Bare request/reply on one TCP connection: requests per second.
double floor_rate(int port, int n) {
    int lfd = loopback_listener(port);
    std::thread server([lfd, n] {
        int fd = accept(lfd, nullptr, nullptr);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint8_t req[17], rep[5] = {'A'};
        for (int i = 0; i < n && read_n(fd, req, sizeof req); ++i)
            if (write(fd, rep, sizeof rep) != 5) break;
        close(fd);
    });
    int fd = loopback_connect(static_cast<uint16_t>(port));
    if (fd < 0) exit(1);
    uint8_t req[17] = {'M'}, rep[5];
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
        if (write(fd, req, sizeof req) != 17 || !read_n(fd, rep, sizeof rep)) break;
    double s = seconds_since(t0);
    close(fd);
    server.join();
    close(lfd);
    return n / s;
}

} // namespace

int main(int argc, char** argv) {
    int n = argc > 1 ? atoi(argv[1]) : 20000;
    if (n < 1) n = 20000;
    MSG_Debug(1);
    if (MSG_Init(16) != 0) return 1;
    int port = 25000; // below the ephemeral range
    int mb = MSG_CreateChannel(port);
    if (mb < 0 || MSG_RegisterMessage(mb, 1, count_it) != 0 || MSG_StartThread(mb) == 0) {
        fprintf(stderr, "msg_bench: no mailbox on port %d (run it in a namespace of its own)\n",
                port);
        return 1;
    }
    double floor = floor_rate(port + 1, n);
    double empty = run(port, 1, n, 0);
    double kib = run(port, 1, n, 1024);
    double big = run(port, 1, n / 10, MSG_PAYLOAD_MAX);
    double four = run(port, 4, n, 0);
    printf("loopback floor (17-byte request, 5-byte reply):  %10.0f per s\n", floor);
    printf("messages, empty payload, one channel:             %10.0f per s (%.2fx the floor)\n",
           empty, floor / empty);
    printf("messages, 1 KiB payload, one channel:             %10.0f per s\n", kib);
    printf("messages, 64 KiB payload, one channel:            %10.0f per s (%.0f MiB/s)\n", big,
           big * MSG_PAYLOAD_MAX / (1024.0 * 1024.0));
    printf("messages, empty payload, four channels at once:   %10.0f per s\n", four);
    printf("received: %llu\n", static_cast<unsigned long long>(g_received.load()));
    return 0;
}
