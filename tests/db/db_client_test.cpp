// The configuration-database client against a real confd: the exact items
// of every exchange (recorded through the IPC hooks), the sticky error, the
// closes per kind, set walks, the "tr69 action" exchange.
#include "db/kx_tr69_action.h"
#include "db/tr111_db.h"
#include "tests/support/capture.h"
#include "tests/support/confd.h"
#include "tests/support/wire.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace tr111test;
using Items = std::vector<std::string>;

namespace {

class DbClient : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { confd_ = new Confd(); }
    static void TearDownTestSuite() { delete confd_; }
    static Confd* confd_;
    WireLog wire;
};
Confd* DbClient::confd_ = nullptr;

std::string get(KX_DB_handle* h, const char* path) {
    tr111::DbString v(KX_DB_Get(h, path));
    return v ? v.get() : "(null)";
}

} // namespace

TEST_F(DbClient, CloseSequencesPerKindAndFlag) {
    struct Case {
        uint32_t kind;
        int reconf;
        Items items;
    } cases[] = {
        {KX_DB_MAIN, 0, {"close", "|"}},
        {KX_DB_MAIN, 1, {"reconf", "#4", "close", "|"}},
        {KX_DB_RAM, 1, {"reconf", "#4", "close", "|"}},
        {KX_DB_PRIV, 1, {"reconf", "#2", "close", "|"}},
        {KX_DB_PRIV, 0, {"close", "|"}},
        {KX_DB_FACTORY, 1, {"close", "|"}},
        {KX_DB_FACTORY, 0, {"close", "|"}},
    };
    for (const auto& c : cases) {
        wire.clear();
        KX_DB_handle* h = KX_DB_Open(c.kind);
        ASSERT_NE(h, nullptr);
        KX_DB_Close_Reconf(h, c.reconf);
        EXPECT_EQ(wire.written(), c.items) << "kind " << c.kind << " reconf " << c.reconf;
        ASSERT_EQ(wire.conns().size(), 1u);
        EXPECT_EQ(wire.conns()[0].port, 7000);
        EXPECT_EQ(wire.conns()[0].close_err, 0u);
    }
    // The adapters close after reading and after writing.
    wire.clear();
    TR111_Close_db_get(KX_DB_Open(KX_DB_MAIN));
    TR111_Close_db_set(KX_DB_Open(KX_DB_MAIN));
    EXPECT_EQ(wire.written(), (Items{"close", "|", "reconf", "#4", "close", "|"}));
}

TEST_F(DbClient, CommandsPerKindAndItemOrder) {
    const char* read_cmd[] = {"rg_conf_get_exist", "rg_conf_ram_get_exist",
                              "rg_conf_priv_get_exist", "rg_factory_get_exist"};
    const char* write_cmd[] = {"rg_conf_set_path_value", "rg_conf_ram_set_path_value",
                               "rg_conf_priv_set_path_value", "rg_factory_set_value"};
    const char* del_cmd[] = {"rg_conf_set_free", "rg_conf_ram_set_free", "rg_conf_priv_set_free",
                             "rg_factory_free"};
    for (uint32_t kind = 0; kind < 4; ++kind) {
        wire.clear();
        KX_DB_handle* h = KX_DB_Open(kind);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(KX_DB_Set(h, "/t/k", "v"), 0);
        EXPECT_EQ(get(h, "/t/k"), "v");
        KX_DB_Delete(h, "/t/k");
        EXPECT_EQ(KX_get_set(h, "/t"), KX_get_set(h, "/t"));
        TR111_Close_db_get(h);
        const char* set_cmd = kind == KX_DB_RAM ? "rg_conf_ram_get_set" : "rg_conf_get_set";
        EXPECT_EQ(wire.written(),
                  (Items{write_cmd[kind], "/t/k", "v", read_cmd[kind], "/t/k", del_cmd[kind],
                         "/t/k", set_cmd, "/t", set_cmd, "/t", "close", "|"}))
            << "kind " << kind;
    }
    EXPECT_EQ(KX_DB_cmd_names[3][KX_DB_CMD_CREATE], nullptr);
}

TEST_F(DbClient, StickyErrorRefusesEverythingAfterAFailedWrite) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    ASSERT_NE(h, nullptr);
    wire.fail_write("/fail/here");
    EXPECT_EQ(KX_DB_Set(h, "/fail/here", "1"), -1);
    EXPECT_NE(h->ipc_err, 0u);
    size_t items = wire.conns().back().items.size();
    EXPECT_EQ(KX_DB_Get(h, "/fail/here"), nullptr);
    EXPECT_EQ(KX_DB_Is_Defined(h, "/fail/here"), 0);
    EXPECT_EQ(KX_DB_Set(h, "/x", "1"), -1);
    KX_DB_Delete(h, "/x");
    EXPECT_EQ(KX_get_set(h, "/x"), 0u);
    EXPECT_EQ(KX_set_get_son(h, 1, 0), 0u);
    EXPECT_EQ(KX_set_get_next(h, 1), 0u);
    EXPECT_EQ(KX_set_get_nsons(h, 1), 0u);
    EXPECT_EQ(KX_set_get_value(h, 1), nullptr);
    // Nothing more went out, not even on close, and the error reached the close.
    KX_DB_Close_Reconf(h, 1);
    auto c = wire.conns().back();
    EXPECT_EQ(c.items.size(), items);
    EXPECT_TRUE(c.closed);
    EXPECT_NE(c.close_err, 0u);
    // A failed "reconf" still lets "close" go out; its error reaches the close.
    wire.clear();
    h = KX_DB_Open(KX_DB_MAIN);
    wire.fail_write("reconf");
    KX_DB_Close_Reconf(h, 1);
    EXPECT_EQ(wire.written(), (Items{"reconf", "close", "|"}));
    EXPECT_NE(wire.conns().back().close_err, 0u);
}

