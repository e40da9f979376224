// confd's sessions fed with bytes, without sockets: paths and inner nodes,
// set handles and the order of sons, change records, refused input, the
// state files.
#include "lab/confd/confd_core.h"
#include "tests/support/proc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using confd::Server;
using Strings = std::vector<std::string>;

namespace {

Strings log_lines;
size_t logged(const std::string& text) {
    size_t n = 0;
    for (const auto& l : log_lines)
        n += l.find(text) != std::string::npos;
    return n;
}

// One item to send: a string, or an integer made with u32().
struct Item {
    Item(const char* s) : str(s) {}
    Item(std::string s) : str(std::move(s)) {}
    std::string str;
    bool is_u32 = false;
    uint32_t v = 0;
};
Item u32(uint32_t v) {
    Item i("");
    i.is_u32 = true;
    i.v = v;
    return i;
}

std::string frames(std::initializer_list<Item> items) {
    std::string out;
    for (const auto& i : items) {
        uint8_t buf[9];
        if (i.is_u32)
            out.append(reinterpret_cast<char*>(buf), ipc_frame_u32(buf, i.v));
        else
            confd::append_frame(out, i.str);
    }
    return out;
}

struct Peer {
    Peer(Server& srv, uint32_t id) : s(srv, id) {}
    void send_bytes(const std::string& b) {
        s.feed(reinterpret_cast<const uint8_t*>(b.data()), b.size());
    }
    void send(std::initializer_list<Item> items) { send_bytes(frames(items)); }
    // Every string waiting in the output.
    Strings take() {
        std::string raw;
        for (iovec iov[8]; s.has_output();) {
            int n = s.output_iov(iov, 8);
            for (int i = 0; i < n; ++i) {
                raw.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
                s.output_sent(iov[i].iov_len);
            }
            s.process();
        }
        Strings out;
        ipc_item it;
        for (size_t off = 0; off < raw.size(); off += 5 + it.str_len) {
            EXPECT_GT(ipc_item_parse(reinterpret_cast<const uint8_t*>(raw.data()) + off,
                                     raw.size() - off, &it),
                      0);
            out.emplace_back(it.str, it.str_len);
        }
        return out;
    }
    std::string ask(std::initializer_list<Item> items) {
        send(items);
        Strings r = take();
        return r.size() == 1 ? r[0] : "<" + std::to_string(r.size()) + " replies>";
    }
    // A subscriber's records as "path|action|text".
    Strings records() {
        Strings s = take(), out;
        for (size_t i = 0; i + 2 < s.size(); i += 3)
            out.push_back(s[i] + "|" + s[i + 1] + "|" + s[i + 2]);
        return out;
    }
    confd::Session s;
};

class ConfdSession : public ::testing::Test {
  protected:
    void SetUp() override {
        log_lines.clear();
        confd::set_log_sink([](const char* l) { log_lines.emplace_back(l); });
    }
    void TearDown() override { confd::set_log_sink(nullptr); }
    Server srv{""};
};

} // namespace

