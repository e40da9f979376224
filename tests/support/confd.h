// A real configuration server for a test: confd started in the background
// on port 7000 (the test runs in a network namespace of its own) with its
// state in a folder of the test's own.
#pragma once

#include "tests/support/proc.h"

#include <memory>
#include <string>

namespace tr111test {

class Confd {
  public:
    // Starts confd and waits until it accepts connections.
    Confd();
    ~Confd();
    Confd(const Confd&) = delete;
    Confd& operator=(const Confd&) = delete;

    // Stops it (SIGTERM, or SIGKILL when kill is true) and waits for the end.
    void stop(bool kill = false);
    // Starts it again on the same state folder; false if it does not come up.
    bool start();
    bool running() { return proc_ && proc_->running(); }

    const std::string& state_dir() const { return state_.path(); }
    std::string log() const { return read_file(log_path_); }

    // Convenience writes and reads through the conf CLI (writes commit).
    bool set(const std::string& path, const std::string& value, bool ram = false);
    std::string get(const std::string& path, bool ram = false);
    bool del(const std::string& path);

  private:
    TempDir state_;
    std::string log_path_;
    std::unique_ptr<Background> proc_;
};

} // namespace tr111test
