// confd's sessions fed with bytes, without sockets (the fuzz target covers bad
// input), in rounds as the program's loop runs them; its state folder; then
// the program through the daemon's client, raw peers and conf.
#include "lab/confd/confd_core.h"
#include "tests/support/db.h"
#include "tests/support/pipe.h"

#include <array>
#include <atomic>
#include <filesystem>
#include <random>
#include <set>
#include <sys/stat.h>
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
    void raw(const std::string& b) { feed(b), settle(); }
    void send(const Strings& items) { raw(frames(items)); }
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

struct ConfdSession : ::testing::Test {
    ConfdSession() { log_text.clear(); }
    Server srv{""};
    Peer a{srv, 1}, b{srv, 2};
};

TEST_F(ConfdSession, PathsInnerNodesAndTr69Action) {
    // A name written at "P/" creates that empty set; another value is P's own.
    a.send({SET, "/KELMO/TR111/", "ManageableDevice", SET, "/KELMO/TR111/attrib/6/3./", "3"});
    for (const char* id : {"0", "3", "abc", "300"})
        a.send({SET, std::string("/fw/rule/loc_srv/") + id + "/enabled", id});
    // Replies name the parent and the node; an inner node's value is its key.
    for (const auto& [cmd, path, reply] : std::vector<std::array<std::string, 3>>{
             {GET, "//fw//rule/loc_srv/3/enabled/", "(\"3\"(\"enabled\"=\"3\"))"},
             {GET, "/fw/rule/loc_srv/3/", "(\"loc_srv\"(\"3\"=\"3\"))"},
             {GET, "fw", "(\"\"(\"fw\"=\"fw\"))"},
             {GET, "/fw/rule/loc_srv/4/", ""},
             {GET, "/KELMO/TR111/attrib/6/3.", "(\"6\"(\"3.\"=\"3\"))"},
             {GET, "/KELMO/TR111/ManageableDevice",
              "(\"TR111\"(\"ManageableDevice\"=\"ManageableDevice\"))"}})
        EXPECT_EQ(b.ask({cmd, path}), reply) << path;
    // The instance list: one byte per son numbered 0 to 254, the number + 1.
    for (const char* code : {"10", "7"})
        b.send({"tr69 action", code, "/fw/rule/loc_srv", "", "0", "0", "0", "0", "0", "0"});
    EXPECT_EQ(b.take(), (Strings{"0", "\x01\x04", "-1", ""}));
    EXPECT_EQ(count(log_text, "is not an instance number from 0 to 254; left out"), 2u);
    // Deleting removes the subtree, not the root. Over a limit: a line, no write.
    std::string deep;
    for (int i = 0; i < 64; ++i)
        deep += "/d";
    a.send({FREE, "/fw/rule/loc_srv/3", FREE, "/", SET, "/big",
            std::string(confd::VALUE_MAX + 1, 'v'), SET, "/" + std::string(256, 'k'), "1", SET,
            deep, "1", SET, "/x/", "a/b"});
    EXPECT_EQ(
        b.ask({GET, "/fw/rule/loc_srv/3/enabled"}) + b.ask({GET, "/big"}) + b.ask({GET, "/d"}), "");
    EXPECT_EQ(b.ask({GET, "/fw/rule/loc_srv"}), "(\"rule\"(\"loc_srv\"=\"loc_srv\"))");
    EXPECT_EQ(count(log_text, "the root cannot be deleted"), 1u);
    EXPECT_EQ(count(log_text, "conn 1: refused"), 5u);
    // An integer where a string is due: refused, in step, the "nothing" reply.
    b.send({SET,  "/y",          "#1", "#99", GET, "#7", "rg_conf_get_set",
            "#7", "tr69 action", "10", "/x",  "",  "0",  "0",
            "#0", "0",           "0",  "0",   GET, "/fw"});
    EXPECT_EQ(b.take(), (Strings{"", "0", "-1", "", "(\"\"(\"fw\"=\"fw\"))"}));
    EXPECT_EQ(count(log_text, "conn 2: refused: integer item"), 5u);
    EXPECT_FALSE(a.s.closing() || b.s.closing());
    // Garbage after a request: the reply due, then the connection closes.
    b.raw(frames({GET, "/fw"}) + std::string("\x05\0\0\0\1z", 6));
    EXPECT_EQ(b.take(), (Strings{"(\"\"(\"fw\"=\"fw\"))"}));
    EXPECT_TRUE(b.s.closing());
    EXPECT_EQ(count(log_text, "conn 2: refused: unknown item tag 0x05; closing the connection"),
              1u);
}

