#include "tests/faults/faults_support.h"

#include "platform/include/tr69_wire.h"
#include "tests/daemon/daemon_support.h"

#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tr111test {

namespace {

int listen_on(uint16_t port, int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Set on the listener, the size is inherited by the accepted socket and
    // limits the window the peer may fill.
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void answer(int fd, uint8_t type, std::initializer_list<uint32_t> words) {
    uint8_t buf[8];
    size_t n = 0;
    for (uint32_t w : words) {
        tr69_put_u32(buf + n, w);
        n += 4;
    }
    tr69_wire_send(fd, type, std::span<const uint8_t>(buf, n));
}

} // namespace

int lab_pid(const Lab& lab, const std::string& program) {
    std::string text = read_file(lab.dir() + "/pid/" + program + ".pid");
    return text.empty() ? -1 : atoi(text.c_str());
}

bool lab_kill(const Lab& lab, const std::string& program) {
    int pid = lab_pid(lab, program);
    if (pid <= 0) return false;
    kill(pid, SIGKILL);
    return eventually([pid] { return kill(pid, 0) != 0; });
}

int fd_count(int pid) {
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1; // the descriptor of the listing itself
}

size_t count_in_file(const std::string& path, const std::string& needle) {
    return count(read_file(path), needle);
}

OwnDaemon::OwnDaemon(bool with_agent) {
    confd_.set("KELMO/TR111/tr111_debug", "1");
    mgmtd_ = std::make_unique<Background>(program("mgmtd"), dir_.path() + "/mgmtd.log");
    wait_port(3490, 10000);
    if (with_agent) {
        agent_ = std::make_unique<Background>(program("tr69agent"), dir_.path() + "/agent.log");
        wait_port(7100, 10000);
    }
}

OwnDaemon::~OwnDaemon() {
    daemon_.reset();
    agent_.reset();
    mgmtd_.reset();
}

bool OwnDaemon::start() {
    daemon_ = std::make_unique<Background>(daemon_argv(dir_, "com_mode 0\n", {"3"}),
                                           dir_.path() + "/tr111d.log");
    return eventually(
        [] { return run_program("mgmt", {"status"}).out.find("daemon: started") == 0; }, 30000);
}

BadAgent::BadAgent(Mode mode) : mode_(mode) {
    listener_ = listen_on(TR69_AGENT_PORT, mode == Mode::no_reading ? 2048 : 0);
    if (listener_ >= 0) thread_ = std::thread([this] { serve(); });
}

BadAgent::~BadAgent() {
    stop_ = true;
    if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
    int fd = fd_.load();
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (fd >= 0) close(fd);
    if (listener_ >= 0) close(listener_);
}

void BadAgent::serve() {
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    fd_ = fd;
    uint8_t payload[TR69_WIRE_MAX_PAYLOAD];
    while (!stop_) {
        uint8_t type = 0;
        if (tr69_wire_recv(fd, "OEA", &type, payload, 30000) != TR69_WIRE_OK) return;
        if (type == TR69_FRAME_OPEN) {
            answer(fd, TR69_FRAME_OPEN_ANSWER, {0, 1});
        } else if (type == TR69_FRAME_ENTRY) {
            for (size_t i = 0; i < TR69_HANDLER_BLOCK_WORDS; ++i) {
                uint32_t w = tr69_get_u32(payload + TR69_WIRE_NAME + 12 + 4 * i);
                if (w != 0 && w != TR69_END_MARK) handlers_.push_back(w);
            }
            answer(fd, TR69_FRAME_ENTRY_ANSWER, {0});
        } else {
            uint32_t rows = tr69_get_u32(payload);
            for (uint32_t i = 0; i < rows && i < TR69_WIRE_ATOMICITY_MAX; ++i)
                handlers_.push_back(
                    tr69_get_u32(payload + 4 + i * TR69_WIRE_ATOM_ROW_SIZE + TR69_WIRE_NAME + 12));
            answer(fd, TR69_FRAME_ENTRIES_ANSWER, {0, TR69_WIRE_NO_ROW});
            registered_ = true;
            return;
        }
    }
}

bool BadAgent::wait_registered(int timeout_ms) {
    return eventually([this] { return registered_.load(); }, timeout_ms);
}

void BadAgent::misbehave() {
    int fd = fd_.load();
    if (fd < 0) return;
    switch (mode_) {
    case Mode::garbage: {
        const uint8_t frame[] = {'Z', 0, 0, 0, 1, 0};
        send(fd, frame, sizeof frame, MSG_NOSIGNAL);
        break;
    }
    case Mode::half_frame: {
        // The header of a request and a part of its record.
        std::vector<uint8_t> part(TR69_WIRE_HEADER + 100, 'x');
        part[0] = TR69_FRAME_REQUEST;
        tr69_put_u32(part.data() + 1, sizeof(tr69_request));
        send(fd, part.data(), part.size(), MSG_NOSIGNAL);
        break;
    }
    case Mode::no_reading:
        break; // it reads nothing from now on
    case Mode::stray:
        break; // request() does it
    }
}

int32_t BadAgent::request(uint32_t handler) {
    int fd = fd_.load();
    tr69_request req;
    memset(&req, 0, sizeof req);
    strcpy(req.name, "InternetGatewayDevice.ManagementServer.ManageableDevice.1.SerialNumber");
    req.handler = handler;
    req.id = 4;
    req.echo = ++echo_;
    req.instances[0] = 1;
    if (tr69_wire_send(fd, TR69_FRAME_REQUEST,
                       std::span(reinterpret_cast<const uint8_t*>(&req), sizeof req)) != 0)
        return INT32_MIN;
    for (;;) {
        tr69_reply rep;
        uint8_t type = 0;
        if (tr69_wire_recv(fd, "rN", &type, std::span(reinterpret_cast<uint8_t*>(&rep), sizeof rep),
                           20000) != TR69_WIRE_OK)
            return INT32_MIN;
        if (type == TR69_FRAME_REPLY && rep.echo == req.echo) return rep.result;
    }
}

StalledConfd::StalledConfd(bool trickle) {
    listener_ = listen_on(7000);
    if (listener_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) return;
    thread_ = std::thread([this, trickle] {
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        std::vector<bool> replying = {false, false};
        for (;;) {
            if (poll(fds.data(), fds.size(), 1000) < 0) continue;
            if (fds[0].revents) break;
            if (fds[1].revents & POLLIN) {
                int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c >= 0) {
                    fds.push_back({c, POLLIN, 0});
                    replying.push_back(false);
                    ++accepted_;
                }
            }
            for (size_t i = 2; i < fds.size();) {
                char buf[4096];
                bool gone = false;
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    gone = recv(fds[i].fd, buf, sizeof buf, 0) <= 0;
                    if (!gone && trickle && !replying[i]) {
                        // A string item of 1000 bytes is announced...
                        const uint8_t head[] = {'S', 0, 0, 0x03, 0xE8};
                        send(fds[i].fd, head, sizeof head, MSG_NOSIGNAL);
                        replying[i] = true;
                    }
                } else if (replying[i]) {
                    // ...and comes one byte a second.
                    send(fds[i].fd, "x", 1, MSG_NOSIGNAL);
                }
                if (gone) {
                    close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<long>(i));
                    replying.erase(replying.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
        }
        for (size_t i = 2; i < fds.size(); ++i)
            close(fds[i].fd);
    });
}

StalledConfd::~StalledConfd() {
    if (wake_[1] >= 0) {
        char b = 1;
        ssize_t w = write(wake_[1], &b, 1);
        (void)w;
    }
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    for (int fd : wake_)
        if (fd >= 0) close(fd);
}

} // namespace tr111test
