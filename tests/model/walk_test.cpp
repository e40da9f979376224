// A seeded random walk over the gateway's lasting state, against a model.
//
// The whole lab runs (confd, mgmtd, tr69agent, tr111d). Each step is one of
// the lab's verbs, done in-process as the lab's commands do it (one commit
// to confd each: device add and del, lease add, renew, release, expire,
// abandon, the WAN address), a record given another MAC address, a foreign
// component deleting a pass-through rule, or an ACS set through the agent
// (RetainDeviceEntry, ConnectionRequestPassThroughEnable,
// DeviceConnectionRequestURL, with invalid values and absent instances).
// After each step the walk waits until the daemon has handled everything
// the step caused, then checks:
//   - no two enabled rules share a WAN port (a rule holds dst/start..dst/end);
//   - no two device records name the same rule;
//   - the instance list is the model's devices, NumberOfEntries its length,
//     and each listed device's Active is what the model of the status
//     table predicts;
//   - every rule's hostname is dotted-decimal IPv4 as inet_ntoa writes it,
//     and never the gateway itself (127/8, 0.0.0.0, multicast, broadcast,
//     the WAN address);
//   - each ACS set answers what the model expects (0 or 9002).
// It prints its seed, and on a violation the step, the invariant and the
// steps before it. TR111_WALK_SEED and TR111_WALK_STEPS choose another walk.
//
// Waiting: the message library acknowledges a CHANGE_DB before its callback
// runs, so mgmtd's counters say nothing of what the daemon has done. A fence
// does: a write of MDNotificationLimit (RAM store, so no disk sync) travels
// the same ordered road as every change (confd's commit order, mgmtd's
// queue, the one receive thread), and the daemon answers it with a passive
// notification to the agent once everything before it is handled. Changes
// the daemon commits while handling (a record it deletes) may follow the
// fence; the walk also subscribes to confd and fences again until no change
// concerning the daemon lies between two fences.
#include "bench/footprint/loadgen.h"
#include "platform/include/ipc.h"
#include "tests/support/contain.h"
#include "tests/support/db.h"
#include "tests/support/lab.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <gtest/gtest.h>
#include <map>
#include <numeric>
#include <random>

using namespace tr111test;
using tr111load::acs;
using tr111load::AcsOp;

namespace {

constexpr int NDEV = 10, NLEASE = 14, NMAC = 12, FOREIGN_RULE = 250, BAD = INT_MIN;
const std::string MS = "InternetGatewayDevice.ManagementServer.", MD = MS + "ManageableDevice.";
const std::string DEV = "/KELMO/TR111/ManageableDevice/", LEASE = "/dev/br0/dhcps/lease/",
                  RULES = "/fw/rule/loc_srv/", FENCE = "/KELMO/TR111/MDNotificationLimit";
const char* const WANS[] = {"203.0.113.7", "203.0.113.8", "198.51.100.23"};
// Values of the integer setters and what a strict decimal parse makes of them.
const std::pair<const char*, int> INTS[] = {
    {"0", 0}, {"1", 1},      {"2", 2},  {"-1", -1},
    {"1", 1}, {"true", BAD}, {"", BAD}, {"99999999999", BAD}};
// URL hosts taken ("LAN" is a lease's address; then forms inet_aton reads as
// 192.168.1.8 and 192.168.1.20), then those refused ("WAN" is the gateway's
// current WAN address).
const char* const TAKEN[] = {"LAN",           "LAN",        "LAN",        "192.168.1.010",
                             "0xc0.168.1.20", "3232235796", "192.168.276"};
const char* const REFUSED[] = {"192.0.2.10 x;id", "127.0.0.1",   "127.9.9.9",       "0.0.0.0",
                               "255.255.255.255", "224.0.0.251", "239.255.255.250", "gateway.lan",
                               "192.168.1.256",   "WAN"};
const std::pair<const char*, bool> PORTS[] = {
    {":7547/", true},   {":80/", true},   {":65535/", true}, {":0/", false},
    {":65536/", false}, {":80a/", false}, {"/", false}};

std::string mac(int m) { // -1: unbound (abandoned lease)
    char s[32];
    snprintf(s, sizeof s, "00:1a:2b:3c:4d:%02x", (m + 1) & 0xff);
    return m < 0 ? "00:00:00:00:00:00" : s;
}
std::string lease_ip(int l) {
    return "192.168.1." + std::to_string(10 + l);
}
std::string str(long n) {
    return std::to_string(n);
}

// What the gateway should hold: records, leases, the status table.
struct Model {
    struct Dev {
        bool on = false;
        int mac = 0, type = 1, retain = 0, crpt = 0, rule = -1; // rule: its id, -1 none
        bool stale = false; // its rule was deleted behind its back
        bool en = false;    // its rule is enabled
        int status = 1;     // its entry in the status table: 1 active
    };
    Dev dev[NDEV];
    int lease[NLEASE]; // its MAC, -1 unbound, -2 no lease
    std::string wan = WANS[0];

