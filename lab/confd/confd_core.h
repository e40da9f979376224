// confd core: the configuration tree, its four stores, their state files and
// journal, and the per-connection session that turns received bytes into
// replies and change records. No sockets here: the program's loop
// (confd.cpp) moves bytes between the sockets and the sessions, and a fuzzer
// or a test can feed a session directly.
//
// Tree: every node has a key (a son's name, never empty, no '/') and a
// value: the text written to it, or, for a node that was never written (an
// inner node, a set), its own key. Sons are kept in this order: keys made
// only of the digits 0-9 first, in numeric order (equal numbers such as
// "7" and "007" by byte order), then all other keys in byte order.
//
// Stores: 0 main and 2 private (persistent), 1 RAM (volatile), 3 factory
// (persistent). Each persistent store is one state file in the state folder
// (main.conf, priv.conf, factory.conf) holding its whole tree as one
// serialized set (platform/include/set.h) whose root key is "", plus the
// changes written since, in the folder's journal (confd_journal.cpp). A
// commit appends to the journal and syncs it once for every commit of the
// same round of the loop; the journal is folded into the state files in the
// background once it outgrows them.
#pragma once

#include "platform/include/ipc.h"
#include "platform/include/set.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <sys/uio.h>
#include <thread>
#include <unordered_map>
#include <utility>
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
// Set handles one connection may hold.
constexpr uint32_t HANDLES_MAX = 1u << 18;
// A connection's input is not read while this much output waits for it,
// nor while this much input waits to be handled (room for two whole items).
constexpr size_t OUT_HIGH = 256 * 1024;
constexpr size_t IN_HIGH = 2 * (IPC_STRING_MAX + 5);
// Input one connection gets handled per round of the loop (and at most one
// commit), unless its peer has finished sending.
constexpr size_t ROUND_BYTES = 64 * 1024;
// What a store's size counts besides the bytes of keys and values: per node
// (and per deleted node still to be reported), and per change record
// waiting for its commit besides the bytes of its path and text.
constexpr size_t NODE_COST = 128;
constexpr size_t REC_COST = 64;

// Byte limits; the defaults are the program's (tests use smaller ones).
struct Limits {
    size_t store_bytes = 64u << 20;   // one store (see NODE_COST)
    size_t pending_bytes = 4u << 20;  // one connection's records waiting for reconf
    size_t pending_total = 64u << 20; // every connection's together
    size_t compact_bytes = 1u << 20;  // the journal is folded past max(this, state files)
};

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
    uint64_t id = 0;     // never reused; set handles and change records refer to it
    bool has_value = false;
    bool reported = false; // subscribers have been told that it exists
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

// A change written on a connection and not yet committed: 'C' a node
// created, 'U' a value written, 'D' a node deleted. The record subscribers
// get is made at the commit, from the node as it is then.
struct Rec {
    uint64_t id;     // the node (for 'D' the deleted node)
    uint32_t weight; // bytes counted against the pending limits
    uint8_t store;
    char action;
    std::string text; // 'U': the value written; 'D': the deleted node's path
};

// One change record as subscribers get it: path, action, parameter text.
struct Change {
    std::string path;
    char action;
    std::string text;
};
// Appends the frame of a string item.
void append_frame(std::string& out, std::string_view s);
// The three string frames a subscriber receives for a record.
std::string change_frames(const Change& c);

// Why a change was not carried out.
enum class Refusal { NONE, STORE_FULL, PENDING_FULL };

class Session;

