// confd: the configuration tree, its byte counts, and the change records
// made at each commit.
#include "lab/confd/confd_core.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace confd {

namespace {

void stdout_sink(const char* line) {
    fputs(line, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

LogSink log_sink = stdout_sink;

// Number of digits after the leading zeros of a decimal key.
std::string_view significant(std::string_view d) {
    size_t i = 0;
    while (i + 1 < d.size() && d[i] == '0')
        ++i;
    return d.substr(i);
}

void count_nodes(const Node* n, size_t* nodes, size_t* values) {
    for (const auto& [key, son] : n->sons) {
        ++*nodes;
        if (son->has_value) ++*values;
        count_nodes(son.get(), nodes, values);
    }
}

// "/a/b" for a node ("" for the root).
std::string path_of(const Node* n) {
    if (!n->parent) return "";
    std::string s = path_of(n->parent);
    s += '/';
    s.append(n->key());
    return s;
}

// The path of the first k components: "/a/b" (or "/" for none), with a
// trailing slash when asked.
std::string join(const Path& p, int k, bool slash) {
    std::string s;
    for (int i = 0; i < k; ++i) {
        s += '/';
        s.append(p.comp[i]);
    }
    if (slash || s.empty()) s += '/';
    return s;
}

// Weight of a record on a path of path_len bytes with text of text_len.
uint32_t weight(size_t path_len, size_t text_len) {
    return static_cast<uint32_t>(REC_COST + path_len + text_len);
}

// The records of the "created" levels from..levels-1 of p (the last one
// being key when levels > p.n), each on its parent's path with a slash.
size_t created_weight(const Path& p, int from, int levels, std::string_view key) {
    size_t w = 0, len = 0;
    for (int i = 0; i < levels; ++i) {
        std::string_view k = i < p.n ? p.comp[i] : key;
        if (i >= from) w += weight(len + 1, k.size());
        len += 1 + k.size();
    }
    return w;
}

} // namespace

void set_log_sink(LogSink sink) {
    log_sink = sink;
}

void logf(const char* fmt, ...) {
    if (!log_sink) return;
    char line[1024] = "confd: ";
    size_t pre = strlen(line);
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line + pre, sizeof line - pre, fmt, ap);
    va_end(ap);
    log_sink(line);
}

void Server::say(const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (quiet_)
        said_.append(line).append("\n");
    else
        logf("%s", line);
}

std::string shown(std::string_view text) {
    constexpr size_t SHOWN_MAX = 80;
    std::string s = "\"";
    for (size_t i = 0; i < text.size() && i < SHOWN_MAX; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        s += (c < 0x20 || c >= 0x7f) ? '?' : static_cast<char>(c);
    }
    s += '"';
    if (text.size() > SHOWN_MAX) s += "...";
    return s;
}

bool is_number_key(std::string_view key) {
    if (key.empty()) return false;
    for (char c : key)
        if (c < '0' || c > '9') return false;
    return true;
}

bool SonOrder::operator()(std::string_view a, std::string_view b) const {
    bool na = is_number_key(a), nb = is_number_key(b);
    if (na != nb) return na;
    if (na) {
        std::string_view sa = significant(a), sb = significant(b);
        if (sa.size() != sb.size()) return sa.size() < sb.size();
        if (int c = sa.compare(sb); c != 0) return c < 0;
    }
    return a < b;
}

const char* path_parse(std::string_view text, Path& p) {
    p.n = 0;
    p.trailing_slash = !text.empty() && text.back() == '/';
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find('/', i);
        if (j == std::string_view::npos) j = text.size();
        if (j > i) {
            if (j - i > KEY_MAX) return "a path component is longer than 255 bytes";
            if (p.n == DEPTH_MAX) return "the path has more than 63 levels";
            p.comp[p.n++] = text.substr(i, j - i);
        }
        i = j + 1;
    }
    return nullptr;
}

void append_frame(std::string& out, std::string_view s) {
    auto n = static_cast<uint32_t>(s.size());
    const char head[5] = {static_cast<char>(IPC_TAG_STRING), static_cast<char>(n >> 24),
                          static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                          static_cast<char>(n)};
    out.append(head, sizeof head);
    out.append(s);
}

std::string change_frames(const Change& c) {
    std::string out;
    out.reserve(15 + c.path.size() + 1 + c.text.size());
    append_frame(out, c.path);
    append_frame(out, std::string_view(&c.action, 1));
    append_frame(out, c.text);
    return out;
}

Server::Server(std::string state_dir, Limits limits) : dir_(std::move(state_dir)), lim_(limits) {
    for (auto& s : stores_) {
        s.root.id = ++next_id_;
        s.root.reported = true;
        index_[s.root.id] = &s.root;
    }
}

