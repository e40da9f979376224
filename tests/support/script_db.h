// A configuration server played by the test, on a thread of its own on port
// 7000 (of the test's network namespace): the commands of the database
// client over one tree of values (every store shares it), but the sons of
// a set listed the last written first, set handles with hexadecimal letters
// in them, the "tr69 action" replies the test chooses, and any request the
// test names failed, its connection reset instead of answered. So the
// client and the walks over it meet a server that is not the lab's confd.
#pragma once

#include "platform/include/ipc.h"
#include "platform/include/set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tr111test {

class ScriptDb {
  public:
    ScriptDb() {
        if (lfd_ >= 0 && fcntl(lfd_, F_SETFL, O_NONBLOCK) == 0 && pipe2(wake_, O_CLOEXEC) == 0)
            thread_ = std::thread([this] { serve(); });
    }
    ~ScriptDb() { stop(); }
    bool up() const { return thread_.joinable(); }
    // Closes the port and every connection.
    void stop() {
        if (thread_.joinable() && write(wake_[1], "x", 1) == 1) thread_.join();
        for (int fd : {lfd_, wake_[0], wake_[1]})
            close(fd);
        lfd_ = wake_[0] = wake_[1] = -1;
    }

    // Writes a value and the levels above it (one tree serves every store).
    void set(const std::string& path, const std::string& value) {
        std::lock_guard<std::mutex> l(mu_);
        write_value(path, value);
    }
    // The value at path, or "(absent)", once what every connection opened
    // before has sent is served: a read on a connection of its own, served
    // after them, comes first.
    std::string get(const std::string& path) {
        int fd = ipc_connect(7000); // the IPC hooks see it too
        char* r = fd < 0 || ipc_string_write(fd, "rg_conf_get_exist") || ipc_string_write(fd, "/")
                      ? nullptr
                      : ipc_string_read(fd);
        if (!r) ADD_FAILURE() << "the script server does not answer";
        free(r);
        ipc_client_close(fd, 0);
        std::lock_guard<std::mutex> l(mu_);
        auto it = tree_.find(split(path));
        return it == tree_.end() ? "(absent)" : it->second.value;
    }
    // The n-th request from now whose items, joined by blanks, contain text
    // is not answered: its connection is reset.
    void fail(const std::string& text, int n = 1) {
        std::lock_guard<std::mutex> l(mu_);
        std::tie(fail_text_, fail_n_) = std::tuple(text, n);
    }
    // The status and text every "tr69 action" gets from now on.
    void action_reply(const std::string& status, const std::string& text) {
        std::lock_guard<std::mutex> l(mu_);
        action_ = {status, text};
    }

  private:
    using Path = std::vector<std::string>;
    struct Node {
        std::string value; // its key, for a node never written
        Path sons;
    };
    using Tree = std::map<Path, Node>; // the root is the empty path

    static Path split(const std::string& path) {
        Path out;
        std::stringstream s(path);
        for (std::string part; std::getline(s, part, '/');)
            if (!part.empty()) out.push_back(part);
        return out;
    }
    static Path parent_of(Path p) { return p.resize(p.size() - !p.empty()), p; }
    // A path that ends with '/' and a value that is a name make an empty set.
    void write_value(const std::string& path, const std::string& value) {
        Path c = split(path);
        bool set = path.ends_with("/") && (isalpha(value[0]) || value[0] == '_');
        if (set) c.push_back(value);
        for (size_t n = 1; n <= c.size(); ++n)
            if (Path p(c.begin(), c.begin() + n); !tree_.count(p)) {
                tree_[p].value = c[n - 1];
                Path& s = tree_[parent_of(p)].sons;
                s.insert(s.begin(), c[n - 1]); // the last written first
            }
        if (!set && !c.empty()) tree_[c].value = value;
    }
    // A handle carries a hexadecimal letter, so that one read as decimal is wrong.
    std::string handle(const Path& p) {
        return (std::stringstream()
                << std::hex << handles_.try_emplace(p, 0xa0000 + handles_.size()).first->second)
            .str();
    }
    const Path* node(const std::string& text) {
        unsigned h = 0;
        if (sscanf(text.c_str(), "%x", &h) == 1)
            for (const auto& [n, id] : handles_)
                if (id == h && tree_.count(n)) return &n;
        return nullptr;
    }
    // Items after the command; -1: an unknown command.
    static int arity(const std::string& cmd) {
        if (cmd == "close" || cmd == "tr69 action") return cmd == "close" ? 0 : 9;
        if (cmd.ends_with("set_path_value") || cmd == "rg_factory_set_value") return 2;
        for (const char* one : {"get_exist", "set_free", "factory_free", "get_set", "get_son",
                                "get_next", "get_nsons", "get_value", "reconf"})
            if (cmd.ends_with(one)) return 1;
        return -1;
    }

