// A program whose readers went away: its standard output and error on a
// pipe nobody reads any more, so that its first write there fails (EPIPE),
// or ends it when it does not ignore SIGPIPE.
#pragma once

#include "tests/support/proc.h"

namespace tr111test {

// The command line that runs argv so (through sh, with a fifo made in the
// folder dir and removed before argv starts).
inline std::vector<std::string> into_broken_pipe(const std::string& dir,
                                                 const std::vector<std::string>& argv) {
    std::vector<std::string> sh = {
        "sh", "-c",
        "f=$0/pipe$$ && mkfifo $f && exec 3<>$f 4>$f 3<&- && rm $f && exec \"$@\" >&4 2>&4 4>&-",
        dir};
    sh.insert(sh.end(), argv.begin(), argv.end());
    return sh;
}

// A program of the project so, with its arguments.
inline std::vector<std::string> program_into_broken_pipe(const std::string& dir,
                                                         const std::string& name,
                                                         const std::vector<std::string>& args) {
    std::vector<std::string> argv = program(name);
    argv.insert(argv.end(), args.begin(), args.end());
    return into_broken_pipe(dir, argv);
}

} // namespace tr111test
