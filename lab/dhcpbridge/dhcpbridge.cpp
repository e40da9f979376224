// dhcpbridge: the gateway's DHCP server (dhcpd) calls it from its "on
// commit", "on release" and "on expiry" hooks. It keeps the leases of the
// LAN bridge under /dev/br0/dhcps/lease/N/ in the configuration database
// and, when a device announced itself with option 125, creates its record
// under /KELMO/TR111/ManageableDevice/N/. Each call is one connection to
// the configuration server, committed with reconf, so the management
// process forwards the changes to tr111d.
#include "lab/common/linelog.h"

#include "db/kx_db.h"
#include "db/tr111_db.h"
#include "lab/dhcpbridge/option125.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char usage_text[] =
    "usage: dhcpbridge [--log FILE] [--expire-delay-ms N] EVENT IP MAC [ARGS]\n"
    "\n"
    "  commit IP MAC SECONDS [OPTION125]   a lease granted or renewed for SECONDS;\n"
    "                                      OPTION125: the bytes of the client's\n"
    "                                      option 125 in hexadecimal (\"0:0:d:e9:...\")\n"
    "  release IP MAC                      the client released its lease\n"
    "  expiry IP MAC                       the lease expired\n"
    "\n"
    "  --log FILE            append the log lines to FILE (default: standard error)\n"
    "  --expire-delay-ms N   how long an expired lease stays with valid_time 0\n"
    "                        before it is deleted (default 2000)\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (logged), 2 usage.\n";

constexpr char LEASE_SET[] = "/dev/br0/dhcps/lease/";
constexpr char LEASE_COUNTER[] = "/dev/br0/dhcps/next_lease_id";
constexpr char DEVICE_SET[] = "/KELMO/TR111/ManageableDevice/";
constexpr size_t MD_MAX_NBR = 127;     // devices the daemon can hold
constexpr int32_t DEVICE_ID_MAX = 254; // instance number id + 1 fits one byte
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;

int log_fd = 2;

void blog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void blog(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    linelog_v(log_fd, "dhcpbridge", fmt, ap);
    va_end(ap);
}

int usage() {
    fputs(usage_text, stderr);
    return EXIT_USAGE;
}

std::string path_of(const char* set, int32_t id, const char* key) {
    char buf[128];
    snprintf(buf, sizeof buf, "%s%" PRId32 "/%s", set, id, key);
    return buf;
}

std::optional<std::string> get(KX_DB_handle* h, const std::string& path) {
    tr111::DbString v(KX_DB_Get(h, path.c_str()));
    if (!v) return std::nullopt;
    return std::string(v.get());
}

// Ids of the numeric sons of a set, in set order (none when the set is
// missing); false when the exchange failed.
bool son_ids(KX_DB_handle* h, const char* set_path, std::vector<int32_t>& ids) {
    ids.clear();
    uint32_t set = KX_get_set(h, set_path);
    for (uint32_t node = set ? KX_set_get_son(h, set, 0) : 0; node != 0;
         node = KX_set_get_next(h, node)) {
        tr111::DbString key(KX_set_get_value(h, node));
        int32_t id;
        if (key && s_str_to_int(key.get(), &id) == 0 && id >= 0) ids.push_back(id);
    }
    return h->ipc_err == 0;
}

// A new id: one above the highest in use, or the lowest free one when that
// would pass limit; -1 when none is free.
int32_t new_id(const std::vector<int32_t>& ids, int32_t limit) {
    int32_t top = -1;
    for (int32_t id : ids)
        top = id > top ? id : top;
    if (top < limit) return top + 1;
    for (int32_t id = 0; id <= limit; ++id) {
        bool used = false;
        for (int32_t u : ids)
            used = used || u == id;
        if (!used) return id;
    }
    return -1;
}

// A lease id not used since the counter was set: the daemon maps a lease's
// deletion to its device by the id, so a deleted lease's id is not handed
// out again at once. The counter lies outside the lease subtree, where the
// management process does not look. Returns -1 when the exchange failed.
int32_t new_lease_id(KX_DB_handle* h, const std::vector<int32_t>& ids) {
    int32_t id = new_id(ids, INT32_MAX - 1), next;
    tr111::DbString v(KX_DB_Get(h, LEASE_COUNTER));
    if (v && s_str_to_int(v.get(), &next) == 0 && next > id && next < INT32_MAX) id = next;
    char text[16];
    snprintf(text, sizeof text, "%" PRId32, id + 1);
    return KX_DB_Set(h, LEASE_COUNTER, text) == 0 ? id : -1;
}