TEST_F(ConfdSession, SetHandlesAndSonOrder) {
    for (const char* k : {"x", "10", "B", "9", "7", "007", "abc"})
        a.send({SET, std::string("/l/") + k + "/v", k});
    a.send({SET, "/l/leaf", "value"});
    std::string set = a.ask({"rg_conf_get_set", "/l"});
    EXPECT_EQ(a.ask({"rg_conf_set_get_nsons", set}), "8");
    Strings walk;
    for (std::string n = a.ask({"rg_conf_set_get_son", set + " 0"}); n != "0";
         n = a.ask({"rg_conf_set_get_next", n}))
        walk.push_back(a.ask({"rg_conf_set_get_value", n}));
    // Numbers first in numeric order, then byte order; a leaf gives its value.
    EXPECT_EQ(walk, (Strings{"007", "7", "9", "10", "B", "abc", "value", "x"}));
    EXPECT_EQ(count(log_text, "refused"), 0u);
    // Handles belong to their connection and die with their node.
    std::string nine = a.ask({"rg_conf_set_get_son", set + " 2"});
    EXPECT_EQ(b.ask({"rg_conf_set_get_value", nine}), "");
    EXPECT_EQ(count(log_text, "conn 2: refused: set handle " + nine + " was not issued"), 1u);
    a.send({FREE, "/l/9", SET, "/l/9/v", "9"});
    EXPECT_EQ(a.ask({"rg_conf_set_get_next", nine}), "0");
    EXPECT_EQ(count(log_text, "names a node that has been deleted"), 1u);
    EXPECT_NE(a.ask({"rg_conf_set_get_son", set + " 2"}), nine);
}

TEST_F(ConfdSession, ChangeRecordsInCommitOrder) {
    Peer sub(srv, 3), sub2(srv, 4);
    sub.send({"subscribe"});
    sub2.send({"subscribe"});
    // One commit: its changes in write order, a leaf never as C; private
    // writes, and what the commit created and deleted again, are not reported.
    b.send({SET, "/dev/br0/dhcps/lease/3/start_time", "1", SET, "/dev/br0/dhcps/lease/4/t", "1"});
    b.send({SET, "/dev/br0/dhcps/lease/4/t", "2", SET, "/KELMO/", "TR111"});
    b.send({"rg_conf_ram_set_path_value", "/dev/ppp0/ip", "10.0.0.1"});
    b.send({"rg_conf_priv_set_path_value", "/p", "1"});
    b.send({FREE, "/dev/br0/dhcps/lease/3", FREE, "/absent"});
    EXPECT_TRUE(sub.records().empty()); // nothing before reconf
    b.send({"reconf", "#4"});
    Strings got = sub.records();
    EXPECT_EQ(got,
              (Strings{"/|C|dev", "/dev/|C|br0", "/dev/br0/|C|dhcps", "/dev/br0/dhcps/|C|lease",
                       "/dev/br0/dhcps/lease/|C|4", "/dev/br0/dhcps/lease/4/t|U|1",
                       "/dev/br0/dhcps/lease/4/t|U|2", "/|C|KELMO", "/KELMO/|C|TR111", "/|C|dev",
                       "/dev/|C|ppp0", "/dev/ppp0/ip|U|10.0.0.1"}));
    EXPECT_EQ(sub2.records(), got);
    // A level another connection created and has not committed is reported
    // by the first commit that needs it, before anything beneath, and once.
    a.send({SET, "/n/m/x", "1"});
    b.send({SET, "/n/m/y", "2", "reconf", "#4"});
    EXPECT_EQ(sub.records(), (Strings{"/|C|n", "/n/|C|m", "/n/m/y|U|2"}));
    a.send({"reconf", "#4"});
    EXPECT_EQ(sub.records(), (Strings{"/n/m/x|U|1"}));
    // A deletion not committed yet is reported before a node made at the
    // same path since; a value of a node deleted since is not reported.
    a.send({FREE, "/n"});
    b.send({SET, "/n/z", "3", "reconf", "#4"});
    EXPECT_EQ(sub.records(), (Strings{"/|D|n", "/|C|n", "/n/z|U|3"}));
    a.send({"reconf", "#4"});
    b.send({SET, "/n/z", "4"});
    a.send({FREE, "/n", "reconf", "#4"});
    b.send({"reconf", "#4"});
    EXPECT_EQ(sub.records(), (Strings{"/|D|n"}));
    // reconf 4 or 2 commits its own connection's writes; other levels, or close, nothing.
    b.send({SET, "/o", "2", "reconf", "#1"});
    EXPECT_EQ(count(log_text, "reconf with 1 (4 or 2 expected); nothing committed"), 1u);
    Peer(srv, 5).send({SET, "/g/h", "1", "close"});
    EXPECT_TRUE(sub.records().empty());
    b.send({SET, "/g/i", "1", "reconf", "#2"});
    EXPECT_EQ(sub.records(), (Strings{"/o|U|2", "/|C|g", "/g/i|U|1"}));
    sub.send({"close"});
    EXPECT_TRUE(sub.s.done());
    EXPECT_EQ(srv.subscribers(), 1u);
}

