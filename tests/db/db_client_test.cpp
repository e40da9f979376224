// The database client against a server played by the test (script_db.h):
// every item the client writes recorded, any read or write of the test's
// choosing failed, sons in the order the server lists them.
#include "db/kx_tr69_action.h"
#include "db/tr111_db.h"
#include "tests/support/capture.h"
#include "tests/support/script_db.h"
#include "tests/support/wire.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace tr111test;

struct DbClient : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(server.up()); }
    ScriptDb server; // lists sons last written first
    WireLog wire;
};

TEST_F(DbClient, CommandsAndClosesPerKind) {
    // A write, a read, a delete, a get set and a close for reading, then a
    // close for writing (the integer after "reconf"; none: no reconf).
    const std::string want[4] = {
        "rg_conf_set_path_value /t/k v rg_conf_get_exist /t/k rg_conf_set_free /t/k "
        "rg_conf_get_set /t close | reconf #4 close |",
        "rg_conf_ram_set_path_value /t/k v rg_conf_ram_get_exist /t/k rg_conf_ram_set_free /t/k "
        "rg_conf_ram_get_set /t close | reconf #4 close |",
        "rg_conf_priv_set_path_value /t/k v rg_conf_priv_get_exist /t/k rg_conf_priv_set_free "
        "/t/k rg_conf_get_set /t close | reconf #2 close |",
        "rg_factory_set_value /t/k v rg_factory_get_exist /t/k rg_factory_free /t/k "
        "rg_conf_get_set /t close | close |"};
    for (uint32_t kind = 0; kind < 4; ++kind) {
        wire.clear();
        KX_DB_handle* h = KX_DB_Open(kind);
        EXPECT_EQ(KX_DB_Set(h, "/t/k", "v"), 0);
        EXPECT_STREQ(tr111::DbString(KX_DB_Get(h, "/t/k")).get(), "v");
        KX_DB_Delete(h, "/t/k");
        EXPECT_NE(KX_get_set(h, "/t"), 0u); // /t outlives its son
        TR111_Close_db_get(h);
        EXPECT_EQ(wire.conns().back().close_err, 0u);
        TR111_Close_db_set(KX_DB_Open(kind));
        EXPECT_EQ(wire.sent(), want[kind]);
    }
}

TEST_F(DbClient, AFailedWriteOrReadFailsTheHandleForGood) {
    // The handle's kind; a write the client fails, or a read the server leaves unanswered.
    for (auto [kind, write] : {std::pair{KX_DB_MAIN, true},
                               {KX_DB_MAIN, false},
                               {KX_DB_PRIV, false},
                               {KX_DB_FACTORY, false}}) {
        SCOPED_TRACE(std::to_string(kind) + (write ? " write" : " read"));
        wire.clear();
        KX_DB_handle* h = KX_DB_Open(kind);
        if (write) {
            wire.fail_write("/fail/here");
            EXPECT_EQ(KX_DB_Set(h, "/fail/here", "1"), -1);
        } else {
            server.fail("/fail/here");
            EXPECT_EQ(KX_DB_Get(h, "/fail/here"), nullptr);
        }
        size_t items = wire.conns().back().items.size();
        EXPECT_TRUE(!KX_DB_Get(h, "/x") && !KX_set_get_value(h, 1) && !KX_DB_Is_Defined(h, "/x"));
        EXPECT_EQ(KX_DB_Set(h, "/x", "1"), -1);
        KX_DB_Delete(h, "/x");
        EXPECT_EQ(KX_get_set(h, "/x") + KX_set_get_son(h, 1, 0) + KX_set_get_next(h, 1) +
                      KX_set_get_nsons(h, 1),
                  0u);
        // Nothing more goes out, but "close" on a factory handle; the error reaches the close.
        TR111_Close_db_set(h);
        const auto conn = wire.conns().back();
        EXPECT_EQ(conn.items.size(), items + (kind == KX_DB_FACTORY));
        EXPECT_EQ(conn.items.back().substr(0, 7), kind == KX_DB_FACTORY ? "> close" : "> /fail");
        EXPECT_NE(conn.close_err, 0u);
    }
    // A failed "reconf" still lets "close" go out; its error reaches the close.
    wire.clear();
    wire.fail_write("reconf");
    TR111_Close_db_set(KX_DB_Open(KX_DB_MAIN));
    EXPECT_NE(wire.conns().back().close_err, 0u);
    EXPECT_EQ(wire.sent(), "reconf close |");
}