    Model() { std::fill(std::begin(lease), std::end(lease), -2); }
    // The device a lease event reaches: the first record holding its MAC.
    int owner(int l) const {
        for (int d = 0; d < NDEV && lease[l] >= 0; ++d)
            if (dev[d].on && dev[d].mac == lease[l]) return d;
        return -1;
    }
    // The record goes; its deletion comes back and frees the entry.
    void forget(int d) { dev[d].on = false; }
    // A WT111R2 device's rule is enabled again when its switch is on.
    void active(int d) {
        if (d < 0) return;
        dev[d].status = 1;
        if (dev[d].type == 0 && dev[d].crpt == 1) dev[d].en = true;
    }
    void inactive(int d) {
        if (d < 0) return;
        if (dev[d].type == 1) { // forgotten at once, entry and record
            forget(d);
        } else if (dev[d].retain != 0) { // its rule disabled, its switch kept
            dev[d].status = 0;
            dev[d].en = false;
        } else if (!(dev[d].rule >= 0 && dev[d].stale)) { // a rule it cannot remove keeps it
            forget(d);
        }
    }
    // ACS sets: the fault expected; the effect on the model.
    int flip(int d, int value) {
        if (d < 0 || d >= NDEV || !dev[d].on) return 9002; // never a record made by a set
        dev[d].type = 0;
        return value == BAD ? 9002 : 0;
    }
    int set_retain(int d, int v) {
        if (int f = flip(d, v)) return f;
        dev[d].retain = v;
        if (v == 0 && dev[d].status == 0) forget(d);
        return 0;
    }
    int set_crpt(int d, int v) {
        if (int f = flip(d, v)) return f;
        dev[d].crpt = v;
        if (dev[d].rule >= 0 && (v == 0 || v == 1)) dev[d].en = v == 1;
        return dev[d].rule >= 0 && dev[d].stale && (v == 0 || v == 1) ? 9002 : 0;
    }
    // creates: a rule is made (none, or one deleted behind its back),
    // disabled; the switch on enables it. A stored switch that reads
    // negative fails the set after that.
    int set_url(int d, bool valid, bool* creates) {
        int f = flip(d, valid ? 0 : BAD);
        *creates = f == 0 && (dev[d].rule < 0 || dev[d].stale);
        if (f == 0) dev[d].en = dev[d].crpt == 1 || (dev[d].en && !*creates);
        return f ? f : dev[d].crpt < 0 ? 9002 : 0;
    }
};

bool concerns_daemon(const std::string& path) { // mgmtd's filter
    for (const char* w :
         {"/dev/br0/dhcps/lease/", "/ManageableDevice", "/dev/ppp0/ip", "MDNotificationLimit"})
        if (path.find(w) != std::string::npos) return true;
    return false;
}

// One commit of "key=value" writes, each key under prefix.
void commit(const std::string& prefix, const Strings& writes, bool ram = false) {
    KV kv;
    for (const auto& w : writes)
        kv.push_back({prefix + w.substr(0, w.find('=')), w.substr(w.find('=') + 1)});
    db_set(kv, ram);
}
// The keys of a set's sons, and a value ("" none), on one handle.
Strings sons(KX_DB_handle* h, const char* path) {
    Strings out;
    uint32_t set = KX_get_set(h, path);
    for (uint32_t n = set ? KX_set_get_son(h, set, 0) : 0; n; n = KX_set_get_next(h, n))
        out.push_back(tr111::DbString(KX_set_get_value(h, n)).get() ?: "?");
    return out;
}
std::string val(KX_DB_handle* h, const std::string& path) {
    tr111::DbString v(KX_DB_Get(h, path.c_str()));
    return v ? v.get() : "";
}

struct Rule {
    int id, enabled, start, end;
    std::string host;
};

class Walk {
  public:
    explicit Walk(uint32_t seed) : rng_(seed) {}