struct Lease {
    int32_t id;
    std::string mac; // hardware_mac
    std::string ip;
};

bool read_leases(KX_DB_handle* h, std::vector<Lease>& out) {
    std::vector<int32_t> ids;
    if (!son_ids(h, LEASE_SET, ids)) return false;
    out.clear();
    for (int32_t id : ids)
        out.push_back({id, get(h, path_of(LEASE_SET, id, "hardware_mac")).value_or(""),
                       get(h, path_of(LEASE_SET, id, "ip")).value_or("")});
    return h->ipc_err == 0;
}

// "2:0:0:0:0:1" (as dhcpd prints it) or "02:00:00:00:00:01": six groups of
// one or two hexadecimal digits; written back in lower case, two digits each.
bool normalize_mac(const char* text, std::string& out) {
    std::array<uint8_t, 6> b;
    if (dhcpbridge::hex_to_bytes(text, b) != 6 || !strchr(text, ':')) return false;
    char buf[18];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    out = buf;
    return true;
}

bool normalize_ip(const char* text, std::string& out) {
    in_addr a;
    char buf[INET_ADDRSTRLEN];
    if (inet_pton(AF_INET, text, &a) != 1 || !inet_ntop(AF_INET, &a, buf, sizeof buf)) return false;
    out = buf;
    return true;
}

// Creates the device record for mac unless one exists. Returns false when
// the exchange failed.
bool create_device(KX_DB_handle* h, const std::string& ev, const std::string& mac,
                   const dhcpbridge::Identity& id) {
    std::vector<int32_t> ids;
    if (!son_ids(h, DEVICE_SET, ids)) return false;
    for (int32_t dev : ids) {
        if (get(h, path_of(DEVICE_SET, dev, "MacAddress")).value_or("") == mac) {
            blog("%s: device record %" PRId32 " already there", ev.c_str(), dev);
            return h->ipc_err == 0;
        }
    }
    int32_t dev = ids.size() < MD_MAX_NBR ? new_id(ids, DEVICE_ID_MAX) : -1;
    if (dev < 0) {
        blog("%s: %zu device records already, no room for another; none created", ev.c_str(),
             ids.size());
        return h->ipc_err == 0;
    }
    // The record's keys, identity first: the daemon reads them when the
    // record's creation reaches it, after the commit.
    const std::pair<const char*, std::string> keys[] = {{"OUI", id.oui},
                                                        {"SerialNumber", id.serial},
                                                        {"ProductClass", id.product_class},
                                                        {"MacAddress", mac},
                                                        {"type", "1"}};
    for (const auto& [key, value] : keys)
        if (KX_DB_Set(h, path_of(DEVICE_SET, dev, key).c_str(), value.c_str()) != 0) return false;
    blog("%s: device record %" PRId32 " created: OUI %s, serial number \"%s\", product class "
         "\"%s\"",
         ev.c_str(), dev, id.oui.c_str(), id.serial.c_str(), id.product_class.c_str());
    return true;
}

bool write_lease(KX_DB_handle* h, int32_t lease, const std::string& mac, const std::string& ip,
                 const char* seconds, bool is_new) {
    char now[24];
    snprintf(now, sizeof now, "%lld", static_cast<long long>(time(nullptr)));
    // A new lease gets its hardware_mac first: the daemon links it to the
    // device by that key.
    if (is_new && (KX_DB_Set(h, path_of(LEASE_SET, lease, "hardware_mac").c_str(), mac.c_str()) ||
                   KX_DB_Set(h, path_of(LEASE_SET, lease, "ip").c_str(), ip.c_str())))
        return false;
    return KX_DB_Set(h, path_of(LEASE_SET, lease, "start_time").c_str(), now) == 0 &&
           KX_DB_Set(h, path_of(LEASE_SET, lease, "valid_time").c_str(), seconds) == 0 &&
           KX_DB_Set(h, path_of(LEASE_SET, lease, "is_abandoned").c_str(), "0") == 0;
}

int unreachable() {
    blog("configuration server not reachable on 127.0.0.1:%u", KX_DB_PORT);
    return EXIT_REFUSED;
}

