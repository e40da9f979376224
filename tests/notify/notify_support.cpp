#include "tests/notify/notify_support.h"

#include "db/tr111_db.h"
#include "platform/include/tr69_lib.h"
#include "registry/md.h"

#include <cstring>
#include <map>
#include <mutex>

// The test executables link with -Wl,--wrap=<mangled tr69_notify_event>: the
// daemon's calls land here, the real function stays reachable as __real_.
extern "C" int __real__Z17tr69_notify_eventPiPKcPKh(int32_t* channel, const char* code,
                                                    const uint8_t* param);
extern "C" int __wrap__Z17tr69_notify_eventPiPKcPKh(int32_t* channel, const char* code,
                                                    const uint8_t* param);

extern "C" int __real__Z17set_get_attributejPKjiPi(uint32_t id, const uint32_t* instances, int mode,
                                                   int32_t* value);
extern "C" int __wrap__Z17set_get_attributejPKjiPi(uint32_t id, const uint32_t* instances, int mode,
                                                   int32_t* value);

namespace tr111test {

namespace {
std::mutex rec_mu;

// Attribute table: key "id/i0.i1.i2.i3.i4", value (or absent); -1000 marks
// a failing read.
constexpr int32_t kFailRead = -1000;
std::map<std::string, int32_t> attr_table;
std::vector<std::string> attr_reads;
bool attr_store = false;

std::string attr_key(uint32_t id, const uint32_t* inst) {
    std::string k = std::to_string(id) + "/";
    for (int i = 0; i < 5; ++i)
        k += (i ? "." : "") + std::to_string(inst[i]);
    return k;
}
std::vector<NotifyEvent> rec_events;
int rec_result = 0;
bool rec_forward = false;
} // namespace

std::string NotifyEvent::code_text() const {
    return std::string(reinterpret_cast<const char*>(code.data()),
                       strnlen(reinterpret_cast<const char*>(code.data()), code.size()));
}

std::string NotifyEvent::name() const {
    return std::string(reinterpret_cast<const char*>(param.data()),
                       strnlen(reinterpret_cast<const char*>(param.data()), TR69_EVENT_NAME_SIZE));
}

int NotifyEvent::attribute() const {
    return param.at(TR69_EVENT_NAME_SIZE);
}

void notify_rec::reset() {
    std::lock_guard<std::mutex> g(rec_mu);
    rec_events.clear();
    rec_result = 0;
    rec_forward = false;
}

std::vector<NotifyEvent> notify_rec::events() {
    std::lock_guard<std::mutex> g(rec_mu);
    return rec_events;
}

std::vector<std::string> notify_rec::summary() {
    std::vector<std::string> out;
    for (const auto& e : events())
        out.push_back(e.name() + " " + std::to_string(e.attribute()));
    return out;
}

void notify_rec::set_result(int result) {
    std::lock_guard<std::mutex> g(rec_mu);
    rec_result = result;
}

void notify_rec::set_forward(bool on) {
    std::lock_guard<std::mutex> g(rec_mu);
    rec_forward = on;
}

void attr_fake::reset() {
    std::lock_guard<std::mutex> g(rec_mu);
    attr_table.clear();
    attr_reads.clear();
    attr_store = false;
}

void attr_fake::set(uint32_t id, uint32_t instance, int32_t value) {
    const uint32_t inst[5] = {instance, 0, 0, 0, 0};
    std::lock_guard<std::mutex> g(rec_mu);
    attr_table[attr_key(id, inst)] = value;
}

void attr_fake::fail(uint32_t id, uint32_t instance) {
    set(id, instance, kFailRead);
}

void attr_fake::use_store(bool on) {
    std::lock_guard<std::mutex> g(rec_mu);
    attr_store = on;
}

std::vector<std::string> attr_fake::reads() {
    std::lock_guard<std::mutex> g(rec_mu);
    return attr_reads;
}

time_t test_clock_now = 0;

time_t test_clock(time_t* out) {
    if (out) *out = test_clock_now;
    return test_clock_now;
}

bool db_set(const std::vector<std::pair<std::string, std::string>>& kv) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) return false;
    bool ok = true;
    for (const auto& [k, v] : kv)
        ok = KX_DB_Set(db.get(), k.c_str(), v.c_str()) == 0 && ok;
    db.close_set();
    return ok;
}

