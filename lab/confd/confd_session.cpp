// confd: one connection's protocol. Items are decoded as they arrive; a
// command is executed once all its arguments are in; replies and records
// wait in the session's output until the program's loop sends them.
#include "lab/confd/confd_core.h"
#include <cctype>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace confd {

namespace {

enum class Op : uint8_t {
    GET_EXIST,
    WRITE,
    FREE,
    SET_PATH,
    GET_SET,
    SON,
    NEXT,
    NSONS,
    VALUE,
    ENTRY,
    RECONF,
    CLOSE,
    SUBSCRIBE,
    TR69,
};

constexpr int NO_STORE = -1;

// Parses 1 to 8 hexadecimal digits, nothing else.
bool parse_hex(std::string_view s, uint32_t* out) {
    if (s.empty() || s.size() > 8) return false;
    uint32_t v = 0;
    for (char c : s) {
        uint32_t d;
        if (c >= '0' && c <= '9')
            d = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<uint32_t>(c - 'A' + 10);
        else
            return false;
        v = v << 4 | d;
    }
    *out = v;
    return true;
}

// Parses a whole signed decimal number that fits 32 bits.
bool parse_int(std::string_view s, int32_t* out) {
    size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    if (i == s.size() || s.size() - i > 10) return false;
    int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    if (neg) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

// Why bytes that ipc_item_parse refused can never form an item.
std::string frame_error(const uint8_t* p, size_t len) {
    char buf[96];
    if (p[0] != IPC_TAG_STRING && p[0] != IPC_TAG_U32) {
        snprintf(buf, sizeof buf, "unknown item tag 0x%02x", p[0]);
    } else {
        uint32_t n = len >= 5
                         ? (static_cast<uint32_t>(p[1]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
                            static_cast<uint32_t>(p[3]) << 8 | p[4])
                         : 0;
        if (p[0] == IPC_TAG_U32)
            snprintf(buf, sizeof buf, "integer item of length %" PRIu32, n);
        else if (n > IPC_STRING_MAX)
            snprintf(buf, sizeof buf, "string item of %" PRIu32 " bytes (more than %" PRIu32 ")", n,
                     IPC_STRING_MAX);
        else
            snprintf(buf, sizeof buf, "zero byte inside a string item");
    }
    return buf;
}

} // namespace

struct Session::Command {
    const char* name;
    Op op;
    int store;
    size_t nargs;
};

using Cmd = Session::Command;

namespace {

const Cmd commands[] = {
    {"rg_conf_get_exist", Op::GET_EXIST, STORE_MAIN, 1},
    {"rg_conf_ram_get_exist", Op::GET_EXIST, STORE_RAM, 1},
    {"rg_conf_priv_get_exist", Op::GET_EXIST, STORE_PRIV, 1},
    {"rg_factory_get_exist", Op::GET_EXIST, STORE_FACTORY, 1},
    {"rg_conf_set_path_value", Op::WRITE, STORE_MAIN, 2},
    {"rg_conf_ram_set_path_value", Op::WRITE, STORE_RAM, 2},
    {"rg_conf_priv_set_path_value", Op::WRITE, STORE_PRIV, 2},
    {"rg_factory_set_value", Op::WRITE, STORE_FACTORY, 2},
    {"rg_conf_set_free", Op::FREE, STORE_MAIN, 1},
    {"rg_conf_ram_set_free", Op::FREE, STORE_RAM, 1},
    {"rg_conf_priv_set_free", Op::FREE, STORE_PRIV, 1},
    {"rg_factory_free", Op::FREE, STORE_FACTORY, 1},
    {"rg_conf_set_set_path", Op::SET_PATH, STORE_MAIN, 1},
    {"rg_conf_ram_set_set_path", Op::SET_PATH, STORE_RAM, 1},
    {"rg_conf_priv_set_set_path", Op::SET_PATH, STORE_PRIV, 1},
    {"rg_conf_get_set", Op::GET_SET, STORE_MAIN, 1},
    {"rg_conf_ram_get_set", Op::GET_SET, STORE_RAM, 1},
    {"rg_conf_set_get_son", Op::SON, NO_STORE, 1},
    {"rg_conf_set_get_next", Op::NEXT, NO_STORE, 1},
    {"rg_conf_set_get_nsons", Op::NSONS, NO_STORE, 1},
    {"rg_conf_set_get_value", Op::VALUE, NO_STORE, 1},
    {"rg_conf_set_get_entry", Op::ENTRY, NO_STORE, 1},
    {"reconf", Op::RECONF, NO_STORE, 1},
    {"close", Op::CLOSE, NO_STORE, 0},
    {"subscribe", Op::SUBSCRIBE, NO_STORE, 0},
    {"tr69 action", Op::TR69, NO_STORE, 9},
};

const Cmd* find_command(std::string_view name) {
    for (const auto& c : commands)
        if (name == c.name) return &c;
    return nullptr;
}

// Changes of these stores are reported to subscribers: the running
// configuration the management process watches.
bool reported(int store) {
    return store == STORE_MAIN || store == STORE_RAM;
}

} // namespace

Session::Session(Server& srv, uint32_t id) : srv_(srv), id_(id) {}

Session::~Session() {
    if (subscribed_) srv_.unsubscribe(this);
    drop_pending();
    // Factory settings are written without reconf: they are made durable
    // when the connection that wrote them ends.
    if (wrote_factory_) srv_.commit_stores();
}

void Session::drop_pending() {
    srv_.pending_changed(-static_cast<long>(pending_bytes_));
    pending_bytes_ = 0;
    std::vector<Rec>().swap(pending_);
}

void Session::feed(const uint8_t* data, size_t len) {
    if (closing_ || dropped_ || ended_ || len == 0) return;
    in_.insert(in_.end(), data, data + len);
    process();
}

bool Session::runnable() const {
    return !closing_ && !dropped_ && out_bytes() < OUT_HIGH && in_.size() - in_off_ >= need_;
}

void Session::process() {
    while (!closing_ && !dropped_ && !yielded_ && out_bytes() < OUT_HIGH) {
        size_t avail = in_.size() - in_off_;
        if (avail < need_) break;
        const uint8_t* p = in_.data() + in_off_;
        ipc_item item;
        long r = ipc_item_parse(p, avail, &item);
        if (r < 0) {
            fail("%s", frame_error(p, avail).c_str());
            break;
        }
        if (r == 0) {
            // Wait for the whole item: a header, then its payload.
            if (avail < 5) {
                need_ = 5;
            } else {
                uint32_t n = static_cast<uint32_t>(p[1]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
                             static_cast<uint32_t>(p[3]) << 8 | p[4];
                need_ = 5 + static_cast<size_t>(n);
            }
            break;
        }
        in_off_ += static_cast<size_t>(r);
        need_ = 1;
        on_item(item);
        // A peer still sending gets its share per round, so that no other
        // connection waits behind it for more than one commit's work. One
        // that has finished is handled to its end: its next connection,
        // which may already wait, must see all it wrote.
        round_bytes_ += static_cast<size_t>(r);
        if (!ended_ && round_bytes_ >= ROUND_BYTES) yielded_ = true;
    }
    release_input();
    if (ended_ && !closing_ && !dropped_ && in_.size() - in_off_ < need_) {
        if (cmd_ || in_off_ < in_.size())
            logf("conn %" PRIu32 ": connection ended in the middle of a command", id_);
        closing_ = true;
    }
    if (closing_ || dropped_) release_input();
}

void Session::release_input() {
    if (closing_ || dropped_) {
        std::vector<uint8_t>().swap(in_);
        in_off_ = 0;
    } else if (in_off_ == in_.size()) {
        in_.clear();
        in_off_ = 0;
        // An input buffer grown for long items is given back.
        if (in_.capacity() > 2 * IN_HIGH) std::vector<uint8_t>().swap(in_);
    } else if (in_off_ >= 65536 && in_off_ * 2 >= in_.size()) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(in_off_));
        in_off_ = 0;
    }
}

void Session::input_ended() {
    if (closing_ || dropped_ || ended_) return;
    ended_ = true;
    yielded_ = false;
    process();
}

int Session::output_iov(iovec* iov, int max) const {
    int n = 0;
    if (srv_.held()) return 0;
    if (n < max && out_off_ < out_.size())
        iov[n++] = {const_cast<char*>(out_.data() + out_off_), out_.size() - out_off_};
    size_t skip = rec_off_;
    for (auto it = recs_.begin(); n < max && it != recs_.end(); ++it) {
        iov[n++] = {const_cast<char*>((*it)->data() + skip), (*it)->size() - skip};
        skip = 0;
    }
    return n;
}

void Session::output_sent(size_t n) {
    size_t from_out = std::min(n, out_.size() - out_off_);
    out_off_ += from_out;
    n -= from_out;
    if (out_off_ == out_.size()) {
        out_.clear();
        out_off_ = 0;
        if (out_.capacity() > 2 * OUT_HIGH) std::string().swap(out_);
    }
    while (n > 0 && !recs_.empty()) {
        size_t left = recs_.front()->size() - rec_off_;
        size_t take = std::min(n, left);
        rec_off_ += take;
        rec_bytes_ -= take;
        n -= take;
        if (take == left) {
            recs_.pop_front();
            rec_off_ = 0;
        }
    }
}

bool Session::enqueue(const std::shared_ptr<const std::string>& rec) {
    if (dropped_) return false;
    if (recs_.size() >= SUB_QUEUE_RECORDS || rec_bytes_ + rec->size() > SUB_QUEUE_BYTES) {
        logf("conn %" PRIu32 ": subscriber dropped: %zu records (%zu bytes) wait unread", id_,
             recs_.size(), rec_bytes_);
        dropped_ = true;
        recs_.clear();
        rec_off_ = 0;
        rec_bytes_ = 0;
        return false;
    }
    recs_.push_back(rec);
    rec_bytes_ += rec->size();
    return true;
}

void Session::log_refusal(bool closing, const char* fmt, va_list ap) {
    char msg[512];
    vsnprintf(msg, sizeof msg, fmt, ap);
    logf("conn %" PRIu32 ": refused: %s%s", id_, msg, closing ? "; closing the connection" : "");
    if (closing) closing_ = true;
}

void Session::refuse(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_refusal(false, fmt, ap);
    va_end(ap);
}

void Session::fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_refusal(true, fmt, ap);
    va_end(ap);
}

