// The daemon's event handling alone, against the loopback floor. The lab
// holds 127 WT111R2 devices (retained, pass-through on, each with its lease
// and its rule) and 254 rules; the daemon starts on that state. Then, for
// each kind of event, CHANGE_DB records go straight to the daemon through
// mgmtd's "inject" command (no configuration commit in the loop), the same
// record N times, each acknowledged before the next; a last record that
// concerns nothing is acknowledged only once the daemon's receive thread has
// finished the one before it, so the time covers every event whole.
//
// Events are about the last device (id 126): a lease search walks every
// device before it. Connections are the TCP connections opened in the
// benchmark's own network namespace (/proc/net/snmp ActiveOpens), less the
// two of the inject commands: the daemon's connections to confd. The floor
// is a bare open, read of one value and close through the database client,
// measured in the same run. Prints, per kind: events/s, connections per
// event, and time per event / (connections per event x floor). Asserts
// nothing. A last row, "delivery alone", is a record that concerns
// nothing: what the message from mgmtd and its acknowledgement cost.
//
// The lab runs on one CPU unless --all-cpus is given. On a virtual machine
// whose host is busy, waking a process that sleeps on the other CPU costs
// 20-40 us a time (a few microseconds when the host is quiet), and an
// event wakes mgmtd, the daemon and confd in turn several times: with two
// CPUs the figures then swing by 3x from one hour to the next and measure
// the host more than the daemon. The floor is measured on the same CPUs as
// the events.
//
//     build/bench/events_bench [--all-cpus] [N]   (N events of each kind, default 200)
//
// It runs in namespaces of its own (network, PID, a tmpfs on /tmp): it
// leaves nothing running, also when killed. Programs come from TR111_BIN,
// the lab script from TR111_SRC (default: this build and its sources).
#include "db/tr111_db.h"
#include "platform/include/ipc.h"
#include "tests/support/contain.h"
#include "tests/support/lab.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using Records = std::vector<std::array<std::string, 3>>;

constexpr int DEVICES = 127, RULES = 254, TARGET = DEVICES - 1;
constexpr uint16_t CONTROL_PORT = 3499;
const std::string DEV = "/KELMO/TR111/ManageableDevice/", LEASE = "/dev/br0/dhcps/lease/",
                  RULE = "/fw/rule/loc_srv/";

std::string mac_of(int i) {
    char mac[32];
    snprintf(mac, sizeof mac, "02:00:00:00:%02x:%02x", (i >> 8) & 0xff, i & 0xff);
    return mac;
}
std::string ip_of(int net, int i) {
    return "10." + std::to_string(net) + "." + std::to_string(i / 200) + "." +
           std::to_string(i % 200 + 2);
}
std::string lease_of(int i) {
    return LEASE + std::to_string(100 + i);
}

// The state, in one commit: devices, leases, rules, passive notification of
// NumberOfEntries, of the target's SerialNumber and of every
// ConnectionRequestURL.
bool seed() {
    tr111::DbHandle db(KX_DB_MAIN);
    bool ok = static_cast<bool>(db);
    auto set = [&](const std::string& path, const std::string& value) {
        ok = ok && KX_DB_Set(db.get(), path.c_str(), value.c_str()) == 0;
    };
    for (int i = 0; i < DEVICES; ++i) {
        std::string d = DEV + std::to_string(i) + "/", l = lease_of(i) + "/";
        for (auto [k, v] : {std::pair<const char*, std::string>{"OUI", "00D09E"},
                            {"SerialNumber", "SN-" + std::to_string(i)},
                            {"ProductClass", "Bench"},
                            {"MacAddress", mac_of(i)},
                            {"type", "0"},
                            {"retainDevEntry", "1"},
                            {"Crpt_Enable", "1"},
                            {"Crpt_Id", std::to_string(i)}})
            set(d + k, v);
        for (auto [k, v] : {std::pair<const char*, std::string>{"hardware_mac", mac_of(i)},
                            {"ip", ip_of(0, i)},
                            {"start_time", "1700000000"},
                            {"valid_time", "86400"},
                            {"is_abandoned", "0"}})
            set(l + k, v);
        set("/KELMO/TR111/attrib/10/" + std::to_string(i + 1) + "./", "2");
    }
    for (int r = 0; r < RULES; ++r) {
        std::string p = RULE + std::to_string(r) + "/", port = std::to_string(30000 + r);
        set(p + "services/0/trigger/0/dst/start", port);
        set(p + "services/0/trigger/0/dst/end", port);
        set(p + "fwd_from", "7547");
        set(p + "fwd_to", "7547");
        set(p + "enabled", "1");
        set(p + "rdir/item/0/hostname", r < DEVICES ? ip_of(0, r) : ip_of(1, r));
    }
    set("/KELMO/TR111/attrib/1/", "2");
    set("/KELMO/TR111/attrib/4/" + std::to_string(TARGET + 1) + "./", "2");
    if (ok) db.close_set();
    return ok;
}

long active_opens() {
    std::ifstream in("/proc/net/snmp");
    std::string names, values;
    while (std::getline(in, names) && names.rfind("Tcp:", 0) != 0) {
    }
    std::getline(in, values);
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;)
        if (name == "ActiveOpens") return atol(value.c_str());
    return -1;
}