TEST_F(ConfdSession, OneCommitPerRoundUntilThePeerHasFinished) {
    Peer sub(srv, 3);
    sub.send({"subscribe"});
    // a pipelines commits and more: one commit per round, and b, served in
    // the same round, sees the tree after it.
    a.feed(frames({SET, "/p", "1", "reconf", "#4", SET, "/p", "2", "reconf", "#4", SET, "/p", "3",
                   "reconf", "#4", GET, "/p"}));
    EXPECT_EQ(b.ask({GET, "/p"}), "(\"\"(\"p\"=\"1\"))");
    EXPECT_EQ(sub.records(), Strings{"/p|U|1"});
    EXPECT_TRUE(a.s.runnable());
    a.s.begin_round();
    a.s.process();
    EXPECT_EQ(sub.records(), Strings{"/p|U|2"});
    // Once its peer has finished, the rest is handled at once: its next
    // connection must see all it wrote.
    a.s.input_ended();
    EXPECT_EQ(sub.records(), Strings{"/p|U|3"});
    EXPECT_EQ(a.take(), Strings{"(\"\"(\"p\"=\"3\"))"});
    EXPECT_TRUE(a.s.done());
    // Without commits a round handles 64 KB of a connection's requests.
    std::string bulk;
    for (int i = 0; i < 100; ++i)
        bulk += frames({SET, "/w/" + std::to_string(i), std::string(1000, 'w')});
    b.feed(bulk);
    Peer c(srv, 4);
    EXPECT_EQ(c.ask({GET, "/w/99"}), "");
    b.s.input_ended(); // the rest at once, as for commits
    EXPECT_NE(c.ask({GET, "/w/99"}), "");
}

TEST(ConfdSessionLimits, ByteLimitsRefuseAndGiveBack) {
    log_text.clear();
    confd::Limits lim;
    lim.store_bytes = 50000;
    lim.pending_bytes = 30000;
    lim.pending_total = 40000;
    Server srv("", lim);
    {
        // A record weighs 64 bytes with its path and text: up to the limit, not a byte more.
        Peer fits(srv, 8), over(srv, 9);
        over.send({SET, "/w", std::string(30000 - 64 - 1, 'w')});
        fits.send({SET, "/v", std::string(30000 - 64 - 2, 'v')});
        EXPECT_EQ(fits.s.pending_bytes(), 30000u);
        EXPECT_FALSE(fits.s.closing());
        EXPECT_EQ(count(log_text, "conn 9: refused: change of \"/w\": this connection's changes "
                                  "waiting for reconf would pass 30000 bytes"),
                  1u);
        fits.send({FREE, "/v"});
    }
    // The records of a deep write weigh their paths: over a connection's
    // limit, nothing is written and the connection is closed.
    std::string deep;
    for (int i = 0; i < 25; ++i)
        deep += "/" + std::string(100, 'a' + i % 26);
    auto a = std::make_unique<Peer>(srv, 1);
    Peer b(srv, 2), c(srv, 3);
    a->send({SET, "/x", "1", SET, deep, "1", GET, "/x"});
    EXPECT_TRUE(a->s.closing());
    EXPECT_EQ(count(log_text, "conn 1: refused: change of \"" + deep.substr(0, 80) +
                                  "\"...: this connection's changes waiting for reconf would pass "
                                  "30000 bytes; closing the connection"),
              1u);
    EXPECT_EQ(c.ask({GET, deep.substr(0, 101)}), "");
    const size_t x_bytes = srv.store_bytes(confd::STORE_MAIN);
    EXPECT_GT(srv.pending_total(), 0u);
    a.reset(); // what waited for its reconf is given back with the connection
    EXPECT_EQ(srv.pending_total(), 0u);
    // All connections' records together have a limit too.
    const std::string big(4000, 'v');
    for (int i = 0; i < 6; ++i)
        b.send({SET, "/b/" + std::to_string(i), big});
    for (int i = 0; i < 6 && !c.s.closing(); ++i)
        c.send({SET, "/c/" + std::to_string(i), big});
    EXPECT_TRUE(c.s.closing());
    EXPECT_EQ(count(log_text, "the changes waiting for reconf on all connections would pass 40000"),
              1u);
    b.send({"reconf", "#4"});
    EXPECT_EQ(srv.pending_total(), c.s.pending_bytes());
    // A store past its limit refuses the write that would grow it; deleting frees it.
    b.send({SET, "/b/6", std::string(20000, 'v')});
    EXPECT_EQ(count(log_text, "conn 2: refused: change of \"/b/6\": the main store would hold "
                              "more than 50000 bytes; closing the connection"),
              1u);
    Peer d(srv, 4);
    EXPECT_EQ(d.ask({GET, "/b/6"}), "");
    d.send({FREE, "/b", FREE, "/c", "rg_conf_set_set_path", "/e/f", "reconf", "#4"});
    EXPECT_EQ(srv.store_bytes(confd::STORE_MAIN), x_bytes + 2 * (1 + confd::NODE_COST));
}

