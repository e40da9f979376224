#include "lab/common/linelog.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

void linelog_v(int fd, const char* prefix, const char* fmt, va_list ap) {
    char line[LINELOG_MAX];
    int n = prefix ? snprintf(line, sizeof line, "%s: ", prefix) : 0;
    if (n < 0) n = 0;
    int m = vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, ap);
    size_t len = static_cast<size_t>(n) + (m < 0 ? 0 : static_cast<size_t>(m));
    if (len > sizeof line - 2) len = sizeof line - 2;
    line[len++] = '\n';
    const char* p = line;
    while (len > 0) {
        ssize_t w = write(fd, p, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        len -= static_cast<size_t>(w);
    }
}

void linelog(int fd, const char* prefix, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    linelog_v(fd, prefix, fmt, ap);
    va_end(ap);
}
