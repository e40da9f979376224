// tr111d as a process of a test, beside a confd of its own and, when the
// test asks, a tr69agent: its debug key, its command line and its
// /etc/config.txt (see lab/scripts/with-etc-config) chosen by the test.
#pragma once

#include "tests/support/confd.h"

#include <gtest/gtest.h>

namespace tr111test {

struct DaemonRig {
    // A new tr69agent with args, once the last one has ended and its port
    // is free (a new one cannot bind it before).
    void start_agent(const std::vector<std::string>& args = {}) {
        tr69agent.reset();
        ASSERT_TRUE(wait_port(7100, 10000, true));
        auto argv = program("tr69agent");
        argv.insert(argv.end(), args.begin(), args.end());
        tr69agent = std::make_unique<Background>(argv, dir.path() + "/agent.log");
        ASSERT_TRUE(wait_port(7100, 10000) && tr69agent->running())
            << read_file(dir.path() + "/agent.log");
    }
    // tr111d's command line with args, its debug key (null: none) and its
    // /etc/config.txt.
    std::vector<std::string> tr111d(const char* key, std::vector<std::string> args,
                                    const std::string& config = "com_mode 0\n") {
        EXPECT_TRUE(key ? confd.set("KELMO/TR111/tr111_debug", key)
                        : confd.del("KELMO/TR111/tr111_debug"));
        write_file(dir.path() + "/config.txt", config);
        auto prog = program("tr111d");
        args.insert(args.begin(), prog.begin(), prog.end());
        args.insert(args.begin(), {src("lab/scripts/with-etc-config"), dir.path() + "/config.txt"});
        return args;
    }

    TempDir dir;
    Confd confd;
    std::unique_ptr<Background> tr69agent;
};

} // namespace tr111test
