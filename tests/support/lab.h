// The lab from a test: confd, mgmtd, tr69agent and tr111d started by the
// lab script in a run folder of the test's own, and the command-line
// clients that drive them. Tests run in network namespaces of their own
// (tests/netns-run), so every test has its own lab on the fixed ports.
#pragma once

#include "tests/support/proc.h"

#include <string>
#include <vector>

namespace tr111test {

class Lab {
  public:
    Lab();
    ~Lab(); // lab down
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    // lab <args...> with this lab's run folder.
    RunResult lab(const std::vector<std::string>& args, int timeout_ms = 120000);
    // lab up <args...>; fails the test when the lab does not come up.
    void up(const std::vector<std::string>& args = {});
    void down();

    RunResult acs(const std::vector<std::string>& args) { return run_program("acs", args); }
    RunResult conf(const std::vector<std::string>& args) { return run_program("conf", args); }
    RunResult mgmt(const std::vector<std::string>& args) { return run_program("mgmt", args); }

    // The log of one program of the lab (confd, mgmtd, tr69agent, tr111d).
    std::string log(const std::string& program) const;
    const std::string& dir() const { return dir_.path(); }

  private:
    TempDir dir_;
    bool upped_ = false;
};

} // namespace tr111test