TEST(ConfdState, JournalSyncedBeforeRepliesReplayedByWholeCommitsKeptWhenDamaged) {
    log_text.clear();
    TempDir dir;
    const std::string state = dir.path() + "/state", copy = dir.path() + "/copy";
    confd::Limits lim;
    lim.compact_bytes = 1u << 30; // no fold here
    // What a kill at this moment would leave: the folder as it is.
    auto killed_now = [&](const std::string& to) {
        fs::remove_all(to);
        fs::copy(state, to, fs::copy_options::recursive);
    };
    {
        Server s(state, lim);
        ASSERT_EQ(s.load(), 0); // the folder is created
        Peer a(s, 1), b(s, 2), c(s, 3), f(s, 4);
        // Two commits in one round: one sync, and no reply before it.
        a.feed(frames({SET, "/a/\"q\"", "x\\y", "reconf", "#4"}));
        b.feed(frames({"rg_conf_priv_set_path_value", "/p", "2", SET, "/b", "1", FREE, "/a", SET,
                       "/a/k", "2", "rg_conf_ram_set_path_value", "/r", "1", "reconf", "#2"}));
        c.feed(frames({GET, "/b"}));
        iovec v;
        EXPECT_EQ(c.s.output_iov(&v, 1), 0);
        const int syncs = datasyncs;
        s.sync();
        EXPECT_EQ(datasyncs, syncs + 1);
        EXPECT_EQ(c.take(), Strings{"(\"\"(\"b\"=\"1\"))"});
        // Not committed: lost at a kill, kept at a clean stop (or with the
        // factory settings, made durable when their connection ends).
        a.send({SET, "/u", "1"});
        f.send({"rg_factory_set_value", "/f", "3"});
    }
    // Cut anywhere (a kill), the journal gives the state after some whole commit.
    killed_now(copy);
    const std::string journal = read_file(state + "/journal");
    std::set<std::string> seen;
    for (size_t cut = 0; cut <= journal.size(); ++cut) {
        write_file(copy + "/journal", journal.substr(0, cut));
        Server s(copy);
        ASSERT_EQ(s.load(), 0);
        Peer a(s, 1);
        a.send({GET, "/a/k", GET, "/b", "rg_conf_priv_get_exist", "/p", GET, "/u",
                "rg_factory_get_exist", "/f"});
        std::string got;
        for (const auto& r : a.take())
            got += r.empty() ? '-' : '+';
        seen.insert(got);
    }
    EXPECT_EQ(seen, (std::set<std::string>{"-----", "+++--", "+++++"}));
    EXPECT_FALSE(fs::exists(copy + "/journal.damaged"));
    // A clean stop kept what was not committed; the files hold it all.
    log_text.clear();
    Server s(state);
    ASSERT_EQ(s.load(), 0);
    EXPECT_EQ(count(log_text, "journal: replayed 3 commits"), 1u);
    Peer a(s, 1);
    a.send({GET, "/a/\"q\"", GET, "/a/k", "rg_conf_ram_get_exist", "/r", GET, "/u"});
    EXPECT_EQ(a.take(), (Strings{"", "(\"a\"(\"k\"=\"2\"))", "", "(\"\"(\"u\"=\"1\"))"}));
    // A damaged journal: replayed up to the damage, kept aside, the stores saved whole.
    std::string bad = journal;
    bad[bad.size() / 2] ^= 0x20;
    killed_now(copy);
    write_file(copy + "/journal", bad);
    ASSERT_EQ(Server(copy).load(), 0);
    EXPECT_EQ(read_file(copy + "/journal.damaged"), bad);
    EXPECT_EQ(count(log_text, "journal: " + copy + "/journal is damaged at byte"), 1u);
    log_text.clear();
    ASSERT_EQ(Server(copy).load(), 0);
    EXPECT_EQ(count(log_text, "journal"), 0u);
    // A fold takes only whole commits: a change written after the round's
    // commit, and committed later, is not cut from its commit.
    lim.compact_bytes = 1;
    {
        Server f(dir.path() + "/fold", lim);
        ASSERT_EQ(f.load(), 0);
        Peer a(f, 1), b(f, 2);
        a.feed(frames({SET, "/x", "1", "reconf", "#4"}));
        b.feed(frames({SET, "/y", "2"}));
        f.sync();
        b.send({"reconf", "#4"});
        ASSERT_TRUE(eventually([&] { return !f.folding(); }));
        fs::copy(dir.path() + "/fold", copy + "2", fs::copy_options::recursive); // killed now
    }
    Server k(copy + "2");
    ASSERT_EQ(k.load(), 0);
    EXPECT_EQ(Peer(k, 1).ask({GET, "/y"}), "(\"\"(\"y\"=\"2\"))");
    // A state file that cannot be used stops the load and is left as it is.
    const std::string priv = state + "/priv.conf";
    for (const char* bad :
         {"(\"\"(\"a\"=\"1\")", "(\"\"(\"a\")(\"a\"))", "(\"\"(\"a/b\"))", "(\"root\")", ""}) {
        write_file(priv, bad);
        EXPECT_EQ(Server(state).load(), -1) << bad;
        EXPECT_EQ(read_file(priv), bad);
    }
    EXPECT_EQ(count(log_text, "state priv: " + priv + " is not a valid state file"), 5u);
    unlink(priv.c_str());
    ASSERT_EQ(mkdir(priv.c_str(), 0755), 0);
    EXPECT_EQ(Server(state).load(), -1);
    EXPECT_EQ(count(log_text, "state priv: cannot read"), 1u);
}

