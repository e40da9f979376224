#include "lab/fwrender/render.h"

#include "db/tr111_db.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fwrender {

namespace {

constexpr char RULE_SET[] = "/fw/rule/loc_srv";

std::string read_key(KX_DB_handle* h, const std::string& rule, const char* key) {
    std::string path = std::string(RULE_SET) + "/" + rule + "/" + key;
    tr111::DbString v(KX_DB_Get(h, path.c_str()));
    return v ? v.get() : "";
}

bool port_of(const std::string& text, int32_t& out) {
    return s_str_to_int(text.c_str(), &out) == 0 && out >= 1 && out <= 65535;
}

// A port range from its first and last port (the last may be missing):
// empty when valid, else the reason.
std::string port_range(const char* what, const std::string& first, const std::string& last,
                       int32_t& lo, int32_t& hi) {
    if (!port_of(first, lo)) return std::string(what) + " port \"" + first + "\" is not 1 to 65535";
    if (last.empty()) {
        hi = lo;
    } else if (!port_of(last, hi) || hi < lo) {
        return std::string(what) + " port range " + first + "-" + last + " is not valid";
    }
    return "";
}

std::string range_text(int32_t lo, int32_t hi) {
    return lo == hi ? std::to_string(lo) : std::to_string(lo) + "-" + std::to_string(hi);
}

// The reason why the rule cannot be rendered, or empty text; fills the
// rule's nft line.
std::string check(const Config& cfg, const Rule& r, std::string& line, std::string& shown) {
    int32_t id;
    if (s_str_to_int(r.id.c_str(), &id) != 0 || id < 0) return "its key is not a rule number";
    if (r.protocol != "6") return "protocol \"" + r.protocol + "\" is not TCP (6)";
    int32_t wlo, whi, llo, lhi;
    std::string why = port_range("WAN", r.wan_start, r.wan_end, wlo, whi);
    if (why.empty()) why = port_range("LAN", r.lan_start, r.lan_end, llo, lhi);
    if (!why.empty()) return why;
    uint32_t a;
    if (!parse_addr(r.host.c_str(), a)) return "target \"" + r.host + "\" is not an IPv4 address";
    std::string lan = lan_text(cfg);
    uint32_t bcast = cfg.lan_net | ~cfg.lan_mask;
    if ((a & cfg.lan_mask) != cfg.lan_net) return "target " + r.host + " is outside the LAN " + lan;
    if (a == cfg.self) return "target " + r.host + " is the gateway itself";
    if (a == cfg.lan_net || a == bcast)
        return "target " + r.host + " is not a device address of the LAN " + lan;
    std::string to = addr_text(a) + ":" + range_text(llo, lhi);
    line = "iifname \"" + cfg.wan_if + "\" tcp dport " + range_text(wlo, whi) + " dnat to " + to +
           " comment \"loc_srv " + r.id + "\"";
    shown = "rule " + r.id + ": tcp " + range_text(wlo, whi) + " -> " + to;
    return "";
}

} // namespace

std::string addr_text(uint32_t a) {
    in_addr in{htonl(a)};
    char buf[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &in, buf, sizeof buf);
    return buf;
}

std::string lan_text(const Config& cfg) {
    return addr_text(cfg.lan_net) + "/" + std::to_string(cfg.lan_prefix);
}

bool parse_addr(const char* text, uint32_t& out) {
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) return false;
    out = ntohl(a.s_addr);
    return true;
}

bool parse_lan(const char* text, Config& cfg) {
    const char* slash = strchr(text, '/');
    if (!slash) return false;
    std::string addr(text, static_cast<size_t>(slash - text));
    int32_t prefix;
    uint32_t a;
    if (!parse_addr(addr.c_str(), a) || s_str_to_int(slash + 1, &prefix) != 0 || prefix < 8 ||
        prefix > 30)
        return false;
    cfg.lan_prefix = prefix;
    cfg.lan_mask = ~uint32_t{0} << (32 - prefix);
    cfg.lan_net = a & cfg.lan_mask;
    return true;
}

bool read_rules(KX_DB_handle* h, std::vector<Rule>& out) {
    out.clear();
    uint32_t set = KX_get_set(h, RULE_SET);
    std::vector<std::string> ids;
    for (uint32_t node = set ? KX_set_get_son(h, set, 0) : 0; node != 0;
         node = KX_set_get_next(h, node)) {
        tr111::DbString key(KX_set_get_value(h, node));
        if (key) ids.emplace_back(key.get());
    }
    for (const std::string& id : ids) {
        Rule r;
        r.id = id;
        r.enabled = read_key(h, id, "enabled");
        r.protocol = read_key(h, id, "services/0/trigger/0/protocol");
        r.wan_start = read_key(h, id, "services/0/trigger/0/dst/start");
        r.wan_end = read_key(h, id, "services/0/trigger/0/dst/end");
        r.lan_start = read_key(h, id, "fwd_from");
        r.lan_end = read_key(h, id, "fwd_to");
        r.host = read_key(h, id, "rdir/item/0/hostname");
        out.push_back(std::move(r));
    }
    return h->ipc_err == 0;
}

Rendered render(const Config& cfg, const std::vector<Rule>& rules) {
    Rendered out;
    std::string lines;
    for (const Rule& r : rules) {
        if (r.enabled != "1") continue;
        std::string line, shown;
        std::string why = check(cfg, r, line, shown);
        if (!why.empty()) {
            out.refused.push_back("rule " + r.id + " refused: " + why);
            continue;
        }
        lines += "\t\t" + line + "\n";
        out.applied.push_back(shown);
    }
    const std::string& t = cfg.table;
    const std::string wan = "iifname \"" + cfg.wan_if + "\" ";
    // Declaring the table first makes the delete valid when it does not
    // exist yet; nft -f applies the whole script as one transaction.
    out.script = "table ip " + t + "\n" + "delete table ip " + t + "\n" + "table ip " + t +
                 " {\n"
                 "\tchain prerouting {\n"
                 "\t\ttype nat hook prerouting priority dstnat; policy accept;\n" +
                 lines +
                 "\t}\n"
                 "\tchain forward {\n"
                 "\t\ttype filter hook forward priority filter; policy accept;\n"
                 "\t\t" +
                 wan + "ct state established,related accept\n" + "\t\t" + wan +
                 "ct status dnat accept\n" + "\t\t" + wan +
                 "drop\n"
                 "\t}\n"
                 "}\n";
    return out;
}

} // namespace fwrender
