// confd core: the configuration tree, its four stores, their state files,
// and the per-connection session that turns received bytes into replies
// and change records. No sockets here: the program's poll loop (confd.cpp)
// moves bytes between the sockets and the sessions, and a fuzzer or a test
// can feed a session directly.
//
// Tree: every node has a key (a son's name, never empty, no '/') and a
// value: the text written to it, or, for a node that was never written (an
// inner node, a set), its own key. Sons are kept in this order: keys made
// only of the digits 0-9 first, in numeric order (equal numbers such as
// "7" and "007" by byte order), then all other keys in byte order.
//
// Stores: 0 main and 2 private (persistent), 1 RAM (volatile), 3 factory
// (persistent). Each persistent store is one file in the state folder
// (main.conf, priv.conf, factory.conf) holding its whole tree as one
// serialized set (platform/include/set.h) whose root key is "". A file is
// replaced atomically: written to NAME.tmp, synced, renamed, folder synced.
#pragma once

#include "platform/include/ipc.h"
#include "platform/include/set.h"

#include <cstdarg>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <sys/uio.h>
#include <unordered_map>
#include <vector>

namespace confd {

constexpr uint16_t CONFD_PORT = 7000;
constexpr const char* CONFD_STATE_DIR = "/var/lib/tr111-confd";

// Limits of what is stored: a key of at most 255 bytes, a value of at most
// 32000 bytes, at most 63 levels below the root. With them every reply and
// every level of a state file fits a string item and the set parser.
constexpr size_t KEY_MAX = 255;
constexpr size_t VALUE_MAX = 32000;
constexpr int DEPTH_MAX = SET_DEPTH_MAX - 1;
// Longest read reply: ("parent"("key"="value")) with every byte escaped.
static_assert(11 + 2 * (2 * KEY_MAX + VALUE_MAX) <= IPC_STRING_MAX);

// A subscriber's queue holds up to this many records (and bytes); one that
// falls further behind is dropped.
constexpr size_t SUB_QUEUE_RECORDS = 200000;
constexpr size_t SUB_QUEUE_BYTES = 32u << 20;
// Changes written on one connection and not yet committed.
constexpr size_t PENDING_MAX = SUB_QUEUE_RECORDS;
// Set handles one connection may hold.
constexpr uint32_t HANDLES_MAX = 1u << 20;
// A connection's input is not read while this much output waits for it.
constexpr size_t OUT_HIGH = 256 * 1024;

enum StoreKind { STORE_MAIN = 0, STORE_RAM = 1, STORE_PRIV = 2, STORE_FACTORY = 3, STORE_COUNT };

// Log lines go through one sink (standard output in the program, nothing
// in a fuzzer). The sink gets one line without its newline.
using LogSink = void (*)(const char* line);
void set_log_sink(LogSink sink);
void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A peer's text made fit for a log line: quoted, control bytes shown as
// '?', cut after 80 bytes.
std::string shown(std::string_view text);

// Son order (see the top of this file).
struct SonOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};
// True for a key made only of decimal digits.
bool is_number_key(std::string_view key);

struct Node {
    using Sons = std::map<std::string, std::unique_ptr<Node>, SonOrder>;

    Node* parent = nullptr;
    Sons::iterator self; // this node in its parent's sons (not for the root)
    uint64_t id = 0;     // never reused; set handles refer to it
    bool has_value = false;
    std::string value;
    Sons sons;

    std::string_view key() const { return parent ? std::string_view(self->first) : ""; }
    // The node's value: what was written, else its key.
    std::string_view text() const { return has_value ? std::string_view(value) : key(); }
};

// A path split into its components; empty components are ignored.
struct Path {
    std::string_view comp[DEPTH_MAX];
    int n = 0;
    bool trailing_slash = false;
};
// Splits text. Returns null, or the reason the path is refused.
const char* path_parse(std::string_view text, Path& p);

// One change record: path, action 'C', 'U' or 'D', parameter text.
struct Change {
    std::string path;
    char action;
    std::string text;
};
// Appends the frame of a string item.
void append_frame(std::string& out, std::string_view s);
// The three string frames a subscriber receives for a record.
std::string change_frames(const Change& c);

class Session;