// A subscriber that stalls, its queue outgrowing the kernel's buffers until it
// is dropped, holds up neither the live one nor other clients; then what a
// connection wrote (not acknowledged) is handled before its next one, and conf.
TEST(ConfdServer, StalledSubscriberOrderBetweenConnectionsAndConf) {
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
    // Writes are not acknowledged: what a connection wrote is handled before the next one.
    for (int i = 0; i < 500; ++i) {
        KV kv; // in RAM: no state file to sync each time
        for (int k = 0; k < 20; ++k)
            kv.push_back({"/seq/" + std::to_string(k), std::to_string(i)});
        db_set(kv, true);
        ASSERT_EQ(db_get("/seq/19", true), std::to_string(i)) << c.log();
    }
    db_set({{dev_path(10, "OUI"), "00AABB"}, {dev_path(2, "OUI"), "00CCDD"}});
    auto conf = [](const Strings& args) {
        RunResult r = run_program("conf", args);
        return std::to_string(r.status) + " " + r.out + r.err;
    };
    EXPECT_EQ(conf({"ls", "/KELMO/TR111/ManageableDevice"}), "0 2\n10\n");
    EXPECT_EQ(conf({"dump", "/KELMO"}),
              "0 " + dev_path(2, "OUI=00CCDD\n") + dev_path(10, "OUI=00AABB\n"));
    EXPECT_EQ(conf({"--ram", "dump", "/seq/1"}), "0 /seq/1=499\n");
    EXPECT_EQ(conf({"get", "/KELMO/none"}), "1 conf: /KELMO/none: no such path\n");
    c.stop();
    EXPECT_EQ(conf({"get", "/x"}),
              "2 conf: cannot connect to the configuration server on 127.0.0.1:7000\n");
}

