// A real configuration server for a test: confd (with options) on port 7000
// of the test's own network namespace, its state in a folder of the test's own.
#pragma once

#include "tests/support/proc.h"

#include <memory>

namespace tr111test {

class Confd {
  public:
    explicit Confd(std::vector<std::string> options = {}) : options_(std::move(options)) {
        start();
    }
    ~Confd() { stop(true); }

    // Stops it (SIGTERM, or SIGKILL when kill is true) and waits for the end.
    void stop(bool kill = false) {
        if (proc_) proc_->stop(kill ? SIGKILL : SIGTERM, 10000);
        proc_.reset();
    }
    // Starts it on the state folder and waits until it accepts connections.
    bool start() {
        auto argv = program("confd");
        argv.insert(argv.end(), {"--state", state_.path() + "/state"});
        argv.insert(argv.end(), options_.begin(), options_.end());
        proc_ = std::make_unique<Background>(argv, log_path_);
        return wait_port(7000, 10000);
    }
    bool running() { return proc_ && proc_->running(); }
    std::string log() const { return read_file(log_path_); }

    // Writes (committed) and deletes through the conf CLI.
    bool set(const std::string& path, const std::string& value) {
        return run_program("conf", {"set", path, value}).status == 0;
    }
    bool del(const std::string& path) { return run_program("conf", {"del", path}).status == 0; }

  private:
    std::vector<std::string> options_;
    TempDir state_;
    std::string log_path_ = state_.path() + "/confd.log";
    std::unique_ptr<Background> proc_;
};

} // namespace tr111test