Node* Server::node_by_id(uint64_t id) const {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : it->second;
}

Node* Server::add_son(Node* parent, std::string_view key, int store) {
    auto [it, inserted] = parent->sons.emplace(std::string(key), std::make_unique<Node>());
    Node* n = it->second.get();
    n->parent = parent;
    n->self = it;
    n->id = ++next_id_;
    // What is loaded is what subscribers start from.
    n->reported = replaying_;
    index_[n->id] = n;
    stores_[store].bytes += key.size() + NODE_COST;
    return n;
}

void Server::drop(Node* n, int store) {
    for (auto& [key, son] : n->sons)
        drop(son.get(), store);
    index_.erase(n->id);
    size_t bytes = n->key().size() + n->value.size() + NODE_COST;
    stores_[store].bytes -= bytes;
    freed_ += bytes;
}

void Server::set_value(Node* n, std::string_view value, int store) {
    stores_[store].bytes += value.size();
    stores_[store].bytes -= n->value.size();
    n->has_value = true;
    n->value.assign(value);
    // A value much shorter than the one before gives its memory back.
    if (n->value.capacity() > 2 * n->value.size() + 64) n->value.shrink_to_fit();
}

Node* Server::find(int store, const Path& p) {
    Node* n = root(store);
    for (int i = 0; i < p.n; ++i) {
        auto it = n->sons.find(p.comp[i]);
        if (it == n->sons.end()) return nullptr;
        n = it->second.get();
    }
    return n;
}

Refusal Server::write(int store, const Path& p, std::string_view value, std::vector<Rec>* recs,
                      size_t rec_room) {
    Node* n = root(store);
    int have = 0;
    for (; have < p.n; ++have) {
        auto it = n->sons.find(p.comp[have]);
        if (it == n->sons.end()) break;
        n = it->second.get();
    }
    size_t grow = value.size();
    for (int i = have; i < p.n; ++i)
        grow += p.comp[i].size() + NODE_COST;
    if (have == p.n) grow = value.size() > n->value.size() ? value.size() - n->value.size() : 0;
    if (!replaying_ && grow > 0 && stores_[store].bytes + grow > lim_.store_bytes)
        return Refusal::STORE_FULL;
    size_t path_len = 0;
    for (int i = 0; i < p.n; ++i)
        path_len += 1 + p.comp[i].size();
    if (recs && created_weight(p, have, p.n - 1, {}) + weight(path_len, value.size()) > rec_room)
        return Refusal::PENDING_FULL;
    jop('W', store, p, p.n, {}, value);
    stores_[store].touched = true;
    size_t len = 0;
    for (int i = 0; i < p.n; ++i) {
        if (i >= have) {
            n = add_son(n, p.comp[i], store);
            // A created level above the leaf is a set; the leaf itself is
            // reported by its value only.
            if (recs && i < p.n - 1)
                recs->push_back({n->id,
                                 weight(len + 1, p.comp[i].size()),
                                 static_cast<uint8_t>(store),
                                 'C',
                                 {}});
        }
        len += 1 + p.comp[i].size();
    }
    set_value(n, value, store);
    if (recs)
        recs->push_back({n->id, weight(path_len, value.size()), static_cast<uint8_t>(store), 'U',
                         std::string(value)});
    return Refusal::NONE;
}

Refusal Server::make_path(int store, const Path& p, std::string_view key, std::vector<Rec>* recs,
                          size_t rec_room) {
    Node* n = root(store);
    int levels = p.n + (key.empty() ? 0 : 1);
    int have = 0;
    for (; have < levels; ++have) {
        auto it = n->sons.find(have < p.n ? p.comp[have] : key);
        if (it == n->sons.end()) break;
        n = it->second.get();
    }
    if (have == levels) return Refusal::NONE;
    size_t grow = 0;
    for (int i = have; i < levels; ++i)
        grow += (i < p.n ? p.comp[i] : key).size() + NODE_COST;
    if (!replaying_ && stores_[store].bytes + grow > lim_.store_bytes) return Refusal::STORE_FULL;
    if (recs && created_weight(p, have, levels, key) > rec_room) return Refusal::PENDING_FULL;
    jop('M', store, p, p.n, key, {});
    stores_[store].touched = true;
    size_t len = 0;
    for (int i = 0; i < levels; ++i) {
        std::string_view k = i < p.n ? p.comp[i] : key;
        if (i >= have) {
            n = add_son(n, k, store);
            if (recs)
                recs->push_back(
                    {n->id, weight(len + 1, k.size()), static_cast<uint8_t>(store), 'C', {}});
        }
        len += 1 + k.size();
    }
    return Refusal::NONE;
}

