// The database client against a real confd, every item it writes recorded.
#include "db/kx_tr69_action.h"
#include "tests/support/db.h"
#include "tests/support/wire.h"

using namespace tr111test;

struct DbClient : DbTest {
    WireLog wire;
};

TEST_F(DbClient, CommandsAndClosesPerKind) {
    // Write, read, delete, get set; the integer after "reconf" (none: no reconf).
    const Strings cmds[4] = {
        {"rg_conf_set_path_value", "rg_conf_get_exist", "rg_conf_set_free", "rg_conf_get_set",
         "#4"},
        {"rg_conf_ram_set_path_value", "rg_conf_ram_get_exist", "rg_conf_ram_set_free",
         "rg_conf_ram_get_set", "#4"},
        {"rg_conf_priv_set_path_value", "rg_conf_priv_get_exist", "rg_conf_priv_set_free",
         "rg_conf_get_set", "#2"},
        {"rg_factory_set_value", "rg_factory_get_exist", "rg_factory_free", "rg_conf_get_set", ""}};
    for (uint32_t kind = 0; kind < 4; ++kind) {
        wire.clear();
        SCOPED_TRACE(kind);
        KX_DB_handle* h = KX_DB_Open(kind);
        EXPECT_EQ(KX_DB_Set(h, "/t/k", "v"), 0);
        EXPECT_STREQ(tr111::DbString(KX_DB_Get(h, "/t/k")).get(), "v");
        KX_DB_Delete(h, "/t/k");
        EXPECT_NE(KX_get_set(h, "/t"), 0u);
        TR111_Close_db_get(h);
        const Strings& c = cmds[kind];
        EXPECT_EQ(wire.written(), (Strings{c[0], "/t/k", "v", c[1], "/t/k", c[2], "/t/k", c[3],
                                           "/t", "close", "|"}));
        EXPECT_EQ(wire.conns().back().close_err, 0u);
        wire.clear();
        TR111_Close_db_set(KX_DB_Open(kind));
        EXPECT_EQ(wire.written(),
                  (c[4].empty() ? Strings{"close", "|"} : Strings{"reconf", c[4], "close", "|"}));
    }
}

TEST_F(DbClient, StickyErrorRefusesEverythingAfterAFailedWrite) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    wire.fail_write("/fail/here");
    EXPECT_EQ(KX_DB_Set(h, "/fail/here", "1"), -1);
    size_t items = wire.conns().back().items.size();
    EXPECT_TRUE(!KX_DB_Get(h, "/x") && !KX_set_get_value(h, 1));
    EXPECT_EQ(KX_DB_Set(h, "/x", "1"), -1);
    KX_DB_Delete(h, "/x");
    EXPECT_EQ(KX_get_set(h, "/x") + KX_set_get_son(h, 1, 0), 0u);
    // Nothing more went out, not even on close, and the error reached the close.
    TR111_Close_db_set(h);
    EXPECT_EQ(wire.conns().back().items.size(), items);
    EXPECT_NE(wire.conns().back().close_err, 0u);
    // A failed "reconf" still lets "close" go out; its error reaches the close.
    wire.clear();
    wire.fail_write("reconf");
    TR111_Close_db_set(KX_DB_Open(KX_DB_MAIN));
    EXPECT_EQ(wire.written(), (Strings{"reconf", "close", "|"}));
    EXPECT_NE(wire.conns().back().close_err, 0u);
}