bool db_del(const std::vector<std::string>& paths) {
    tr111::DbHandle db(KX_DB_MAIN);
    if (!db) return false;
    for (const auto& p : paths)
        KX_DB_Delete(db.get(), p.c_str());
    db.close_set();
    return true;
}

std::string db_get(const std::string& path, bool* present) {
    tr111::DbHandle db(KX_DB_MAIN);
    tr111::DbString v(db ? KX_DB_Get(db.get(), path.c_str()) : nullptr);
    if (present) *present = static_cast<bool>(v);
    return v ? v.get() : "";
}

void db_clear() {
    db_del({"/KELMO", "/dev", "/fw"});
}

int mdlt_count(int32_t id) {
    int n = 0;
    for (const auto& e : mdlt)
        if (e.id == id) ++n;
    return n;
}

int mdlt_status(int32_t id) {
    for (const auto& e : mdlt)
        if (e.id == id) return e.status;
    return -1;
}

void mdlt_clear() {
    for (auto& e : mdlt)
        e = {-1, 0};
}

std::vector<uint8_t> change_payload(const std::string& path, char action,
                                    const std::string& param) {
    std::vector<uint8_t> p;
    auto put = [&p](uint8_t type, const void* data, uint32_t len) {
        p.push_back(type);
        uint8_t l[4];
        memcpy(l, &len, 4);
        p.insert(p.end(), l, l + 4);
        const auto* b = static_cast<const uint8_t*>(data);
        p.insert(p.end(), b, b + len);
    };
    put('P', path.data(), static_cast<uint32_t>(path.size()));
    put('C', &action, 1);
    put('C', param.data(), static_cast<uint32_t>(param.size()));
    return p;
}

} // namespace tr111test

using namespace tr111test;

extern "C" int __wrap__Z17tr69_notify_eventPiPKcPKh(int32_t* channel, const char* code,
                                                    const uint8_t* param) {
    NotifyEvent e;
    e.code.assign(code, code + TR69_EVENT_CODE_SIZE);
    e.param.assign(param, param + TR69_EVENT_PARAM_SIZE);
    bool forward;
    int result;
    {
        std::lock_guard<std::mutex> g(rec_mu);
        rec_events.push_back(std::move(e));
        forward = rec_forward;
        result = rec_result;
    }
    if (forward) return __real__Z17tr69_notify_eventPiPKcPKh(channel, code, param);
    return result;
}

#include "main/tr111.h"
#include "notify/notify.h"

namespace tr111test {

std::unique_ptr<Confd> DaemonFixture::confd_;

void DaemonFixture::SetUpTestSuite() {
    if (!confd_) confd_ = std::make_unique<Confd>();
}

void DaemonFixture::TearDownTestSuite() {
    confd_.reset();
}

void DaemonFixture::SetUp() {
    ASSERT_TRUE(confd_ && confd_->running()) << (confd_ ? confd_->log() : "");
    db_clear();
    mdlt_clear();
    notify_rec::reset();
    attr_fake::reset();
    tr111_last_active_notif = 0;
    test_clock_now = 1000000;
    tr111_notify_clock = test_clock;
}

void DaemonFixture::TearDown() {
    tr111_notify_clock = time;
    tr111_status_debug_activ = 0;
    debug_level = 0;
}

} // namespace tr111test

extern "C" int __wrap__Z17set_get_attributejPKjiPi(uint32_t id, const uint32_t* instances, int mode,
                                                   int32_t* value) {
    {
        std::lock_guard<std::mutex> g(rec_mu);
        if (!attr_store && mode == 11) {
            std::string k = attr_key(id, instances);
            attr_reads.push_back(k);
            auto it = attr_table.find(k);
            if (it == attr_table.end()) {
                *value = 1; // nothing stored: off
                return 0;
            }
            if (it->second == kFailRead) return -1;
            *value = it->second;
            return 0;
        }
    }
    return __real__Z17set_get_attributejPKjiPi(id, instances, mode, value);
}
