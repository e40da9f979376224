// The confd program through the daemon's own client (db/) and raw IPC
// connections: reads, writes, walks, stores, persistence across restarts,
// refused state files, change records to subscribers, stalled subscribers,
// bad input on one connection, "tr69 action", and the conf CLI.
#include "db/kx_tr69_action.h"
#include "db/tr111_db.h"
#include "platform/include/ipc.h"
#include "tests/support/confd.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tr111test;
using Strings = std::vector<std::string>;

namespace {

std::string get(KX_DB_handle* h, const char* path) {
    tr111::DbString v(KX_DB_Get(h, path));
    return v ? v.get() : "(null)";
}

// Writes path=value pairs on one handle and commits them.
void put(std::initializer_list<std::pair<const char*, const char*>> kv,
         uint32_t kind = KX_DB_MAIN) {
    tr111::DbHandle db(kind);
    ASSERT_TRUE(db);
    for (const auto& [k, v] : kv)
        ASSERT_EQ(KX_DB_Set(db.get(), k, v), 0);
    db.close_set();
}

// The walk idiom of the daemon: son values of a list.
Strings walk(KX_DB_handle* h, const char* path) {
    Strings out;
    uint32_t set = KX_get_set(h, path);
    for (uint32_t n = KX_set_get_son(h, set, 0); n != 0; n = KX_set_get_next(h, n)) {
        char* v = KX_set_get_value(h, n);
        out.push_back(v ? v : "(null)");
        free(v);
    }
    return out;
}

// True once the main store's state file holds text: a commit has been
// carried out (the client's writes are not acknowledged).
bool saved(Confd& c, const std::string& text) {
    return eventually([&] {
        return read_file(c.state_dir() + "/state/main.conf").find(text) != std::string::npos;
    });
}

// A raw subscriber connection, registered before it is returned.
int subscribe(Confd& c) {
    size_t before = count(c.log(), "subscribed to change records");
    int fd = ipc_connect(7000);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ipc_string_write(fd, "subscribe"), 0);
    EXPECT_TRUE(
        eventually([&] { return count(c.log(), "subscribed to change records") > before; }));
    return fd;
}

// The next n records on a subscriber connection, as "path|action|text".
Strings records(int fd, size_t n) {
    Strings out;
    for (size_t i = 0; i < n; ++i) {
        std::string r;
        for (int part = 0; part < 3; ++part) {
            char* s = ipc_string_read(fd);
            if (!s) return out;
            r += (part ? "|" : "") + std::string(s);
            free(s);
        }
        out.push_back(r);
    }
    return out;
}

} // namespace

TEST(ConfdServer, ReadWriteWalkThroughTheClient) {
    Confd c;
    put({{"/fw/rule/loc_srv/3/enabled", "1"},
         {"/fw/rule/loc_srv/0/enabled", "0"},
         {"/fw/rule/loc_srv/12/enabled", "1"},
         {"/KELMO/TR111/tr111_debug", "2"}});
    put({{"/dev/ppp0/ip", "192.0.2.1"}}, KX_DB_RAM);

    tr111::DbHandle db(KX_DB_MAIN);
    KX_DB_handle* h = db.get();
    EXPECT_EQ(get(h, "KELMO/TR111/tr111_debug"), "2");
    EXPECT_EQ(get(h, "/fw/rule/loc_srv/3/"), "3"); // a whole rule exists
    EXPECT_EQ(get(h, "/fw/rule/loc_srv/4/"), "(null)");
    EXPECT_EQ(KX_DB_Is_Defined(h, "/fw/rule/loc_srv/0/enabled"), 1);
    EXPECT_EQ(KX_DB_Is_Defined(h, "/dev/ppp0/ip"), 0); // RAM only
    EXPECT_EQ(walk(h, "/fw/rule/loc_srv"), (Strings{"0", "3", "12"}));
    EXPECT_EQ(KX_set_get_nsons(h, KX_get_set(h, "/fw/rule/loc_srv/")), 3u);
    EXPECT_EQ(KX_get_set(h, "/fw/none"), 0u);
    KX_DB_Delete(h, "/fw/rule/loc_srv/3");
    EXPECT_EQ(walk(h, "/fw/rule/loc_srv"), (Strings{"0", "12"}));
    EXPECT_EQ(h->ipc_err, 0u);
    db.close_set();

    tr111::DbHandle ram(KX_DB_RAM);
    EXPECT_EQ(get(ram.get(), "/dev/ppp0/ip"), "192.0.2.1");
    EXPECT_EQ(walk(ram.get(), "/dev"), (Strings{"ppp0"}));
    EXPECT_EQ(get(ram.get(), "/fw/rule/loc_srv/0/enabled"), "(null)");

    // Many connections at once, used in turns.
    std::vector<std::unique_ptr<tr111::DbHandle>> many;
    for (int i = 0; i < 200; ++i)
        many.push_back(std::make_unique<tr111::DbHandle>(KX_DB_MAIN));
    for (auto& m : many)
        EXPECT_EQ(get(m->get(), "/fw/rule/loc_srv/12/enabled"), "1");
    EXPECT_EQ(count(c.log(), "refused"), 0u);
}

