#include "tests/support/capture.h"

#include "main/tr111.h"
#include "tests/support/proc.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace tr111test {

CaptureStdout::CaptureStdout() {
    char tmpl[] = "/tmp/tr111capture.XXXXXX";
    fd_ = mkstemp(tmpl);
    path_ = tmpl;
    fflush(stdout);
    saved_ = dup(1);
    dup2(fd_, 1);
}

CaptureStdout::~CaptureStdout() {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    close(fd_);
    unlink(path_.c_str());
}

std::string CaptureStdout::text() const {
    fflush(stdout);
    return read_file(path_);
}

DebugSwitches::DebugSwitches(int activ, unsigned level)
    : activ_(tr111_status_debug_activ), level_(debug_level) {
    tr111_status_debug_activ = activ;
    debug_level = level;
}

DebugSwitches::~DebugSwitches() {
    tr111_status_debug_activ = activ_;
    debug_level = level_;
}

} // namespace tr111test
