// Event lines of mgmtd on standard output.
#include "lab/mgmtd/mgmtd.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

void mgmtd_log(const char* fmt, ...) {
    char line[1024];
    int n = snprintf(line, sizeof line, "mgmtd: ");
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(n) + (m < 0 ? 0 : static_cast<size_t>(m));
    if (len > sizeof line - 2) len = sizeof line - 2;
    line[len++] = '\n';
    // One write per line: a line is out (and in the log file) as soon as it is logged.
    const char* p = line;
    while (len > 0) {
        ssize_t w = write(1, p, len);
        if (w <= 0) return;
        p += w;
        len -= static_cast<size_t>(w);
    }
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
