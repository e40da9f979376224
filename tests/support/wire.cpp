#include "tests/support/wire.h"

#include "platform/include/ipc.h"

namespace tr111test {

WireLog::WireLog() {
    ipc_hooks h{};
    h.ctx = this;
    h.on_connect = &WireLog::on_connect;
    h.on_write = &WireLog::on_write;
    h.on_read = &WireLog::on_read;
    h.on_close = &WireLog::on_close;
    ipc_set_hooks(&h);
}

WireLog::~WireLog() {
    ipc_set_hooks(nullptr);
}

std::vector<WireLog::Conn> WireLog::conns() const {
    std::lock_guard<std::mutex> l(mu_);
    return conns_;
}

std::vector<std::string> WireLog::written() const {
    std::lock_guard<std::mutex> l(mu_);
    std::vector<std::string> out;
    for (const auto& c : conns_) {
        for (const auto& i : c.items)
            if (i.rfind("> ", 0) == 0) out.push_back(i.substr(2));
        out.push_back("|");
    }
    return out;
}

void WireLog::clear() {
    std::lock_guard<std::mutex> l(mu_);
    // Keep the connections still open, without their items.
    std::vector<Conn> open;
    for (auto& c : conns_)
        if (!c.closed) {
            c.items.clear();
            open.push_back(c);
        }
    conns_ = open;
}

void WireLog::fail_write(const std::string& text, int n) {
    std::lock_guard<std::mutex> l(mu_);
    fail_text_ = text;
    fail_n_ = n;
    if (n == 0) fail_all_ = false;
}

void WireLog::fail_all_writes(bool on) {
    std::lock_guard<std::mutex> l(mu_);
    fail_all_ = on;
}

WireLog::Conn* WireLog::find(int fd) {
    for (auto it = conns_.rbegin(); it != conns_.rend(); ++it)
        if (it->fd == fd && !it->closed) return &*it;
    return nullptr;
}

void WireLog::on_connect(void* ctx, int fd, uint16_t port) {
    auto* self = static_cast<WireLog*>(ctx);
    std::lock_guard<std::mutex> l(self->mu_);
    Conn c;
    c.fd = fd;
    c.port = port;
    self->conns_.push_back(c);
}

int WireLog::on_write(void* ctx, int fd, const ipc_item* item) {
    auto* self = static_cast<WireLog*>(ctx);
    std::lock_guard<std::mutex> l(self->mu_);
    std::string text = item->tag == IPC_TAG_U32 ? "#" + std::to_string(item->u32)
                                                : std::string(item->str, item->str_len);
    Conn* c = self->find(fd);
    if (c) c->items.push_back("> " + text);
    if (self->fail_all_) return -1;
    if (self->fail_n_ > 0 && text == self->fail_text_ && --self->fail_n_ == 0) return -1;
    return 0;
}

int WireLog::on_read(void* ctx, int fd, const char* s) {
    auto* self = static_cast<WireLog*>(ctx);
    std::lock_guard<std::mutex> l(self->mu_);
    if (Conn* c = self->find(fd)) c->items.push_back(std::string("< ") + s);
    return 0;
}

void WireLog::on_close(void* ctx, int fd, uint32_t err) {
    auto* self = static_cast<WireLog*>(ctx);
    std::lock_guard<std::mutex> l(self->mu_);
    if (Conn* c = self->find(fd)) {
        c->closed = true;
        c->close_err = err;
    }
}

} // namespace tr111test