    // The lab is up: the foreign rule, the fence's attribute, the WAN address.
    std::string start() {
        sub_ = ipc_connect(KX_DB_PORT);
        if (sub_ < 0 || ipc_string_write(sub_, "subscribe") != 0 || ipc_set_timeout(sub_, 30000))
            return "no subscription to confd";
        rule(FOREIGN_RULE, 30000, "1", "192.168.1.2", 22);
        commit(RULES + str(FOREIGN_RULE) + "/", {"services/0/trigger/0/dst/end=30005"});
        commit("", {"/KELMO/TR111/attrib/2/=2"});
        commit("", {"/dev/ppp0/ip=" + m_.wan}, true);
        return settle();
    }
    ~Walk() {
        if (sub_ >= 0) ipc_client_close(sub_, 1);
    }

    // One step: a verb that applies, then the wait and the checks. "" or the violation.
    std::string step(std::string* what) {
        static const std::pair<int, std::string (Walk::*)()> verbs[] = {
            {10, &Walk::device_add},   {7, &Walk::device_change}, {10, &Walk::lease_add},
            {25, &Walk::lease_change}, {3, &Walk::wan_ip},        {2, &Walk::rule_del},
            {20, &Walk::set_int},      {14, &Walk::set_url}};
        static const int total = std::accumulate(std::begin(verbs), std::end(verbs), 0,
                                                 [](int t, const auto& v) { return t + v.first; });
        for (*what = ""; what->empty();) {
            int pick = pick_(total);
            for (const auto& v : verbs)
                if ((pick -= v.first) < 0) {
                    *what = (this->*v.second)();
                    break;
                }
        }
        if (!bad_.empty()) return bad_;
        std::string s = settle();
        return s.empty() ? check() : s;
    }
    long rounds() const { return fence_; }