TEST_F(DbClient, Tr69ActionExchangeFailuresAndNoServer) {
    for (const char* id : {"0", "3"})
        server.set(std::string("/fw/rule/loc_srv/") + id + "/enabled", "0");
    char out[256];
    memset(out, 'x', sizeof out);
    ASSERT_EQ(entity_get_instance_nbr("/fw/rule/loc_srv", out), 0);
    EXPECT_EQ(std::string(out), "\x04\x01"); // in the server's order
    EXPECT_EQ(wire.sent(), "tr69 action 10 /fw/rule/loc_srv  0 0 0 0 0 0 close |");
    // A failing write or a read left unanswered: -1, the reply untouched; a
    // failing first write prints its plain line whatever the switches.
    tr69_action_req req{10, {}, {}, {}};
    struct {
        tr69_action_rsp rsp;
        char guard[64];
    } r{{77, "untouched"}, {}};
    memset(r.guard, 'g', sizeof r.guard);
    for (auto [item, line] :
         {std::pair{"0", ""}, {"tr69 action", "ipc_string_write failed: tr69\n"}, {"", ""}}) {
        KX_tr69_channel* ch = KX_tr69_main_open_channel();
        *item ? wire.fail_write(item) : server.fail("tr69 action");
        CaptureStdout cap;
        EXPECT_EQ(KX_tr69_main_action(ch, &req, &r.rsp), -1);
        EXPECT_EQ(cap.text(), line) << item;
        KX_tr69_main_close_channel(ch);
    }
    EXPECT_EQ(std::to_string(r.rsp.status) + r.rsp.text, "77untouched");
    // A second reply longer than the field is cut to 255 bytes, and nothing past it is touched.
    server.action_reply("-5", std::string(300, 'y'));
    KX_tr69_channel* ch = KX_tr69_main_open_channel();
    EXPECT_EQ(KX_tr69_main_action(ch, &req, &r.rsp), 0);
    KX_tr69_main_close_channel(ch);
    EXPECT_EQ(std::to_string(r.rsp.status) + r.rsp.text + std::string(r.guard, sizeof r.guard),
              std::string("-5").append(255, 'y').append(64, 'g'));
    // The instance list of a broken exchange is a failure, never "none".
    server.fail("tr69 action");
    EXPECT_EQ(entity_get_instance_nbr("/fw/rule/loc_srv", out), -1);
    // No server: nothing opens; the instance list is 9002, with its line.
    server.stop();
    EXPECT_EQ(KX_DB_Open(KX_DB_MAIN), nullptr);
    EXPECT_EQ(KX_tr69_main_open_channel(), nullptr);
    DebugSwitches sw(1, 0);
    CaptureStdout cap;
    EXPECT_EQ(entity_get_instance_nbr("/fw", out), 9002);
    EXPECT_TRUE(cap.text().ends_with("] In entity_get_instance_nbr: tr69 entity handle = NULL\n\n"))
        << cap.text();
    EXPECT_EQ(std::string(out), "\x04\x01");
}