int exchange_failed(const std::string& ev) {
    blog("%s: the exchange with the configuration server failed; nothing committed", ev.c_str());
    return EXIT_REFUSED;
}

int do_commit(const std::string& ev, const std::string& ip, const std::string& mac,
              const char* seconds, const char* opt125) {
    // The identity is checked before anything is written.
    std::optional<dhcpbridge::Identity> ident;
    bool refused = false;
    if (opt125 && *opt125) {
        std::array<uint8_t, dhcpbridge::OPT125_MAX> bytes;
        long n = dhcpbridge::hex_to_bytes(opt125, bytes);
        dhcpbridge::Identity id;
        std::string why =
            n < 0 ? "not a list of hexadecimal bytes"
                  : dhcpbridge::parse_option125(
                        std::span<const uint8_t>(bytes.data(), static_cast<size_t>(n)), id);
        if (why.empty()) {
            ident = id;
        } else {
            blog("%s: option 125 refused: %s; no device record created", ev.c_str(), why.c_str());
            refused = true;
        }
    }

    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) return unreachable();
    KX_DB_handle* h = db.get();
    if (ident && !create_device(h, ev, mac, *ident)) return exchange_failed(ev);

    std::vector<Lease> leases;
    if (!read_leases(h, leases)) return exchange_failed(ev);
    const Lease* mine = nullptr;
    std::vector<int32_t> ids;
    for (const Lease& l : leases) {
        ids.push_back(l.id);
        if (!mine && l.mac == mac) mine = &l;
    }
    if (mine && mine->ip == ip) {
        if (!write_lease(h, mine->id, mac, ip, seconds, false)) return exchange_failed(ev);
        blog("%s: lease %" PRId32 " renewed for %s s", ev.c_str(), mine->id, seconds);
    } else {
        int32_t lease = new_lease_id(h, ids);
        if (lease < 0 || !write_lease(h, lease, mac, ip, seconds, true)) return exchange_failed(ev);
        if (!mine) {
            blog("%s: lease %" PRId32 " created for %s s", ev.c_str(), lease, seconds);
        } else {
            // The device moved: its old lease is abandoned, and loses its
            // MAC address so that the device's address is now found in the
            // new lease; the daemon re-targets the device's pass-through
            // rule from the old address to the new one.
            if (KX_DB_Set(h, path_of(LEASE_SET, mine->id, "hardware_mac").c_str(), "") ||
                KX_DB_Set(h, path_of(LEASE_SET, mine->id, "is_abandoned").c_str(), "1"))
                return exchange_failed(ev);
            blog("%s: lease %" PRId32 " created for %s s; lease %" PRId32 " (%s) abandoned",
                 ev.c_str(), lease, seconds, mine->id, mine->ip.c_str());
        }
    }
    if (h->ipc_err) return exchange_failed(ev);
    db.close_set();
    return refused ? EXIT_REFUSED : 0;
}

// The lease of mac for ip, or an abandoned lease of ip (hardware_mac empty).
const Lease* find_lease(const std::vector<Lease>& leases, const std::string& ip,
                        const std::string& mac, bool& abandoned) {
    for (bool unlinked : {false, true})
        for (const Lease& l : leases)
            if (l.ip == ip && l.mac == (unlinked ? "" : mac)) {
                abandoned = unlinked;
                return &l;
            }
    return nullptr;
}

// Deletes the lease after delay_ms in a process of its own, so that the
// DHCP server is not held up: the daemon maps the valid_time change to its
// device through the lease, which must still be there when the change
// reaches it. The lease goes only if it is still the expired one.
void delete_later(const std::string& ev, const Lease& l, int delay_ms) {
    pid_t pid = fork();
    if (pid < 0) {
        blog("%s: cannot fork (%s); lease %" PRId32 " stays", ev.c_str(), strerror(errno), l.id);
        return;
    }
    if (pid > 0) return;
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        if (log_fd != 2) dup2(null, 2);
    }
    usleep(static_cast<useconds_t>(delay_ms) * 1000);
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) _exit(unreachable());
    KX_DB_handle* h = db.get();
    std::string mac = get(h, path_of(LEASE_SET, l.id, "hardware_mac")).value_or("");
    std::string ip = get(h, path_of(LEASE_SET, l.id, "ip")).value_or("");
    std::string valid = get(h, path_of(LEASE_SET, l.id, "valid_time")).value_or("");
    if (h->ipc_err) _exit(exchange_failed(ev));
    if (mac != l.mac || ip != l.ip || valid != "0") {
        blog("%s: lease %" PRId32 " was renewed meanwhile; kept", ev.c_str(), l.id);
        _exit(0);
    }
    KX_DB_Delete(h, path_of(LEASE_SET, l.id, "").c_str());
    if (h->ipc_err) _exit(exchange_failed(ev));
    db.close_set();
    blog("%s: lease %" PRId32 " deleted", ev.c_str(), l.id);
    _exit(0);
}