  private:
    int pick_(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
    int free_lease(bool want_free) {
        std::vector<int> c;
        for (int l = 0; l < NLEASE; ++l)
            if ((m_.lease[l] == -2) == want_free) c.push_back(l);
        return c.empty() ? -1 : c[pick_(static_cast<int>(c.size()))];
    }
    void fail(const std::string& why) {
        if (bad_.empty() && !why.empty()) bad_ = why;
    }
    // An ACS set and the fault the model expects; the step's description.
    std::string acs_set(int d, const std::string& param, const std::string& value, int want) {
        auto r = acs(AcsOp::set, MD + str(d + 1) + "." + param, value);
        int got = r.outcome == 0 ? 0 : r.outcome == 1 ? r.fault : -r.outcome;
        std::string what = "set " + param + " of device " + str(d) + " to \"" + value + "\"";
        if (got != want) fail(what + " answered " + str(got) + ", the model expects " + str(want));
        return what;
    }

    std::string device_add() {
        int d = pick_(NDEV), m = pick_(NMAC), type = pick_(2);
        if (m_.dev[d].on) return "";
        commit(DEV + str(d) + "/", {"OUI=00D09E", "SerialNumber=SN-" + str(d), "ProductClass=STB",
                                    "MacAddress=" + mac(m), "type=" + str(type)});
        m_.dev[d] = Model::Dev{true, m, type};
        return "device add " + str(d) + " --mac " + mac(m) + " --type " + str(type);
    }
    // A record deleted, or given another MAC by the component that keeps them.
    std::string device_change() {
        int d = pick_(NDEV), m = pick_(NMAC);
        if (!m_.dev[d].on) return "";
        if (pick_(7) < 4) {
            db_del(DEV + str(d));
            m_.forget(d);
            return "device del " + str(d);
        }
        commit(DEV + str(d) + "/", {"MacAddress=" + mac(m)});
        m_.dev[d].mac = m;
        return "device " + str(d) + " MacAddress " + mac(m);
    }
    std::string lease_add() {
        int l = free_lease(true), d = pick_(NDEV);
        if (l < 0) return "";
        // Mostly the MAC of a device that has a record.
        int m = m_.dev[d].on && pick_(4) ? m_.dev[d].mac : pick_(NMAC);
        commit(LEASE + str(l) + "/",
               {"hardware_mac=" + mac(m), "ip=" + lease_ip(l),
                "start_time=" + str(1700000000 + fence_), "valid_time=3600", "is_abandoned=0"});
        m_.lease[l] = m;
        m_.active(m_.owner(l));
        return "lease add " + str(l) + " --mac " + mac(m) + " --ip " + lease_ip(l);
    }
    // A verb on an existing lease: renew, release, expire (valid_time 0, then
    // the lease deleted once the daemon had it) or abandon.
    std::string lease_change() {
        int l = free_lease(false), pick = pick_(25);
        if (l < 0) return "";
        const int k = pick < 10 ? 0 : pick < 18 ? 1 : pick < 21 ? 2 : 3;
        commit(LEASE + str(l) + "/", k == 0   ? Strings{"start_time=" + str(1700000000 + fence_)}
                                     : k == 3 ? Strings{"hardware_mac=" + mac(-1), "is_abandoned=1"}
                                              : Strings{"valid_time=0"});
        if (k == 0) m_.active(m_.owner(l));
        if (k == 1 || k == 2) m_.inactive(m_.owner(l));
        if (k == 2) fail(settle());
        if (k == 2) db_del(LEASE + str(l));
        if (k >= 2) m_.lease[l] = k == 2 ? -2 : -1;
        static const char* const names[] = {"renew", "release", "expire", "abandon"};
        return std::string("lease ").append(names[k]).append(" ").append(str(l));
    }
    std::string wan_ip() {
        m_.wan = WANS[pick_(3)];
        commit("", {"/dev/ppp0/ip=" + m_.wan}, true);
        return "wan-ip " + m_.wan;
    }
    // Someone else's tool deletes a rule (not the foreign one): a device
    // holding it now names a rule that does not exist.
    std::string rule_del() {
        std::vector<Rule> rules = read_rules();
        std::erase_if(rules, [](const Rule& r) { return r.id == FOREIGN_RULE; });
        if (rules.empty()) return "";
        int id = rules[pick_(static_cast<int>(rules.size()))].id;
        db_del(RULES + str(id));
        for (auto& d : m_.dev)
            if (d.rule == id) d.stale = true;
        return "rule " + str(id) + " deleted";
    }
    // RetainDeviceEntry or the pass-through switch of devices -1 (instance 0)
    // to NDEV: the first and last have no record.
    std::string set_int() {
        int d = pick_(NDEV + 2) - 1;
        auto [text, v] = INTS[pick_(8)];
        if (pick_(2)) return acs_set(d, "RetainDeviceEntry", text, m_.set_retain(d, v));
        return acs_set(d, "ConnectionRequestPassThroughEnable", text, m_.set_crpt(d, v));
    }
    std::string set_url() {
        int d = pick_(NDEV + 2) - 1;
        size_t i = pick_(std::size(TAKEN) + std::size(REFUSED));
        const bool taken = i < std::size(TAKEN);
        auto [port, port_ok] = PORTS[pick_(std::size(PORTS))];
        std::string h = taken ? TAKEN[i] : REFUSED[i - std::size(TAKEN)];
        if (h == "LAN") h = lease_ip(pick_(NLEASE));
        if (h == "WAN") h = m_.wan;
        std::string url = "http://" + h + port + (pick_(2) ? "cr" : "");
        bool creates = false;
        std::string what = acs_set(d, "DeviceConnectionRequestURL", url,
                                   m_.set_url(d, taken && port_ok, &creates));
        int32_t id = -1; // the daemon chose the rule's id: learn it
        if (creates && s_str_to_int(db_get(DEV + str(d) + "/Crpt_Id").c_str(), &id) != 0)
            fail("URL set made no rule id");
        if (creates) std::tie(m_.dev[d].rule, m_.dev[d].stale) = std::pair(id, false);
        return what;
    }

    // Fences until none but fences concerns the daemon between two of them.
    std::string settle() {
        for (int round = 0; round < 20; ++round) {
            std::string k = str(++fence_);
            commit("", {FENCE + "=" + k}, true);
            bool seen = false;
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!seen && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                auto r = acs(AcsOp::events, "");
                seen = r.outcome == 0 && !r.lines.empty();
            }
            acs(static_cast<AcsOp>(8), ""); // events --clear
            if (!seen) return "the daemon did not handle the changes within 30 s";
            int others = 0;
            for (;;) {
                char* f[3] = {ipc_string_read(sub_), nullptr, nullptr};
                for (int i = 1; i < 3 && f[i - 1]; ++i)
                    f[i] = ipc_string_read(sub_);
                std::string path = f[0] ? f[0] : "", text = f[2] ? f[2] : "";
                bool whole = f[2] != nullptr;
                for (char* s : f)
                    free(s);
                if (!whole) return "confd's subscription broke";
                if (path == FENCE && text == k) break;
                if (path != FENCE && concerns_daemon(path)) ++others;
            }
            if (others == 0) return "";
        }
        return "changes for the daemon keep coming";
    }