TEST_F(ConfdSession, PathsInnerNodesAndLimits) {
    Peer a(srv, 1), b(srv, 2);
    a.send({"rg_conf_set_path_value", "KELMO/TR111/tr111_debug", "1"});
    a.send({"rg_conf_set_path_value", "/fw/rule/loc_srv/3/enabled", "a\"b\\c"});
    for (const char* p : {"KELMO/TR111/tr111_debug", "//KELMO//TR111/tr111_debug/"})
        EXPECT_EQ(b.ask({"rg_conf_get_exist", p}), "(\"TR111\"(\"tr111_debug\"=\"1\"))") << p;
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/fw/rule/loc_srv/3/enabled"}),
              "(\"3\"(\"enabled\"=\"a\\\"b\\\\c\"))");
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/fw/rule/loc_srv/3/"}), "(\"loc_srv\"(\"3\"=\"3\"))");
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/fw"}), "(\"\"(\"fw\"=\"fw\"))");
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/fw/rule/loc_srv/4/"}), "");
    EXPECT_EQ(b.ask({"rg_conf_ram_get_exist", "/fw"}), ""); // another store
    // A write to "P/" creates the empty set named by the value (once).
    a.send({"rg_conf_set_path_value", "/KELMO/TR111/", "ManageableDevice"});
    a.send({"rg_conf_set_path_value", "/fw/rule/", "loc_srv"});
    std::string set = b.ask({"rg_conf_get_set", "/KELMO/TR111/ManageableDevice/"});
    EXPECT_EQ(b.ask({"rg_conf_set_get_nsons", set}), "0");
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/fw/rule/loc_srv/3/enabled"}),
              "(\"3\"(\"enabled\"=\"a\\\"b\\\\c\"))");
    // Any other value written at "P/" is P's own value, as the attribute
    // keys ("/KELMO/TR111/attrib/6/3./") are written.
    a.send({"rg_conf_set_path_value", "/KELMO/TR111/attrib/6/3./", "3"});
    a.send({"rg_conf_set_path_value", "/KELMO/TR111/attrib/1/", ""});
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/KELMO/TR111/attrib/6/3./"}), "(\"6\"(\"3.\"=\"3\"))");
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/KELMO/TR111/attrib/1"}), "(\"attrib\"(\"1\"=\"\"))");
    set = b.ask({"rg_conf_get_set", "/KELMO/TR111/attrib/6/3."});
    EXPECT_EQ(b.ask({"rg_conf_set_get_nsons", set}), "0");
    a.send({"rg_conf_set_set_path", "/a/b/c"});
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/a/b/c"}), "(\"b\"(\"c\"=\"c\"))");
    // Deleting removes the subtree; nothing, or the root, is not deleted.
    a.send({"rg_conf_set_free", "/fw/rule/loc_srv/3"});
    a.send({"rg_conf_set_free", "/no/such/path"});
    a.send({"rg_conf_set_free", "/"});
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/fw/rule/loc_srv/3/enabled"}), "");
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/fw/rule/loc_srv"}),
              "(\"rule\"(\"loc_srv\"=\"loc_srv\"))");
    // Over the limits: one line each, nothing written, the session goes on.
    std::string deep;
    for (int i = 0; i < 64; ++i)
        deep += "/d";
    a.send({"rg_conf_set_path_value", "/big", std::string(confd::VALUE_MAX + 1, 'v')});
    a.send({"rg_conf_set_path_value", "/" + std::string(256, 'k'), "1"});
    a.send({"rg_conf_set_path_value", deep, "1"});
    a.send({"rg_conf_set_path_value", "/x/", "a/b"});
    EXPECT_EQ(logged("conn 1: refused"), 5u);
    EXPECT_EQ(logged("the root cannot be deleted"), 1u);
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/big"}), "");
    EXPECT_EQ(b.ask({"rg_conf_get_exist", "/d"}), "");
    EXPECT_FALSE(a.s.closing());
}

TEST_F(ConfdSession, SetHandlesAndSonOrder) {
    Peer a(srv, 1), b(srv, 2);
    for (const char* k : {"x", "10", "B", "9", "7", "007", "abc"})
        a.send({"rg_conf_set_path_value", std::string("/l/") + k + "/v", k});
    a.send({"rg_conf_set_path_value", "/l/leaf", "value"});
    std::string set = a.ask({"rg_conf_get_set", "/l"});
    EXPECT_EQ(a.ask({"rg_conf_get_set", "/l/"}), set); // same node, same handle
    EXPECT_EQ(a.ask({"rg_conf_set_get_nsons", set}), "8");
    Strings walk;
    for (std::string n = a.ask({"rg_conf_set_get_son", set + " 0"}); n != "0";
         n = a.ask({"rg_conf_set_get_next", n}))
        walk.push_back(a.ask({"rg_conf_set_get_value", n}));
    // Numbers first in numeric order, then byte order; a leaf gives its value.
    EXPECT_EQ(walk, (Strings{"007", "7", "9", "10", "B", "abc", "value", "x"}));
    std::string nine = a.ask({"rg_conf_set_get_son", set + " 2"});
    EXPECT_EQ(a.ask({"rg_conf_set_get_value", nine}), "9");
    EXPECT_EQ(a.ask({"rg_conf_set_get_son", set + " 8"}), "0");
    EXPECT_EQ(a.ask({"rg_conf_set_get_entry", a.ask({"rg_conf_set_get_son", set + " 6"})}),
              "(\"leaf\"=\"value\")");
    EXPECT_EQ(a.ask({"rg_conf_set_get_entry", nine}), "(\"9\")");
    EXPECT_EQ(logged("refused"), 0u);
    // Handles belong to their connection and die with their node.
    EXPECT_EQ(b.ask({"rg_conf_set_get_value", nine}), "");
    EXPECT_EQ(b.ask({"rg_conf_set_get_nsons", set}), "0");
    EXPECT_EQ(logged("conn 2: refused: set handle " + nine + " was not issued"), 1u);
    a.send({"rg_conf_set_free", "/l/9"});
    EXPECT_EQ(a.ask({"rg_conf_set_get_next", nine}), "0");
    EXPECT_EQ(logged("names a node that has been deleted"), 1u);
    a.send({"rg_conf_set_path_value", "/l/9/v", "9"});
    EXPECT_NE(a.ask({"rg_conf_set_get_son", set + " 2"}), nine);
    for (const char* bad : {"zz", "", "123456789", "0"})
        EXPECT_EQ(a.ask({"rg_conf_set_get_value", bad}), "");
    EXPECT_EQ(a.ask({"rg_conf_set_get_son", set + "0"}), "0");
    EXPECT_FALSE(a.s.closing());
}