void Session::reply(std::string_view text) {
    append_frame(out_, text);
}

void Session::reply_hex(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%" PRIx32, v);
    reply(buf);
}

void Session::on_item(const ipc_item& item) {
    ++items_;
    std::string_view s(item.str ? item.str : "", item.str_len);
    if (subscribed_) {
        if (item.tag == IPC_TAG_STRING && s == "close") {
            srv_.unsubscribe(this);
            subscribed_ = false;
            closing_ = true;
            return;
        }
        fail("a subscriber sent %s; it may send only \"close\"",
             item.tag == IPC_TAG_STRING ? shown(s).c_str() : "an integer item");
        return;
    }
    if (!cmd_) {
        if (item.tag != IPC_TAG_STRING) {
            refuse("integer item %" PRIu32 " where a command is due", item.u32);
            return;
        }
        cmd_ = find_command(s);
        if (!cmd_) {
            fail("unknown command %s", shown(s).c_str());
            return;
        }
        args_.clear();
        bad_arg_ = false;
        if (cmd_->nargs == 0) execute();
        return;
    }
    if (cmd_->op == Op::RECONF) {
        cmd_ = nullptr;
        if (item.tag != IPC_TAG_U32) {
            fail("\"reconf\" followed by a string instead of an integer");
            return;
        }
        cmd_reconf(item.u32);
        return;
    }
    if (item.tag != IPC_TAG_STRING) {
        bad_arg_ = true;
        args_.emplace_back();
    } else {
        args_.emplace_back(s);
    }
    if (args_.size() == cmd_->nargs) execute();
}