TEST_F(DbClient, RefusedArgumentsExchangeNothing) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    ASSERT_NE(h, nullptr);
    wire.clear();
    EXPECT_EQ(KX_DB_Set(h, "/a", nullptr), -1);
    EXPECT_EQ(KX_DB_Set(h, nullptr, "1"), -1);
    EXPECT_EQ(KX_DB_Get(h, nullptr), nullptr);
    KX_DB_Delete(h, nullptr);
    EXPECT_EQ(KX_get_set(h, nullptr), 0u);
    EXPECT_EQ(KX_set_get_son(h, 0, 0), 0u);
    EXPECT_EQ(KX_set_get_value(h, 0), nullptr);
    EXPECT_EQ(KX_DB_Get(nullptr, "/a"), nullptr);
    EXPECT_EQ(KX_DB_Set(nullptr, "/a", "1"), -1);
    KX_DB_Close_Reconf(nullptr, 1);
    EXPECT_EQ(h->ipc_err, 0u);
    EXPECT_TRUE(wire.conns().back().items.empty());
    // The handle is still healthy.
    EXPECT_EQ(KX_DB_Set(h, "/a", "1"), 0);
    EXPECT_EQ(get(h, "/a"), "1");
    TR111_Close_db_set(h);
}

TEST_F(DbClient, AbsentPathReadsNullAndKeepsTheHandleHealthy) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(KX_DB_Get(h, "/no/such/path"), nullptr);
    EXPECT_EQ(KX_DB_Is_Defined(h, "/no/such/path"), 0);
    EXPECT_EQ(KX_get_set(h, "/no/such/path"), 0u);
    EXPECT_EQ(h->ipc_err, 0u);
    EXPECT_EQ(KX_DB_Set(h, "/yes/path", "x"), 0);
    EXPECT_EQ(KX_DB_Is_Defined(h, "/yes/path"), 1);
    TR111_Close_db_set(h);
}

TEST_F(DbClient, SetWalkRamAndMainAndInnerNodes) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    ASSERT_NE(h, nullptr);
    for (const char* id : {"10", "2", "0"}) {
        std::string p = std::string("/walk/") + id + "/ip";
        ASSERT_EQ(KX_DB_Set(h, p.c_str(), "192.0.2.1"), 0);
    }
    TR111_Close_db_set(h);

    h = KX_DB_Open(KX_DB_MAIN);
    wire.clear();
    uint32_t set = KX_get_set(h, "/walk/");
    ASSERT_NE(set, 0u);
    EXPECT_EQ(KX_set_get_nsons(h, set), 3u);
    std::vector<std::string> keys;
    for (uint32_t node = KX_set_get_son(h, set, 0); node != 0; node = KX_set_get_next(h, node)) {
        tr111::DbString key(KX_set_get_value(h, node));
        ASSERT_TRUE(key);
        keys.push_back(key.get());
    }
    // Numeric keys in numeric order.
    EXPECT_EQ(keys, (std::vector<std::string>{"0", "2", "10"}));
    // The son request is one string: the set in hexadecimal, a blank, the index.
    char son_arg[32];
    snprintf(son_arg, sizeof son_arg, "%x 0", set);
    auto items = wire.conns().back().items;
    EXPECT_EQ(items[0], "> rg_conf_get_set");
    EXPECT_EQ(items[1], "> /walk/");
    EXPECT_EQ(items[6], "> rg_conf_set_get_son");
    EXPECT_EQ(items[7], std::string("> ") + son_arg);
    // An inner node reads as a value; a deleted subtree is gone.
    EXPECT_EQ(KX_DB_Is_Defined(h, "/walk/2/"), 1);
    KX_DB_Delete(h, "/walk/2/");
    EXPECT_EQ(KX_DB_Is_Defined(h, "/walk/2/"), 0);
    EXPECT_EQ(KX_DB_Is_Defined(h, "/walk/2/ip"), 0);
    EXPECT_EQ(KX_set_get_nsons(h, KX_get_set(h, "/walk")), 2u);
    // A set handle the server never issued names no node.
    wire.clear();
    EXPECT_EQ(KX_set_get_son(h, 0x1a2b, 0), 0u);
    EXPECT_EQ(wire.conns().back().items[1], "> 1a2b 0");
    TR111_Close_db_set(h);

    // RAM and main are separate stores.
    KX_DB_handle* ram = KX_DB_Open(KX_DB_RAM);
    ASSERT_EQ(KX_DB_Set(ram, "/dev/ppp0/ip", "203.0.113.5"), 0);
    TR111_Close_db_set(ram);
    ram = KX_DB_Open(KX_DB_RAM);
    EXPECT_EQ(get(ram, "/dev/ppp0/ip"), "203.0.113.5");
    EXPECT_NE(KX_get_set(ram, "/dev/ppp0"), 0u);
    TR111_Close_db_get(ram);
    h = KX_DB_Open(KX_DB_MAIN);
    EXPECT_EQ(get(h, "/dev/ppp0/ip"), "(null)");
    TR111_Close_db_get(h);
}

