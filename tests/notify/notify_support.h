// Fixture of the change and notification tests, shared with tests/events: the
// database of tests/support/db.h, the events recorded by notify_rec.h (its .cpp
// compiled in), the clock of the notification limit in the test's hands.
#pragma once

#include "notify/notify.h"
#include "tests/support/db.h"
#include "tests/support/notify_rec.h"

namespace tr111test {

// Stores the notification attribute of parameter id for an instance (0: none).
inline std::string attr_key(uint32_t id, uint32_t instance) {
    return "/KELMO/TR111/attrib/" + std::to_string(id) + "/" +
           (instance ? std::to_string(instance) + "./" : "");
}
inline void set_attr(uint32_t id, uint32_t instance, int32_t value) {
    db_set({{attr_key(id, instance), std::to_string(value)}});
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

inline time_t test_clock_now = 0;

// No event recorded, the test clock at 0 and no active notification yet.
class NotifyTest : public DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        notify_rec::reset();
        test_clock_now = tr111_last_active_notif = 0;
        tr111_notify_clock = [](time_t* t) { return t ? *t = test_clock_now : test_clock_now; };
    }
};

} // namespace tr111test
