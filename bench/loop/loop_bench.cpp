// The request loop and the whole stack behind it, as the ACS sees them.
//
// The daemon's own modules run in this process: the channel to a real
// tr69agent, the parameter table, the atomicity entries, the request loop
// on a thread of its own; a real confd holds 127 devices. ACS operations
// go to the agent's acs port as the acs client sends them (one connection
// each). Printed:
//   - requests per second to a trivial handler, and heap allocations made
//     on the loop's thread per request (the loop's own cost: must be 0);
//   - a get of a device's SerialNumber: latency (median, 99th percentile)
//     and configuration-server connections per request;
//   - the instance list with 127 devices: the same figures.
// Run in a network namespace of its own (fixed ports):
//   tests/netns-run build/bench/loop_bench [requests]
// It ends the agent and confd it started however it ends (SIGTERM and
// SIGINT included).
#include "bench/footprint/loadgen.h"
#include "bench/stop_signal.h"
#include "tests/support/confd.h"
#include "tests/support/proc.h"
#include "tests/support/wire.h"
#include "tr69/tr69_dm.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

// Heap allocations made on the loop's thread: malloc, calloc and realloc
// are counted there and passed on to the C library's allocator.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {
thread_local bool on_loop_thread = false;
std::atomic<long> loop_allocations{0};
} // namespace

extern "C" void* malloc(size_t n) {
    if (on_loop_thread) loop_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m) {
    if (on_loop_thread) loop_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n) {
    if (on_loop_thread) loop_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

using namespace tr111test;
using Clock = std::chrono::steady_clock;

namespace {

const std::string MD = "InternetGatewayDevice.ManagementServer.ManageableDevice.";

int32_t trivial(const char*, const uint32_t*, uint32_t, const char*, char* out) {
    out[0] = '1';
    out[1] = '\0';
    return 0;
}

struct Figures {
    double median_ms, p99_ms, per_second;
};

// Runs op n times; latency of each, and the rate over the whole run.
// Nothing when a request fails or a signal stops the run.
template <typename Op>
std::optional<Figures> measure(int n, Op op) {
    std::vector<double> ms;
    ms.reserve(static_cast<size_t>(n));
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        auto t = Clock::now();
        if (stop_signal()) return std::nullopt;
        if (!op()) {
            fprintf(stderr, "loop_bench: request %d failed\n", i);
            return std::nullopt;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
    }
    double total = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(ms.begin(), ms.end());
    return Figures{ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], n / total};
}

// The three figures, printed; 1 when a run did not complete.
int figures(int n) {
    using tr111load::AcsOp;
    auto ok = [](const tr111load::AcsResult& r) { return r.outcome == 0; };
    for (int i = 0; i < 200; ++i)
        tr111load::acs(AcsOp::get, "Bench.Trivial"); // warm up

    loop_allocations = 0;
    auto t = measure(n, [&] { return ok(tr111load::acs(AcsOp::get, "Bench.Trivial")); });
    if (!t) return 1;
    long allocations = loop_allocations.load();
    printf("request loop, trivial handler: %.0f requests/s (median %.3f ms, p99 %.3f ms)\n",
           t->per_second, t->median_ms, t->p99_ms);
    printf("heap allocations on the loop's thread: %ld in %d requests (%.2f per request)\n",
           allocations, n, static_cast<double>(allocations) / n);

    const std::string serial = MD + "64.SerialNumber";
    int connections = 0;
    std::optional<Figures> s;
    {
        WireLog wire;
        s = measure(n, [&] { return ok(tr111load::acs(AcsOp::get, serial)); });
        connections = static_cast<int>(wire.conns().size());
    }
    if (!s) return 1;
    printf("get %s: median %.3f ms, p99 %.3f ms, %.0f requests/s, %.2f confd connections each\n",
           serial.c_str(), s->median_ms, s->p99_ms, s->per_second,
           static_cast<double>(connections) / n);

    int m = std::max(100, n / 10);
    std::optional<Figures> l;
    size_t listed = 0;
    {
        WireLog wire;
        l = measure(m, [&] {
            auto r = tr111load::acs(AcsOp::instances, MD);
            listed = r.value.size() + r.lines.size(); // one byte (or line) per device
            return ok(r);
        });
        connections = static_cast<int>(wire.conns().size());
    }
    if (!l) return 1;
    printf(
        "instance list (%zu devices): median %.3f ms, p99 %.3f ms, %.2f confd connections each\n",
        listed, l->median_ms, l->p99_ms, static_cast<double>(connections) / m);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int n = argc > 1 ? atoi(argv[1]) : 2000;
    if (n < 100) n = 100;
    catch_stop_signals();

    Confd confd;
    TempDir dir;
    Background agent(program("tr69agent"), dir.path() + "/agent.log");
    if (!wait_port(7100, 10000)) {
        fprintf(stderr, "loop_bench: no tr69agent\n");
        return 1;
    }
    if (!tr111load::seed(127)) {
        fprintf(stderr, "loop_bench: seeding failed\n");
        return 1;
    }
    static dm_entry extra[2] = {};
    extra[0].id = 200;
    extra[0].name = tr69_ref("Bench.Trivial");
    extra[0].type = TR111_TYPE_STRING;
    extra[0].getter = tr69_ref_fn(&trivial);
    extra[0].end = TR69_END_MARK;
    const dm_entry* failed = nullptr;
    if (tr69dm_register_app(-1) != 0 || tr69_register_app_dm() != 0 ||
        register_atomicity_support() != 0 ||
        register_TR69_dm_entries(extra, getChannelId(), &failed) != 0) {
        fprintf(stderr, "loop_bench: registration failed\n");
        return 1;
    }
    std::thread loop([] {
        on_loop_thread = true;
        tr69dm_handle_data_req();
    });
    int rc = figures(n);
    if (int sig = stop_signal()) {
        fprintf(stderr, "loop_bench: stopped by signal %d\n", sig);
        rc = 128 + sig;
    }
    agent.stop(); // the loop ends with the agent's channel
    loop.join();
    return rc;
}
