#include "tests/support/proc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tr111test {

namespace {

std::string env_or(const char* name, const std::string& fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const auto& a : argv)
        out.push_back(const_cast<char*>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

int decode_status(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

} // namespace

std::string bin(const std::string& name) {
    return env_or("TR111_BIN", "build/bin") + "/" + name;
}

std::vector<std::string> program(const std::string& name) {
    std::vector<std::string> argv;
    std::istringstream emu(env_or("TR111_EMU", ""));
    for (std::string w; emu >> w;)
        argv.push_back(w);
    argv.push_back(bin(name));
    return argv;
}

std::string src(const std::string& rel) {
    return env_or("TR111_SRC", ".") + "/" + rel;
}

RunResult run(const std::vector<std::string>& argv, const std::string& input, int timeout_ms) {
    RunResult r;
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        auto args = c_argv(argv);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) {
        ssize_t n = write(in[1], input.data(), input.size());
        (void)n;
    }
    close(in[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    bool killed = false;
    while (open_fds > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            if (!killed) kill(pid, SIGKILL);
            killed = true;
            left = 1000;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = decode_status(st);
    return r;
}

RunResult run_program(const std::string& name, const std::vector<std::string>& args,
                      int timeout_ms) {
    auto argv = program(name);
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, "", timeout_ms);
}

RunResult sh(const std::string& cmdline, int timeout_ms) {
    return run({"sh", "-c", cmdline}, "", timeout_ms);
}

Background::Background(const std::vector<std::string>& argv, const std::string& log_path) {
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        int nul = open("/dev/null", O_RDONLY);
        if (nul >= 0) dup2(nul, 0);
        auto args = c_argv(argv);
        execvp(args[0], args.data());
        _exit(127);
    }
}

Background::~Background() {
    if (running()) {
        kill(pid_, SIGKILL);
        wait(5000);
    }
}

void Background::signal(int sig) {
    if (pid_ > 0 && status_ < 0) kill(pid_, sig);
}

int Background::wait(int timeout_ms) {
    if (status_ >= 0 || pid_ <= 0) return status_;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = decode_status(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool Background::running() {
    return pid_ > 0 && wait(0) < 0;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/tr111test.XXXXXX";
    const char* p = mkdtemp(tmpl);
    path_ = p ? p : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
}

bool wait_port(int port, int timeout_ms) {
    return eventually(
        [port] {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            close(fd);
            return ok;
        },
        timeout_ms);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

size_t count(const std::string& hay, const std::string& needle) {
    if (needle.empty()) return 0;
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);)
        out.push_back(l);
    return out;
}

} // namespace tr111test