TEST_F(DbClient, SetWalkRefusedArgumentsAndAbsentPaths) {
    db_set({{rule_path(10, "enabled"), "1"}, {rule_path(2, "enabled"), "1"}, {rule_path(0), "0"}});
    tr111::DbHandle db(KX_DB_MAIN);
    KX_DB_handle* h = db.get();
    uint32_t set = KX_get_set(h, "/fw/rule/loc_srv/");
    Strings keys;
    for (uint32_t node = KX_set_get_son(h, set, 0); node != 0; node = KX_set_get_next(h, node))
        keys.push_back(tr111::DbString(KX_set_get_value(h, node)).get());
    EXPECT_EQ(keys, (Strings{"0", "2", "10"}));
    // The son request is one string: the set in hexadecimal, a blank, the index.
    wire.clear();
    EXPECT_EQ(KX_set_get_son(h, 0x1a2b, 0), 0u);
    EXPECT_EQ(wire.conns().back().items[1], "> 1a2b 0");
    // Null arguments are refused with nothing sent; absent paths read null.
    wire.clear();
    EXPECT_EQ(KX_DB_Set(h, "/a", nullptr) + KX_DB_Set(h, nullptr, "1"), -2);
    EXPECT_TRUE(!KX_DB_Get(h, nullptr) && !KX_set_get_value(h, 0));
    KX_DB_Delete(h, nullptr);
    EXPECT_EQ(KX_get_set(h, nullptr) + KX_set_get_son(h, 0, 0), 0u);
    KX_DB_Close_Reconf(nullptr, 1);
    EXPECT_TRUE(wire.conns().back().items.empty());
    EXPECT_EQ(KX_DB_Get(h, "/no/such/path"), nullptr);
    EXPECT_EQ(KX_DB_Is_Defined(h, "/no/such/path") + KX_get_set(h, "/no/such/path"), 0u);
    // A whole rule reads as defined; a deleted subtree is gone; nothing failed.
    EXPECT_EQ(KX_DB_Is_Defined(h, "/fw/rule/loc_srv/2/"), 1);
    KX_DB_Delete(h, "/fw/rule/loc_srv/2/");
    EXPECT_EQ(KX_DB_Is_Defined(h, "/fw/rule/loc_srv/2/enabled"), 0);
    EXPECT_EQ(KX_set_get_nsons(h, set), 2u);
}

TEST(StrToInt, WholeDecimalWithin32Bits) {
    // clang-format off
    struct { const char* text; int ret; int32_t value; } cases[] = {
        {" 7", 0, 7}, {"2147483647", 0, INT32_MAX}, {"-2147483648", 0, INT32_MIN},
        {"", -1, 99}, {"42a", -1, 99}, {"12345678901", -1, 99}, {"2147483648", -1, 99},
        {"7 ", -1, 99}, {nullptr, -1, 99}};
    // clang-format on
    for (const auto& c : cases) {
        int32_t v = 99;
        EXPECT_EQ(s_str_to_int(c.text, &v), c.ret) << (c.text ? c.text : "null");
        EXPECT_EQ(v, c.value) << (c.text ? c.text : "null");
    }
}

TEST_F(DbClient, Tr69ActionExchangeFailuresAndNoServer) {
    db_set({{rule_path(0, "enabled"), "0"}, {rule_path(3, "enabled"), "0"}});
    wire.clear();
    char out[256];
    memset(out, 'x', sizeof out);
    ASSERT_EQ(entity_get_instance_nbr("/fw/rule/loc_srv", out), 0);
    EXPECT_EQ(std::string(out), "\x01\x04");
    EXPECT_EQ(wire.written(), (Strings{"tr69 action", "10", "/fw/rule/loc_srv", "", "0", "0", "0",
                                       "0", "0", "0", "close", "|"}));
    // A failing write: -1, the reply untouched; a failing first write prints
    // its plain line, whatever the switches, a later one nothing.
    tr69_action_req req{10, {}, {}, {}};
    tr69_action_rsp rsp{77, "untouched"};
    for (auto [item, line] :
         {std::pair{"0", ""}, {"tr69 action", "ipc_string_write failed: tr69\n"}}) {
        KX_tr69_channel* ch = KX_tr69_main_open_channel();
        wire.fail_write(item);
        CaptureStdout cap;
        EXPECT_EQ(KX_tr69_main_action(ch, &req, &rsp), -1);
        EXPECT_EQ(cap.text(), line) << item;
        KX_tr69_main_close_channel(ch);
    }
    EXPECT_EQ(rsp.status, 77);
    EXPECT_STREQ(rsp.text, "untouched");
    // The instance list of a broken exchange is a failure, never "none".
    wire.fail_write("/fw/rule/loc_srv");
    EXPECT_EQ(entity_get_instance_nbr("/fw/rule/loc_srv", out), -1);
    // No server: nothing opens; the instance list is 9002, with its line.
    confd_->stop();
    EXPECT_EQ(KX_DB_Open(KX_DB_MAIN), nullptr);
    EXPECT_EQ(KX_tr69_main_open_channel(), nullptr);
    std::string text = logged([&] { EXPECT_EQ(entity_get_instance_nbr("/fw", out), 9002); });
    EXPECT_TRUE(has(text, "In entity_get_instance_nbr: tr69 entity handle = NULL\n\n")) << text;
    EXPECT_EQ(std::string(out), "\x01\x04");
}
