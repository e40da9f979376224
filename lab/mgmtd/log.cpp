// Event lines of mgmtd on standard output.
#include "lab/common/linelog.h"
#include "lab/mgmtd/mgmtd.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

void mgmtd_log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    linelog_v(1, "mgmtd", fmt, ap);
    va_end(ap);
}

std::string mgmtd_printable(std::string_view text, size_t max) {
    std::string out;
    for (char ch : text.substr(0, max)) {
        auto u = static_cast<unsigned char>(ch);
        out.push_back(u < 0x20 || u == 0x7f ? '?' : ch);
    }
    if (text.size() > max) out += "...";
    return out;
}
