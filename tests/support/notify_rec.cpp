#include "tests/support/notify_rec.h"

#include "platform/include/tr69_lib.h"

#include <cstring>
#include <mutex>

namespace tr111test::notify_rec {

static std::mutex mu;
static std::vector<Event> recorded;
static int result = 0;

void reset() {
    std::lock_guard<std::mutex> l(mu);
    recorded.clear();
    result = 0;
}

std::vector<Event> events() {
    std::lock_guard<std::mutex> l(mu);
    return recorded;
}

std::vector<std::string> summary() {
    std::vector<std::string> out;
    for (const auto& e : events())
        out.push_back(e.param.substr(0, strnlen(e.param.data(), TR69_EVENT_NAME_SIZE)) + " " +
                      std::to_string(static_cast<uint8_t>(e.param[TR69_EVENT_NAME_SIZE])));
    return out;
}

void set_result(int r) {
    std::lock_guard<std::mutex> l(mu);
    result = r;
}

} // namespace tr111test::notify_rec

// The daemon's calls of tr69_notify_event (-Wl,--wrap on its mangled name).
extern "C" int __wrap__Z17tr69_notify_eventPiPKcPKh(int32_t*, const char* code,
                                                    const uint8_t* param) {
    using namespace tr111test::notify_rec;
    std::lock_guard<std::mutex> l(mu);
    recorded.push_back({std::string(code, TR69_EVENT_CODE_SIZE),
                        std::string(reinterpret_cast<const char*>(param), TR69_EVENT_PARAM_SIZE)});
    return result;
}
