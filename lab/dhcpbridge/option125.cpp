#include "lab/dhcpbridge/option125.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace dhcpbridge {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string reason(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string reason(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

const char* subopt_name(uint8_t code) {
    switch (code) {
    case SUBOPT_OUI:
        return "OUI";
    case SUBOPT_SERIAL:
        return "serial number";
    default:
        return "product class";
    }
}

// Checks one identity text: printable ASCII, 1 to IDENT_MAX characters.
std::string check_text(uint8_t code, std::span<const uint8_t> v) {
    if (v.empty()) return reason("sub-option %u (%s) is empty", code, subopt_name(code));
    if (v.size() > IDENT_MAX)
        return reason("sub-option %u (%s) has %zu characters, more than %zu", code,
                      subopt_name(code), v.size(), IDENT_MAX);
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i] < 0x20 || v[i] > 0x7e)
            return reason("sub-option %u (%s) holds the byte 0x%02x, not printable ASCII", code,
                          subopt_name(code), v[i]);
    return "";
}

} // namespace

long hex_to_bytes(std::string_view text, std::span<uint8_t> out) {
    size_t n = 0;
    bool separated = text.find(':') != std::string_view::npos;
    size_t i = 0;
    while (i < text.size()) {
        size_t digits = separated ? text.find(':', i) : i + 2;
        if (digits == std::string_view::npos) digits = text.size();
        size_t len = digits - i;
        if (len < 1 || len > 2 || i + len > text.size()) return -1;
        int hi = hex_digit(text[i]), lo = len == 2 ? hex_digit(text[i + 1]) : 0;
        if (hi < 0 || lo < 0) return -1;
        if (n == out.size()) return -1;
        out[n++] = static_cast<uint8_t>(len == 2 ? hi * 16 + lo : hi);
        i += len;
        if (separated && i < text.size()) {
            ++i;                             // the ':'
            if (i == text.size()) return -1; // a trailing ':'
        }
    }
    return static_cast<long>(n);
}

std::string parse_option125(std::span<const uint8_t> data, Identity& id) {
    if (data.empty()) return "empty option";
    std::span<const uint8_t> block;
    bool found = false;
    char others[64] = "";
    size_t pos = 0;
    while (pos < data.size()) {
        size_t left = data.size() - pos;
        if (left < 5)
            return reason("block at byte %zu: truncated header (%zu bytes, 5 needed)", pos, left);
        uint32_t ent = (uint32_t{data[pos]} << 24) | (uint32_t{data[pos + 1]} << 16) |
                       (uint32_t{data[pos + 2]} << 8) | data[pos + 3];
        size_t len = data[pos + 4];
        if (len > left - 5)
            return reason("block of enterprise %u: data length %zu runs past the end (%zu bytes "
                          "left)",
                          ent, len, left - 5);
        if (ent == TR111_ENTERPRISE) {
            if (found) return reason("enterprise %u appears twice", ent);
            found = true;
            block = data.subspan(pos + 5, len);
        } else {
            size_t used = strlen(others);
            snprintf(others + used, sizeof others - used, "%s%u", used ? " " : "", ent);
        }
        pos += 5 + len;
    }
    if (!found)
        return reason("no block of enterprise %u (enterprises: %s)", TR111_ENTERPRISE, others);

    std::span<const uint8_t> sub[4]; // by code 1..3
    bool seen[4] = {};
    pos = 0;
    while (pos < block.size()) {
        size_t left = block.size() - pos;
        if (left < 2) return reason("sub-option at byte %zu of the block: truncated header", pos);
        uint8_t code = block[pos];
        size_t len = block[pos + 1];
        if (len > left - 2)
            return reason("sub-option %u: length %zu runs past the end of the block (%zu bytes "
                          "left)",
                          code, len, left - 2);
        if (code >= SUBOPT_OUI && code <= SUBOPT_CLASS) {
            if (seen[code]) return reason("sub-option %u appears twice", code);
            seen[code] = true;
            sub[code] = block.subspan(pos + 2, len);
        }
        pos += 2 + len;
    }
    for (uint8_t code = SUBOPT_OUI; code <= SUBOPT_CLASS; ++code)
        if (!seen[code]) return reason("no sub-option %u (%s)", code, subopt_name(code));

    std::span<const uint8_t> oui = sub[SUBOPT_OUI];
    bool oui_ok = oui.size() == OUI_LEN;
    for (size_t i = 0; oui_ok && i < oui.size(); ++i)
        oui_ok = hex_digit(static_cast<char>(oui[i])) >= 0;
    if (!oui_ok) {
        std::string shown = check_text(SUBOPT_OUI, oui).empty()
                                ? std::string(oui.begin(), oui.end())
                                : std::string("(not printable)");
        return reason("sub-option 1 (OUI) \"%s\" is not six hexadecimal digits", shown.c_str());
    }
    for (uint8_t code : {SUBOPT_SERIAL, SUBOPT_CLASS}) {
        std::string why = check_text(code, sub[code]);
        if (!why.empty()) return why;
    }
    id.oui.clear();
    for (uint8_t c : oui)
        id.oui.push_back(c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A')
                                              : static_cast<char>(c));
    id.serial.assign(sub[SUBOPT_SERIAL].begin(), sub[SUBOPT_SERIAL].end());
    id.product_class.assign(sub[SUBOPT_CLASS].begin(), sub[SUBOPT_CLASS].end());
    return "";
}

} // namespace dhcpbridge