    // Carries out one request: its replies, or false to reset the connection.
    bool execute(const Path& it, Path& out) {
        std::string line;
        for (const auto& i : it)
            line.append(" ").append(i);
        if (fail_n_ > 0 && line.find(fail_text_) != line.npos && --fail_n_ == 0) return false;
        const std::string& cmd = it[0];
        const Path c = it.size() > 1 ? split(it[1]) : Path{};
        if (cmd.ends_with("get_exist")) {
            std::string q(2 * 4096 + 2, '\0');
            auto quoted = [&](const std::string& s) {
                return q.substr(0, set_quote(q.data(), s.data(), std::min<size_t>(s.size(), 4096)));
            };
            const bool in = !c.empty() && tree_.count(c);
            out.push_back(!in ? ""
                              : std::string("(") + quoted(c.size() > 1 ? c[c.size() - 2] : "") +
                                    "(" + quoted(c.back()) + "=" + quoted(tree_[c].value) + "))");
        } else if (cmd.ends_with("set_path_value") || cmd == "rg_factory_set_value") {
            write_value(it[1], it[2]);
        } else if ((cmd.ends_with("set_free") || cmd == "rg_factory_free") && !c.empty() &&
                   tree_.count(c)) {
            std::erase(tree_[parent_of(c)].sons, c.back());
            std::erase_if(tree_, [&](auto& e) {
                return e.first.size() >= c.size() &&
                       std::equal(c.begin(), c.end(), e.first.begin());
            });
        } else if (cmd.ends_with("get_set")) {
            out.push_back(tree_.count(c) ? handle(c) : "0");
        } else if (cmd.ends_with("get_son") || cmd.ends_with("get_next")) {
            // The son at a position of the set, or the sibling after a node.
            const bool son = cmd.ends_with("son");
            int at = 0;
            auto n = node(it[1]);
            Path parent = !n ? Path{} : son ? *n : parent_of(*n);
            Path s = n ? tree_[parent].sons : Path{};
            if (!son && n && !n->empty())
                at = int(std::find(s.begin(), s.end(), n->back()) - s.begin()) + 1;
            bool ok = n && (!son || sscanf(it[1].c_str(), "%*x %d", &at) == 1) && at >= 0 &&
                      size_t(at) < s.size() && (son || !n->empty());
            if (ok) parent.push_back(s[at]);
            out.push_back(ok ? handle(parent) : "0");
        } else if (cmd.ends_with("get_nsons") || cmd.ends_with("get_value")) {
            auto n = node(it[1]);
            const Node* v = n ? &tree_[*n] : nullptr;
            out.push_back(cmd.ends_with("nsons") ? std::to_string(v ? v->sons.size() : 0)
                          : v                    ? v->value
                                                 : "");
        } else if (cmd == "tr69 action") {
            // Action 10: one byte per son of the entity, its key + 1.
            std::string bytes;
            for (const auto& s :
                 it[1] == "10" && tree_.count(split(it[2])) ? tree_[split(it[2])].sons : Path{})
                if (s.find_first_not_of("0123456789") == s.npos && s.size() < 4 &&
                    std::stoi(s) < 255)
                    bytes += char(std::stoi(s) + 1);
            out = action_.first.empty() ? Path{it[1] == "10" ? "0" : "-1", bytes}
                                        : Path{action_.first, action_.second};
        }
        return true;
    }

    // Serves the whole requests that have come on a connection; false when
    // it is to be closed (reset, when reset is set).
    bool take(int fd, std::string& in, Path& items, bool& reset) {
        ipc_item item;
        for (long n; (n = ipc_item_parse(reinterpret_cast<const uint8_t*>(in.data()), in.size(),
                                         &item)) != 0;) {
            if (n < 0) return false;
            items.push_back(item.tag == IPC_TAG_U32
                                ? std::string("#").append(std::to_string(item.u32))
                                : std::string(item.str, item.str_len));
            in.erase(0, size_t(n));
            if (arity(items[0]) <= 0) return false; // "close", or an unknown command
            if (items.size() <= size_t(arity(items[0]))) continue;
            Path out;
            std::lock_guard<std::mutex> l(mu_);
            if (!execute(items, out)) return !(reset = true);
            items.clear();
            for (const auto& s : out) { // a blocking socket: sent whole, or failed in time
                std::string f(5 + s.size(), '\0');
                ipc_frame_string(reinterpret_cast<uint8_t*>(f.data()), s.data(),
                                 uint32_t(s.size()));
                if (send(fd, f.data(), f.size(), MSG_NOSIGNAL) != ssize_t(f.size())) return false;
            }
        }
        return true;
    }

    // One thread serves every connection, the oldest first in each round, so
    // what a client wrote and closed is served before its next connection.
    void serve() {
        struct Conn {
            int fd;
            std::string in;
            Path items;
        };
        std::vector<Conn> conns;
        for (;;) {
            std::vector<pollfd> p = {{wake_[0], POLLIN, 0}, {lfd_, POLLIN, 0}};
            for (const auto& c : conns)
                p.push_back({c.fd, POLLIN, 0});
            if (poll(p.data(), p.size(), -1) < 0) continue;
            if (p[0].revents) break;
            for (auto& c : conns) {
                char buf[65536];
                ssize_t n;
                while ((n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
                    c.in.append(buf, size_t(n));
                bool reset = false, gone = n == 0 || (n < 0 && errno != EAGAIN);
                if (!take(c.fd, c.in, c.items, reset) || gone) {
                    linger lg{1, 0};
                    if (reset) setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
                    close(std::exchange(c.fd, -1));
                }
            }
            std::erase_if(conns, [](const Conn& c) { return c.fd < 0; });
            const timeval patience{5, 0}; // a client that never reads stalls no send for good
            for (int fd; (fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
                conns.push_back({fd, {}, {}});
            }
        }
        for (const auto& c : conns)
            close(c.fd);
    }

    int lfd_ = ipc_listen(7000);
    int wake_[2] = {-1, -1};
    std::mutex mu_;
    Tree tree_;
    std::map<Path, unsigned> handles_;
    std::string fail_text_;
    int fail_n_ = 0;
    std::pair<std::string, std::string> action_;
    std::thread thread_;
};

} // namespace tr111test
