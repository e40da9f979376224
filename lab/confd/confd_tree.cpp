// confd: the configuration tree, its stores and their state files.
#include "lab/confd/confd_core.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace confd {

namespace {

void stdout_sink(const char* line) {
    fputs(line, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

LogSink log_sink = stdout_sink;

const char* const store_names[STORE_COUNT] = {"main", "ram", "priv", "factory"};

bool persistent(int store) {
    return store != STORE_RAM;
}

// Number of digits after the leading zeros of a decimal key.
std::string_view significant(std::string_view d) {
    size_t i = 0;
    while (i + 1 < d.size() && d[i] == '0')
        ++i;
    return d.substr(i);
}

void quote_into(std::string& out, std::string_view text) {
    size_t at = out.size();
    out.resize(at + 2 + 2 * text.size());
    out.resize(at + set_quote(out.data() + at, text.data(), text.size()));
}

// One node per line, sons indented under their parent.
void serialize(const Node* n, int depth, std::string& out) {
    out.append(static_cast<size_t>(depth) * 2, ' ');
    out += '(';
    quote_into(out, n->key());
    if (n->has_value) {
        out += '=';
        quote_into(out, n->value);
    }
    if (n->sons.empty()) {
        out += ")\n";
        return;
    }
    out += '\n';
    for (const auto& [key, son] : n->sons)
        serialize(son.get(), depth + 1, out);
    out.append(static_cast<size_t>(depth) * 2, ' ');
    out += ")\n";
}

void count_nodes(const Node* n, size_t* nodes, size_t* values) {
    for (const auto& [key, son] : n->sons) {
        ++*nodes;
        if (son->has_value) ++*values;
        count_nodes(son.get(), nodes, values);
    }
}

int write_all(int fd, const char* p, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// Replaces dir/name with data: temp file, sync, rename, sync of the folder.
// Returns 0, or -1 with errno set (the old file is then untouched).
int replace_file(const std::string& dir, const std::string& name, const std::string& data) {
    std::string path = dir + "/" + name;
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (write_all(fd, data.data(), data.size()) != 0 || fsync(fd) != 0) {
        int e = errno;
        close(fd);
        unlink(tmp.c_str());
        errno = e;
        return -1;
    }
    if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        errno = e;
        return -1;
    }
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return -1;
    int r = fsync(dfd);
    close(dfd);
    return r;
}

// Reads a whole file. Returns 0, -1 with errno set, or 1 when it does not exist.
int read_whole(const std::string& path, std::string& out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 1 : -1;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

// Creates the folder and its missing parents.
int make_dirs(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return 0;
        errno = ENOTDIR;
        return -1;
    }
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && make_dirs(dir.substr(0, slash)) != 0) return -1;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    return 0;
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

Server::Server(std::string state_dir) : dir_(std::move(state_dir)) {
    for (auto& s : stores_) {
        s.root.id = ++next_id_;
        index_[s.root.id] = &s.root;
    }
}

Server::~Server() = default;

Node* Server::node_by_id(uint64_t id) const {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : it->second;
}

Node* Server::add_son(Node* parent, std::string_view key) {
    auto [it, inserted] = parent->sons.emplace(std::string(key), std::make_unique<Node>());
    Node* n = it->second.get();
    n->parent = parent;
    n->self = it;
    n->id = ++next_id_;
    index_[n->id] = n;
    return n;
}

void Server::unregister(Node* n) {
    for (auto& [key, son] : n->sons)
        unregister(son.get());
    index_.erase(n->id);
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

namespace {

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

} // namespace

void Server::write(int store, const Path& p, std::string_view value, std::vector<Change>* changes) {
    Node* n = root(store);
    for (int i = 0; i < p.n; ++i) {
        auto it = n->sons.find(p.comp[i]);
        if (it != n->sons.end()) {
            n = it->second.get();
            continue;
        }
        n = add_son(n, p.comp[i]);
        // A created level above the leaf is a set; the leaf itself is
        // reported by its value only.
        if (changes && i < p.n - 1)
            changes->push_back({join(p, i, true), 'C', std::string(p.comp[i])});
    }
    n->has_value = true;
    n->value.assign(value);
    if (changes) changes->push_back({join(p, p.n, false), 'U', std::string(value)});
    stores_[store].dirty = true;
}

void Server::make_path(int store, const Path& p, std::string_view key,
                       std::vector<Change>* changes) {
    Node* n = root(store);
    int levels = p.n + (key.empty() ? 0 : 1);
    for (int i = 0; i < levels; ++i) {
        std::string_view k = i < p.n ? p.comp[i] : key;
        auto it = n->sons.find(k);
        if (it != n->sons.end()) {
            n = it->second.get();
            continue;
        }
        n = add_son(n, k);
        if (changes) changes->push_back({join(p, i, true), 'C', std::string(k)});
        stores_[store].dirty = true;
    }
}

void Server::remove(int store, const Path& p, std::vector<Change>* changes) {
    Node* n = p.n > 0 ? find(store, p) : nullptr;
    if (!n) return;
    if (changes) changes->push_back({join(p, p.n - 1, true), 'D', std::string(n->key())});
    unregister(n);
    n->parent->sons.erase(n->self);
    stores_[store].dirty = true;
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

int Server::save_store(int store) {
    if (dir_.empty() || !persistent(store)) {
        stores_[store].dirty = false;
        return 0;
    }
    std::string data;
    serialize(&stores_[store].root, 0, data);
    std::string name = std::string(store_names[store]) + ".conf";
    if (replace_file(dir_, name, data) != 0) {
        logf("cannot save the %s store to %s/%s: %s; it stays in memory", store_names[store],
             dir_.c_str(), name.c_str(), strerror(errno));
        return -1;
    }
    stores_[store].dirty = false;
    return 0;
}

int Server::save_dirty() {
    int r = 0;
    for (int s = 0; s < STORE_COUNT; ++s)
        if (stores_[s].dirty && save_store(s) != 0) r = -1;
    return r;
}

bool Server::build(Node* into, const set_t* sons) {
    for (const set_t* s = sons; s; s = s->next) {
        std::string_view key(s->key);
        if (key.empty() || key.size() > KEY_MAX || key.find('/') != std::string_view::npos) {
            logf("state: bad key %s", shown(key).c_str());
            return false;
        }
        if (into->sons.find(key) != into->sons.end()) {
            logf("state: key %s twice under one node", shown(key).c_str());
            return false;
        }
        Node* n = add_son(into, key);
        if (s->value) {
            if (strlen(s->value) > VALUE_MAX) {
                logf("state: value of %s longer than %zu bytes", shown(key).c_str(), VALUE_MAX);
                return false;
            }
            n->has_value = true;
            n->value = s->value;
        }
        if (!build(n, s->son)) return false;
    }
    return true;
}

int Server::load_store(int store) {
    std::string path = dir_ + "/" + store_names[store] + ".conf";
    std::string text;
    int r = read_whole(path, text);
    if (r == 1) {
        logf("state %s: no file %s, starting empty", store_names[store], path.c_str());
        return 0;
    }
    if (r != 0) {
        logf("state %s: cannot read %s: %s", store_names[store], path.c_str(), strerror(errno));
        return -1;
    }
    set_t* set = nullptr;
    if (set_read_n(text.data(), text.size(), &set) != 0) {
        logf("state %s: %s is not a valid state file", store_names[store], path.c_str());
        return -1;
    }
    bool ok = set->key[0] == '\0' && !set->value;
    if (!ok) logf("state %s: %s: the root must be (\"\" ...)", store_names[store], path.c_str());
    ok = ok && build(root(store), set->son);
    set_free(&set);
    if (!ok) {
        logf("state %s: %s is not a valid state file", store_names[store], path.c_str());
        return -1;
    }
    size_t nodes, values;
    count(store, &nodes, &values);
    logf("state %s: loaded %zu keys (%zu with values) from %s", store_names[store], nodes, values,
         path.c_str());
    return 0;
}

int Server::load() {
    if (dir_.empty()) return 0;
    if (make_dirs(dir_) != 0) {
        logf("cannot use the state folder %s: %s", dir_.c_str(), strerror(errno));
        return -1;
    }
    for (int s = 0; s < STORE_COUNT; ++s)
        if (persistent(s) && load_store(s) != 0) return -1;
    return 0;
}

} // namespace confd
