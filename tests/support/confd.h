// A real configuration server for a test: confd on port 7000 (of the test's
// own network namespace), its state in a folder of the test's own.
#pragma once

#include "tests/support/proc.h"

#include <memory>

namespace tr111test {

class Confd {
  public:
    Confd() { start(); }
    ~Confd() { stop(true); }

    // Stops it (SIGTERM, or SIGKILL when kill is true) and waits for the end.
    void stop(bool kill = false) {
        if (!proc_) return;
        proc_->signal(kill ? SIGKILL : SIGTERM);
        proc_->wait(10000);
        proc_.reset();
    }
    // Starts it on the state folder and waits until it accepts connections.
    bool start() {
        auto argv = program("confd");
        argv.insert(argv.end(), {"--state", state_.path() + "/state"});
        proc_ = std::make_unique<Background>(argv, log_path_);
        return wait_port(7000, 10000);
    }
    bool running() { return proc_ && proc_->running(); }

    const std::string& state_dir() const { return state_.path(); }
    std::string log() const { return read_file(log_path_); }

    // Writes (committed) and reads through the conf CLI.
    bool set(const std::string& path, const std::string& value, bool ram = false) {
        return conf(ram, {"set", path, value}).status == 0;
    }
    std::string get(const std::string& path, bool ram = false) {
        std::string out = conf(ram, {"get", path}).out;
        if (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    bool del(const std::string& path) { return conf(false, {"del", path}).status == 0; }

  private:
    static RunResult conf(bool ram, std::vector<std::string> args) {
        if (ram) args.insert(args.begin(), "--ram");
        return run_program("conf", args);
    }

    TempDir state_;
    std::string log_path_ = state_.path() + "/confd.log";
    std::unique_ptr<Background> proc_;
};

} // namespace tr111test
