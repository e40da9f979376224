// The gateway's pass-through table: the enabled port-mapping rules of
// /fw/rule/loc_srv rendered as one nftables table, TCP from the WAN
// interface on the rule's WAN ports, DNAT to the rule's device address and
// LAN ports. A rule whose target is not a device address of the LAN (the
// loopback, the gateway itself, the LAN's network or broadcast address,
// anything outside the subnet) is refused and never rendered.
#pragma once

#include "db/kx_db.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fwrender {

struct Config {
    uint32_t lan_net = 0;  // LAN subnet, host byte order
    uint32_t lan_mask = 0; // its mask, host byte order
    int lan_prefix = 0;
    uint32_t self = 0; // the gateway's LAN address, host byte order
    std::string wan_if = "ppp0";
    std::string table = "tr111_crpt";
};

// One rule as stored (texts as read; a missing key reads as empty text).
struct Rule {
    std::string id; // the rule's key under /fw/rule/loc_srv
    std::string enabled, protocol, wan_start, wan_end, lan_start, lan_end, host;
};

struct Rendered {
    std::string script;               // input of nft -f
    std::vector<std::string> applied; // one line per rendered rule
    std::vector<std::string> refused; // one line per refused rule, with the reason
};

// Parses "A.B.C.D/N" and "A.B.C.D" into the configuration.
bool parse_lan(const char* text, Config& cfg);
bool parse_addr(const char* text, uint32_t& out);
// "A.B.C.D" of an address in host byte order; "A.B.C.D/N" of the LAN.
std::string addr_text(uint32_t a);
std::string lan_text(const Config& cfg);

// Reads every rule of /fw/rule/loc_srv through h. False when the exchange
// with the configuration server failed.
bool read_rules(KX_DB_handle* h, std::vector<Rule>& out);

// Renders the enabled rules into a script that replaces the table whole.
Rendered render(const Config& cfg, const std::vector<Rule>& rules);

} // namespace fwrender