TEST(ConfdServer, WritesAreSeenByTheNextConnection) {
    // The client's writes are not acknowledged: what one connection wrote
    // before the next one opened must be handled first.
    Confd c;
    for (int i = 0; i < 500; ++i) {
        std::string v = std::to_string(i);
        {
            tr111::DbHandle db(KX_DB_RAM); // no state file to sync each time
            for (int k = 0; k < 20; ++k)
                KX_DB_Set(db.get(), ("/seq/" + std::to_string(k)).c_str(), v.c_str());
            db.close_set();
        }
        tr111::DbHandle rd(KX_DB_RAM);
        ASSERT_EQ(get(rd.get(), "/seq/19"), v) << c.log();
    }
}

TEST(ConfdServer, PersistenceAcrossRestarts) {
    Confd c;
    put({{"/KELMO/TR111/ManageableDevice/0/OUI", "00AABB"}, {"/a", "1"}});
    put({{"/dev/ppp0/ip", "192.0.2.1"}}, KX_DB_RAM);
    ASSERT_TRUE(saved(c, "00AABB"));
    c.stop(true); // SIGKILL right after the commit
    ASSERT_TRUE(c.start());
    EXPECT_EQ(c.get("/KELMO/TR111/ManageableDevice/0/OUI"), "00AABB");
    EXPECT_EQ(c.get("/dev/ppp0/ip", true), ""); // RAM is volatile
    // Without reconf a write is in memory only: lost at SIGKILL, saved at SIGTERM.
    {
        tr111::DbHandle db(KX_DB_MAIN);
        KX_DB_Set(db.get(), "/a", "2");
    }
    EXPECT_EQ(c.get("/a"), "2");
    c.stop(true);
    ASSERT_TRUE(c.start());
    EXPECT_EQ(c.get("/a"), "1");
    {
        tr111::DbHandle db(KX_DB_MAIN);
        KX_DB_Set(db.get(), "/a", "3");
    }
    c.stop(false);
    EXPECT_EQ(count(c.log(), "confd: stopped"), 1u);
    ASSERT_TRUE(c.start());
    EXPECT_EQ(c.get("/a"), "3");
    EXPECT_NE(c.log().find("state main: loaded 6 keys (2 with values)"), std::string::npos);
}

