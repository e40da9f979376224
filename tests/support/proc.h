// Running programs from tests: the project's programs (in TR111_BIN, under
// the emulator of TR111_EMU if any) and any command.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tr111test {

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// Polls pred every 20 ms for up to timeout_ms; true as soon as it holds.
template <typename Pred>
bool eventually(Pred pred, int timeout_ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A fresh folder under /tmp, removed with its content when the object goes.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/tr111test.XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~TempDir() {
        std::error_code ec;
        if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The whole file ("" when it cannot be read).
inline std::string read_file(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}
inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
inline size_t count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = 0; !needle.empty() && (p = hay.find(needle, p)) != std::string::npos; ++p)
        ++n;
    return n;
}
inline std::vector<std::string> lines(const std::string& text) { // without their newlines
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);)
        out.push_back(l);
    return out;
}

namespace detail {
inline std::string env_or(const char* name, const std::string& fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}
// Starts argv with standard input, output and error on files in, out, err.
// The child never outlives the thread that started it (it is killed when
// that thread ends, however the test ends), and starts with no signal
// blocked and SIGPIPE at its default, whatever the test did with its own.
// argv as execvp takes it (made before a fork: the child allocates nothing).
inline std::vector<char*> c_argv(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& in,
                   const std::string& out, const std::string& err) {
    std::vector<char*> args = c_argv(argv);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        const char* paths[] = {in.c_str(), out.c_str(), err.c_str()};
        for (int i = 0; i < 3; ++i) {
            int fd = open(paths[i], i ? O_WRONLY | O_CREAT | O_APPEND : O_RDONLY, 0644);
            if (dup2(fd, i) == i && fd != i) close(fd);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}
inline int reap(pid_t pid, int timeout_ms) {
    int st = 0;
    if (!eventually([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeout_ms)) return -1;
    return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : WEXITSTATUS(st);
}
} // namespace detail

// The command line of a program at path: under the emulator of TR111_EMU, if any.
inline std::vector<std::string> emulated(const std::string& path) {
    std::vector<std::string> argv;
    std::istringstream emu(detail::env_or("TR111_EMU", ""));
    for (std::string w; emu >> w;)
        argv.push_back(w);
    argv.push_back(path);
    return argv;
}
// The command line of a program of the project.
inline std::vector<std::string> program(const std::string& name) {
    return emulated(detail::env_or("TR111_BIN", "build/bin") + "/" + name);
}
// Path of a file of the source tree (TR111_SRC/rel).
inline std::string src(const std::string& rel) {
    return detail::env_or("TR111_SRC", ".") + "/" + rel;
}

// A program in the background, its standard output and error appended to
// log_path (its error to err_path if given); killed (SIGKILL) and reaped
// when the object goes.
class Background {
  public:
    Background(const std::vector<std::string>& argv, const std::string& log_path,
               const std::string& err_path = "")
        : pid_(detail::spawn(argv, "/dev/null", log_path, err_path.empty() ? log_path : err_path)) {
    }
    ~Background() { stop(SIGKILL); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    int pid() const { return pid_; }
    void signal(int sig) {
        if (running()) kill(pid_, sig);
    }
    // Ends it: sig (0: none), then SIGKILL if it still runs after timeout_ms;
    // returns once it is reaped (its ports closed), with its exit status.
    int stop(int sig = SIGTERM, int timeout_ms = 5000) {
        signal(sig);
        if (wait(timeout_ms) < 0) {
            signal(SIGKILL);
            wait(10000);
        }
        return status_;
    }
    // The exit status (128 + signal if killed), or -1 if it runs after timeout_ms.
    int wait(int timeout_ms) {
        if (pid_ > 0 && status_ < 0) status_ = detail::reap(pid_, timeout_ms);
        return status_;
    }
    bool running() { return pid_ > 0 && wait(0) < 0; }

  private:
    int pid_ = -1, status_ = -1;
};

// Runs argv to its end; SIGKILL after timeout_ms. Files rather than pipes:
// a child it leaves running cannot hold the run.
inline RunResult run(const std::vector<std::string>& argv, int timeout_ms = 60000) {
    TempDir d;
    const int status = Background(argv, d.path() + "/out", d.path() + "/err").stop(0, timeout_ms);
    return {status, read_file(d.path() + "/out"), read_file(d.path() + "/err")};
}
inline RunResult run_program(const std::string& name, const std::vector<std::string>& args,
                             int timeout_ms = 60000) {
    auto argv = program(name);
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, timeout_ms);
}
inline RunResult sh(const std::string& cmdline, int timeout_ms = 60000) {
    return run({"sh", "-c", cmdline}, timeout_ms);
}

// True once something accepts TCP connections on 127.0.0.1:port (or, with
// free, once nothing does).
inline bool wait_port(int port, int timeout_ms, bool free = false) {
    const sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    return eventually(
        [&a, free] {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
            close(fd);
            return ok != free;
        },
        timeout_ms);
}

} // namespace tr111test