class Server {
  public:
    // state_dir empty: nothing is loaded or saved (tests, fuzzing).
    explicit Server(std::string state_dir);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Loads the persistent stores from the state folder (created if
    // missing). A missing file is an empty store; a file that cannot be
    // read or parsed fails the load. Returns 0 or -1 (logged).
    int load();
    // Saves each persistent store written since its last save. Returns 0,
    // or -1 when a save failed (logged; that store stays to be saved).
    int save_dirty();
    int save_store(int store);

    Node* root(int store) { return &stores_[store].root; }
    Node* find(int store, const Path& p);
    Node* node_by_id(uint64_t id) const;

    // Changes of the tree. Each appends the records of what it did to
    // changes (when non-null) and marks the store to be saved.
    // Writes value at p (a leaf), creating the levels above it.
    void write(int store, const Path& p, std::string_view value, std::vector<Change>* changes);
    // Creates every level of p (and key under it when not empty) as inner nodes.
    void make_path(int store, const Path& p, std::string_view key, std::vector<Change>* changes);
    // Deletes the node at p with its subtree; nothing when absent.
    void remove(int store, const Path& p, std::vector<Change>* changes);

    // Sends records to every subscriber, in order.
    void publish(const std::vector<Change>& changes);
    void subscribe(Session* s);
    void unsubscribe(Session* s);
    size_t subscribers() const { return subs_.size(); }

    // Counts of nodes and of nodes holding a value of their own.
    void count(int store, size_t* nodes, size_t* values) const;
    bool dirty(int store) const { return stores_[store].dirty; }

  private:
    struct Store {
        Node root;
        bool dirty = false;
    };

    Node* add_son(Node* parent, std::string_view key);
    void unregister(Node* n);
    int load_store(int store);
    bool build(Node* into, const set_t* sons);

    std::string dir_;
    Store stores_[STORE_COUNT];
    uint64_t next_id_ = 0;
    std::unordered_map<uint64_t, Node*> index_;
    std::vector<Session*> subs_;
};

// One connection's protocol state.
class Session {
  public:
    // A protocol command: its name, what it does, its store, its arguments.
    struct Command;

    Session(Server& srv, uint32_t id);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    uint32_t id() const { return id_; }
    // Takes received bytes and handles every complete item.
    void feed(const uint8_t* data, size_t len);
    // Handles items left in the input while the output was full.
    void process();
    // The peer sent no more (end of stream).
    void input_ended();

    // True when more input may be read now.
    bool wants_input() const { return !closing_ && !dropped_ && out_bytes() < OUT_HIGH; }
    bool has_output() const { return out_bytes() > 0; }
    size_t out_bytes() const { return out_.size() - out_off_ + rec_bytes_; }
    // Fills up to max iovecs with waiting output; returns the count.
    int output_iov(iovec* iov, int max) const;
    // n bytes of the output have been sent.
    void output_sent(size_t n);
    // The connection is to be closed once its output is sent.
    bool closing() const { return closing_; }
    // The connection is to be closed at once (waiting output dropped).
    bool dropped() const { return dropped_; }
    bool done() const { return dropped_ || (closing_ && !has_output()); }
    bool subscribed() const { return subscribed_; }

    // Server side of a subscription: queue one framed record. Returns false
    // when the queue is full, after which the session is dropped.
    bool enqueue(const std::shared_ptr<const std::string>& rec);

  private:
    void on_item(const ipc_item& item);
    void execute();
    void reply(std::string_view text);
    void reply_hex(uint32_t v);
    void refuse(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void log_refusal(bool closing, const char* fmt, va_list ap)
        __attribute__((format(printf, 3, 0)));
    uint32_t handle_for(Node* n);
    Node* resolve(std::string_view handle_text);
    bool path_arg(std::string_view text, Path& p);
    void cmd_get_exist(int store);
    void cmd_write(int store);
    void cmd_free(int store);
    void cmd_set_path(int store);
    void cmd_son();
    void cmd_tr69();
    void cmd_reconf(uint32_t level);
    void add_changes(std::vector<Change>& changes);

    Server& srv_;
    uint32_t id_;
    std::vector<uint8_t> in_;
    size_t in_off_ = 0;
    size_t need_ = 1; // bytes of input needed before the next item can be parsed
    std::string out_;
    size_t out_off_ = 0;
    std::deque<std::shared_ptr<const std::string>> recs_;
    size_t rec_off_ = 0;
    size_t rec_bytes_ = 0;

    const Command* cmd_ = nullptr; // command whose arguments are being read
    std::vector<std::string> args_;
    bool bad_arg_ = false; // an integer item came where a string argument was due

    std::vector<uint64_t> handles_;                // handle - 1 -> node id
    std::unordered_map<uint64_t, uint32_t> by_id_; // node id -> handle
    std::vector<Change> pending_;                  // written since the last reconf
    bool wrote_factory_ = false;
    bool closing_ = false;
    bool dropped_ = false;
    bool subscribed_ = false;
};

} // namespace confd