int do_end(const std::string& ev, bool expiry, const std::string& ip, const std::string& mac,
           int delay_ms) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) return unreachable();
    KX_DB_handle* h = db.get();
    std::vector<Lease> leases;
    if (!read_leases(h, leases)) return exchange_failed(ev);
    bool abandoned = false;
    const Lease* l = find_lease(leases, ip, mac, abandoned);
    if (!l) {
        blog("%s: no lease of %s for %s; nothing to do", ev.c_str(), mac.c_str(), ip.c_str());
        return 0;
    }
    if (abandoned) {
        KX_DB_Delete(h, path_of(LEASE_SET, l->id, "").c_str());
        if (h->ipc_err) return exchange_failed(ev);
        db.close_set();
        blog("%s: abandoned lease %" PRId32 " deleted", ev.c_str(), l->id);
        return 0;
    }
    if (KX_DB_Set(h, path_of(LEASE_SET, l->id, "valid_time").c_str(), "0") != 0)
        return exchange_failed(ev);
    db.close_set();
    if (!expiry) {
        blog("%s: lease %" PRId32 " released (valid_time 0)", ev.c_str(), l->id);
        return 0;
    }
    blog("%s: lease %" PRId32 " expired (valid_time 0); deleted in %d ms", ev.c_str(), l->id,
         delay_ms);
    delete_later(ev, *l, delay_ms);
    return 0;
}

bool positive_number(const char* s) {
    int32_t v;
    return s_str_to_int(s, &v) == 0 && v > 0 && s[0] != '+' && s[0] != ' ';
}

} // namespace

int main(int argc, char** argv) {
    // confd gone, or a closed output: an error of that write, never the end of dhcpbridge.
    signal(SIGPIPE, SIG_IGN);
    int i = 1;
    int delay_ms = 2000;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (i + 1 >= argc) return usage();
        if (strcmp(argv[i], "--log") == 0) {
            int fd = open(argv[i + 1], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) {
                fprintf(stderr, "dhcpbridge: cannot open %s: %s\n", argv[i + 1], strerror(errno));
                return EXIT_USAGE;
            }
            log_fd = fd;
        } else if (strcmp(argv[i], "--expire-delay-ms") == 0) {
            int32_t v;
            if (s_str_to_int(argv[i + 1], &v) != 0 || v < 0 || v > 600000) return usage();
            delay_ms = v;
        } else {
            return usage();
        }
    }
    int nargs = argc - i;
    if (nargs < 3) return usage();
    const char* event = argv[i];
    std::string ip, mac;
    bool commit = strcmp(event, "commit") == 0;
    bool end = strcmp(event, "release") == 0 || strcmp(event, "expiry") == 0;
    if (!(commit && (nargs == 4 || nargs == 5)) && !(end && nargs == 3)) return usage();
    if (!normalize_ip(argv[i + 1], ip) || !normalize_mac(argv[i + 2], mac)) {
        blog("%s %s %s: not an IPv4 address and a MAC address; ignored", event, argv[i + 1],
             argv[i + 2]);
        return EXIT_USAGE;
    }
    std::string ev = std::string(event) + " " + ip + " " + mac;
    if (commit) {
        if (!positive_number(argv[i + 3])) {
            blog("%s: lease time \"%s\" is not a positive number of seconds; ignored", ev.c_str(),
                 argv[i + 3]);
            return EXIT_USAGE;
        }
        return do_commit(ev, ip, mac, argv[i + 3], nargs == 5 ? argv[i + 4] : nullptr);
    }
    return do_end(ev, strcmp(event, "expiry") == 0, ip, mac, delay_ms);
}
