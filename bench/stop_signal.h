// For a benchmark: from the call on, SIGTERM, SIGINT and SIGHUP end its
// loops (stop_signal() gives the signal, 0 while none came) rather than
// the process, so that it ends what it started and removes its folders.
#pragma once

#include <atomic>
#include <csignal>

namespace tr111test {

inline std::atomic<int> g_stop_signal{0};
inline void catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = [](int sig) { g_stop_signal = sig; };
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);
}
inline int stop_signal() {
    return g_stop_signal;
}

} // namespace tr111test
