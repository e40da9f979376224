// Chief header of the daemon core: the two debug switches and the
// debug-output helper every module logs through.
//
// A debug line is the prefix "<module>[<line>] In <function>: ", then the
// message, then one extra newline. A plain message (TR111_ERR, TR111_INFO)
// gets a newline of its own before that extra one; a formatted message
// (TR111_ERRF, TR111_INFOF) is written as formatted. Error lines need
// tr111_status_debug_activ non-zero; informational lines also need
// debug_level >= 3 (unsigned). Each line is written with a single write(2)
// on standard output, so lines of two threads never interleave, whether
// standard output is a terminal, a pipe or a file.
//
// Every source file names its module once, after its includes:
//     static constexpr char TR111_MODULE[] = "TR111_md";
#pragma once

#include <cstdint>

extern uint32_t debug_level;             // from argv[1]; informational lines need >= 3
extern int32_t tr111_status_debug_activ; // any non-zero value enables debug output

// Longest debug line written; longer lines are cut, their final newline kept.
// It does not exceed PIPE_BUF, so a line to a pipe is written atomically too.
constexpr unsigned TR111_LINE_MAX = 4096;

void tr111_debug_plain(const char* module, int line, const char* func, const char* msg);
void tr111_debug_fmt(const char* module, int line, const char* func, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// A line without prefix and without condition, written as formatted.
void tr111_print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

inline bool tr111_err_on() {
    return tr111_status_debug_activ != 0;
}
inline bool tr111_info_on() {
    return tr111_status_debug_activ != 0 && debug_level >= 3;
}

#define TR111_LOG_IF(cond, msg)                                                                    \
    do {                                                                                           \
        if (cond) tr111_debug_plain(TR111_MODULE, __LINE__, __func__, (msg));                      \
    } while (0)
#define TR111_LOGF_IF(cond, ...)                                                                   \
    do {                                                                                           \
        if (cond) tr111_debug_fmt(TR111_MODULE, __LINE__, __func__, __VA_ARGS__);                  \
    } while (0)

#define TR111_ERR(msg) TR111_LOG_IF(tr111_err_on(), msg)
#define TR111_ERRF(...) TR111_LOGF_IF(tr111_err_on(), __VA_ARGS__)
#define TR111_INFO(msg) TR111_LOG_IF(tr111_info_on(), msg)
#define TR111_INFOF(...) TR111_LOGF_IF(tr111_info_on(), __VA_ARGS__)