// mgmtd's inject: the records, repeat times. The number acknowledged.
long inject(const Records& records, long repeat) {
    int fd = ipc_connect(CONTROL_PORT);
    if (fd < 0) return -1;
    ipc_set_timeout(fd, 0);
    bool ok = ipc_string_write(fd, "inject") == 0 &&
              ipc_string_write(fd, std::to_string(repeat).c_str()) == 0 &&
              ipc_string_write(fd, std::to_string(records.size()).c_str()) == 0;
    for (const auto& r : records)
        for (const auto& s : r)
            ok = ok && ipc_string_write(fd, s.c_str()) == 0;
    char* reply = ok ? ipc_string_read(fd) : nullptr;
    ipc_client_close(fd, reply == nullptr);
    long n = reply && strncmp(reply, "ack ", 4) == 0 ? atol(reply + 4) : -1;
    if (n < 0) fprintf(stderr, "inject: %s\n", reply ? reply : "no reply");
    free(reply);
    return n;
}

// Open, read one value, close: microseconds each (median of 3 batches).
double floor_us() {
    std::vector<double> us;
    for (int b = 0; b < 3; ++b) {
        constexpr int n = 100;
        auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) {
            tr111::DbHandle db(KX_DB_MAIN);
            tr111::DbString v(db ? KX_DB_Get(db.get(), "/KELMO/TR111/attrib/1/") : nullptr);
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n);
    }
    std::sort(us.begin(), us.end());
    return us[1];
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool all_cpus = argc > 1 && strcmp(argv[1], "--all-cpus") == 0;
    long n = argc > 1 + all_cpus ? atol(argv[1 + all_cpus]) : 200;
    if (n < 1) n = 200;
    // The first CPU allowed; what the lab starts inherits it.
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 2;
    const int allowed = CPU_COUNT(&cpus);
    if (!all_cpus) {
        int first = 0;
        while (!CPU_ISSET(first, &cpus))
            ++first;
        CPU_ZERO(&cpus);
        CPU_SET(first, &cpus);
        if (sched_setaffinity(0, sizeof cpus, &cpus) != 0) return 2;
    }
    setenv("TR111_BIN", TR111_BIN_DEFAULT, 0);
    setenv("TR111_SRC", TR111_SRC_DEFAULT, 0);
    if (!tr111test::contain(argc, argv)) return 2;

    // The state is written, then the lab restarted on it: the daemon reads
    // it at start-up and nothing is left on its way to the daemon.
    tr111test::Lab lab;
    auto up = lab.lab({"up"});
    bool seeded = up.status == 0 && seed();
    lab.lab({"down"});
    up = lab.lab({"up"});
    struct Down {
        tr111test::Lab& lab;
        ~Down() { lab.lab({"down"}); }
    } down{lab};
    if (!seeded || up.status != 0) {
        fprintf(stderr, "events_bench: the lab did not come up seeded:\n%s%s", up.out.c_str(),
                up.err.c_str());
        return 2;
    }

    const std::string l = lease_of(TARGET), d = std::to_string(TARGET);
    const Records quiet = {{"/tr111bench/quiet", "U", "-"}};
    const struct {
        const char* name;
        Records records; // one event each
        long count;
    } kinds[] = {
        {"new lease", {{LEASE, "C", std::to_string(100 + TARGET)}}, n},
        {"renewal", {{l + "/start_time", "U", "1700000001"}}, n},
        {"release", {{l + "/valid_time", "U", "0"}}, n},
        {"abandon", {{l + "/is_abandoned", "U", "1"}}, n},
        {"device delete/create", {{DEV, "D", d}, {DEV, "C", d}}, n / 2 > 0 ? n / 2 : 1},
        {"WAN address change", {{"/dev/ppp0/ip", "U", "203.0.113.9"}}, n / 10 > 0 ? n / 10 : 1},
        {"attribute notification", {{DEV + d + "/SerialNumber", "U", "SN-X"}}, n},
        {"delivery alone", quiet, n},
    };

    struct Row {
        const char* name;
        long events;
        double s, conns, floor;
    };
    std::vector<Row> rows;
    for (const auto& k : kinds) {
        double floor_before = floor_us();
        long a0 = active_opens();
        auto t0 = Clock::now();
        long sent = inject(k.records, k.count);
        long fenced = inject(quiet, 1);
        double s = std::chrono::duration<double>(Clock::now() - t0).count();
        long conns = active_opens() - a0 - 2; // less the two inject commands
        long events = k.count * static_cast<long>(k.records.size());
        if (sent != events || fenced != 1) {
            fprintf(stderr, "%s: %ld of %ld events injected\n", k.name, sent, events);
            return 1;
        }
        rows.push_back(
            {k.name, events, s, static_cast<double>(conns), (floor_before + floor_us()) / 2});
    }
    printf("events_bench: %d devices, %d rules, events of device %d, on %d of %d CPUs; floor: an "
           "open, a read of one value and a close, measured before and after each kind\n",
           DEVICES, RULES, TARGET, all_cpus ? allowed : 1, allowed);
    printf("%-24s %7s %9s %12s %10s %9s %17s\n", "event", "events", "events/s", "conns/event",
           "us/event", "floor us", "us/(conns*floor)");
    for (const auto& r : rows) {
        double us = r.s * 1e6 / r.events, c = r.conns / r.events;
        char ratio[32] = "-";
        if (c > 0) snprintf(ratio, sizeof ratio, "%.2f", us / (c * r.floor));
        printf("%-24s %7ld %9.0f %12.1f %10.1f %9.1f %17s\n", r.name, r.events, r.events / r.s, c,
               us, r.floor, ratio);
    }
    return 0;
}
