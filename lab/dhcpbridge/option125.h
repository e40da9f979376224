// Option 125 (Vendor-Identifying Vendor-Specific Information) as a LAN
// device sends it in its DHCP requests: one or more blocks of
//     enterprise number (4 bytes, network order) | data length (1 byte) | data
// The TR-111 block (enterprise 3561) holds sub-options
//     code (1 byte) | length (1 byte) | value
// with 1 the manufacturer OUI, 2 the serial number, 3 the product class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dhcpbridge {

constexpr uint32_t TR111_ENTERPRISE = 3561;
constexpr uint8_t SUBOPT_OUI = 1;
constexpr uint8_t SUBOPT_SERIAL = 2;
constexpr uint8_t SUBOPT_CLASS = 3;
constexpr size_t OUI_LEN = 6;
constexpr size_t IDENT_MAX = 64; // serial number and product class
// Longest option taken: several 255-byte instances concatenated.
constexpr size_t OPT125_MAX = 1024;

struct Identity {
    std::string oui; // six hexadecimal digits, upper case
    std::string serial;
    std::string product_class;
};

// Decodes the hexadecimal text of the option's bytes: groups of one or two
// digits separated by ':' (as the DHCP server prints them, "0:0:d:e9:..."),
// or an even number of digits without separators. Returns the byte count,
// or -1 when the text is not such a list or holds more than out.size() bytes.
long hex_to_bytes(std::string_view text, std::span<uint8_t> out);

// Finds and checks the TR-111 identity in the option's bytes. Returns an
// empty string and fills id, or the reason why the option is refused.
std::string parse_option125(std::span<const uint8_t> data, Identity& id);

} // namespace dhcpbridge