    // Every rule; a read that fails fails the step.
    std::vector<Rule> read_rules() {
        tr111::DbHandle db(KX_DB_MAIN);
        std::vector<Rule> out;
        for (const auto& key : sons(db.get(), "/fw/rule/loc_srv")) {
            auto get = [&](const char* k) { return val(db.get(), RULES + key + "/" + k); };
            std::string end = get("services/0/trigger/0/dst/end");
            int start = atoi(get("services/0/trigger/0/dst/start").c_str());
            out.push_back({atoi(key.c_str()), atoi(get("enabled").c_str()), start,
                           end.empty() ? start : atoi(end.c_str()), get("rdir/item/0/hostname")});
        }
        if (!db || db.get()->ipc_err) fail("rules unreadable");
        return out;
    }

    std::string check() {
        // The ACS's view against the model.
        auto list = acs(AcsOp::instances, MD);
        std::string want;
        for (int d = 0; d < NDEV; ++d)
            if (m_.dev[d].on) want += static_cast<char>(d + 1);
        if (list.outcome != 0 || list.value != want)
            return std::string("instances listed ")
                .append(testing::PrintToString(list.value))
                .append(", the model has ")
                .append(testing::PrintToString(want));
        auto n = acs(AcsOp::get, MS + "ManageableDeviceNumberOfEntries");
        if (n.value != str(static_cast<long>(want.size())))
            return "NumberOfEntries " + n.value + " for " + str(want.size()) + " listed";
        for (unsigned char i : want) {
            int d = i - 1;
            auto a = acs(AcsOp::get, MD + str(i) + ".Active");
            std::string got = a.outcome == 0 ? a.value : "fault " + str(a.fault);
            std::string exp = m_.dev[d].type == 1 ? "0" : str(m_.dev[d].status);
            if (got != exp)
                return "device " + str(d) + ": Active " + got + ", the model expects " + exp;
        }
        // Rules and the records that name them.
        std::vector<Rule> rules = read_rules();
        for (size_t i = 0; i < rules.size(); ++i) {
            const Rule& r = rules[i];
            in_addr a{};
            if (!inet_aton(r.host.c_str(), &a) || r.host != inet_ntoa(a))
                return "rule " + str(r.id) + ": hostname \"" + r.host + "\" is not dotted IPv4";
            uint32_t h = ntohl(a.s_addr);
            if (h >> 24 == 127 || h == 0 || h == 0xffffffff || h >> 28 == 0xe || r.host == m_.wan)
                return "rule " + str(r.id) + " forwards to the gateway itself (" + r.host + ")";
            for (size_t j = 0; j < i && r.enabled == 1; ++j)
                if (rules[j].enabled == 1 && rules[j].start <= r.end && r.start <= rules[j].end)
                    return "enabled rules " + str(rules[j].id) + " and " + str(r.id) +
                           " share WAN ports from " + str(std::max(r.start, rules[j].start));
        }
        // Each device's rule as the model has it.
        for (int d = 0; d < NDEV; ++d) {
            const Model::Dev& v = m_.dev[d];
            auto r = std::ranges::find(rules, v.rule, &Rule::id);
            if (!v.on || v.rule < 0 || v.stale || (r != rules.end() && (r->enabled == 1) == v.en))
                continue;
            return "device " + str(d) + ": rule " + str(v.rule) +
                   (r == rules.end() ? " is gone" : " enabled " + str(r->enabled)) +
                   ", the model expects it enabled " + str(v.en);
        }
        tr111::DbHandle db(KX_DB_MAIN);
        std::map<std::string, std::string> owner;
        for (const auto& d : sons(db.get(), DEV.c_str()))
            if (auto id = val(db.get(), DEV + d + "/Crpt_Id");
                !id.empty() && !owner.emplace(id, d).second)
                return "records " + owner[id] + " and " + d + " both name rule " + id;
        return bad_;
    }