// Sets walked node by node and in batches, in the server's order; a batch
// writes the very items of its single operations, all before the first reply
// is read; a walk reads keys and the paths below them across chunks.
TEST_F(DbClient, SetsBatchesWalksRefusedArgumentsAndAbsentPaths) {
    // 129 sons, in the server's order 0 to 127, then x: two whole chunks and one more.
    server.set("/w/x/a", "-");
    for (int i = 127; i >= 0; --i)
        server.set("/w/" + std::to_string(i) + "/" + (i % 3 ? "a" : "b"), std::to_string(i));
    tr111::DbHandle db(KX_DB_MAIN);
    KX_DB_handle* h = db.get();
    const uint32_t set = KX_get_set(h, "/w");
    std::string seen, expect, expect_walk;
    for (int i = 0; i < 128; ++i) {
        expect += std::to_string(i) + " ";
        expect_walk += std::to_string(i) + "=" + std::to_string(i) + " ";
    }
    for (uint32_t node = KX_set_get_son(h, set, 0); node != 0; node = KX_set_get_next(h, node))
        seen += tr111::DbString(KX_set_get_value(h, node)).get() + std::string(" ");
    EXPECT_EQ(seen, expect + "x ");
    EXPECT_EQ(KX_set_get_nsons(h, set), 129u);
    const std::string hex = (std::stringstream() << std::hex << set).str();
    wire.clear();
    tr111::DbBatch b;
    int slots[] = {KX_DB_Batch_Son(b.get(), set, 2),   KX_DB_Batch_Son(b.get(), 0, 0),
                   KX_DB_Batch_Get(b.get(), "/w/4/a"), KX_DB_Batch_Get(b.get(), "/w/4/b"),
                   KX_DB_Batch_Value(b.get(), 0),      KX_DB_Batch_Son(b.get(), set, 129)};
    ASSERT_EQ(KX_DB_Batch_Run(h, b.get()), 0);
    std::string items;
    for (const auto& c : wire.conns())
        for (const auto& i : c.items)
            items.append(i.substr(0, 2));
    EXPECT_EQ(items, "> > > > > > > > < < < < "); // every request before the first reply
    EXPECT_EQ(wire.sent(), "rg_conf_set_get_son " + hex + " 2 rg_conf_get_exist /w/4/a " +
                               "rg_conf_get_exist /w/4/b rg_conf_set_get_son " + hex + " 129 |");
    EXPECT_EQ(KX_DB_Batch_Node(b.get(), slots[0]), KX_set_get_son(h, set, 2));
    EXPECT_EQ(KX_DB_Batch_Node(b.get(), slots[1]) + KX_DB_Batch_Node(b.get(), slots[5]), 0u);
    EXPECT_STREQ(tr111::DbString(KX_DB_Batch_Take(b.get(), slots[2])).get(), "4");
    EXPECT_TRUE(!KX_DB_Batch_Take(b.get(), slots[3]) && !KX_DB_Batch_Take(b.get(), slots[4]));
    // A full batch takes no more.
    tr111::DbBatch full;
    for (uint32_t i = 0; i < KX_DB_BATCH_MAX; ++i)
        ASSERT_EQ(KX_DB_Batch_Get(full.get(), "/w/4/a"), static_cast<int>(i));
    EXPECT_EQ(KX_DB_Batch_Get(full.get(), "/w/4/a"), -1);
    // Every son in order with its two paths; a key that is no number reads none.
    static const char* const fmts[] = {"/w/%d/a", "/w/%d/b"};
    seen.clear();
    for (tr111::SetWalk w(h, set, fmts, 2); w.next();)
        seen += std::string(w.key()) + "=" + (w.value(0) ?: "") + (w.value(1) ?: "") + " ";
    EXPECT_EQ(seen, expect_walk + "x= ");

    // Null arguments are refused with nothing sent; absent paths read null.
    wire.clear();
    EXPECT_EQ(KX_DB_Set(h, "/a", nullptr) + KX_DB_Set(h, nullptr, "1"), -2);
    EXPECT_TRUE(!KX_DB_Get(h, nullptr) && !KX_set_get_value(h, 0));
    EXPECT_EQ(KX_get_set(h, nullptr) + KX_set_get_son(h, 0, 0) + KX_set_get_next(h, 0), 0u);
    KX_DB_Close_Reconf(nullptr, 1);
    EXPECT_TRUE(wire.conns().back().items.empty());
    EXPECT_EQ(KX_DB_Get(h, "/no/such/path"), nullptr);
    EXPECT_EQ(KX_DB_Is_Defined(h, "/no/such/path") + KX_get_set(h, "/no/such/path"), 0u);
    EXPECT_EQ(h->ipc_err, 0u);
    int32_t v = 7; // a stored number past 32 bits is no number
    EXPECT_EQ(s_str_to_int("2147483648", &v) + s_str_to_int("-2147483649", &v) + v, -2 + 7);
}
