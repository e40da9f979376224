// Shared set-up of the data-model tests: a real confd per test suite, its
// stores reached through the daemon's database client, device records and
// rules written as the gateway writes them, handlers called as the request
// loop calls them.
#pragma once

#include "datamodel/datamodel.h"
#include "db/tr111_db.h"
#include "registry/md.h"
#include "tests/support/capture.h"
#include "tests/support/confd.h"

#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace dmtest {

struct Reply {
    int32_t rc = -1;
    std::string value; // bytes before the first zero byte
    std::string raw;   // the whole value buffer
};
using Instances = std::array<uint32_t, TR111_INSTANCES>;

// The value buffer is filled with a marker first, so an unterminated value
// shows up.
inline Reply call(dm_handler* h, uint32_t id, Instances inst, const std::string& in = "",
                  const std::string& name = "") {
    static char value_in[TR111_VALUE_IN_SIZE], out[TR111_VALUE_SIZE];
    memset(value_in, 0, sizeof value_in);
    memcpy(value_in, in.data(), std::min(in.size(), sizeof value_in - 1));
    memset(out, 'Z', sizeof out);
    Reply r;
    r.rc = h(name.c_str(), inst.data(), id, value_in, out);
    r.raw.assign(out, sizeof out);
    r.value.assign(out, strnlen(out, sizeof out));
    return r;
}
inline Reply call(dm_handler* h, uint32_t id, uint32_t instance, const std::string& in = "") {
    return call(h, id, Instances{instance}, in);
}

inline void db_set(const std::string& path, const std::string& value, bool ram = false) {
    tr111::DbHandle db(ram ? KX_DB_RAM : KX_DB_MAIN);
    ASSERT_TRUE(db && KX_DB_Set(db.get(), path.c_str(), value.c_str()) == 0) << path;
    db.close_set();
}
inline std::optional<std::string> db_get(const std::string& path, bool ram = false) {
    tr111::DbHandle db(ram ? KX_DB_RAM : KX_DB_MAIN);
    tr111::DbString v(db ? KX_DB_Get(db.get(), path.c_str()) : nullptr);
    return v ? std::optional<std::string>(v.get()) : std::nullopt;
}
inline void db_del(const std::string& path, bool ram = false) {
    tr111::DbHandle db(ram ? KX_DB_RAM : KX_DB_MAIN);
    ASSERT_TRUE(db);
    KX_DB_Delete(db.get(), path.c_str());
    db.close_set();
}

inline std::string dev_key(int id, const std::string& key) {
    return "/KELMO/TR111/ManageableDevice/" + std::to_string(id) + "/" + key;
}
inline std::string rule_key(int rule, const std::string& key) {
    return "/fw/rule/loc_srv/" + std::to_string(rule) + "/" + key;
}

// type 1: plain TR-111 device, 0: WT111R2 device.
inline void add_device(int id, int type, const std::string& oui = "00D09E",
                       const std::string& sn = "SN-1", const std::string& pc = "STB") {
    db_set(dev_key(id, "OUI"), oui);
    db_set(dev_key(id, "SerialNumber"), sn);
    db_set(dev_key(id, "ProductClass"), pc);
    db_set(dev_key(id, "type"), std::to_string(type));
}

// A rule as its creation writes it (the keys the handlers read).
inline void add_rule(int rule, int wan_port, int lan_port, const std::string& ip, int enabled) {
    db_set(rule_key(rule, "services/0/trigger/0/dst/start"), std::to_string(wan_port));
    db_set(rule_key(rule, "fwd_from"), std::to_string(lan_port));
    db_set(rule_key(rule, "enabled"), std::to_string(enabled));
    db_set(rule_key(rule, "rdir/item/0/hostname"), ip);
}

// A device in the status table: 1 active, 0 inactive.
inline void set_status(int32_t id, int32_t status) {
    ASSERT_EQ(mdlt_add(id), 0);
    ASSERT_EQ(mdlt_update_status(id, status), 0);
}
inline bool in_table(int32_t id) {
    for (const auto& e : mdlt)
        if (e.id == id) return true;
    return false;
}

// Every test starts from empty stores and an empty status table.
class DmTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { confd_ = new tr111test::Confd(); }
    static void TearDownTestSuite() {
        delete confd_;
        confd_ = nullptr;
    }
    void SetUp() override {
        if (!confd_->running()) {
            ASSERT_TRUE(confd_->start());
        }
        db_del("/KELMO");
        db_del("/fw");
        db_del("/dev", true);
        ASSERT_EQ(md_initilize(), 0);
    }
    inline static tr111test::Confd* confd_ = nullptr;
};

// True when out holds the debug line "<module>[<n>] In <func>: <text>".
inline bool has_line(const std::string& out, const std::string& module, const std::string& func,
                     const std::string& text) {
    const std::string head = module + "[", tail = "] In " + func + ": " + text;
    for (size_t pos = out.find(head); pos != std::string::npos; pos = out.find(head, pos + 1)) {
        size_t p = pos + head.size();
        while (p < out.size() && isdigit(static_cast<unsigned char>(out[p])))
            ++p;
        if (out.compare(p, tail.size(), tail) == 0) return true;
    }
    return false;
}

} // namespace dmtest