TEST_F(DbClient, StrictDecimalConversion) {
    struct Case {
        const char* text;
        int ret;
        int32_t value;
    } cases[] = {
        {"42", 0, 42},
        {" 7", 0, 7},
        {"-3", 0, -3},
        {"+5", 0, 5},
        {"2147483647", 0, INT32_MAX},
        {"-2147483648", 0, INT32_MIN},
        {"", -1, 99},
        {"42a", -1, 99},
        {"12345678901", -1, 99},
        {"2147483648", -1, 99},
        {" ", -1, 99},
        {"-", -1, 99},
        {"0x10", -1, 99},
        {"7 ", -1, 99},
    };
    for (const auto& c : cases) {
        int32_t v = 99;
        EXPECT_EQ(s_str_to_int(c.text, &v), c.ret) << '"' << c.text << '"';
        EXPECT_EQ(v, c.value) << '"' << c.text << '"';
    }
    int32_t v = 99;
    EXPECT_EQ(s_str_to_int(nullptr, &v), -1);
    EXPECT_EQ(v, 99);
}

TEST_F(DbClient, Tr69ActionExchangeAndInstanceList) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    ASSERT_NE(h, nullptr);
    KX_DB_Delete(h, "/fw/rule/loc_srv");
    ASSERT_EQ(KX_DB_Set(h, "/fw/rule/loc_srv/0/enabled", "0"), 0);
    ASSERT_EQ(KX_DB_Set(h, "/fw/rule/loc_srv/3/enabled", "0"), 0);
    TR111_Close_db_set(h);

    wire.clear();
    char out[256];
    memset(out, 'x', sizeof out);
    ASSERT_EQ(entity_get_instance_nbr("/fw/rule/loc_srv", out), 0);
    EXPECT_EQ(std::string(out), "\x01\x04");
    EXPECT_EQ(wire.written(), (Items{"tr69 action", "10", "/fw/rule/loc_srv", "", "0", "0", "0",
                                     "0", "0", "0", "close", "|"}));
    EXPECT_EQ(wire.conns().back().items[10], "< 0");

    // A connection that fails after the fourth write: -1, no line, reply untouched.
    KX_tr69_channel* ch = KX_tr69_main_open_channel();
    ASSERT_NE(ch, nullptr);
    tr69_action_req req;
    memset(&req, 0, sizeof req);
    req.action = 10;
    strcpy(req.path, "/fw/rule/loc_srv");
    tr69_action_rsp rsp;
    rsp.status = 77;
    strcpy(rsp.text, "untouched");
    wire.fail_write("0", 1);
    {
        CaptureStdout cap;
        EXPECT_EQ(KX_tr69_main_action(ch, &req, &rsp), -1);
        EXPECT_EQ(cap.text(), "");
    }
    EXPECT_EQ(rsp.status, 77);
    EXPECT_STREQ(rsp.text, "untouched");
    KX_tr69_main_close_channel(ch);

    // A first write that fails prints its plain line.
    ch = KX_tr69_main_open_channel();
    wire.fail_write("tr69 action", 1);
    {
        CaptureStdout cap;
        EXPECT_EQ(KX_tr69_main_action(ch, &req, &rsp), -1);
        EXPECT_EQ(cap.text(), "ipc_string_write failed: tr69\n");
    }
    KX_tr69_main_close_channel(ch);
}

TEST_F(DbClient, NoServer) {
    confd_->stop();
    EXPECT_EQ(KX_DB_Open(KX_DB_MAIN), nullptr);
    EXPECT_EQ(KX_tr69_main_open_channel(), nullptr);
    char out[4] = {'k', 'e', 'e', 'p'};
    {
        DebugSwitches on(1, 3);
        CaptureStdout cap;
        EXPECT_EQ(entity_get_instance_nbr("/fw/rule/loc_srv", out), 9002);
        EXPECT_NE(cap.text().find("In entity_get_instance_nbr: tr69 entity handle = NULL\n\n"),
                  std::string::npos)
            << cap.text();
    }
    EXPECT_EQ(std::string(out, 4), "keep");
    EXPECT_TRUE(confd_->start());
}
