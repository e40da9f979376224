// The daemon's commonest database operation, "open, read one value,
// close", against confd, next to the loopback floor measured in the same
// run: a bare TCP connect to a trivial echo listener of this program, one
// request and its reply, close. Then the same read with 100 and with
// 100,000 keys in the store (one list of that many sons); a commit (open,
// write one value, close with reconf, and the read on a new connection that
// acknowledges it) at both sizes; the latency of that read while another
// client pipelines commits, against the same read alone; and confd's
// resident memory around 300 deep writes on connections closed without
// reconf. Prints the figures; asserts nothing.
//
// It starts its own confd on the fixed port 7000, so run it in a network
// namespace of its own:
//     tests/netns-run build/bench/confd_bench [seconds per figure]
// (or: cmake --build build --target run_confd_bench). confd is taken from
// TR111_BIN (default: the build's bin folder).
#include "db/tr111_db.h"
#include "platform/include/ipc.h"
#include "platform/net.h"
#include "tests/support/proc.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint16_t ECHO_PORT = 7009;
// What the client sends and gets for one read, in bytes: the command and
// the path out, the serialized set back.
constexpr size_t REQUEST_BYTES = 5 + 17 + 5 + 14;
constexpr size_t REPLY_BYTES = 5 + 26;

double seconds = 2.0;

// Runs op repeatedly for the configured time; returns operations per second.
template <typename Op>
double rate(Op op) {
    for (int i = 0; i < 200; ++i)
        op(); // warm up
    auto t0 = std::chrono::steady_clock::now();
    auto end = t0 + std::chrono::duration<double>(seconds);
    long n = 0;
    auto now = t0;
    while (now < end) {
        for (int i = 0; i < 100; ++i)
            op();
        n += 100;
        now = std::chrono::steady_clock::now();
    }
    return static_cast<double>(n) / std::chrono::duration<double>(now - t0).count();
}

// The best of three runs: the figure least disturbed by the rest of the machine.
template <typename Op>
double best_rate(Op op) {
    double best = 0;
    for (int i = 0; i < 3; ++i)
        best = std::max(best, rate(op));
    return best;
}

