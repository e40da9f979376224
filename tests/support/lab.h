// The lab from a test: confd, mgmtd, tr69agent and tr111d started by the lab
// script in a run folder of the test's own (and network namespace: see
// tests/netns-run), and the command-line clients that drive them.
#pragma once

#include "tests/support/proc.h"

#include <gtest/gtest.h>

namespace tr111test {

class Lab {
  public:
    ~Lab() { // lab down
        if (upped_) down();
    }

    // lab <args...> with this lab's run folder.
    RunResult lab(std::vector<std::string> args, int timeout_ms = 120000) {
        args.insert(args.begin(), {"env", "TR111_RUN=" + dir(), src("lab/scripts/lab")});
        return run(args, timeout_ms);
    }
    // lab up <args...>; fails the test when the lab does not come up.
    void up(std::vector<std::string> args = {}) {
        args.insert(args.begin(), "up");
        RunResult r = lab(args);
        upped_ = true;
        ASSERT_EQ(r.status, 0) << "lab up failed:\n" << r.out << r.err;
    }
    void down() {
        lab({"down"});
        upped_ = false;
    }

    RunResult acs(const std::vector<std::string>& args) { return run_program("acs", args); }
    RunResult mgmt(const std::vector<std::string>& args) { return run_program("mgmt", args); }

    // The log of one program of the lab (confd, mgmtd, tr69agent, tr111d).
    std::string log(const std::string& program) const {
        return read_file(dir() + "/log/" + program + ".log");
    }
    const std::string& dir() const { return dir_.path(); }

  private:
    TempDir dir_;
    bool upped_ = false;
};

} // namespace tr111test
