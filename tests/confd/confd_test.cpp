// confd's sessions fed with bytes, without sockets (the fuzz target covers bad
// input), in rounds as the program's loop runs them; its state folder; then
// the program through the daemon's client and raw peers.
#include "lab/confd/confd_core.h"
#include "tests/support/db.h"

#include <array>
#include <atomic>
#include <filesystem>
#include <random>
#include <set>
#include <sys/syscall.h>
#include <thread>

using namespace tr111test;
using confd::Server;
namespace fs = std::filesystem;

// Syncs of the journal, counted: no reply may leave before the commits it
// follows are synced.
std::atomic<int> datasyncs{0};
extern "C" int fdatasync(int fd) {
    ++datasyncs;
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

const std::string GET = "rg_conf_get_exist", SET = "rg_conf_set_path_value",
                  FREE = "rg_conf_set_free";
std::string log_text; // the sessions' log lines
const bool sink_set =
    (confd::set_log_sink([](const char* l) { log_text += l + std::string("\n"); }), true);

// Items as a WireLog shows them: "#4" is the integer 4, anything else a string.
std::string frames(const Strings& items) {
    std::string out;
    for (const auto& i : items) {
        uint8_t buf[9];
        if (i.size() > 1 && i[0] == '#')
            out.append(reinterpret_cast<char*>(buf), ipc_frame_u32(buf, std::stoul(i.substr(1))));
        else
            confd::append_frame(out, i);
    }
    return out;
}

struct Peer {
    Peer(Server& srv, uint32_t id) : srv(srv), s(srv, id) {}
    // Bytes in, in one round of the loop; then rounds until nothing is left.
    void feed(const std::string& b) {
        s.feed(reinterpret_cast<const uint8_t*>(b.data()), b.size());
    }
    void send(const Strings& items) { feed(frames(items)), settle(); }
    void settle() {
        for (srv.sync(); s.runnable(); srv.sync())
            s.begin_round(), s.process();
    }
    // Every string waiting in the output (whole frames in each piece).
    Strings take() {
        Strings out;
        ipc_item it;
        for (iovec v; s.output_iov(&v, 1) == 1; s.output_sent(v.iov_len), settle())
            for (size_t off = 0; off < v.iov_len; off += 5 + it.str_len) {
                EXPECT_GT(
                    ipc_item_parse(static_cast<uint8_t*>(v.iov_base) + off, v.iov_len - off, &it),
                    0);
                out.emplace_back(it.str, it.str_len);
            }
        return out;
    }
    std::string ask(const Strings& items) { return send(items), take().at(0); }
    // A subscriber's records as "path|action|text".
    Strings records() {
        Strings s = take(), out;
        for (size_t i = 0; i + 2 < s.size(); i += 3)
            out.push_back(s[i] + "|" + s[i + 1] + "|" + s[i + 2]);
        return out;
    }
    Server& srv;
    confd::Session s;
};

TEST(ConfdSession, ChangeRecordsInCommitOrder) {
    Server srv("");
    Peer a(srv, 1), b(srv, 2), sub(srv, 3), c(srv, 4);
    sub.send({"subscribe"});
    // One commit: its changes in write order, a leaf never as C; private
    // writes, and what the commit created and deleted again, are not reported.
    b.send({SET, "/dev/br0/dhcps/lease/3/start_time", "1", SET, "/dev/br0/dhcps/lease/4/t", "1",
            SET, "/dev/br0/dhcps/lease/4/t", "2", "rg_conf_ram_set_path_value", "/dev/ppp0/ip",
            "10.0.0.1", "rg_conf_priv_set_path_value", "/p", "1", FREE, "/dev/br0/dhcps/lease/3"});
    EXPECT_TRUE(sub.records().empty()); // nothing before reconf
    b.send({"reconf", "#4"});
    EXPECT_EQ(sub.records(),
              (Strings{"/|C|dev", "/dev/|C|br0", "/dev/br0/|C|dhcps", "/dev/br0/dhcps/|C|lease",
                       "/dev/br0/dhcps/lease/|C|4", "/dev/br0/dhcps/lease/4/t|U|1",
                       "/dev/br0/dhcps/lease/4/t|U|2", "/|C|dev", "/dev/|C|ppp0",
                       "/dev/ppp0/ip|U|10.0.0.1"}));
    // A level another connection created and has not committed is reported
    // by the first commit that needs it, before anything beneath, and once.
    a.send({SET, "/n/m/x", "1"});
    b.send({SET, "/n/m/y", "2", "reconf", "#4"});
    EXPECT_EQ(sub.records(), (Strings{"/|C|n", "/n/|C|m", "/n/m/y|U|2"}));
    a.send({"reconf", "#4"});
    EXPECT_EQ(sub.records(), (Strings{"/n/m/x|U|1"}));
    // A peer pipelining commits gets one per round: b, served in the same round, sees the first.
    c.feed(frames({SET, "/p", "1", "reconf", "#4", SET, "/p", "2", "reconf", "#4"}));
    EXPECT_EQ(b.ask({GET, "/p"}), "(\"\"(\"p\"=\"1\"))");
}

TEST(ConfdSessionLimits, ByteLimitsRefuseAndGiveBack) {
    log_text.clear();
    confd::Limits lim;
    lim.store_bytes = 50000;
    lim.pending_bytes = 30000;
    Server srv("", lim);
    // A record weighs 64 bytes with its path and text: up to the limit, not a byte more.
    auto fits = std::make_unique<Peer>(srv, 8);
    Peer over(srv, 9), b(srv, 2);
    over.send({SET, "/w", std::string(30000 - 64 - 1, 'w')});
    fits->send({SET, "/v", std::string(30000 - 64 - 2, 'v')});
    EXPECT_EQ(fits->s.pending_bytes(), 30000u);
    EXPECT_FALSE(fits->s.closing());
    EXPECT_EQ(count(log_text, "conn 9: refused: change of \"/w\": this connection's changes "
                              "waiting for reconf would pass 30000 bytes"),
              1u);
    fits->send({FREE, "/v"});
    fits.reset(); // what waited for its reconf is given back with the connection
    EXPECT_EQ(srv.pending_total(), 0u);
    const size_t empty_bytes = srv.store_bytes(confd::STORE_MAIN);
    // A store past its limit refuses the write that would grow it; deleting frees it.
    for (const char* key : {"/b/0", "/b/1", "/b/2"})
        b.send({SET, key, std::string(20000, 'v'), "reconf", "#4"});
    EXPECT_EQ(count(log_text, "conn 2: refused: change of \"/b/2\": the main store would hold "
                              "more than 50000 bytes; closing the connection"),
              1u);
    Peer(srv, 4).send({FREE, "/b", "rg_conf_set_set_path", "/e/f", "reconf", "#4"});
    EXPECT_EQ(srv.store_bytes(confd::STORE_MAIN), empty_bytes + 2 * (1 + confd::NODE_COST));
}

TEST(ConfdState, JournalSyncedBeforeRepliesReplayedByWholeCommitsKeptWhenDamaged) {
    log_text.clear();
    TempDir dir;
    const std::string state = dir.path() + "/state", copy = dir.path() + "/copy";
    confd::Limits lim;
    lim.compact_bytes = 1u << 30; // no fold here
    {
        Server s(state, lim);
        ASSERT_EQ(s.load(), 0); // the folder is created
        Peer a(s, 1), b(s, 2), c(s, 3);
        // Two commits in one round: one sync, and no reply before it.
        a.feed(frames({SET, "/a/\"q\"", "x\\y", "reconf", "#4"}));
        b.feed(frames({SET, "/b", "1", FREE, "/a", SET, "/a/k", "2", "reconf", "#2"}));
        c.feed(frames({GET, "/b"}));
        iovec v;
        EXPECT_EQ(c.s.output_iov(&v, 1), 0);
        const int syncs = datasyncs;
        s.sync();
        EXPECT_EQ(datasyncs, syncs + 1);
        EXPECT_EQ(c.take(), Strings{"(\"\"(\"b\"=\"1\"))"});
        a.send({SET, "/u", "1"}); // not committed: lost at a kill, kept at a clean stop
    }
    // Cut anywhere (a kill), the journal gives the state after some whole commit.
    fs::copy(state, copy, fs::copy_options::recursive);
    const std::string journal = read_file(state + "/journal");
    std::set<std::string> seen;
    for (size_t cut = 0; cut <= journal.size(); ++cut) {
        write_file(copy + "/journal", journal.substr(0, cut));
        Server s(copy);
        ASSERT_EQ(s.load(), 0);
        Peer a(s, 1);
        a.send({GET, "/a/k", GET, "/b", GET, "/u"});
        std::string got;
        for (const auto& r : a.take())
            got += r.empty() ? '-' : '+';
        seen.insert(got);
    }
    EXPECT_EQ(seen, (std::set<std::string>{"---", "++-", "+++"}));
    EXPECT_FALSE(fs::exists(copy + "/journal.damaged"));
    EXPECT_EQ(count(log_text, "journal: replayed 3 commits"), 1u);
    // A damaged journal: replayed up to the damage, kept aside, the stores saved whole.
    std::string bad = journal;
    bad[bad.size() / 2] ^= 0x20;
    write_file(copy + "/journal", bad);
    ASSERT_EQ(Server(copy).load(), 0);
    EXPECT_EQ(read_file(copy + "/journal.damaged"), bad);
    EXPECT_EQ(count(log_text, "journal: " + copy + "/journal is damaged at byte"), 1u);
}

// A subscriber that stalls, its queue outgrowing the kernel's buffers until it
// is dropped, holds up neither the live one nor other clients.
TEST(ConfdServer, StalledSubscriberHoldsUpNoOtherClient) {
    Confd c;
    int stalled = ipc_connect(7000), live = ipc_connect(7000); // stalled never reads
    for (int fd : {stalled, live})
        ASSERT_EQ(ipc_string_write(fd, "subscribe"), 0);
    ASSERT_TRUE(eventually([&] { return count(c.log(), "subscribed to change records") == 2; }));
    // 30000-byte records: the stalled queue outgrows the kernel's buffers.
    const std::string value(30000, 'v');
    const size_t batches = 25, per_batch = 100, want = 3 * (batches * (per_batch + 1) + 1);
    std::atomic<size_t> got{0}; // strings, three per record
    std::thread reader([&] {
        for (char* s; got < want && (s = ipc_string_read(live)); free(s))
            ++got;
    });
    for (size_t batch = 0; batch < batches; ++batch) {
        tr111::DbHandle db(KX_DB_RAM); // reported, and not saved to disk each time
        for (size_t i = 0; i < per_batch; ++i)
            KX_DB_Set(db.get(), ("/k/" + std::to_string(i)).c_str(), value.c_str());
        KX_DB_Set(db.get(), "/batch", std::to_string(batch).c_str());
        ASSERT_EQ(db.get()->ipc_err, 0u);
        db.close_set();
        // Other clients are served while records pile up for the stalled one.
        EXPECT_TRUE(eventually([&] { return db_get("/batch", true) == std::to_string(batch); }));
        // The writer waits for the live subscriber (slow under an emulator).
        EXPECT_TRUE(eventually([&] { return got >= 3 * (batch + 1) * (per_batch + 1); }));
    }
    reader.join();
    EXPECT_EQ(got.load(), want);
    EXPECT_TRUE(eventually([&] { return count(c.log(), "subscriber dropped") == 1; }));
}

TEST(ConfdServer, KilledAtAnyMomentLosesNoAcknowledgedCommit) {
    Confd confd({"--fold-bytes", "3000"});
    // Writers commit two values at a time; a commit is acknowledged when a
    // read on the writer's next connection sees it. confd is killed at
    // random moments, folds of the journal included, and restarted.
    constexpr int WRITERS = 3;
    std::array<long, WRITERS> acked{}, next{};
    std::mt19937 rng(std::random_device{}());
    auto key = [](int w, const std::string& k) { return "/w" + std::to_string(w) + "/" + k; };
    for (int kill_no = 0;; ++kill_no) {
        for (int w = 0; w < WRITERS; ++w) {
            long seq = atol(db_get(key(w, "seq")).c_str());
            long k = atol(db_get(key(w, std::to_string(acked[w] % 10))).c_str());
            EXPECT_GE(seq, acked[w]) << w;
            EXPECT_TRUE(k >= acked[w] && k % 10 == acked[w] % 10) << k << " " << acked[w];
            next[w] = seq + 1;
        }
        if (kill_no == 8) break;
        std::atomic<bool> stop{false};
        std::vector<std::thread> writers;
        for (int w = 0; w < WRITERS; ++w)
            writers.emplace_back([&, w] {
                for (long v = next[w]; !stop; acked[w] = v++) {
                    const std::string text = std::to_string(v);
                    tr111::DbHandle db(KX_DB_MAIN);
                    if (!db || KX_DB_Set(db.get(), key(w, "seq").c_str(), text.c_str()) != 0 ||
                        KX_DB_Set(db.get(), key(w, std::to_string(v % 10)).c_str(), text.c_str()) !=
                            0)
                        return;
                    db.close_set();
                    if (db_get(key(w, "seq")) != text) return;
                }
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 300));
        confd.stop(true);
        stop = true;
        for (auto& t : writers)
            t.join();
        ASSERT_TRUE(confd.start()) << confd.log();
    }
    const std::string log = confd.log();
    EXPECT_GT(count(log, "journal: folded into the state files"), 0u);
    EXPECT_EQ(count(log, "damaged"), 0u);
    EXPECT_GT(acked[0] + acked[1] + acked[2], 50);
}

TEST(ConfdServer, ConnectionLimitAndIdleTimeout) {
    Confd confd({"--max-connections", "4", "--idle-timeout", "2"});
    db_set({{"/x", "1"}});
    ASSERT_EQ(db_get("/x"), "1"); // the connections before are gone
    // A subscriber and three busy peers fill the places.
    auto log = [&] { return confd.log(); };
    int sub = ipc_connect(7000);
    ASSERT_EQ(ipc_string_write(sub, "subscribe"), 0);
    ASSERT_TRUE(eventually([&] { return has(log(), "conn 4: subscribed"); }));
    std::vector<int> peers;
    auto ask = [](int fd) {
        return ipc_string_write(fd, GET.c_str()) == 0 && ipc_string_write(fd, "/x") == 0 &&
               tr111::DbString(ipc_string_read(fd));
    };
    for (int i = 0; i < 3; ++i) {
        peers.push_back(ipc_connect(7000));
        ASSERT_TRUE(ask(peers.back()));
    }
    std::atomic<bool> busy{true};
    std::thread asking([&] {
        while (busy) {
            for (int fd : peers)
                ask(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    // One more is refused at once, with a line.
    EXPECT_TRUE(eventually([&] { return db_get("/x") == "(absent)"; }));
    EXPECT_TRUE(eventually([&] { return has(log(), "refused 1 connection: 4 open"); })) << log();
    // Peers idle for a second make room, the longest idle first.
    busy = false;
    asking.join();
    EXPECT_TRUE(eventually([&] { return db_get("/x") == "1"; }));
    EXPECT_EQ(count(log(), "conn 5: closed: idle for "), 1u) << log();
    // Silent ones are closed after the idle timeout; a subscriber is not.
    EXPECT_TRUE(eventually([&] { return count(log(), "closed: no request for 2 s") == 2; }))
        << log();
    db_set({{"/y", "2"}});
    EXPECT_STREQ(tr111::DbString(ipc_string_read(sub)).get(), "/y");
    for (int fd : peers)
        ipc_client_close(fd, 0);
    ipc_client_close(sub, 0);
}