void Session::execute() {
    const Cmd* c = cmd_;
    cmd_ = nullptr;
    if (bad_arg_) {
        refuse("integer item where a string is due in \"%s\"", c->name);
        switch (c->op) {
        case Op::GET_EXIST:
        case Op::VALUE:
        case Op::ENTRY:
            reply("");
            break;
        case Op::GET_SET:
        case Op::SON:
        case Op::NEXT:
        case Op::NSONS:
            reply("0");
            break;
        case Op::TR69:
            reply("-1");
            reply("");
            break;
        default:
            break;
        }
        return;
    }
    switch (c->op) {
    case Op::GET_EXIST:
        cmd_get_exist(c->store);
        break;
    case Op::WRITE:
        cmd_write(c->store);
        break;
    case Op::FREE:
        cmd_free(c->store);
        break;
    case Op::SET_PATH:
        cmd_set_path(c->store);
        break;
    case Op::GET_SET: {
        Path p;
        Node* n = path_arg(args_[0], p) ? srv_.find(c->store, p) : nullptr;
        reply_hex(n ? handle_for(n) : 0);
        break;
    }
    case Op::SON:
        cmd_son();
        break;
    case Op::NEXT: {
        Node* n = resolve(args_[0]);
        Node* next = nullptr;
        if (n && n->parent) {
            auto it = std::next(n->self);
            if (it != n->parent->sons.end()) next = it->second.get();
        }
        reply_hex(next ? handle_for(next) : 0);
        break;
    }
    case Op::NSONS: {
        Node* n = resolve(args_[0]);
        char buf[24];
        snprintf(buf, sizeof buf, "%zu", n ? n->sons.size() : size_t{0});
        reply(buf);
        break;
    }
    case Op::VALUE: {
        Node* n = resolve(args_[0]);
        reply(n ? n->text() : "");
        break;
    }
    case Op::ENTRY: {
        // ("key"="value"), the value only when the node holds one of its own.
        Node* n = resolve(args_[0]);
        std::string e;
        if (n) {
            e.resize(7 + 2 * n->key().size() + 2 * n->value.size()); // 3 marks, 4 quotes
            size_t len = 0;
            e[len++] = '(';
            len += set_quote(e.data() + len, n->key().data(), n->key().size());
            if (n->has_value) {
                e[len++] = '=';
                len += set_quote(e.data() + len, n->value.data(), n->value.size());
            }
            e[len++] = ')';
            e.resize(len);
        }
        reply(e);
        break;
    }
    case Op::CLOSE:
        closing_ = true;
        break;
    case Op::SUBSCRIBE:
        subscribed_ = true;
        srv_.subscribe(this);
        logf("conn %" PRIu32 ": subscribed to change records", id_);
        break;
    case Op::TR69:
        cmd_tr69();
        break;
    case Op::RECONF:
        break; // handled with its integer in on_item
    }
}