// confd on a state folder with options, its log in dir/log (or, when unread,
// on a pipe nobody reads any more); killed (SIGKILL) when it goes.
std::unique_ptr<Background> start_confd(const std::string& dir, const Strings& opts = {},
                                        bool unread = false) {
    auto argv = program("confd");
    argv.insert(argv.end(), {"--state", dir + "/state"});
    argv.insert(argv.end(), opts.begin(), opts.end());
    auto p =
        std::make_unique<Background>(unread ? into_broken_pipe(dir, argv) : argv, dir + "/log");
    EXPECT_TRUE(wait_port(7000, 10000)) << read_file(dir + "/log");
    return p;
}

TEST(ConfdServer, KilledAtAnyMomentLosesNoAcknowledgedCommit) {
    TempDir dir;
    // Writers commit two values at a time; a commit is acknowledged when a
    // read on the writer's next connection sees it. confd is killed at
    // random moments, folds of the journal included, and restarted.
    constexpr int WRITERS = 3;
    std::array<long, WRITERS> acked{}, next{};
    std::mt19937 rng(std::random_device{}());
    auto key = [](int w, const std::string& k) { return "/w" + std::to_string(w) + "/" + k; };
    for (int kill_no = 0; kill_no <= 8; ++kill_no) {
        auto confd = start_confd(dir.path(), {"--fold-bytes", "3000"});
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
        confd->signal(SIGKILL);
        confd->wait(10000);
        stop = true;
        for (auto& t : writers)
            t.join();
    }
    const std::string log = read_file(dir.path() + "/log");
    EXPECT_GT(count(log, "journal: folded into the state files"), 0u);
    EXPECT_EQ(count(log, "damaged"), 0u);
    EXPECT_GT(acked[0] + acked[1] + acked[2], 50);
    // The folder loads whole. Readers that went away (of confd's log, of
    // conf's output, a peer before its reply) end neither confd nor conf;
    // at SIGTERM what was not committed is kept too.
    auto confd = start_confd(dir.path(), {}, true);
    EXPECT_EQ(run_program("conf", {"dump", "/"}).status, 0);
    EXPECT_EQ(run(program_into_broken_pipe(dir.path(), "conf", {"dump", "/"})).status, 2);
    int fd = ipc_connect(7000);
    ipc_string_write(fd, GET.c_str());
    ipc_string_write(fd, "/w0/seq");
    ipc_client_close(fd, 1);
    KX_DB_Set(tr111::DbHandle(KX_DB_MAIN).get(), "/uncommitted", "1");
    EXPECT_EQ(db_get("/uncommitted"), "1");
    EXPECT_EQ(confd->stop(SIGTERM, 10000), 0);
    confd = start_confd(dir.path());
    EXPECT_EQ(db_get("/uncommitted"), "1");
}

TEST(ConfdServer, ConnectionLimitAndIdleTimeout) {
    TempDir dir;
    auto confd = start_confd(dir.path(), {"--max-connections", "4", "--idle-timeout", "2"});
    db_set({{"/x", "1"}});
    ASSERT_EQ(db_get("/x"), "1"); // the connections before are gone
    // A subscriber and three busy peers fill the places.
    auto log = [&] { return read_file(dir.path() + "/log"); };
    int sub = ipc_connect(7000);
    ASSERT_EQ(ipc_string_write(sub, "subscribe"), 0);
    ASSERT_TRUE(eventually([&] { return has(log(), "conn 4: subscribed"); }));
    std::vector<int> peers;
    auto ask = [](int fd) {
        char* r = ipc_string_write(fd, GET.c_str()) == 0 && ipc_string_write(fd, "/x") == 0
                      ? ipc_string_read(fd)
                      : nullptr;
        free(r);
        return r != nullptr;
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
    char byte;
    EXPECT_EQ(recv(peers[2], &byte, 1, MSG_DONTWAIT), 0); // closed, not forgotten
    db_set({{"/y", "2"}});
    char* path = ipc_string_read(sub);
    EXPECT_STREQ(path, "/y");
    free(path);
    for (int fd : peers)
        ipc_client_close(fd, 0);
    ipc_client_close(sub, 0);
}
