// Running programs from tests: the project's programs (from TR111_BIN,
// under TR111_EMU when the tests run under an emulator), and any command.
#pragma once

#include <string>
#include <vector>

namespace tr111test {

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out; // standard output
    std::string err; // standard error
};

// Path of a program of the project (TR111_BIN/name).
std::string bin(const std::string& name);
// The command line that runs a program of the project: the emulator prefix
// (if any) and its path.
std::vector<std::string> program(const std::string& name);
// Path of a file of the source tree (TR111_SRC/rel).
std::string src(const std::string& rel);

// Runs argv to its end (killed after timeout_ms), feeding input on standard input.
RunResult run(const std::vector<std::string>& argv, const std::string& input = "",
              int timeout_ms = 60000);
// Runs a program of the project with its arguments.
RunResult run_program(const std::string& name, const std::vector<std::string>& args,
                      int timeout_ms = 60000);
// Runs a shell command line (sh -c).
RunResult sh(const std::string& cmdline, int timeout_ms = 60000);

// A program running in the background, its standard output and error going
// to a file. Killed (SIGKILL) and reaped when the object goes.
class Background {
  public:
    Background(const std::vector<std::string>& argv, const std::string& log_path);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    int pid() const { return pid_; }
    // Sends a signal.
    void signal(int sig);
    // Waits up to timeout_ms for the end; returns the exit status (128 +
    // signal when killed), or -1 if it is still running.
    int wait(int timeout_ms);
    bool running();

  private:
    int pid_ = -1;
    int status_ = -1;
};

// A fresh folder under /tmp, removed with its content when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// True once something accepts TCP connections on 127.0.0.1:port.
bool wait_port(int port, int timeout_ms);
// Reads a whole file ("" when it cannot be read).
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
// Counts the occurrences of needle in hay.
size_t count(const std::string& hay, const std::string& needle);
// Splits text into lines (without their newlines).
std::vector<std::string> lines(const std::string& text);
// Polls pred every 20 ms for up to timeout_ms; true as soon as it holds.
template <typename Pred>
bool eventually(Pred pred, int timeout_ms = 10000);

} // namespace tr111test

#include <chrono>
#include <thread>

template <typename Pred>
bool tr111test::eventually(Pred pred, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
