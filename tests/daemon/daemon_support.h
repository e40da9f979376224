// Running tr111d from a test: in a private mount namespace with a
// configuration file of the test's own, under the emulator when there is one.
#pragma once

#include "tests/support/proc.h"

#include <string>
#include <vector>

namespace tr111test {

// The command line of tr111d with config_text as /etc/config.txt.
inline std::vector<std::string> daemon_argv(const TempDir& dir, const std::string& config_text,
                                            const std::vector<std::string>& args) {
    std::string cfg = dir.path() + "/config.txt";
    write_file(cfg, config_text);
    std::vector<std::string> argv = {src("lab/scripts/with-etc-config"), cfg};
    auto prog = program("tr111d");
    argv.insert(argv.end(), prog.begin(), prog.end());
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

} // namespace tr111test
