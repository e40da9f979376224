// A fake application on the TR-069 channel: it opens the channel as
// "TR111", registers a small table of entries whose handlers record every
// call, and serves requests on a thread of its own the way the daemon's
// request loop does (status 10000 not dispatched, atomicity requests
// without reply, a reply per handler call, 10000 calls again).
#pragma once

#include "platform/include/tr69_lib.h"
#include "tr69/tr69_dm.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tr69test {

// Handler results the fake loop treats specially (never sent by the daemon).
constexpr int32_t SWALLOW = -77;     // send no reply at all
constexpr int32_t STRAY_FIRST = -78; // send a reply with a wrong echo, then result 0

// One request as the application received it.
struct Received {
    std::string name;
    uint32_t handler = 0;
    uint32_t id = 0;
    uint32_t echo = 0;
    uint32_t status = 0;
    uint32_t instances[5] = {};
    std::string value_in;
};

// Everything the handlers and the loop saw, shared by every FakeApp.
struct Journal {
    std::mutex mu;
    std::vector<Received> requests;
    std::vector<std::string> calls; // "get Test.Obj.3.Name", "start 1", ...
    uint8_t attribute = 1;          // what the attribute getter answers
    int multi_left = 2;             // Test.Multi: 10000 answers still to give

    void clear();
    std::vector<Received> received();
    std::vector<std::string> called();
};
extern Journal journal;

// Handlers of the test table, for comparing resolved references.
int32_t h_get_counter(const char*, const uint32_t*, uint32_t, const char*, char*);
int32_t h_get_name(const char*, const uint32_t*, uint32_t, const char*, char*);
int32_t h_set_name(const char*, const uint32_t*, uint32_t, const char*, char*);
int32_t h_lister(const char*, const uint32_t*, uint32_t, const char*, char*);
int32_t h_attr_get(const char*, const uint32_t*, uint32_t, const char*, char*);
int32_t h_attr_set(const char*, const uint32_t*, uint32_t, const char*, char*);
int32_t h_start(uint32_t id);
int32_t h_commit(uint32_t id);
int32_t h_rollback(uint32_t id);

// The test table: rows in the daemon's layout, names already without "%d".
struct Row {
    const char* name;
    dm_entry entry;
};
const std::vector<Row>& test_rows();
extern const tr69_atomicity_row test_atomicity[4];

class FakeApp {
  public:
    FakeApp() = default;
    ~FakeApp(); // waits for the loop; the channel must have ended by then
    FakeApp(const FakeApp&) = delete;
    FakeApp& operator=(const FakeApp&) = delete;

    int open(const char* app = "TR111") { return tr69_open_channel_use_rx_mbx(app, &chan, 64000); }
    // Registers every row of the test table; the first fault, or 0.
    int register_rows();
    int register_atomicity(const tr69_atomicity_row** failed = nullptr);
    // Starts serving requests on a thread of its own.
    void serve();
    // The result of tr69_rx_msg that ended the loop (0 while it runs).
    int ended() const { return end_code.load(); }

    int32_t chan = 0;

  private:
    void loop();
    std::thread thread;
    std::atomic<int> end_code{0};
};

} // namespace tr69test
