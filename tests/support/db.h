// The database for tests of the daemon's modules: a real confd per suite, and
// writes and reads through the daemon's own client (confd serves connections
// in order, so a read sees what was written before).
#pragma once

#include "db/tr111_db.h"
#include "registry/md.h"
#include "tests/support/capture.h"
#include "tests/support/confd.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace tr111test {

using KV = std::vector<std::pair<std::string, std::string>>;
using Strings = std::vector<std::string>;

// Writes every pair on one handle, closed with reconfiguration.
inline void db_set(const KV& kv, bool ram = false) {
    tr111::DbHandle db(ram ? KX_DB_RAM : KX_DB_MAIN);
    ASSERT_TRUE(db) << "no confd";
    for (const auto& [path, value] : kv)
        ASSERT_EQ(KX_DB_Set(db.get(), path.c_str(), value.c_str()), 0) << path;
    db.close_set();
}
// The stored value, or "(absent)".
inline std::string db_get(const std::string& path, bool ram = false) {
    tr111::DbHandle db(ram ? KX_DB_RAM : KX_DB_MAIN);
    tr111::DbString v(db ? KX_DB_Get(db.get(), path.c_str()) : nullptr);
    return v ? v.get() : "(absent)";
}
inline void db_del(const std::string& path, bool ram = false) {
    tr111::DbHandle db(ram ? KX_DB_RAM : KX_DB_MAIN);
    ASSERT_TRUE(db) << "no confd";
    KX_DB_Delete(db.get(), path.c_str());
    db.close_set();
}

inline std::string dev_path(int id, const std::string& key = "") {
    return "/KELMO/TR111/ManageableDevice/" + std::to_string(id) + "/" + key;
}
inline std::string rule_path(int id, const std::string& key = "") {
    return "/fw/rule/loc_srv/" + std::to_string(id) + "/" + key;
}

// A device record: type ("" for none), MAC 00:11:22:33:44:<id>, extra keys.
inline void device(int id, const std::string& type, const KV& extra = {}) {
    char mac[32];
    snprintf(mac, sizeof mac, "00:11:22:33:44:%02x", id & 0xff);
    KV kv{{dev_path(id, "MacAddress"), mac}};
    if (!type.empty()) kv.push_back({dev_path(id, "type"), type});
    for (const auto& [k, v] : extra)
        kv.push_back({dev_path(id, k), v});
    db_set(kv);
}

// A pass-through rule as its creation leaves it.
inline void rule(int id, int wan_port, const std::string& enabled = "0",
                 const std::string& host = "192.168.1.20", int lan_port = 7547) {
    db_set({{rule_path(id, "services/0/trigger/0/dst/start"), std::to_string(wan_port)},
            {rule_path(id, "services/0/trigger/0/dst/end"), std::to_string(wan_port)},
            {rule_path(id, "fwd_from"), std::to_string(lan_port)},
            {rule_path(id, "fwd_to"), std::to_string(lan_port)},
            {rule_path(id, "enabled"), enabled},
            {rule_path(id, "rdir/item/0/hostname"), host}});
}

inline bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
inline long n_of(const Strings& items, const std::string& item) {
    return std::count(items.begin(), items.end(), item);
}

// Runs f with the debug output on at level and returns what it printed.
template <typename F>
std::string logged(F f, unsigned level = 3) {
    DebugSwitches sw(1, level);
    CaptureStdout cap;
    f();
    return cap.text();
}

// Status-table entries holding id.
inline int mdlt_count(int32_t id) {
    return static_cast<int>(std::count_if(std::begin(mdlt), std::end(mdlt),
                                          [id](const mdlt_entry& e) { return e.id == id; }));
}

// One confd per suite; each test starts with /KELMO, /fw, /dev emptied, mdlt
// free and no index of the devices' MACs.
class DbTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { confd_ = new Confd(); }
    static void TearDownTestSuite() { delete std::exchange(confd_, nullptr); }
    void SetUp() override {
        ASSERT_TRUE(confd_->running() || confd_->start());
        for (const char* p : {"/KELMO", "/fw", "/dev"})
            db_del(p);
        db_del("/dev", true);
        std::fill(std::begin(mdlt), std::end(mdlt), mdlt_entry{-1, 0});
        md_index_drop();
    }
    static inline Confd* confd_ = nullptr;
};

} // namespace tr111test
