// Log lines of the lab programs: "<prefix>: <message>\n", each written with
// a single write(2), so that lines of two threads or two processes sharing
// a log file never mix. A message longer than LINELOG_MAX is cut.
#pragma once

#include <cstdarg>

constexpr unsigned LINELOG_MAX = 2048;

void linelog_v(int fd, const char* prefix, const char* fmt, va_list ap);
void linelog(int fd, const char* prefix, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