TEST(ConfdServer, RefusesAStateFileItCannotUse) {
    TempDir dir;
    write_file(dir.path() + "/main.conf", "(\"\"(\"a\"=\"1\")");
    RunResult r = run_program("confd", {"--state", dir.path()}, 20000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is not a valid state file"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(dir.path() + "/main.conf"), "(\"\"(\"a\"=\"1\")");
    EXPECT_EQ(ipc_connect(7000), -1);

    RunResult u = run_program("confd", {"--bogus"});
    EXPECT_EQ(u.status, 2);
    EXPECT_NE(u.err.find("usage: confd [--state DIR]"), std::string::npos);
    EXPECT_NE(u.err.find("/var/lib/tr111-confd"), std::string::npos);
}

TEST(ConfdServer, ChangeRecordsReachSubscribers) {
    Confd c;
    int sub = subscribe(c), sub2 = subscribe(c);
    put({{"/dev/br0/dhcps/lease/3/start_time", "1700000000"}});
    {
        tr111::DbHandle db(KX_DB_MAIN);
        KX_DB_Set(db.get(), "/uncommitted", "1");
    } // closed without reconf: reports nothing
    {
        tr111::DbHandle db(KX_DB_MAIN);
        KX_DB_Delete(db.get(), "/dev/br0/dhcps/lease/3");
        KX_DB_Delete(db.get(), "/dev/br0/dhcps/lease/9");
        db.close_set();
    }
    put({{"/dev/ppp0/ip", "192.0.2.7"}}, KX_DB_RAM);
    Strings want = {"/|C|dev",
                    "/dev/|C|br0",
                    "/dev/br0/|C|dhcps",
                    "/dev/br0/dhcps/|C|lease",
                    "/dev/br0/dhcps/lease/|C|3",
                    "/dev/br0/dhcps/lease/3/start_time|U|1700000000",
                    "/dev/br0/dhcps/lease/|D|3",
                    "/|C|dev",
                    "/dev/|C|ppp0",
                    "/dev/ppp0/ip|U|192.0.2.7"};
    EXPECT_EQ(records(sub, want.size()), want);
    EXPECT_EQ(records(sub2, want.size()), want);
    ASSERT_EQ(ipc_string_write(sub, "close"), 0);
    EXPECT_EQ(ipc_string_read(sub), nullptr); // confd closed it
    ipc_client_close(sub, 0);
    ipc_client_close(sub2, 0);
}

TEST(ConfdServer, StalledSubscriberStallsNobody) {
    Confd c;
    int stalled = subscribe(c); // never reads
    int live = subscribe(c);
    // Records of 30000-byte values: the stalled subscriber's queue fills
    // past what the kernel's buffers hold within a few thousand.
    const std::string value(30000, 'v');
    const int batches = 25, per_batch = 100;
    std::atomic<size_t> got{0};
    std::thread reader([&] {
        const auto want = static_cast<size_t>(batches * (per_batch + 1) + 1);
        while (got < want && records(live, 1).size() == 1)
            ++got;
    });
    for (int batch = 0; batch < batches; ++batch) {
        tr111::DbHandle db(KX_DB_RAM); // reported, and not saved to disk each time
        for (int i = 0; i < per_batch; ++i)
            KX_DB_Set(db.get(), ("/k/" + std::to_string(i)).c_str(), value.c_str());
        KX_DB_Set(db.get(), "/batch", std::to_string(batch).c_str());
        ASSERT_EQ(db.get()->ipc_err, 0u);
        db.close_set();
        // Other clients are served while records pile up for the stalled one.
        tr111::DbHandle rd(KX_DB_RAM);
        EXPECT_TRUE(eventually([&] { return get(rd.get(), "/batch") == std::to_string(batch); }));
        // The live subscriber keeps up: the writer waits for it, so that a
        // slow reader (under an emulator) never falls a queue behind.
        EXPECT_TRUE(eventually([&] { return got >= (batch + 1) * (per_batch + 1u); }));
    }
    reader.join();
    EXPECT_EQ(got.load(), static_cast<size_t>(batches * (per_batch + 1) + 1));
    EXPECT_TRUE(eventually([&] { return count(c.log(), "subscriber dropped") == 1; }));
    ipc_client_close(stalled, 0);
    ipc_client_close(live, 0);
}

TEST(ConfdServer, BadInputHurtsOnlyItsConnection) {
    Confd c;
    put({{"/x", "1"}});
    tr111::DbHandle good(KX_DB_MAIN);
    for (const std::string& bytes : {std::string("\x05\0\0\0\1z", 6), std::string("S\x7f\0\0\0", 5),
                                     std::string("S\0\0\0\5bogusS\0\0\0\2/x", 17)}) {
        int fd = ipc_connect(7000);
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
        EXPECT_EQ(ipc_string_read(fd), nullptr); // closed by confd
        ipc_client_close(fd, 1);
        EXPECT_EQ(get(good.get(), "/x"), "1");
    }
    // A set handle of another connection is refused, not followed.
    uint32_t set = KX_get_set(good.get(), "/x");
    tr111::DbHandle other(KX_DB_MAIN);
    EXPECT_EQ(KX_set_get_nsons(other.get(), set), 0u);
    EXPECT_EQ(get(other.get(), "/x"), "1");
    std::string log = c.log();
    EXPECT_EQ(count(log, "refused: unknown item tag 0x05; closing the connection"), 1u);
    EXPECT_EQ(count(log, "refused: string item of 2130706432 bytes"), 1u);
    EXPECT_EQ(count(log, "refused: unknown command \"bogus\""), 1u);
    EXPECT_EQ(count(log, "was not issued on this connection"), 1u);
}

TEST(ConfdServer, Tr69ActionListsInstances) {
    Confd c;
    put({{"/fw/rule/loc_srv/0/enabled", "1"},
         {"/fw/rule/loc_srv/3/enabled", "1"},
         {"/fw/rule/loc_srv/abc/enabled", "1"},
         {"/fw/rule/loc_srv/300/enabled", "1"}});
    char out[256];
    memset(out, 'x', sizeof out);
    ASSERT_EQ(entity_get_instance_nbr("/fw/rule/loc_srv", out), 0);
    EXPECT_EQ(std::string(out), "\x01\x04");
    EXPECT_EQ(count(c.log(), "not an instance number from 0 to 254; left out"), 2u);

    KX_tr69_channel* ch = KX_tr69_main_open_channel();
    ASSERT_NE(ch, nullptr);
    tr69_action_req req{};
    tr69_action_rsp rsp{99, "old"};
    req.action = 10;
    strcpy(req.path, "/fw/none");
    EXPECT_EQ(KX_tr69_main_action(ch, &req, &rsp), 0);
    EXPECT_EQ(rsp.status, 0);
    EXPECT_STREQ(rsp.text, "");
    req.action = 7;
    EXPECT_EQ(KX_tr69_main_action(ch, &req, &rsp), 0); // several on one channel
    EXPECT_EQ(rsp.status, -1);
    KX_tr69_main_close_channel(ch);
}

TEST(ConfdServer, ConfCommandLine) {
    Confd c;
    auto conf = [](const Strings& args) { return run_program("conf", args); };
    EXPECT_EQ(conf({"set", "/KELMO/TR111/", "ManageableDevice"}).status, 0);
    for (const char* kv :
         {"/KELMO/TR111/ManageableDevice/10/OUI=00AABB",
          "/KELMO/TR111/ManageableDevice/2/OUI=00CCDD",
          "/KELMO/TR111/ManageableDevice/2/SerialNumber=S2", "KELMO/TR111/tr111_debug=1"}) {
        std::string k = kv;
        EXPECT_EQ(conf({"set", k.substr(0, k.find('=')), k.substr(k.find('=') + 1)}).status, 0);
    }
    EXPECT_EQ(conf({"--ram", "set", "/dev/ppp0/ip", "192.0.2.1"}).status, 0);
    EXPECT_EQ(conf({"get", "/KELMO/TR111/tr111_debug"}).out, "1\n");
    EXPECT_EQ(conf({"ls", "/KELMO/TR111/ManageableDevice"}).out, "2\n10\n");
    EXPECT_EQ(conf({"ls", "/KELMO/TR111/ManageableDevice/2"}).out, "OUI\nSerialNumber\n");
    EXPECT_EQ(conf({"dump"}).out, "/KELMO/TR111/ManageableDevice/2/OUI=00CCDD\n"
                                  "/KELMO/TR111/ManageableDevice/2/SerialNumber=S2\n"
                                  "/KELMO/TR111/ManageableDevice/10/OUI=00AABB\n"
                                  "/KELMO/TR111/tr111_debug=1\n");
    EXPECT_EQ(conf({"--ram", "dump"}).out, "/dev/ppp0/ip=192.0.2.1\n");
    EXPECT_EQ(conf({"del", "/KELMO/TR111/ManageableDevice/2"}).status, 0);
    EXPECT_EQ(conf({"ls", "/KELMO/TR111/ManageableDevice"}).out, "10\n");

    RunResult absent = conf({"get", "/KELMO/TR111/ManageableDevice/2/OUI"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.err, "conf: /KELMO/TR111/ManageableDevice/2/OUI: no such path\n");
    EXPECT_EQ(conf({"del", "/nothing"}).status, 1);
    EXPECT_NE(conf({"get"}).err.find("usage: conf [--ram] COMMAND"), std::string::npos);
    c.stop();
    RunResult down = conf({"get", "/x"});
    EXPECT_EQ(down.status, 2);
    EXPECT_EQ(down.err, "conf: cannot connect to the configuration server on 127.0.0.1:7000\n");
}
