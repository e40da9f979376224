// Event throughput of the daemon through the whole lab: 127 device records
// and their leases, then a burst of lease renewals (10,000 by default), each
// its own commit to confd as a DHCP server makes it, forwarded by mgmtd as
// CHANGE_DB messages, while an ACS reads parameters with acs get in a loop
// (the burst paced so that mgmtd's bounded queue never fills).
// Prints the events the daemon handled per second and the proof that none
// was lost: its "event code = 2" debug lines (the lab runs it with
// --debug 3) counted against the renewals sent. Asserts nothing.
//
// It starts the lab on the fixed ports, so run it in a network namespace of
// its own:
//     tests/netns-run build/bench/road_bench [renewals]
// (or: cmake --build build --target run_road_bench). Programs come from
// TR111_BIN, the lab script from TR111_SRC (default: this build and its
// sources). TR111_BENCH_LOGS=DIR keeps the lab's logs in DIR. SIGTERM or
// SIGINT ends it early, the lab taken down and its folder removed. 10,000
// renewals take a few seconds. confd syncs its journal once per round of
// commits; to measure the daemon rather than the disk, put the run folder
// on a tmpfs:
//     unshare -m sh -c 'mount -t tmpfs tmpfs /tmp && exec tests/netns-run build/bench/road_bench'
#include "bench/stop_signal.h"
#include "db/tr111_db.h"
#include "tests/support/lab.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using tr111test::Lab;

constexpr int DEVICES = 127;
constexpr int IDLE_LIMIT_S = 60;   // no new event for this long: the rest is lost
constexpr long PACE_QUEUED = 1000; // records waiting in mgmtd before the burst pauses
const std::string EVENT_LINE = "event code = ";
// Debug lines of the daemon counted over the burst.
const std::string REFRESHED = "md_refresh_active of device";
const std::string UNMAPPED = "invalid device id";
const std::string DB_OPEN_FAILED = "unable to open Tamrix database";
const std::string DB_CONN_FAILED = "connection failed";

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string mac_of(int i) {
    char mac[18];
    snprintf(mac, sizeof mac, "02:00:00:00:%02x:%02x", (i >> 8) & 0xff, i & 0xff);
    return mac;
}

// One commit of path/value pairs, as the lab's commands make them.
bool commit(std::initializer_list<std::pair<std::string, std::string>> pairs) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) return false;
    for (const auto& [path, value] : pairs)
        if (KX_DB_Set(db.get(), path.c_str(), value.c_str()) != 0) return false;
    db.close_set();
    return true;
}

// Counts the daemon's event lines as its log grows: per event id, and in all.
class EventCounter {
  public:
    explicit EventCounter(const std::string& path) : path_(path) {}
    void update() {
        if (!in_.is_open()) in_.open(path_);
        if (!in_.is_open()) return;
        in_.clear();
        std::string line;
        while (std::getline(in_, line)) {
            if (in_.eof()) { // a line still being written: read it again next time
                in_.clear();
                in_.seekg(-static_cast<std::streamoff>(line.size()), std::ios::cur);
                break;
            }
            size_t at = line.find(EVENT_LINE);
            if (at == std::string::npos) continue;
            int ev = atoi(line.c_str() + at + EVENT_LINE.size());
            if (ev >= 0 && ev < 10) ++by_event[ev];
        }
    }
    long by_event[10] = {};

  private:
    std::string path_;
    std::ifstream in_;
};

long count_in(const std::string& text, const std::string& needle) {
    return static_cast<long>(tr111test::count(text, needle));
}

// "forwarded: N" and the like from mgmt status.
long mgmt_figure(Lab& lab, const std::string& key) {
    std::string s = lab.mgmt({"status"}).out;
    size_t at = s.find(key + ": ");
    return at == std::string::npos ? -1 : atol(s.c_str() + at + key.size() + 2);
}