TEST_F(ConfdSession, ChangeRecordsOnReconf) {
    Peer sub(srv, 1), w(srv, 2), other(srv, 3);
    sub.send({"subscribe"});
    w.send({"rg_conf_set_path_value", "/dev/br0/dhcps/lease/3/start_time", "1700000000"});
    w.send({"rg_conf_set_path_value", "/dev/br0/dhcps/lease/3/start_time", "1700000001"});
    w.send({"rg_conf_set_path_value", "/KELMO/", "TR111"});
    w.send({"rg_conf_ram_set_path_value", "/dev/ppp0/ip", "10.0.0.1"});
    w.send({"rg_conf_priv_set_path_value", "/p", "1"}); // private: not reported
    w.send({"rg_conf_set_free", "/dev/br0/dhcps/lease/3"});
    w.send({"rg_conf_set_free", "/absent"});
    other.send({"rg_conf_set_path_value", "/o", "1"});
    EXPECT_TRUE(sub.records().empty()); // nothing before reconf
    w.send({"reconf", u32(4)});
    EXPECT_EQ(sub.records(), (Strings{"/|C|dev", "/dev/|C|br0", "/dev/br0/|C|dhcps",
                                      "/dev/br0/dhcps/|C|lease", "/dev/br0/dhcps/lease/|C|3",
                                      "/dev/br0/dhcps/lease/3/start_time|U|1700000000",
                                      "/dev/br0/dhcps/lease/3/start_time|U|1700000001", "/|C|KELMO",
                                      "/KELMO/|C|TR111", "/|C|dev", "/dev/|C|ppp0",
                                      "/dev/ppp0/ip|U|10.0.0.1", "/dev/br0/dhcps/lease/|D|3"}));
    // Only what is new since the last reconf; another level commits nothing;
    // a connection that ends without reconf reports nothing.
    w.send({"reconf", u32(2)});
    w.send({"rg_conf_set_path_value", "/o", "2"});
    w.send({"reconf", u32(1)});
    EXPECT_EQ(logged("reconf with 1 (4 or 2 expected); nothing committed"), 1u);
    {
        Peer gone(srv, 4);
        gone.send({"rg_conf_set_path_value", "/g", "1", "close"});
        EXPECT_TRUE(gone.s.done());
    }
    EXPECT_TRUE(sub.records().empty());
    other.send({"reconf", u32(4)});
    EXPECT_EQ(sub.records(), (Strings{"/o|U|1"}));
    sub.send({"close"});
    EXPECT_EQ(srv.subscribers(), 0u);
    EXPECT_TRUE(sub.s.done());
}

