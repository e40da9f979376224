// Shared by the registry and pass-through tests: a real confd for the whole
// suite, emptied before each test, and small helpers that write and read
// the configuration database through the project's own client.
#pragma once

#include "db/tr111_db.h"
#include "tests/support/capture.h"
#include "tests/support/confd.h"
#include "tests/support/wire.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace regtest {

using KV = std::vector<std::pair<std::string, std::string>>;
using Items = std::vector<std::string>;

// The configuration server applies the items of one connection in order,
// but those of different connections in no fixed order, and a write is not
// acknowledged. The helpers below therefore end their writes with a read on
// the same connection: when they return, the server holds what they wrote.
// What the code under test writes is awaited with settle().

// Writes every pair on one handle and commits.
inline void db_put(const KV& kv) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    ASSERT_NE(h, nullptr) << "no confd";
    for (const auto& [path, value] : kv)
        ASSERT_EQ(KX_DB_Set(h, path.c_str(), value.c_str()), 0);
    if (!kv.empty()) free(KX_DB_Get(h, kv.back().first.c_str()));
    ASSERT_EQ(h->ipc_err, 0u);
    TR111_Close_db_set(h);
}

inline void db_put(const std::string& path, const std::string& value) {
    db_put({{path, value}});
}

// The stored value, or "(absent)".
inline std::string db_get(const std::string& path) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    if (!h) return "(no confd)";
    tr111::DbString v(KX_DB_Get(h, path.c_str()));
    TR111_Close_db_get(h);
    return v ? v.get() : "(absent)";
}

inline void db_del(const std::string& path) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    ASSERT_NE(h, nullptr) << "no confd";
    KX_DB_Delete(h, path.c_str());
    free(KX_DB_Get(h, path.c_str()));
    ASSERT_EQ(h->ipc_err, 0u);
    TR111_Close_db_set(h);
}

// Waits until path holds value ("(absent)" for none); returns the last
// value read, for the caller to compare.
inline std::string settle(const std::string& path, const std::string& value) {
    std::string v;
    tr111test::eventually([&] {
        v = db_get(path);
        return v == value;
    });
    return v;
}

inline std::string dev_path(int id, const std::string& key) {
    return "/KELMO/TR111/ManageableDevice/" + std::to_string(id) + "/" + key;
}

inline std::string rule_path(int id, const std::string& key) {
    return "/fw/rule/loc_srv/" + std::to_string(id) + "/" + key;
}

// A device record with its type and MAC address, plus extra keys.
inline void device(int id, const std::string& type, const KV& extra = {}) {
    KV kv;
    if (!type.empty()) kv.push_back({dev_path(id, "type"), type});
    char mac[32];
    snprintf(mac, sizeof mac, "00:11:22:33:44:%02x", id & 0xff);
    kv.push_back({dev_path(id, "MacAddress"), mac});
    for (const auto& [k, v] : extra)
        kv.push_back({dev_path(id, k), v});
    db_put(kv);
}

// A pass-through rule as creation leaves it, holding one WAN port.
inline void rule(int id, int wan_port, const std::string& enabled = "0",
                 const std::string& host = "192.168.1.20") {
    db_put({{rule_path(id, "services/0/trigger/0/dst/start"), std::to_string(wan_port)},
            {rule_path(id, "services/0/trigger/0/dst/end"), std::to_string(wan_port)},
            {rule_path(id, "fwd_from"), "7547"},
            {rule_path(id, "fwd_to"), "7547"},
            {rule_path(id, "enabled"), enabled},
            {rule_path(id, "rdir/item/0/hostname"), host}});
}

// The text a debug line of func with msg holds after its prefix.
inline std::string line(const std::string& func, const std::string& msg) {
    return "In " + func + ": " + msg;
}

inline bool has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

inline size_t count_of(const Items& items, const std::string& text) {
    return static_cast<size_t>(std::count(items.begin(), items.end(), text));
}

// Failures are also written to standard error: a test that captures
// standard output for the debug lines would otherwise swallow them.
class StderrFailures : public ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult& r) override {
        if (r.failed())
            fprintf(stderr, "%s:%d: Failure\n%s\n", r.file_name() ? r.file_name() : "?",
                    r.line_number(), r.message());
    }
};
inline const bool stderr_failures_installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new StderrFailures);
    return true;
}();

// One confd for the suite; every test starts from an empty device set,
// firewall and lease tree.
class ConfdTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { confd_ = new tr111test::Confd(); }
    static void TearDownTestSuite() {
        delete confd_;
        confd_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(confd_->running() || confd_->start());
        db_del("/KELMO");
        db_del("/fw");
        db_del("/dev");
    }
    static inline tr111test::Confd* confd_ = nullptr;
};

} // namespace regtest