class Server {
  public:
    // state_dir empty: nothing is loaded or saved (tests, fuzzing).
    explicit Server(std::string state_dir, Limits limits = {});
    // Makes what was written durable (finish()).
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Loads the persistent stores from the state folder (created if
    // missing): state files, then the journal. A missing file is an empty
    // store; a state file that cannot be read or parsed fails the load; the
    // journal is replayed up to its last whole commit. Returns 0 or -1 (logged).
    int load();
    // Commits every change written so far (committed or not) to the
    // persistent stores, syncs, and waits for a fold in progress. Returns 0 or -1.
    int finish();

    const Limits& limits() const { return lim_; }
    Node* root(int store) { return &stores_[store].root; }
    Node* find(int store, const Path& p);
    Node* node_by_id(uint64_t id) const;

    // Changes of the tree. Each appends to recs (when non-null) the records
    // of what it did, weighing together at most rec_room bytes, and to the
    // journal what it did to a persistent store. Nothing is changed when the
    // store would outgrow its limit or the records their room.
    // Writes value at p (a leaf), creating the levels above it.
    Refusal write(int store, const Path& p, std::string_view value, std::vector<Rec>* recs,
                  size_t rec_room);
    // Creates every level of p (and key under it when not empty) as inner nodes.
    Refusal make_path(int store, const Path& p, std::string_view key, std::vector<Rec>* recs,
                      size_t rec_room);
    // Deletes the node at p with its subtree; nothing when absent.
    Refusal remove(int store, const Path& p, std::vector<Rec>* recs, size_t rec_room);

    // A connection commits: its records go to every subscriber, in order,
    // each preceded by the records of the nodes above it that subscribers
    // have not been told of yet; what was written to persistent stores is
    // made durable by the next sync(), and no output is released before.
    // recs is emptied.
    void commit(std::vector<Rec>& recs);
    // Only the durable part: the factory settings when their connection ends.
    void commit_stores();
    // Writes and syncs the journal when a commit waits for it, then releases
    // the output. Starts a fold of the journal when it has outgrown the
    // state files. Returns 0, or -1 when the journal could not be written
    // (logged; the stores are then saved whole at the next commit).
    int sync();
    // True while output must wait for a sync.
    bool held() const { return commit_wait_; }
    // Reaps a finished fold (logs its outcome). True while one runs.
    bool folding();

    // Room left for one more connection's records of pending bytes.
    size_t rec_room(size_t pending) const;
    void pending_changed(long delta) { pending_total_ += delta; }

    void subscribe(Session* s);
    void unsubscribe(Session* s);
    size_t subscribers() const { return subs_.size(); }

    // Counts of nodes and of nodes holding a value of their own.
    void count(int store, size_t* nodes, size_t* values) const;
    // What the store's size counts (see NODE_COST).
    size_t store_bytes(int store) const { return stores_[store].bytes; }
    size_t pending_total() const { return pending_total_; }
    // Bytes of deleted nodes since the last call (the loop gives memory back).
    size_t take_freed() { return std::exchange(freed_, 0); }

  private:
    struct Store {
        Node root;
        size_t bytes = 0;
        bool touched = false; // written since the load (folds save only those)
        // Deleted nodes subscribers know of and have not been told are
        // gone: path -> node id.
        std::map<std::string, uint64_t> ghosts;
    };

    Node* add_son(Node* parent, std::string_view key, int store);
    void drop(Node* n, int store);
    void set_value(Node* n, std::string_view value, int store);
    void say(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // Change records (confd_tree.cpp).
    void publish(const std::vector<Change>& out);
    void report(int store, Node* n, std::vector<Change>& out);
    void retire_ghost(int store, const std::string& path, std::vector<Change>& out);
    void add_ghost(int store, std::string path, uint64_t id);
    void erase_ghosts(int store, const std::string& path);

    // State files and journal (confd_journal.cpp).
    int load_store(int store);
    bool build(Node* into, const set_t* sons, int store);
    int save_store(int store);
    int load_snapshots();
    struct Replay;
    Replay replay(const std::string& path);
    bool apply_op(std::string_view payload, bool apply);
    void jop(char type, int store, const Path& p, int levels, std::string_view key,
             std::string_view value);
    void jcommit();
    int jwrite();
    int open_journal(bool truncate);
    int save_all();
    void start_fold();
    void reap_fold();
    static void fold_old(Server* self, std::string dir, Limits lim);

    std::string dir_;
    Limits lim_;
    Store stores_[STORE_COUNT];
    uint64_t next_id_ = 0;
    std::unordered_map<uint64_t, Node*> index_;
    std::vector<Session*> subs_;
    size_t pending_total_ = 0;
    size_t freed_ = 0;

    bool quiet_ = false; // log lines kept in said_ (a fold's own server)
    std::string said_;
    bool replaying_ = false;
    int jfd_ = -1;
    std::string jbuf_;         // journal bytes not yet written
    uint64_t jsize_ = 0;       // bytes written to the journal file
    uint64_t jsynced_ = 0;     // ... of which synced
    bool jops_ = false;        // operations since the last commit mark
    bool commit_wait_ = false; // a commit waits for sync()
    bool resave_ = false;      // the journal failed: save the stores whole
    uint64_t snap_bytes_ = 0;  // size of the state files
    // The fold of journal.old into the state files, on a thread of its own.
    std::thread fold_;
    std::atomic<bool> fold_done_{false};
    bool fold_ok_ = false;
    std::string fold_said_;
    uint64_t fold_snap_bytes_ = 0;
    bool old_pending_ = false; // journal.old exists and is to be folded
    bool fold_broken_ = false; // a fold failed: none until the next start
    bool stopping_ = false;    // finish(): no new fold
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
    // Takes received bytes and handles complete items, within the round's share.
    void feed(const uint8_t* data, size_t len);
    // Handles items waiting in the input, within the round's share.
    void process();
    // The peer sent no more (end of stream): what it sent is handled to the
    // end without waiting for further rounds.
    void input_ended();
    // A new round of the loop: a new share (ROUND_BYTES of input, one commit).
    void begin_round() { round_bytes_ = 0, yielded_ = false; }
    // True when complete items wait to be handled (in the next round when
    // this round's share is used up).
    bool runnable() const;

    // True when more input may be read now.
    bool wants_input() const {
        return !closing_ && !dropped_ && !ended_ && out_bytes() < OUT_HIGH &&
               in_.size() - in_off_ < IN_HIGH;
    }
    // Output is offered only once the commits before it are durable.
    bool has_output() const { return out_bytes() > 0 && !srv_.held(); }
    size_t out_bytes() const { return out_.size() - out_off_ + rec_bytes_; }
    // Fills up to max iovecs with waiting output; returns the count.
    int output_iov(iovec* iov, int max) const;
    // n bytes of the output have been sent.
    void output_sent(size_t n);
    // The connection is to be closed once its output is sent.
    bool closing() const { return closing_; }
    // The connection is to be closed at once (waiting output dropped).
    bool dropped() const { return dropped_; }
    bool done() const { return dropped_ || (closing_ && out_bytes() == 0); }
    bool subscribed() const { return subscribed_; }
    size_t pending_bytes() const { return pending_bytes_; }
    size_t in_bytes() const { return in_.capacity(); }
    // Items handled so far (the loop's measure of a connection's activity).
    uint64_t items() const { return items_; }

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
    // Takes the records of a change, or closes the connection on a refusal.
    void changed(Refusal r, int store, std::string_view path, size_t before);
    void drop_pending();
    void release_input();

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
    size_t round_bytes_ = 0;
    bool yielded_ = false; // this round's share is used up
    bool ended_ = false;   // the peer sent its end of stream
    uint64_t items_ = 0;

    const Command* cmd_ = nullptr; // command whose arguments are being read
    std::vector<std::string> args_;
    bool bad_arg_ = false; // an integer item came where a string argument was due

    std::vector<uint64_t> handles_;                // handle - 1 -> node id
    std::unordered_map<uint64_t, uint32_t> by_id_; // node id -> handle
    std::vector<Rec> pending_;                     // written since the last reconf
    size_t pending_bytes_ = 0;
    bool wrote_factory_ = false;
    bool closing_ = false;
    bool dropped_ = false;
    bool subscribed_ = false;
};

} // namespace confd