TEST_F(ConfdSession, RefusedInput) {
    Peer a(srv, 1);
    a.send({"rg_conf_set_path_value", "/x", "1"});
    // An integer where a string is due: refused, the stream stays in step,
    // the reply due is the "nothing" reply.
    EXPECT_EQ(a.ask({"rg_conf_get_exist", u32(7)}), "");
    EXPECT_EQ(a.ask({"rg_conf_get_set", u32(7)}), "0");
    a.send({"rg_conf_set_path_value", "/y", u32(1)});
    a.send({u32(99)});
    a.send({"tr69 action", "10", "/x", "", "0", "0", u32(0), "0", "0", "0"});
    EXPECT_EQ(a.take(), (Strings{"-1", ""}));
    EXPECT_EQ(a.ask({"rg_conf_get_exist", "/y"}), "");
    EXPECT_EQ(logged("conn 1: refused: integer item"), 5u);
    EXPECT_FALSE(a.s.closing());
    // Streams that cannot be followed any more: the replies already due are
    // sent, then the connection closes. Items may arrive cut anywhere.
    struct Case {
        std::string bytes, why;
    } cases[] = {
        {frames({"no_such_command", "/x"}), "unknown command \"no_such_command\""},
        {frames({"reconf", "4"}), "\"reconf\" followed by a string"},
        {std::string("S\0\1\0\1", 5), "string item of 65537 bytes"},
        {std::string("U\0\0\0\5", 5), "integer item of length 5"},
        {std::string("X\0\0\0\0", 5), "unknown item tag 0x58"},
        {std::string("S\0\0\0\3a\0b", 8), "zero byte"},
    };
    for (const auto& c : cases) {
        log_lines.clear();
        Peer p(srv, 2);
        for (char ch : frames({"rg_conf_get_exist", "/x"}) + c.bytes + frames({"close"}))
            p.send_bytes(std::string(1, ch));
        EXPECT_EQ(p.take(), (Strings{"(\"\"(\"x\"=\"1\"))"})) << c.why;
        EXPECT_TRUE(p.s.done()) << c.why;
        EXPECT_EQ(logged("conn 2: refused: " + c.why), 1u) << c.why;
    }
    EXPECT_EQ(a.ask({"rg_conf_get_exist", "/x"}), "(\"\"(\"x\"=\"1\"))");
}

TEST_F(ConfdSession, StateFiles) {
    tr111test::TempDir dir;
    std::string state = dir.path() + "/state";
    {
        Server s(state);
        ASSERT_EQ(s.load(), 0); // the folder is created
        Peer a(s, 1);
        a.send({"rg_conf_set_path_value", "/a/\"q\"/b", "x\\y"});
        a.send({"rg_conf_set_path_value", "/KELMO/TR111/", "ManageableDevice"});
        a.send({"rg_conf_ram_set_path_value", "/r", "1"});
        a.send({"rg_conf_priv_set_path_value", "/p", "2", "reconf", u32(4)});
        {
            Peer f(s, 2); // factory settings are saved when their connection ends
            f.send({"rg_factory_set_value", "/f", "3"});
            EXPECT_EQ(tr111test::read_file(state + "/factory.conf"), "");
        }
        EXPECT_NE(tr111test::read_file(state + "/factory.conf"), "");
    }
    {
        Server s(state);
        ASSERT_EQ(s.load(), 0);
        EXPECT_EQ(logged("state main: loaded 6 keys (1 with values)"), 1u);
        Peer a(s, 1);
        EXPECT_EQ(a.ask({"rg_conf_get_exist", "/a/\"q\"/b"}), "(\"\\\"q\\\"\"(\"b\"=\"x\\\\y\"))");
        EXPECT_EQ(a.ask({"rg_conf_get_exist", "/KELMO/TR111/ManageableDevice"}),
                  "(\"TR111\"(\"ManageableDevice\"=\"ManageableDevice\"))");
        EXPECT_EQ(a.ask({"rg_conf_ram_get_exist", "/r"}), "");
        EXPECT_EQ(a.ask({"rg_conf_priv_get_exist", "/p"}), "(\"\"(\"p\"=\"2\"))");
        EXPECT_EQ(a.ask({"rg_factory_get_exist", "/f"}), "(\"\"(\"f\"=\"3\"))");
    }
    // A state file that cannot be used stops the load and is left as it is.
    for (const char* bad :
         {"(\"\"(\"a\"=\"1\")", "(\"\"(\"a\")(\"a\"))", "(\"\"(\"a/b\"))", "(\"root\")", ""}) {
        tr111test::write_file(state + "/priv.conf", bad);
        log_lines.clear();
        Server s(state);
        EXPECT_EQ(s.load(), -1) << bad;
        EXPECT_EQ(logged("state priv: " + state + "/priv.conf is not a valid state file"), 1u)
            << bad;
        EXPECT_EQ(tr111test::read_file(state + "/priv.conf"), bad);
    }
    unlink((state + "/priv.conf").c_str());
    ASSERT_EQ(mkdir((state + "/priv.conf").c_str(), 0755), 0);
    Server s(state);
    EXPECT_EQ(s.load(), -1);
    EXPECT_EQ(logged("state priv: cannot read"), 1u);
}
