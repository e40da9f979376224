// Helpers of the change and notification tests, shared with tests/events: one
// configuration server per suite, events recorded by tests/support/notify_rec.h.
#pragma once

#include "db/tr111_db.h"
#include "main/tr111.h"
#include "notify/notify.h"
#include "registry/md.h"
#include "tests/support/confd.h"
#include "tests/support/notify_rec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace tr111test {

// Writes on one handle closed with reconfiguration.
inline bool db_set(const std::vector<std::pair<std::string, std::string>>& kv) {
    tr111::DbHandle db(KX_DB_MAIN);
    bool ok = static_cast<bool>(db);
    for (const auto& [k, v] : kv)
        ok = ok && KX_DB_Set(db.get(), k.c_str(), v.c_str()) == 0;
    if (db) db.close_set();
    return ok;
}

// The value at path ("" when absent) and whether it is there.
inline std::string db_get(const std::string& path, bool* present = nullptr) {
    tr111::DbHandle db(KX_DB_MAIN);
    tr111::DbString v(db ? KX_DB_Get(db.get(), path.c_str()) : nullptr);
    if (present) *present = static_cast<bool>(v);
    return v ? v.get() : "";
}

// Where the attribute of parameter id for an instance (0: none) is stored.
inline std::string attr_key(uint32_t id, uint32_t instance) {
    return "/KELMO/TR111/attrib/" + std::to_string(id) + "/" +
           (instance ? std::to_string(instance) + "./" : "");
}
namespace attr_fake {
inline void set(uint32_t id, uint32_t instance, int32_t value) {
    EXPECT_TRUE(db_set({{attr_key(id, instance), std::to_string(value)}}));
}
} // namespace attr_fake

// Status-table entries holding id, and the status of the first (-1: none).
inline int mdlt_count(int32_t id) {
    int n = 0;
    for (const auto& e : mdlt)
        n += e.id == id;
    return n;
}
inline int mdlt_status(int32_t id) {
    for (const auto& e : mdlt)
        if (e.id == id) return e.status;
    return -1;
}

// Payload of a CHANGE_DB message: three TLVs, lengths in host byte order.
inline std::vector<uint8_t> change_payload(const std::string& path, char action,
                                           const std::string& param) {
    std::string p;
    for (auto [type, text] : {std::pair{'P', path}, {'C', std::string(1, action)}, {'C', param}}) {
        const auto len = static_cast<uint32_t>(text.size());
        p += type + std::string(reinterpret_cast<const char*>(&len), 4) + text;
    }
    return {p.begin(), p.end()};
}

inline time_t test_clock_now = 0; // the clock of the notification limit

// Every test starts with empty /KELMO, /dev and /fw, a free status table, no
// event recorded, the test clock in place and no active notification yet.
class DaemonFixture : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { confd_ = std::make_unique<Confd>(); }
    static void TearDownTestSuite() { confd_.reset(); }
    void SetUp() override {
        ASSERT_TRUE(confd_->running() || confd_->start()) << confd_->log();
        tr111::DbHandle db(KX_DB_MAIN);
        for (const char* p : {"/KELMO", "/dev", "/fw"})
            KX_DB_Delete(db.get(), p);
        db.close_set();
        for (auto& e : mdlt)
            e = {-1, 0};
        notify_rec::reset();
        test_clock_now = tr111_last_active_notif = 0;
        tr111_notify_clock = [](time_t* t) { return t ? *t = test_clock_now : test_clock_now; };
    }
    void TearDown() override {
        tr111_notify_clock = time;
        tr111_status_debug_activ = 0;
        debug_level = 0;
    }
    static inline std::unique_ptr<Confd> confd_;
};

} // namespace tr111test
