// Debug output: one whole line per write(2) on standard output.
#include "main/tr111.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

uint32_t debug_level = 0;
int32_t tr111_status_debug_activ = 0;

namespace {

// Writes the whole buffer, going on after a partial write or a signal.
void write_all(const char* buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(STDOUT_FILENO, buf, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
}

// Appends a formatted text to the line; returns the new length, never past
// the room kept for the closing newlines.
size_t append_v(char* buf, size_t len, size_t room, const char* fmt, va_list ap) {
    if (len >= room) return len;
    int n = vsnprintf(buf + len, room - len, fmt, ap);
    if (n < 0) return len;
    size_t added = static_cast<size_t>(n);
    return added >= room - len ? room - 1 : len + added;
}

size_t append(char* buf, size_t len, size_t room, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    len = append_v(buf, len, room, fmt, ap);
    va_end(ap);
    return len;
}

// Room for the text of a line: two bytes stay free for the newlines.
constexpr size_t kRoom = TR111_LINE_MAX - 2;

} // namespace

void tr111_debug_plain(const char* module, int line, const char* func, const char* msg) {
    char buf[TR111_LINE_MAX];
    size_t len = append(buf, 0, kRoom, "%s[%d] In %s: ", module, line, func);
    len = append(buf, len, kRoom, "%s", msg ? msg : "(null)");
    buf[len++] = '\n';
    buf[len++] = '\n';
    write_all(buf, len);
}

void tr111_debug_fmt(const char* module, int line, const char* func, const char* fmt, ...) {
    char buf[TR111_LINE_MAX];
    size_t len = append(buf, 0, kRoom, "%s[%d] In %s: ", module, line, func);
    va_list ap;
    va_start(ap, fmt);
    size_t before = len;
    len = append_v(buf, len, kRoom, fmt, ap);
    va_end(ap);
    // A cut message still ends its line.
    if (len == kRoom - 1 && len > before && buf[len - 1] != '\n') buf[len++] = '\n';
    buf[len++] = '\n';
    write_all(buf, len);
}

void tr111_print(const char* fmt, ...) {
    char buf[TR111_LINE_MAX];
    va_list ap;
    va_start(ap, fmt);
    size_t len = append_v(buf, 0, kRoom + 1, fmt, ap);
    va_end(ap);
    write_all(buf, len);
}