    std::mt19937 rng_;
    Model m_;
    int sub_ = -1;
    long fence_ = 0;
    std::string bad_;
};

} // namespace

TEST(Walk, GatewayStateStaysRightUnderAnySequence) {
    const uint32_t seed = strtoul(getenv("TR111_WALK_SEED") ?: "1111", nullptr, 10);
    const uint32_t steps = strtoul(getenv("TR111_WALK_STEPS") ?: "1000", nullptr, 10);
    printf("walk: seed %u, %u steps (TR111_WALK_SEED, TR111_WALK_STEPS)\n", seed, steps);
    Lab lab;
    lab.up();
    Walk walk(seed);
    std::string bad = walk.start();
    ASSERT_EQ(bad, "") << "before the first step";
    Strings done;
    auto t0 = std::chrono::steady_clock::now();
    uint32_t n = 0;
    for (; n < steps && bad.empty(); ++n)
        bad = walk.step(&done.emplace_back());
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("walk: %u steps in %.1f s (%.1f steps/s), %ld fences\n", n, s, n / s, walk.rounds());
    std::string trail;
    for (size_t i = n > 12 ? n - 12 : 0; i < n; ++i)
        trail += "\n    " + done[i];
    EXPECT_EQ(bad, "") << "seed " << seed << ", step " << n << ": " << done.back()
                       << "\n  steps up to it:" << trail;
}

int main(int argc, char** argv) {
    if (!contain(argc, argv)) return 2;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
