#include "tests/support/lab.h"

#include <gtest/gtest.h>

namespace tr111test {

Lab::Lab() = default;

Lab::~Lab() {
    if (upped_) down();
}

RunResult Lab::lab(const std::vector<std::string>& args, int timeout_ms) {
    std::vector<std::string> argv = {"env", "TR111_RUN=" + dir(), src("lab/scripts/lab")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, "", timeout_ms);
}

void Lab::up(const std::vector<std::string>& args) {
    std::vector<std::string> a = {"up"};
    a.insert(a.end(), args.begin(), args.end());
    RunResult r = lab(a);
    upped_ = true;
    ASSERT_EQ(r.status, 0) << "lab up failed:\n" << r.out << r.err;
}

void Lab::down() {
    lab({"down"});
    upped_ = false;
}

std::string Lab::log(const std::string& program) const {
    return read_file(dir() + "/log/" + program + ".log");
}

} // namespace tr111test
