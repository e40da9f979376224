// Captures what the code under test writes on standard output (fd 1), where
// the daemon's debug lines go, for as long as the object lives.
#pragma once

#include "main/tr111.h"
#include "tests/support/proc.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <tuple>

namespace tr111test {

struct CaptureStdout {
    CaptureStdout() {
        fflush(stdout);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        dup2(fd, 1);
        close(fd);
    }
    ~CaptureStdout() { // restores standard output
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

    // Everything written so far (the capture goes on).
    std::string text() const {
        fflush(stdout);
        return read_file(path_);
    }
    TempDir dir_;
    std::string path_ = dir_.path() + "/stdout";
    int saved_ = fcntl(1, F_DUPFD_CLOEXEC, 0);
};

// Sets the daemon's debug switches for the life of the object.
struct DebugSwitches {
    std::tuple<int32_t, uint32_t> saved_{tr111_status_debug_activ, debug_level};
    DebugSwitches(int activ, unsigned level) {
        std::tie(tr111_status_debug_activ, debug_level) = std::tuple(activ, level);
    }
    ~DebugSwitches() { std::tie(tr111_status_debug_activ, debug_level) = saved_; }
};

// Failures go to standard error too, lest a capture of standard output hide them.
inline const bool stderr_failures_installed = [] {
    struct StderrFailures : ::testing::EmptyTestEventListener {
        void OnTestPartResult(const ::testing::TestPartResult& r) override {
            if (r.failed())
                fprintf(stderr, "%s:%d: Failure\n%s\n", r.file_name() ? r.file_name() : "?",
                        r.line_number(), r.message());
        }
    };
    ::testing::UnitTest::GetInstance()->listeners().Append(new StderrFailures);
    return true;
}();

} // namespace tr111test
