// confd: the state files and the journal.
//
// A persistent store is its state file (NAME.conf: the whole tree as one
// serialized set) plus the changes since, in the folder's journal: one
// record per change of a persistent store, and a commit mark at each
// commit. A record is
//     length (4 bytes, big-endian) | CRC-32 of the payload (4) | payload
// and a payload
//     'W' store levels {klen key}... vlen(4) value     a value written
//     'M' store levels {klen key}...                   inner nodes made
//     'R' store levels {klen key}...                   a subtree deleted
//     'K'                                              commit mark
// The changes of every commit of one round of the loop are written at
// once and synced once before any reply of that round goes out. At start
// the journal is replayed up to its last commit mark; what follows (an
// unfinished commit, cut by a kill) is dropped. Changes apply the same
// whether or not the state file already holds them, so a journal replayed
// over a newer state file gives the same tree.
//
// Once the journal has outgrown the state files it is renamed journal.old,
// a new journal takes the commits, and a thread of its own folds
// journal.old into new state files from the files alone (the tree in
// memory is not touched), then deletes it.
#include "lab/confd/confd_core.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace confd {

namespace {

const char* const store_names[STORE_COUNT] = {"main", "ram", "priv", "factory"};
constexpr size_t JREC_MAX = 1u << 17;    // longest payload (a deep path and a value)
constexpr size_t JBUF_FLUSH = 256 << 10; // written out (not synced) past this

bool persistent(int store) {
    return store != STORE_RAM;
}

struct Crc32 {
    uint32_t table[256];
    constexpr Crc32() : table() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    }
};
constexpr Crc32 crc_table;

uint32_t crc32(std::string_view s) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : s)
        c = crc_table.table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put32(std::string& out, uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
    out.append(b, 4);
}