Refusal Server::remove(int store, const Path& p, std::vector<Rec>* recs, size_t rec_room) {
    Node* n = p.n > 0 ? find(store, p) : nullptr;
    if (!n) return Refusal::NONE;
    std::string path = join(p, p.n, false);
    // Subscribers that know of the node are to be told it is gone; until
    // then it stays a ghost (counted in the store's size).
    // A deletion is never refused for the store's size: it frees more than
    // its ghost takes, but for a very deep path.
    bool ghost = recs && n->reported;
    if (ghost && 2 * weight(path.size(), 0) > rec_room) return Refusal::PENDING_FULL;
    jop('R', store, p, p.n, {}, {});
    stores_[store].touched = true;
    uint64_t id = n->id;
    drop(n, store);
    n->parent->sons.erase(n->self);
    if (ghost) {
        recs->push_back({id, 2 * weight(path.size(), 0), static_cast<uint8_t>(store), 'D', path});
        add_ghost(store, std::move(path), id);
    }
    return Refusal::NONE;
}

void Server::add_ghost(int store, std::string path, uint64_t id) {
    stores_[store].bytes += path.size() + NODE_COST;
    stores_[store].ghosts[std::move(path)] = id;
}

void Server::erase_ghosts(int store, const std::string& path) {
    auto& g = stores_[store].ghosts;
    auto it = g.lower_bound(path);
    while (it != g.end() && it->first.compare(0, path.size(), path) == 0 &&
           (it->first.size() == path.size() || it->first[path.size()] == '/')) {
        stores_[store].bytes -= it->first.size() + NODE_COST;
        it = g.erase(it);
    }
}

namespace {

// ("/a/", 'D', "b") for the path "/a/b".
Change deletion(const std::string& path) {
    size_t slash = path.rfind('/');
    return {path.substr(0, slash + 1), 'D', path.substr(slash + 1)};
}

} // namespace

// A node subscribers know of was deleted and another now stands at its
// path: they are told of the deletion first.
void Server::retire_ghost(int store, const std::string& path, std::vector<Change>& out) {
    auto& g = stores_[store].ghosts;
    if (g.find(path) == g.end()) return;
    out.push_back(deletion(path));
    erase_ghosts(store, path);
}

// Tells subscribers of n and of every level above it they do not know.
void Server::report(int store, Node* n, std::vector<Change>& out) {
    if (n->reported) return;
    report(store, n->parent, out);
    std::string path = path_of(n);
    retire_ghost(store, path, out);
    out.push_back({path.substr(0, path.size() - n->key().size()), 'C', std::string(n->key())});
    n->reported = true;
}

void Server::commit(std::vector<Rec>& recs) {
    std::vector<Change> out;
    for (Rec& r : recs) {
        // A node deleted since it was written is not reported: the change
        // that deleted it is, if subscribers knew it.
        Node* n = r.action == 'D' ? nullptr : node_by_id(r.id);
        if (r.action == 'C' && n) {
            report(r.store, n, out);
        } else if (r.action == 'U' && n) {
            report(r.store, n->parent, out);
            std::string path = path_of(n);
            if (!n->reported) retire_ghost(r.store, path, out);
            out.push_back({std::move(path), 'U', std::move(r.text)});
            n->reported = true;
        } else if (r.action == 'D') {
            auto& g = stores_[r.store].ghosts;
            auto it = g.find(r.text);
            if (it != g.end() && it->second == r.id) {
                out.push_back(deletion(r.text));
                erase_ghosts(r.store, r.text);
            }
        }
    }
    recs.clear();
    publish(out);
    commit_stores();
}

size_t Server::rec_room(size_t pending) const {
    size_t own = pending < lim_.pending_bytes ? lim_.pending_bytes - pending : 0;
    size_t all = pending_total_ < lim_.pending_total ? lim_.pending_total - pending_total_ : 0;
    return std::min(own, all);
}

void Server::subscribe(Session* s) {
    subs_.push_back(s);
}

void Server::unsubscribe(Session* s) {
    std::erase(subs_, s);
}

void Server::publish(const std::vector<Change>& changes) {
    if (subs_.empty() || changes.empty()) return;
    std::vector<std::shared_ptr<const std::string>> recs;
    recs.reserve(changes.size());
    for (const auto& c : changes)
        recs.push_back(std::make_shared<const std::string>(change_frames(c)));
    for (Session* s : subs_) {
        for (const auto& r : recs)
            if (!s->enqueue(r)) break;
    }
    std::erase_if(subs_, [](Session* s) { return s->dropped(); });
}

void Server::count(int store, size_t* nodes, size_t* values) const {
    *nodes = 0;
    *values = 0;
    count_nodes(&stores_[store].root, nodes, values);
}

} // namespace confd