struct AcsLoop {
    std::atomic<bool> stop{false};
    std::atomic<long> done{0}, failed{0};
    std::atomic<long> total_us{0}, max_us{0};
};

void acs_loop(Lab& lab, AcsLoop& st) {
    for (int i = 0; !st.stop && !tr111test::stop_signal(); i = (i + 1) % DEVICES) {
        auto t0 = Clock::now();
        auto r = lab.acs({"get", "InternetGatewayDevice.ManagementServer.ManageableDevice." +
                                     std::to_string(i + 1) + ".Active"});
        long us = static_cast<long>(since(t0) * 1e6);
        (r.status == 0 ? st.done : st.failed)++;
        st.total_us += us;
        long m = st.max_us;
        while (us > m && !st.max_us.compare_exchange_weak(m, us)) {
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    long renewals = argc > 1 ? atol(argv[1]) : 10000;
    if (renewals <= 0) renewals = 10000;
    setenv("TR111_BIN", TR111_BIN_DEFAULT, 0);
    setenv("TR111_SRC", TR111_SRC_DEFAULT, 0);
    tr111test::catch_stop_signals();
    if (tr111test::wait_port(KX_DB_PORT, 0)) {
        fprintf(stderr, "port %u is taken: run me under tests/netns-run\n", KX_DB_PORT);
        return 2;
    }

    Lab lab;
    struct Down {
        Lab& lab;
        ~Down() { lab.down(); }
    } down{lab};
    auto up = lab.lab({"up", "--debug", "3"});
    if (up.status != 0) {
        fprintf(stderr, "lab up failed:\n%s%s", up.out.c_str(), up.err.c_str());
        return 2;
    }
    EventCounter events(lab.dir() + "/log/tr111d.log");
    printf("road_bench: %d device records and leases, then %ld lease renewals (one commit "
           "each) with acs get in a loop\n",
           DEVICES, renewals);

    // The records and leases (device i holds lease 100 + i), each one commit.
    const std::string dev = "/KELMO/TR111/ManageableDevice/", lease = "/dev/br0/dhcps/lease/";
    auto t_setup = Clock::now();
    for (int i = 0; i < DEVICES && !tr111test::stop_signal(); ++i) {
        std::string d = dev + std::to_string(i) + "/", l = lease + std::to_string(100 + i) + "/";
        if (!commit({{d + "OUI", "00D09E"},
                     {d + "SerialNumber", "SN-" + std::to_string(i)},
                     {d + "ProductClass", "Bench"},
                     {d + "MacAddress", mac_of(i)},
                     {d + "type", "0"}}) ||
            !commit(
                {{l + "hardware_mac", mac_of(i)},
                 {l + "ip", "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 2)},
                 {l + "start_time", "1700000000"},
                 {l + "valid_time", "3600"},
                 {l + "is_abandoned", "0"}})) {
            fprintf(stderr, "the set-up writes failed\n");
            return 2;
        }
    }
    // Each record raises event 5, each lease events 1 and 2.
    for (auto last = Clock::now(); since(last) < IDLE_LIMIT_S && !tr111test::stop_signal();) {
        long before = events.by_event[2];
        events.update();
        if (events.by_event[5] >= DEVICES && events.by_event[2] >= DEVICES) break;
        if (events.by_event[2] != before) last = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    printf("  set-up                %.1f s (events 5: %ld, 1: %ld, 2: %ld)\n", since(t_setup),
           events.by_event[5], events.by_event[1], events.by_event[2]);
    const long base = events.by_event[2];
    const long fwd_base = mgmt_figure(lab, "forwarded");
    std::string log = lab.log("tr111d");
    const long refreshed_base = count_in(log, REFRESHED);
    const long unmapped_base = count_in(log, UNMAPPED);
    const long dbfail_base = count_in(log, DB_OPEN_FAILED) + count_in(log, DB_CONN_FAILED);

    // The burst, with the ACS reading in a loop.
    AcsLoop acs;
    std::thread reader(acs_loop, std::ref(lab), std::ref(acs));
    auto t0 = Clock::now();
    // confd commits faster than the daemon handles: the burst is paced so that
    // mgmtd's queue (4,096 records) never fills, as no DHCP server would
    // renew 10,000 leases at once; the daemon stays the bottleneck.
    long sent = 0, paced = 0;
    for (long n = 0; n < renewals && !tr111test::stop_signal(); ++n) {
        std::string l = lease + std::to_string(100 + n % DEVICES) + "/start_time";
        if (commit({{l, std::to_string(1700000001 + n)}})) ++sent;
        while (n % 250 == 249 && mgmt_figure(lab, "queued") > PACE_QUEUED &&
               !tr111test::stop_signal()) {
            ++paced;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    double t_written = since(t0);

    double t_last = t_written, t_report = 0;
    for (auto last = Clock::now(); since(last) < IDLE_LIMIT_S && !tr111test::stop_signal();) {
        long before = events.by_event[2];
        events.update();
        if (events.by_event[2] != before) {
            last = Clock::now();
            t_last = since(t0);
        }
        if (events.by_event[2] - base >= sent) break;
        if (since(t0) - t_report >= 30) {
            t_report = since(t0);
            fprintf(stderr, "  ... %.0f s: %ld of %ld handled\n", t_report,
                    events.by_event[2] - base, sent);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    acs.stop = true;
    reader.join();
    if (int sig = tr111test::stop_signal()) {
        fprintf(stderr, "road_bench: stopped by signal %d; the lab goes down\n", sig);
        return 128 + sig;
    }

    long handled = events.by_event[2] - base;
    log = lab.log("tr111d");
    long refreshed = count_in(log, REFRESHED) - refreshed_base;
    long unmapped = count_in(log, UNMAPPED) - unmapped_base;
    long dbfail = count_in(log, DB_OPEN_FAILED) + count_in(log, DB_CONN_FAILED) - dbfail_base;
    long fwd = mgmt_figure(lab, "forwarded") - fwd_base;
    long acs_n = acs.done + acs.failed;
    printf("  renewals committed    %ld of %ld in %.2f s (%.0f commits/s); %ld commits failed; "
           "%ld pauses of 5 ms for mgmtd's queue\n",
           sent, renewals, t_written, static_cast<double>(sent) / t_written, renewals - sent,
           paced);
    printf("  forwarded by mgmtd    %ld (dropped %ld, queued %ld); confd subscribers dropped: "
           "%ld\n",
           fwd, mgmt_figure(lab, "dropped"), mgmt_figure(lab, "queued"),
           count_in(lab.log("confd"), "subscriber dropped"));
    printf("  events handled        %ld of %ld committed (\"event code = 2\" lines): %ld lost "
           "on the way\n",
           handled, sent, sent - handled);
    printf("    device refreshed    %ld; lease not mapped to its device %ld (\"invalid device "
           "id\")\n",
           refreshed, unmapped);
    printf("    database failures   %ld lines of the daemon (open or connection failed)\n", dbfail);
    printf("  event throughput      %.1f events/s (the last %.2f s after the first commit)\n",
           static_cast<double>(handled) / t_last, t_last);
    printf("  acs get meanwhile     %ld (%ld failed), mean %.1f ms, max %.1f ms\n", acs_n,
           static_cast<long>(acs.failed), acs_n ? acs.total_us / 1000.0 / acs_n : 0.0,
           acs.max_us / 1000.0);
    printf("  daemon log            %zu bytes\n", log.size());
    if (const char* keep = getenv("TR111_BENCH_LOGS")) {
        tr111test::sh("mkdir -p '" + std::string(keep) + "' && cp " + lab.dir() + "/log/*.log '" +
                      keep + "'");
        printf("  logs kept in          %s\n", keep);
    }
    return 0;
}