uint32_t get32(const char* p) {
    auto u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(u[0]) << 24 | static_cast<uint32_t>(u[1]) << 16 |
           static_cast<uint32_t>(u[2]) << 8 | u[3];
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

int sync_dir(const std::string& dir) {
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return -1;
    int r = fsync(dfd);
    close(dfd);
    return r;
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
    return sync_dir(dir);
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

uint64_t state_bytes(const std::string& dir) {
    uint64_t total = 0;
    for (int s = 0; s < STORE_COUNT; ++s) {
        struct stat st;
        std::string path = dir + "/" + store_names[s] + ".conf";
        if (persistent(s) && stat(path.c_str(), &st) == 0)
            total += static_cast<uint64_t>(st.st_size);
    }
    return total;
}

} // namespace

// What a replay found in a journal file.
struct Server::Replay {
    bool exists = false;
    bool damaged = false; // a record that is not what was written
    int error = 0;        // errno of a failed read
    uint64_t size = 0, good = 0;
    size_t commits = 0;
};

Server::~Server() {
    finish();
    if (jfd_ >= 0) close(jfd_);
}

int Server::save_store(int store) {
    if (dir_.empty() || !persistent(store)) return 0;
    std::string data;
    serialize(&stores_[store].root, 0, data);
    std::string name = std::string(store_names[store]) + ".conf";
    if (replace_file(dir_, name, data) != 0) {
        say("cannot save the %s store to %s/%s: %s", store_names[store], dir_.c_str(), name.c_str(),
            strerror(errno));
        return -1;
    }
    return 0;
}

bool Server::build(Node* into, const set_t* sons, int store) {
    for (const set_t* s = sons; s; s = s->next) {
        std::string_view key(s->key);
        if (key.empty() || key.size() > KEY_MAX || key.find('/') != std::string_view::npos) {
            say("state: bad key %s", shown(key).c_str());
            return false;
        }
        if (into->sons.find(key) != into->sons.end()) {
            say("state: key %s twice under one node", shown(key).c_str());
            return false;
        }
        Node* n = add_son(into, key, store);
        if (s->value) {
            if (strlen(s->value) > VALUE_MAX) {
                say("state: value of %s longer than %zu bytes", shown(key).c_str(), VALUE_MAX);
                return false;
            }
            set_value(n, s->value, store);
        }
        if (!build(n, s->son, store)) return false;
    }
    return true;
}

int Server::load_store(int store) {
    std::string path = dir_ + "/" + store_names[store] + ".conf";
    std::string text;
    int r = read_whole(path, text);
    if (r == 1) {
        say("state %s: no file %s, starting empty", store_names[store], path.c_str());
        return 0;
    }
    if (r != 0) {
        say("state %s: cannot read %s: %s", store_names[store], path.c_str(), strerror(errno));
        return -1;
    }
    set_t* set = nullptr;
    if (set_read_n(text.data(), text.size(), &set) != 0) {
        say("state %s: %s is not a valid state file", store_names[store], path.c_str());
        return -1;
    }
    bool ok = set->key[0] == '\0' && !set->value;
    if (!ok) say("state %s: %s: the root must be (\"\" ...)", store_names[store], path.c_str());
    ok = ok && build(root(store), set->son, store);
    set_free(&set);
    if (!ok) {
        say("state %s: %s is not a valid state file", store_names[store], path.c_str());
        return -1;
    }
    size_t nodes, values;
    count(store, &nodes, &values);
    say("state %s: loaded %zu keys (%zu with values) from %s", store_names[store], nodes, values,
        path.c_str());
    return 0;
}

int Server::load_snapshots() {
    if (make_dirs(dir_) != 0) {
        say("cannot use the state folder %s: %s", dir_.c_str(), strerror(errno));
        return -1;
    }
    replaying_ = true;
    int r = 0;
    for (int s = 0; r == 0 && s < STORE_COUNT; ++s)
        if (persistent(s)) r = load_store(s);
    replaying_ = false;
    return r;
}

void Server::jop(char type, int store, const Path& p, int levels, std::string_view key,
                 std::string_view value) {
    // After a failure of the journal the stores are saved whole instead.
    if (replaying_ || jfd_ < 0 || !persistent(store) || resave_) return;
    size_t at = jbuf_.size();
    jbuf_.append(8, '\0');
    jbuf_ += type;
    jbuf_ += static_cast<char>(store);
    jbuf_ += static_cast<char>(levels + (key.empty() ? 0 : 1));
    for (int i = 0; i <= levels; ++i) {
        std::string_view k = i < levels ? p.comp[i] : key;
        if (i == levels && k.empty()) break;
        jbuf_ += static_cast<char>(k.size());
        jbuf_.append(k);
    }
    if (type == 'W') {
        put32(jbuf_, static_cast<uint32_t>(value.size()));
        jbuf_.append(value);
    }
    std::string_view payload(jbuf_.data() + at + 8, jbuf_.size() - at - 8);
    std::string head;
    put32(head, static_cast<uint32_t>(payload.size()));
    put32(head, crc32(payload));
    jbuf_.replace(at, 8, head);
    jops_ = true;
    if (jbuf_.size() >= JBUF_FLUSH) jwrite();
}

void Server::jcommit() {
    std::string head;
    put32(head, 1);
    put32(head, crc32("K"));
    jbuf_ += head;
    jbuf_ += 'K';
    jops_ = false;
}

void Server::commit_stores() {
    if (jfd_ < 0) return;
    if (jops_) jcommit();
    if (!jbuf_.empty() || jsize_ > jsynced_ || resave_) commit_wait_ = true;
}

// Writes out the journal bytes waiting; on failure the file is cut back to
// what was written before, and the stores are to be saved whole.
int Server::jwrite() {
    if (jbuf_.empty() || resave_) return resave_ ? -1 : 0;
    if (write_all(jfd_, jbuf_.data(), jbuf_.size()) != 0) {
        say("journal: cannot write %s/journal: %s; the stores are saved whole instead",
            dir_.c_str(), strerror(errno));
        if (ftruncate(jfd_, static_cast<off_t>(jsize_)) != 0)
            say("journal: cannot cut %s/journal: %s", dir_.c_str(), strerror(errno));
        jbuf_.clear();
        resave_ = true;
        return -1;
    }
    jsize_ += jbuf_.size();
    jbuf_.clear();
    if (jbuf_.capacity() > 2 * JBUF_FLUSH) std::string().swap(jbuf_);
    return 0;
}

int Server::open_journal(bool truncate) {
    std::string path = dir_ + "/journal";
    int fd = open(path.c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644);
    if (fd < 0) {
        say("journal: cannot open %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    if (jfd_ >= 0) close(jfd_);
    jfd_ = fd;
    return 0;
}

// Saves every persistent store whole and starts an empty journal.
int Server::save_all() {
    if (fold_.joinable()) reap_fold();
    for (int s = 0; s < STORE_COUNT; ++s)
        if (persistent(s) && save_store(s) != 0) return -1;
    std::string old = dir_ + "/journal.old";
    if ((unlink(old.c_str()) != 0 && errno != ENOENT) || open_journal(true) != 0 ||
        fsync(jfd_) != 0 || sync_dir(dir_) != 0) {
        say("journal: cannot start a new journal in %s: %s", dir_.c_str(), strerror(errno));
        return -1;
    }
    jbuf_.clear();
    jsize_ = jsynced_ = 0;
    jops_ = resave_ = old_pending_ = false;
    snap_bytes_ = state_bytes(dir_);
    return 0;
}

int Server::sync() {
    if (!commit_wait_) return 0;
    commit_wait_ = false;
    if (!resave_ && jwrite() == 0) {
        if (fdatasync(jfd_) == 0) {
            jsynced_ = jsize_;
            // The journal is rotated only where it ends with a commit mark:
            // changes written since would be cut from their commit.
            if (!stopping_ && !fold_broken_ && !fold_.joinable() && !jops_ &&
                (old_pending_ || jsize_ > std::max<uint64_t>(lim_.compact_bytes, snap_bytes_)))
                start_fold();
            return 0;
        }
        say("journal: cannot sync %s/journal: %s; the stores are saved whole instead", dir_.c_str(),
            strerror(errno));
    }
    resave_ = true;
    if (save_all() != 0) return -1;
    say("journal: the stores were saved whole in %s", dir_.c_str());
    return 0;
}

Server::Replay Server::replay(const std::string& path) {
    Replay r;
    std::string data;
    int rc = read_whole(path, data);
    if (rc == 1) return r;
    r.exists = true;
    if (rc != 0) {
        r.error = errno;
        say("journal: cannot read %s: %s", path.c_str(), strerror(errno));
        return r;
    }
    r.size = data.size();
    std::vector<std::string_view> ops; // of the commit being read
    size_t at = 0;
    while (data.size() - at >= 8) {
        uint32_t len = get32(data.data() + at), crc = get32(data.data() + at + 4);
        if (len == 0 || len > JREC_MAX) {
            r.damaged = true;
            break;
        }
        if (data.size() - at - 8 < len) break; // cut short
        std::string_view payload(data.data() + at + 8, len);
        if (crc32(payload) != crc || !(payload == "K" || apply_op(payload, false))) {
            r.damaged = true;
            break;
        }
        at += 8 + len;
        if (payload != "K") {
            ops.push_back(payload);
            continue;
        }
        for (std::string_view op : ops)
            apply_op(op, true);
        ops.clear();
        r.good = at;
        ++r.commits;
    }
    if (r.commits > 0)
        say("journal: replayed %zu commits (%llu bytes) from %s", r.commits,
            static_cast<unsigned long long>(r.good), path.c_str());
    if (r.damaged)
        say("journal: %s is damaged at byte %zu: the %llu bytes from the last commit before it "
            "on are not replayed",
            path.c_str(), at, static_cast<unsigned long long>(r.size - r.good));
    else if (r.good < r.size)
        say("journal: %s: the last %llu bytes hold no complete commit; dropped", path.c_str(),
            static_cast<unsigned long long>(r.size - r.good));
    return r;
}

// Checks (apply false) or applies one change of the journal.
bool Server::apply_op(std::string_view op, bool apply) {
    if (op.size() < 3) return false;
    char type = op[0];
    int store = static_cast<unsigned char>(op[1]);
    int levels = static_cast<unsigned char>(op[2]);
    if ((type != 'W' && type != 'M' && type != 'R') || store >= STORE_COUNT || !persistent(store) ||
        levels > DEPTH_MAX || (levels == 0 && type != 'M'))
        return false;
    Path p;
    size_t at = 3;
    for (int i = 0; i < levels; ++i) {
        if (at >= op.size()) return false;
        size_t k = static_cast<unsigned char>(op[at++]);
        if (k == 0 || op.size() - at < k) return false;
        std::string_view key = op.substr(at, k);
        if (key.find('/') != std::string_view::npos) return false;
        p.comp[p.n++] = key;
        at += k;
    }
    std::string_view value;
    if (type == 'W') {
        if (op.size() - at < 4) return false;
        size_t v = get32(op.data() + at);
        at += 4;
        if (v > VALUE_MAX || op.size() - at != v) return false;
        value = op.substr(at, v);
        if (value.find('\0') != std::string_view::npos) return false;
    } else if (at != op.size()) {
        return false;
    }
    if (!apply) return true;
    if (type == 'W')
        write(store, p, value, nullptr, 0);
    else if (type == 'M')
        make_path(store, p, {}, nullptr, 0);
    else
        remove(store, p, nullptr, 0);
    return true;
}

int Server::load() {
    if (dir_.empty()) return 0;
    if (load_snapshots() != 0) return -1;
    const std::string journal = dir_ + "/journal", old = journal + ".old";
    unlink((journal + ".new").c_str()); // left by a rotation cut short
    replaying_ = true;
    Replay o = replay(old);
    Replay j = o.error ? Replay{} : replay(journal);
    replaying_ = false;
    if (o.error || j.error) return -1;
    for (auto& s : stores_)
        s.touched = false;
    snap_bytes_ = state_bytes(dir_);
    if (!o.exists && !j.damaged) {
        // The usual start: the journal goes on after its last commit.
        if (open_journal(false) != 0) return -1;
        if (j.good < j.size && ftruncate(jfd_, static_cast<off_t>(j.good)) != 0) {
            say("journal: cannot cut %s: %s", journal.c_str(), strerror(errno));
            return -1;
        }
        jsize_ = jsynced_ = j.good;
        return 0;
    }
    // A fold was cut short, or a journal is damaged: the stores are saved
    // whole; a damaged journal is kept beside them for inspection.
    for (int s = 0; s < STORE_COUNT; ++s)
        if (persistent(s) && save_store(s) != 0) return -1;
    for (auto [path, r] : {std::pair{&old, &o}, std::pair{&journal, &j}}) {
        std::string kept = *path + ".damaged";
        if (r->damaged && rename(path->c_str(), kept.c_str()) == 0)
            say("journal: kept as %s", kept.c_str());
    }
    return save_all();
}

int Server::finish() {
    if (fold_.joinable()) reap_fold();
    stopping_ = true;
    commit_stores();
    int r = sync();
    stopping_ = false;
    return r;
}

void Server::start_fold() {
    const std::string journal = dir_ + "/journal", old = journal + ".old", fresh = journal + ".new";
    if (!old_pending_) {
        // A new journal takes the next commits; journal.old is folded.
        int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        bool ok = fd >= 0 && rename(journal.c_str(), old.c_str()) == 0;
        if (ok && rename(fresh.c_str(), journal.c_str()) != 0) {
            rename(old.c_str(), journal.c_str());
            ok = false;
        }
        if (!ok) {
            say("journal: cannot start a new journal in %s: %s; no folding until restart",
                dir_.c_str(), strerror(errno));
            if (fd >= 0) close(fd);
            unlink(fresh.c_str());
            fold_broken_ = true;
            return;
        }
        close(jfd_);
        jfd_ = fd;
        jsize_ = jsynced_ = 0;
        old_pending_ = true;
        if (sync_dir(dir_) != 0) say("journal: cannot sync %s: %s", dir_.c_str(), strerror(errno));
    }
    fold_done_ = false;
    fold_ = std::thread(fold_old, this, dir_, lim_);
}

// On the fold's own thread: state files + journal.old -> new state files.
// Touches nothing of self but the fold's outcome, read once fold_done_ is set.
void Server::fold_old(Server* self, std::string dir, Limits lim) {
    uint64_t bytes = 0;
    std::string said;
    bool ok;
    {
        Server tmp(dir, lim);
        tmp.quiet_ = true;
        ok = tmp.load_snapshots() == 0;
        tmp.said_.clear(); // the usual "loaded" lines
        if (ok) {
            tmp.replaying_ = true;
            Replay r = tmp.replay(dir + "/journal.old");
            tmp.replaying_ = false;
            ok = r.error == 0 && !r.damaged;
        }
        for (int s = 0; ok && s < STORE_COUNT; ++s)
            if (persistent(s) && tmp.stores_[s].touched) ok = tmp.save_store(s) == 0;
        if (ok && (unlink((dir + "/journal.old").c_str()) != 0 || sync_dir(dir) != 0)) {
            tmp.say("journal: cannot delete %s/journal.old: %s", dir.c_str(), strerror(errno));
            ok = false;
        }
        bytes = state_bytes(dir);
        said = std::move(tmp.said_);
    }
    if (!ok) said += "journal: folding stopped until restart; the journal is replayed then\n";
    self->fold_ok_ = ok;
    self->fold_said_ = std::move(said);
    self->fold_snap_bytes_ = bytes;
    self->fold_done_.store(true, std::memory_order_release);
}

bool Server::folding() {
    if (!fold_.joinable()) return false;
    if (!fold_done_.load(std::memory_order_acquire)) return true;
    reap_fold();
    return false;
}

// Waits for the fold's thread and takes its outcome.
void Server::reap_fold() {
    fold_.join();
    for (size_t at = 0; at < fold_said_.size();) {
        size_t nl = fold_said_.find('\n', at);
        say("%s", fold_said_.substr(at, nl - at).c_str());
        at = nl + 1;
    }
    if (fold_ok_) {
        old_pending_ = false;
        snap_bytes_ = fold_snap_bytes_;
        say("journal: folded into the state files (%llu bytes)",
            static_cast<unsigned long long>(snap_bytes_));
    } else {
        fold_broken_ = true;
    }
    std::string().swap(fold_said_);
    // The fold's tree was built on its own thread: give its memory back.
    malloc_trim(0);
}

} // namespace confd
