// confd's command parser: the bytes of a whole connection fed to a session
// of a server with no state folder and small byte limits, beside a
// subscriber that receives every committed change, in rounds as the
// program's loop runs them. The same bytes are fed twice, to two fresh
// servers: all at once, and in pieces whose sizes the first input byte
// chooses. The replies, the records the subscriber receives and the trees
// left behind must be the same whatever way the bytes arrived.
#include "lab/confd/confd_core.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void no_log(const char*) {}

std::string frame(std::string_view s) {
    std::string out;
    confd::append_frame(out, s);
    return out;
}

// Takes everything the session has to send.
void drain(confd::Session& s, std::string& out) {
    for (;;) {
        iovec iov[16];
        int n = s.output_iov(iov, 16);
        if (n == 0) return;
        size_t total = 0;
        for (int i = 0; i < n; ++i) {
            out.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
            total += iov[i].iov_len;
        }
        s.output_sent(total);
    }
}

// Feeds bytes, then runs rounds and keeps the output moving, as the
// server's loop does, until nothing is left to handle.
void feed(confd::Session& s, std::string& out, const uint8_t* data, size_t len) {
    s.feed(data, len);
    for (;;) {
        drain(s, out);
        if (!s.runnable()) return;
        s.begin_round();
        s.process();
    }
}

confd::Limits small_limits() {
    confd::Limits l;
    l.store_bytes = 1u << 20;
    l.pending_bytes = 64u << 10;
    l.pending_total = 96u << 10;
    return l;
}

void dump(const confd::Node& n, std::string& out) {
    out += '(';
    out += n.key();
    if (n.has_value) {
        out += '=';
        out += n.value;
    }
    for (const auto& [key, son] : n.sons)
        dump(*son, out);
    out += ')';
}

struct Run {
    confd::Server srv{"", small_limits()};
    confd::Session sub{srv, 1};
    confd::Session conn{srv, 2};
    std::string out, sub_out, trees;

    Run() {
        std::string s = frame("subscribe");
        feed(sub, sub_out, reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }
    void end() {
        conn.input_ended();
        feed(conn, out, nullptr, 0);
        drain(sub, sub_out);
        for (int store = 0; store < confd::STORE_COUNT; ++store)
            dump(*srv.root(store), trees);
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    confd::set_log_sink(no_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t rng = data[0] * 2654435761u + 1;
    ++data;
    --size;

    Run whole;
    feed(whole.conn, whole.out, data, size);
    whole.end();

    Run pieces;
    for (size_t off = 0; off < size;) {
        rng = rng * 1103515245u + 12345u;
        size_t n = 1 + (rng >> 16) % 64;
        if (n > size - off) n = size - off;
        feed(pieces.conn, pieces.out, data + off, n);
        off += n;
    }
    pieces.end();

    if (whole.out != pieces.out || whole.sub_out != pieces.sub_out || whole.trees != pieces.trees ||
        whole.conn.closing() != pieces.conn.closing())
        abort();
    return 0;
}
