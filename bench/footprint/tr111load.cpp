// tr111load: load on a running lab, for the footprint bench and the leak
// run (the load and leak tests call the same functions).
//
//   tr111load seed N                  N device records with their leases
//   tr111load wait-events N [S]       until the agent holds N events (at most S s, default 120)
//   tr111load burst FIRST COUNT DEVS  CHANGE_DB messages FIRST.. to the daemon's mailbox
//   tr111load acs COUNT DEVS          mixed ACS operations
//   tr111load mixed BURST ACS DEVS    a burst of BURST messages while at least ACS
//                                     operations run beside it
//   tr111load events                  the number of events the agent holds
//
// Exit status 0 when every message was acknowledged and every operation
// succeeded, 1 otherwise, 2 on a usage error. Run it in the lab's network
// namespace.
#include "bench/footprint/loadgen.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

using namespace tr111load;

namespace {

[[noreturn]] void usage() {
    fprintf(stderr, "usage: tr111load seed N | wait-events N [S] | burst FIRST COUNT DEVS |\n"
                    "                 acs COUNT DEVS | mixed BURST ACS DEVS | events\n");
    exit(2);
}

int num(const char* s) {
    char* end = nullptr;
    long v = strtol(s, &end, 10);
    if (!*s || *end || v < 0 || v > 10000000) usage();
    return static_cast<int>(v);
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) usage();
    std::string cmd = argv[1];
    auto t0 = std::chrono::steady_clock::now();
    if (cmd == "seed" && argc == 3) {
        bool ok = seed(num(argv[2]));
        printf("seeded %d devices%s\n", num(argv[2]), ok ? "" : " (some writes failed)");
        return ok ? 0 : 1;
    }
    if (cmd == "wait-events" && (argc == 3 || argc == 4)) {
        int want = num(argv[2]);
        int limit = argc == 4 ? num(argv[3]) : 120;
        int n = -1;
        while ((n = agent_events()) < want && seconds_since(t0) < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        printf("events %d\n", n);
        return n >= want ? 0 : 1;
    }
    if (cmd == "events" && argc == 2) {
        printf("%d\n", agent_events());
        return 0;
    }
    if (cmd == "burst" && argc == 5) {
        Mailbox mb;
        if (!mb.ok()) return 1;
        int count = num(argv[3]);
        int sent = burst(mb, num(argv[2]), count, num(argv[4]));
        printf("sent %d of %d messages in %.2f s\n", sent, count, seconds_since(t0));
        return sent == count ? 0 : 1;
    }
    if (cmd == "acs" && argc == 4) {
        int count = num(argv[2]), devices = num(argv[3]), failed = 0;
        for (int i = 0; i < count; ++i)
            failed += acs_mixed(i, devices) ? 0 : 1;
        printf("%d operations, %d failed, in %.2f s\n", count, failed, seconds_since(t0));
        return failed == 0 ? 0 : 1;
    }
    if (cmd == "mixed" && argc == 5) {
        Mailbox mb;
        if (!mb.ok()) return 1;
        int count = num(argv[2]), devices = num(argv[4]);
        std::atomic<bool> stop{false};
        LoopCounts counts;
        std::thread loop([&] { acs_loop(devices, stop, num(argv[3]), counts); });
        int sent = burst(mb, 0, count, devices);
        stop = true;
        loop.join();
        printf("sent %d of %d messages; %d operations, %d failed; in %.2f s\n", sent, count,
               counts.done.load(), counts.failed.load(), seconds_since(t0));
        return sent == count && counts.failed == 0 ? 0 : 1;
    }
    usage();
}
