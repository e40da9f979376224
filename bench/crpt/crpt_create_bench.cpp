// Cost of creating a pass-through rule when existing rules hold the lowest
// WAN ports: 0, 10, 126 and 254 rules. Prints, per count, the connections
// one creation opens and its time (median of the runs), and that time
// relative to the creation with no rule in the same run; then the 254-rule
// figures on a line of their own. Asserts nothing.
//
// Each creation runs in a child process that counts its connections as it
// goes; one that takes longer than the cap is stopped and reported with
// what it had opened by then (a port search that tests every candidate
// against every rule can take minutes on a slow target).
//
//     build/bench/crpt_create_bench [runs [cap-seconds]]   (default 5, 120)
//
// Runs stop early once a count has taken 30 s (at least one run each). It
// starts its own confd (from TR111_BIN, default: the build's bin folder) in
// namespaces of its own (network, PID), so it leaves nothing running, also
// when killed; under an emulator, TR111_EMU names it. confd keeps its
// state on disk, as the lab does: its commit syncs it, as a gateway's
// configuration server writes its flash, and that is part of what a
// creation costs the ACS, with no rule or with 254.
#include "crpt/crpt.h"
#include "db/tr111_db.h"
#include "platform/include/ipc.h"
#include "tests/support/confd.h"
#include "tests/support/contain.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>

namespace {

using Clock = std::chrono::steady_clock;

// Written by the child, read by the parent.
struct Shared {
    std::atomic<long> connections;
    double ms;
    int rule, port;
};
Shared* g_shared;

// N rules on ports 30000.. as a creation leaves them, in one commit.
bool put_rules(int n) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) return false;
    KX_DB_Delete(db.get(), "/fw");
    for (int id = 0; id < n; ++id) {
        char path[96], port[16];
        snprintf(port, sizeof port, "%d", CRPT_WAN_PORT_FIRST + id);
        const std::pair<const char*, const char*> keys[] = {
            {EXTERNAL_PORT_PATH, port},
            {EXTERNAL_PORT_PATH_END, port},
            {PORT_MAPPING_ENABLE_PATH_PATH, "1"},
            {PORT_MAPPING_INTERNAL_CLIENT_PATH, "192.168.1.20"}};
        for (auto [fmt, value] : keys) {
            snprintf(path, sizeof path, fmt, id);
            if (KX_DB_Set(db.get(), path, value) != 0) return false;
        }
    }
    db.close_set();
    return true;
}

// One creation in a child process; false when it was stopped at the cap.
bool create_once(Shared* sh, int cap_s) {
    sh->connections = 0;
    sh->rule = -1;
    sh->port = -1;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        Shared* out = sh;
        ipc_hooks hooks{};
        hooks.on_connect = [](void*, int, uint16_t) { ++g_shared->connections; };
        ipc_set_hooks(&hooks);
        auto t0 = Clock::now();
        out->rule = crpt_create(7547, "192.168.1.20");
        out->ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        ipc_set_hooks(nullptr);
        if (out->rule >= 0) {
            out->port = crpt_get_wan_port(out->rule);
            crpt_remove(out->rule);
        }
        _exit(0);
    }
    int st = pid > 0 ? tr111test::detail::reap(pid, cap_s * 1000) : -1;
    if (st < 0 && pid > 0) {
        kill(pid, SIGKILL);
        tr111test::detail::reap(pid, 10000);
        sh->ms = cap_s * 1000.0;
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    int cap_s = argc > 2 ? atoi(argv[2]) : 120;
    if (runs < 1) runs = 5;
    if (cap_s < 1) cap_s = 120;
    setenv("TR111_BIN", TR111_BIN_DEFAULT, 0);
    if (!tr111test::contain(argc, argv, false)) return 2;
    tr111test::Confd confd;
    if (!confd.running()) {
        fprintf(stderr, "confd did not start (TR111_BIN=%s)\n", getenv("TR111_BIN"));
        return 2;
    }
    auto* sh = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (sh == MAP_FAILED) return 2;
    g_shared = new (sh) Shared{};

    printf("crpt_create with N rules on ports 30000..30000+N-1 (median of up to %d runs, a "
           "creation stopped after %d s)\n",
           runs, cap_s);
    printf("%6s %5s %13s %12s %14s %9s %12s\n", "rules", "runs", "ms/creation", "connections",
           "us/connection", "wan port", "x 0 rules");
    double base_ms = 0, last_ms = 0, last_conns = 0;
    bool last_capped = false;
    for (int n : {0, 10, 126, 254}) {
        if (!put_rules(n)) {
            fprintf(stderr, "the rules could not be written\n");
            return 2;
        }
        std::vector<std::pair<double, long>> got; // ms, connections
        bool capped = false;
        int port = -1;
        for (auto t0 = Clock::now();
             static_cast<int>(got.size()) < runs && !capped &&
             (got.empty() || Clock::now() - t0 < std::chrono::seconds(30));) {
            capped = !create_once(sh, cap_s);
            if (!capped && sh->rule < 0) {
                fprintf(stderr, "crpt_create failed: %d\n", sh->rule);
                return 1;
            }
            got.push_back({sh->ms, sh->connections.load()});
            port = sh->port;
        }
        std::sort(got.begin(), got.end());
        auto [ms, conns] = got[got.size() / 2];
        if (n == 0) base_ms = ms;
        printf("%6d %5zu %s%12.2f %s%11ld %14.1f %9d %12.1f\n", n, got.size(), capped ? ">" : " ",
               ms, capped ? ">" : " ", conns, conns ? ms * 1000.0 / conns : 0.0, port,
               base_ms > 0 ? ms / base_ms : 0.0);
        last_ms = ms;
        last_conns = static_cast<double>(conns);
        last_capped = capped;
    }
    printf("crpt_create with 254 rules: %s%.1f ms, %s%.0f connections, %s%.1fx the time of a "
           "creation with no rule\n",
           last_capped ? "more than " : "", last_ms, last_capped ? "more than " : "", last_conns,
           last_capped ? "more than " : "", base_ms > 0 ? last_ms / base_ms : 0.0);
    return 0;
}
