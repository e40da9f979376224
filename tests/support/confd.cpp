#include "tests/support/confd.h"

#include <csignal>

namespace tr111test {

Confd::Confd() : log_path_(state_.path() + "/confd.log") {
    start();
}

Confd::~Confd() {
    stop(true);
}

bool Confd::start() {
    auto argv = program("confd");
    argv.push_back("--state");
    argv.push_back(state_.path() + "/state");
    proc_ = std::make_unique<Background>(argv, log_path_);
    return wait_port(7000, 10000);
}

void Confd::stop(bool kill) {
    if (!proc_) return;
    proc_->signal(kill ? SIGKILL : SIGTERM);
    proc_->wait(10000);
    proc_.reset();
}

bool Confd::set(const std::string& path, const std::string& value, bool ram) {
    std::vector<std::string> args;
    if (ram) args.push_back("--ram");
    args.insert(args.end(), {"set", path, value});
    return run_program("conf", args).status == 0;
}

std::string Confd::get(const std::string& path, bool ram) {
    std::vector<std::string> args;
    if (ram) args.push_back("--ram");
    args.insert(args.end(), {"get", path});
    RunResult r = run_program("conf", args);
    std::string out = r.out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

bool Confd::del(const std::string& path) {
    return run_program("conf", {"del", path}).status == 0;
}

} // namespace tr111test
