// Every item the database client writes and reads, per connection, seen
// through the IPC observer hooks; a chosen write can be made to fail.
#pragma once

#include "platform/include/ipc.h"

#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace tr111test {

struct WireLog {
    struct Conn {
        int fd = -1, port = 0;
        // In order: "> text" string written, "> #4" integer written, "< text" string read.
        std::vector<std::string> items;
        bool closed = false;
        unsigned close_err = 0;
    };

    WireLog() { // installs the hooks
        ipc_hooks h{};
        h.ctx = this;
        h.on_connect = [](void* ctx, int fd, uint16_t port) {
            auto [self, l] = lock(ctx);
            self->conns_.push_back({fd, port, {}, false, 0});
        };
        h.on_write = [](void* ctx, int fd, const ipc_item* item) {
            auto [self, l] = lock(ctx);
            // Built by appends: "#" + std::string&& trips g++ 12's -Wrestrict at -O3.
            std::string text = item->tag == IPC_TAG_U32
                                   ? std::string("#").append(std::to_string(item->u32))
                                   : std::string(item->str, item->str_len);
            if (Conn* c = self->find(fd)) c->items.push_back(std::string("> ").append(text));
            return self->fail_n_ > 0 && text == self->fail_text_ && --self->fail_n_ == 0 ? -1 : 0;
        };
        h.on_read = [](void* ctx, int fd, const char* s) {
            auto [self, l] = lock(ctx);
            if (Conn* c = self->find(fd)) c->items.push_back(std::string("< ") + s);
            return 0;
        };
        h.on_close = [](void* ctx, int fd, uint32_t err) {
            auto [self, l] = lock(ctx);
            if (Conn* c = self->find(fd)) std::tie(c->closed, c->close_err) = std::tuple(true, err);
        };
        ipc_set_hooks(&h);
    }
    ~WireLog() { ipc_set_hooks(nullptr); }

    // Connections in the order they were opened.
    std::vector<Conn> conns() const {
        std::lock_guard<std::mutex> l(mu_);
        return conns_;
    }
    // The items written, in order, each connection's followed by "|".
    std::vector<std::string> written() const {
        std::lock_guard<std::mutex> l(mu_);
        std::vector<std::string> out;
        for (const auto& c : conns_) {
            for (const auto& i : c.items)
                if (i.rfind("> ", 0) == 0) out.push_back(i.substr(2));
            out.push_back("|");
        }
        return out;
    }
    // The items written since the last call, joined by blanks; forgets them.
    std::string sent() {
        std::string s;
        for (const auto& item : written())
            s.append(s.empty() ? "" : " ").append(item);
        clear();
        return s;
    }
    // Forgets the closed connections and every item.
    void clear() {
        std::lock_guard<std::mutex> l(mu_);
        std::erase_if(conns_, [](const Conn& c) { return c.closed; });
        for (auto& c : conns_)
            c.items.clear();
    }
    // Fails the n-th write from now of item text (integer 4: "#4"); 0 clears.
    void fail_write(const std::string& text, int n = 1) {
        std::lock_guard<std::mutex> l(mu_);
        std::tie(fail_text_, fail_n_) = std::tuple(text, n);
    }
    static std::pair<WireLog*, std::unique_lock<std::mutex>> lock(void* ctx) {
        auto* self = static_cast<WireLog*>(ctx);
        return {self, std::unique_lock<std::mutex>(self->mu_)};
    }
    Conn* find(int fd) {
        for (auto it = conns_.rbegin(); it != conns_.rend(); ++it)
            if (it->fd == fd && !it->closed) return &*it;
        return nullptr;
    }

    mutable std::mutex mu_;
    std::vector<Conn> conns_;
    std::string fail_text_;
    int fail_n_ = 0;
};

} // namespace tr111test
