// Cost of creating a pass-through rule when existing rules hold the lowest
// WAN ports: 0, 10, 126 and 254 rules, and 254 rules with 127 device
// records naming them (whose rule ids a creation reads too). Prints, per
// case, the connections one creation opens and its time (median of the
// runs, the cases taken in turn), and that time relative to the creation
// with no rule in the same run; then the 254-rule figures on a line of
// their own. Asserts nothing.
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
// creation costs the ACS, with no rule or with 254. confd answers nothing
// before a commit is synced, so the time runs from a moment when nothing
// waits for a sync to the answer of a read after the creation (of the new
// rule's port, on a connection of its own, not counted), as the ACS's set
// goes on to the device record after the creation.
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

// N rules on ports 30000.. as a creation leaves them, and D device records
// naming the first D of them, in one commit.
bool put_rules(int n, int devices) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) return false;
    KX_DB_Delete(db.get(), "/fw");
    KX_DB_Delete(db.get(), "/KELMO/TR111/ManageableDevice");
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
    for (int id = 0; id < devices; ++id) {
        char path[96], rule[16];
        snprintf(path, sizeof path, "/KELMO/TR111/ManageableDevice/%d/Crpt_Id", id);
        snprintf(rule, sizeof rule, "%d", id);
        if (KX_DB_Set(db.get(), path, rule) != 0) return false;
    }
    db.close_set();
    return true;
}

// A read answered: every commit before it is on disk.
void sync_barrier() {
    tr111::DbHandle db(KX_DB_MAIN);
    tr111::DbString v(db ? KX_DB_Get(db.get(), "/fw") : nullptr);
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
        // confd answers nothing before a commit is on disk: what the rules'
        // writing left is synced before the clock starts, the creation's own
        // commit before it stops (the ACS's set reads after the creation).
        sync_barrier();
        ipc_hooks hooks{};
        hooks.on_connect = [](void*, int, uint16_t) { ++g_shared->connections; };
        ipc_set_hooks(&hooks);
        auto t0 = Clock::now();
        out->rule = crpt_create(7547, "192.168.1.20");
        ipc_set_hooks(nullptr);
        out->port = out->rule >= 0 ? crpt_get_wan_port(out->rule) : -1;
        out->ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (out->rule >= 0) {
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

    printf("crpt_create with N rules on ports 30000..30000+N-1, and device records naming "
           "rules (median of up to %d runs, the cases taken in turn; a creation stopped after "
           "%d s)\n",
           runs, cap_s);
    printf("%6s %8s %5s %13s %12s %14s %9s %12s\n", "rules", "records", "runs", "ms/creation",
           "connections", "us/connection", "wan port", "x 0 rules");
    struct Case {
        int rules, devices;
        std::vector<std::pair<double, long>> got; // ms, connections
        bool capped;
        int port;
        Clock::duration spent;
    } cases[] = {{0, 0, {}, false, -1, {}},
                 {10, 0, {}, false, -1, {}},
                 {126, 0, {}, false, -1, {}},
                 {254, 0, {}, false, -1, {}},
                 {254, 127, {}, false, -1, {}}};
    // In turn, so that a burst of load elsewhere falls on every case alike;
    // a case stops once capped or after 30 s (at least one run each).
    for (int r = 0; r < runs; ++r)
        for (Case& c : cases) {
            if (c.capped || (r > 0 && c.spent > std::chrono::seconds(30))) continue;
            if (!put_rules(c.rules, c.devices)) {
                fprintf(stderr, "the rules could not be written\n");
                return 2;
            }
            auto t0 = Clock::now();
            c.capped = !create_once(sh, cap_s);
            c.spent += Clock::now() - t0;
            if (!c.capped && sh->rule < 0) {
                fprintf(stderr, "crpt_create failed: %d\n", sh->rule);
                return 1;
            }
            c.got.push_back({sh->ms, sh->connections.load()});
            c.port = sh->port;
        }
    double base_ms = 0;
    for (Case& c : cases) {
        std::sort(c.got.begin(), c.got.end());
        auto [ms, conns] = c.got[c.got.size() / 2];
        if (c.rules == 0) base_ms = ms;
        const char* more = c.capped ? ">" : " ";
        printf("%6d %8d %5zu %s%12.2f %s%11ld %14.1f %9d %12.1f\n", c.rules, c.devices,
               c.got.size(), more, ms, more, conns, conns ? ms * 1000.0 / conns : 0.0, c.port,
               base_ms > 0 ? ms / base_ms : 0.0);
    }
    const Case& last = cases[3];
    auto [ms, conns] = last.got[last.got.size() / 2];
    const char* more = last.capped ? "more than " : "";
    printf("crpt_create with 254 rules: %s%.1f ms, %s%ld connections, %s%.1fx the time of a "
           "creation with no rule\n",
           more, ms, more, conns, more, base_ms > 0 ? ms / base_ms : 0.0);
    return 0;
}