bool read_fully(int fd, char* buf, size_t len) {
    while (len > 0) {
        ssize_t n = recv(fd, buf, len, 0);
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The trivial listener: one connection at a time, one request, one reply,
// then the client's close.
void echo_server(int lfd) {
    char buf[256];
    for (;;) {
        int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (read_fully(fd, buf, REQUEST_BYTES)) {
            memset(buf, 'r', REPLY_BYTES);
            send(fd, buf, REPLY_BYTES, MSG_NOSIGNAL);
            while (recv(fd, buf, sizeof buf, 0) > 0) {
            }
        }
        close(fd);
    }
}

void floor_op() {
    int fd = loopback_connect(ECHO_PORT);
    char buf[REQUEST_BYTES > REPLY_BYTES ? REQUEST_BYTES : REPLY_BYTES];
    memset(buf, 'q', sizeof buf);
    if (fd < 0 ||
        send(fd, buf, REQUEST_BYTES, MSG_NOSIGNAL) != static_cast<ssize_t>(REQUEST_BYTES) ||
        !read_fully(fd, buf, REPLY_BYTES)) {
        fprintf(stderr, "echo exchange failed\n");
        exit(1);
    }
    close(fd);
}

const char* read_path = "/bench/list/57/v";

void client_op() {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    char* v = h ? KX_DB_Get(h, read_path) : nullptr;
    if (!v) {
        fprintf(stderr, "read of %s failed\n", read_path);
        exit(1);
    }
    free(v);
    TR111_Close_db_get(h);
}

// Fills /bench/list/from..to-1/v, committing every 10,000 keys (what
// waits for a commit is limited).
void fill(int from, int to) {
    for (int at = from; at < to; at += 10000) {
        KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
        for (int i = at; i < std::min(to, at + 10000); ++i) {
            char path[64];
            snprintf(path, sizeof path, "/bench/list/%d/v", i);
            KX_DB_Set(h, path, "value");
        }
        TR111_Close_db_set(h);
    }
}

// Deletes /bench/list/from..to-1, committing every 10,000 keys.
void trim(int from, int to) {
    for (int at = from; at < to; at += 10000) {
        KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
        for (int i = at; i < std::min(to, at + 10000); ++i) {
            char path[64];
            snprintf(path, sizeof path, "/bench/list/%d", i);
            KX_DB_Delete(h, path);
        }
        TR111_Close_db_set(h);
    }
}

// One commit as the daemon makes it, then the read on a new connection
// that sees it: confd answers only once the commit is on disk.
void commit_op() {
    static long n = 0;
    char value[24];
    snprintf(value, sizeof value, "%ld", ++n);
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    if (!h || KX_DB_Set(h, "/bench/commit", value) != 0) {
        fprintf(stderr, "commit failed\n");
        exit(1);
    }
    TR111_Close_db_set(h);
    h = KX_DB_Open(KX_DB_MAIN);
    char* v = h ? KX_DB_Get(h, "/bench/commit") : nullptr;
    if (!v || strcmp(v, value) != 0) {
        fprintf(stderr, "commit not seen\n");
        exit(1);
    }
    free(v);
    TR111_Close_db_get(h);
}

// Latencies of client_op over the configured time, in ms, sorted; reads
// that failed (the client gives up after 5 s) are counted apart.
std::vector<double> latencies(long* failed) {
    std::vector<double> ms;
    *failed = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        auto t0 = std::chrono::steady_clock::now();
        KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
        char* v = h ? KX_DB_Get(h, read_path) : nullptr;
        if (h) TR111_Close_db_get(h);
        if (!v) ++*failed;
        free(v);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
        usleep(1000);
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

double pct(const std::vector<double>& ms, double p) {
    return ms.empty() ? 0 : ms[std::min(ms.size() - 1, static_cast<size_t>(p * ms.size()))];
}

// A client that pipelines write + reconf pairs on one connection, without
// waiting, until stop.
void pipeliner(std::atomic<bool>& stop, std::atomic<long>& sent) {
    int fd = loopback_connect(KX_DB_PORT);
    if (fd < 0) return;
    std::string batch;
    for (int i = 0; i < 100; ++i) {
        char item[64];
        for (const char* s : {"rg_conf_set_path_value", "/bench/stall", "1", "reconf"}) {
            uint8_t head[5] = {IPC_TAG_STRING, 0, 0, 0, static_cast<uint8_t>(strlen(s))};
            batch.append(reinterpret_cast<char*>(head), 5).append(s);
        }
        size_t n = ipc_frame_u32(reinterpret_cast<uint8_t*>(item), 4);
        batch.append(item, n);
    }
    while (!stop && send(fd, batch.data(), batch.size(), MSG_NOSIGNAL) > 0)
        sent += 100;
    close(fd);
}

// Waits until confd has taken in every write (they are not acknowledged):
// until /bench/list/<last>/v is there, or gone.
void settle(int last, bool there) {
    char path[64];
    snprintf(path, sizeof path, "/bench/list/%d/v", last);
    for (;;) {
        KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
        char* v = h ? KX_DB_Get(h, path) : nullptr;
        if (h) TR111_Close_db_get(h);
        free(v);
        if ((v != nullptr) == there) return;
        usleep(10000);
    }
}

long rss_kb(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) seconds = atof(argv[1]) > 0 ? atof(argv[1]) : seconds;
    setenv("TR111_BIN", TR111_BIN_DEFAULT, 0);
    if (tr111test::wait_port(KX_DB_PORT, 0)) {
        fprintf(stderr, "port %u is taken: run me under tests/netns-run\n", KX_DB_PORT);
        return 2;
    }
    int lfd = ipc_listen(ECHO_PORT);
    if (lfd < 0) {
        fprintf(stderr, "cannot listen on %u\n", ECHO_PORT);
        return 2;
    }
    std::thread(echo_server, lfd).detach();
    tr111test::TempDir dir;
    auto argv_confd = tr111test::program("confd");
    argv_confd.insert(argv_confd.end(), {"--state", dir.path() + "/state"});
    tr111test::Background confd(argv_confd, dir.path() + "/confd.log");
    if (!tr111test::wait_port(KX_DB_PORT, 10000)) {
        fprintf(stderr, "confd did not start (TR111_BIN=%s)\n", getenv("TR111_BIN"));
        return 2;
    }
    fill(0, 100);
    settle(99, true);

    printf("confd: open, read one value, close (best of 3 runs of %.1f s)\n", seconds);
    double floor = best_rate(floor_op);
    double client = best_rate(client_op);
    printf("  loopback floor (connect, request, reply, close): %10.0f ops/s\n", floor);
    printf("  KX_DB_Open + KX_DB_Get + TR111_Close_db_get:     %10.0f ops/s\n", client);
    printf("  time per operation, client / floor:              %10.2f (target <= 1.5)\n",
           floor / client);

    // Deep writes: 63 levels of 255-byte keys, each on a connection closed
    // without reconf; then deleted.
    long rss_before = rss_kb(confd.pid());
    for (int w = 0; w < 300; ++w) {
        std::string path = "/deep/" + std::to_string(w);
        for (int l = 2; l < 63; ++l)
            path += "/" + std::string(255, static_cast<char>('a' + l % 26));
        KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
        KX_DB_Set(h, path.c_str(), "v");
        TR111_Close_db_get(h);
    }
    settle(99, true); // every connection before it is handled
    long rss_deep = rss_kb(confd.pid());
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    KX_DB_Delete(h, "/deep");
    TR111_Close_db_set(h);
    settle(99, true);
    usleep(200000); // the round that handled the deletion ends
    long rss_after = rss_kb(confd.pid());

    // The two sizes are measured twice, in turns, so that a burst of load
    // on the machine does not weigh on one of them only.
    double small = 0, small_read = 0, big = 0, big_read = 0;
    long small_rss = 0, big_rss = 0;
    for (int turn = 0; turn < 2; ++turn) {
        KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
        auto read_only = [h] {
            char* v = KX_DB_Get(h, read_path);
            if (!v) exit(1);
            free(v);
        };
        small = std::max(small, best_rate(client_op));
        small_read = std::max(small_read, best_rate(read_only));
        if (turn == 0) small_rss = rss_kb(confd.pid());
        fill(100, 100000);
        settle(99999, true);
        big = std::max(big, best_rate(client_op));
        big_read = std::max(big_read, best_rate(read_only));
        if (turn == 0) big_rss = rss_kb(confd.pid());
        TR111_Close_db_get(h);
        trim(100, 100000);
        settle(99999, false);
    }

    // Commits at both sizes, then the read while another client pipelines.
    double commit_small = best_rate(commit_op);
    fill(100, 100000);
    settle(99999, true);
    sleep(2); // the journal of the fill is folded into the state file
    double commit_big = best_rate(commit_op);
    trim(100, 100000);
    settle(99999, false);
    long failed_alone = 0, failed_busy = 0;
    std::vector<double> alone = latencies(&failed_alone);
    std::atomic<bool> stop{false};
    std::atomic<long> pipelined{0};
    std::thread busy([&] { pipeliner(stop, pipelined); });
    std::vector<double> during = latencies(&failed_busy);
    stop = true;
    busy.join();

    printf("\nconfd: the same read with 100 and with 100,000 keys in the store\n");
    printf("  %-34s %12s %12s %8s\n", "", "100 keys", "100,000 keys", "ratio");
    printf("  %-34s %12.0f %12.0f %8.2f (target < 1.2)\n", "open, read, close (ops/s)", small, big,
           small / big);
    printf("  %-34s %12.0f %12.0f %8.2f\n", "read on an open handle (ops/s)", small_read, big_read,
           small_read / big_read);
    printf("  %-34s %12ld %12ld (first turn)\n", "confd resident memory (kB)", small_rss, big_rss);
    printf("  %-34s %12.0f %12.0f %8.2f\n", "commit and its read (commits/s)", commit_small,
           commit_big, commit_small / commit_big);
    printf("  %-34s %12.2f %12.2f\n", "time per commit (ms)", 1000 / commit_small,
           1000 / commit_big);

    printf("\nconfd: open, read, close while another client pipelines commits (%.1f s each)\n",
           seconds);
    printf("  %-34s %10s %10s %10s %8s\n", "", "p50 (ms)", "p99 (ms)", "max (ms)", "failed");
    printf("  %-34s %10.2f %10.2f %10.2f %8ld\n", "alone", pct(alone, 0.5), pct(alone, 0.99),
           pct(alone, 1), failed_alone);
    printf("  %-34s %10.2f %10.2f %10.2f %8ld\n", "beside the pipelining client", pct(during, 0.5),
           pct(during, 0.99), pct(during, 1), failed_busy);
    printf("  p99 beside / alone: %.1f; pipelined write+reconf pairs sent: %ld\n",
           pct(during, 0.99) / std::max(pct(alone, 0.99), 0.001), pipelined.load());

    printf("\nconfd: 300 writes 63 levels deep, each on a connection closed without reconf\n");
    printf("  confd resident memory (kB): before %ld, after %ld, after deleting them %ld\n",
           rss_before, rss_deep, rss_after);
    return 0;
}