bool Session::path_arg(std::string_view text, Path& p) {
    if (const char* why = path_parse(text, p)) {
        refuse("path %s: %s", shown(text).c_str(), why);
        return false;
    }
    return true;
}

uint32_t Session::handle_for(Node* n) {
    auto it = by_id_.find(n->id);
    if (it != by_id_.end()) return it->second;
    if (handles_.size() >= HANDLES_MAX) {
        refuse("more than %" PRIu32 " set handles on one connection", HANDLES_MAX);
        return 0;
    }
    handles_.push_back(n->id);
    auto h = static_cast<uint32_t>(handles_.size());
    by_id_.emplace(n->id, h);
    return h;
}

Node* Session::resolve(std::string_view text) {
    uint32_t h = 0;
    if (!parse_hex(text, &h)) {
        refuse("set handle %s is not a hexadecimal number", shown(text).c_str());
        return nullptr;
    }
    if (h == 0 || h > handles_.size()) {
        refuse("set handle %" PRIx32 " was not issued on this connection", h);
        return nullptr;
    }
    Node* n = srv_.node_by_id(handles_[h - 1]);
    if (!n) refuse("set handle %" PRIx32 " names a node that has been deleted", h);
    return n;
}

void Session::cmd_get_exist(int store) {
    Path p;
    Node* n = path_arg(args_[0], p) ? srv_.find(store, p) : nullptr;
    if (!n) {
        reply("");
        return;
    }
    // The parent holding the node, the node with its value and no sons.
    std::string_view pk = n->parent ? n->parent->key() : "";
    std::string_view k = n->key(), v = n->text();
    std::string r;
    r.resize(11 + 2 * (pk.size() + k.size() + v.size())); // 5 marks, 6 quotes
    size_t len = 0;
    r[len++] = '(';
    len += set_quote(r.data() + len, pk.data(), pk.size());
    r[len++] = '(';
    len += set_quote(r.data() + len, k.data(), k.size());
    r[len++] = '=';
    len += set_quote(r.data() + len, v.data(), v.size());
    r[len++] = ')';
    r[len++] = ')';
    r.resize(len);
    reply(r);
}

void Session::changed(Refusal r, int store, std::string_view path, size_t before) {
    static const char* const store_names[STORE_COUNT] = {"main", "RAM", "private", "factory"};
    if (r == Refusal::STORE_FULL) {
        fail("change of %s: the %s store would hold more than %zu bytes", shown(path).c_str(),
             store_names[store], srv_.limits().store_bytes);
        return;
    }
    if (r == Refusal::PENDING_FULL) {
        if (pending_bytes_ + srv_.rec_room(pending_bytes_) >= srv_.limits().pending_bytes)
            fail("change of %s: this connection's changes waiting for reconf would pass %zu bytes",
                 shown(path).c_str(), srv_.limits().pending_bytes);
        else
            fail("change of %s: the changes waiting for reconf on all connections would pass %zu "
                 "bytes",
                 shown(path).c_str(), srv_.limits().pending_total);
        return;
    }
    size_t added = 0;
    for (size_t i = before; i < pending_.size(); ++i)
        added += pending_[i].weight;
    pending_bytes_ += added;
    srv_.pending_changed(static_cast<long>(added));
    if (store == STORE_FACTORY) wrote_factory_ = true;
}

namespace {

bool is_name(const std::string& v) {
    return !v.empty() && (isalpha(static_cast<unsigned char>(v[0])) || v[0] == '_');
}

} // namespace

