// Runs the rest of a program that starts the lab in namespaces of its own:
// a network namespace (loopback up) for the fixed ports, a PID namespace
// whose processes all end with the program, even when it is killed, and a
// mount namespace, with a tmpfs on /tmp if asked, so that the run folders
// made there live in memory (confd syncs its store to disk at every
// commit) and vanish with the program.
#pragma once

#include "tests/support/proc.h"

#include <cstdio>
#include <sys/mount.h>

namespace tr111test {

// First call: re-executes the program (under the emulator of TR111_EMU, if
// any) through unshare and does not return unless that fails. In the
// re-executed program: mounts the tmpfs when asked to, unless the program
// or a path it is given (TR111_BIN, TR111_SRC, TR111_EMU, TR111_FOOTPRINT)
// lies under /tmp. False, with a line on standard error, when either cannot
// be done.
inline bool contain(int argc, char** argv, bool tmpfs = true) {
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!getenv("TR111_CONTAINED")) {
        std::vector<std::string> a = {"unshare", "--net",        "--pid",
                                      "--fork",  "--kill-child", "--mount-proc",
                                      "sh",      "-c",           "ip link set lo up && exec \"$@\"",
                                      "contain"};
        for (const std::string& w : emulated(self))
            a.push_back(w);
        a.insert(a.end(), argv + 1, argv + argc);
        setenv("TR111_CONTAINED", "1", 1);
        fflush(nullptr);
        std::vector<char*> args = detail::c_argv(a);
        execvp(args[0], args.data());
        perror("contain: unshare");
        return false;
    }
    if (!tmpfs) return true;
    // What the program needs from /tmp would be hidden: then no tmpfs.
    for (const std::string& p :
         {self, detail::env_or("TR111_BIN", ""), detail::env_or("TR111_SRC", ""),
          detail::env_or("TR111_EMU", ""), detail::env_or("TR111_FOOTPRINT", "")})
        if (p.find("/tmp/") != std::string::npos) return true;
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777,size=512m") != 0) {
        perror("contain: tmpfs on /tmp");
        return false;
    }
    return true;
}

} // namespace tr111test