void Session::cmd_write(int store) {
    const std::string& path = args_[0];
    const std::string& value = args_[1];
    Path p;
    if (!path_arg(path, p)) return;
    if (value.size() > VALUE_MAX) {
        refuse("value of %zu bytes for %s (at most %zu)", value.size(), shown(path).c_str(),
               VALUE_MAX);
        return;
    }
    // A write to "P/" whose value is a name (it starts with a letter or
    // '_') creates the empty set of that name under P; any other value
    // (a number, an empty text) is written as P's own value, as a write
    // without the final '/' would be.
    bool set_write = (p.trailing_slash || p.n == 0) && is_name(value);
    if (set_write) {
        if (value.size() > KEY_MAX || value.find('/') != std::string::npos) {
            refuse("write of %s under %s: not a key (1 to 255 bytes, no '/')", shown(value).c_str(),
                   shown(path).c_str());
            return;
        }
        if (p.n == DEPTH_MAX) {
            refuse("path %s: the path has more than 63 levels", shown(path).c_str());
            return;
        }
    } else if (p.n == 0) {
        refuse("write of %s at the root: the root holds no value", shown(value).c_str());
        return;
    }
    std::vector<Rec>* out = reported(store) ? &pending_ : nullptr;
    size_t before = pending_.size(), room = srv_.rec_room(pending_bytes_);
    changed(set_write ? srv_.make_path(store, p, value, out, room)
                      : srv_.write(store, p, value, out, room),
            store, path, before);
}

void Session::cmd_free(int store) {
    Path p;
    if (!path_arg(args_[0], p)) return;
    if (p.n == 0) {
        refuse("delete of %s: the root cannot be deleted", shown(args_[0]).c_str());
        return;
    }
    size_t before = pending_.size();
    changed(
        srv_.remove(store, p, reported(store) ? &pending_ : nullptr, srv_.rec_room(pending_bytes_)),
        store, args_[0], before);
}

void Session::cmd_set_path(int store) {
    Path p;
    if (!path_arg(args_[0], p)) return;
    size_t before = pending_.size();
    changed(srv_.make_path(store, p, "", reported(store) ? &pending_ : nullptr,
                           srv_.rec_room(pending_bytes_)),
            store, args_[0], before);
}

void Session::cmd_son() {
    const std::string& a = args_[0];
    size_t blank = a.find(' ');
    int32_t index = 0;
    if (blank == std::string::npos || !parse_int(std::string_view(a).substr(blank + 1), &index)) {
        refuse("son request %s is not \"<handle> <index>\"", shown(a).c_str());
        reply("0");
        return;
    }
    Node* n = resolve(std::string_view(a).substr(0, blank));
    Node* son = nullptr;
    if (n && index >= 0 && static_cast<size_t>(index) < n->sons.size())
        son = std::next(n->sons.begin(), index)->second.get();
    reply_hex(son ? handle_for(son) : 0);
}

void Session::cmd_tr69() {
    // Items: action, path, text, six integers.
    int32_t action = 0;
    if (!parse_int(args_[0], &action) || action != 10) {
        reply("-1");
        reply("");
        return;
    }
    Path p;
    Node* n = path_arg(args_[1], p) ? srv_.find(STORE_MAIN, p) : nullptr;
    std::string text;
    if (n) {
        // One byte per son: its key + 1, so that no byte is zero.
        constexpr size_t LOGGED_MAX = 10;
        size_t left_out = 0;
        for (const auto& [key, son] : n->sons) {
            int32_t k = -1;
            if (is_number_key(key) && parse_int(key, &k) && k <= 254) {
                text += static_cast<char>(k + 1);
                continue;
            }
            if (++left_out <= LOGGED_MAX)
                logf("conn %" PRIu32 ": tr69 action 10 on %s: son %s is not an instance number "
                     "from 0 to 254; left out",
                     id_, shown(args_[1]).c_str(), shown(key).c_str());
        }
        if (left_out > LOGGED_MAX)
            logf("conn %" PRIu32 ": tr69 action 10 on %s: %zu more sons left out", id_,
                 shown(args_[1]).c_str(), left_out - LOGGED_MAX);
    }
    reply("0");
    reply(text);
}

void Session::cmd_reconf(uint32_t level) {
    if (level != 4 && level != 2) {
        refuse("reconf with %" PRIu32 " (4 or 2 expected); nothing committed", level);
        return;
    }
    srv_.commit(pending_);
    drop_pending();
    // One commit per round while the peer goes on sending.
    if (!ended_) yielded_ = true;
}

} // namespace confd
