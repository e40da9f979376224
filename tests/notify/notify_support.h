// Helpers of the notification and event tests: a record of every
// value-change event the daemon hands to the TR-069 data-model library
// (tr69_notify_event is wrapped at link time, -Wl,--wrap), a test clock for
// the notification limit, and short database writes through the daemon's own
// client.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace tr111test {

struct NotifyEvent {
    std::vector<uint8_t> code;  // the 104-byte event code field
    std::vector<uint8_t> param; // the 258-byte parameter record
    std::string code_text() const;
    std::string name() const; // the name field up to its zero byte
    int attribute() const;    // the byte after the 257-byte name field
};

namespace notify_rec {
// Clears the record and goes back to answering 0 without forwarding.
void reset();
std::vector<NotifyEvent> events();
// "name attribute" of each event, in order.
std::vector<std::string> summary();
// What the wrapped call answers when it does not forward.
void set_result(int result);
// Forward every event to the real library as well (and answer its result).
void set_forward(bool on);
} // namespace notify_rec

// Notification attributes as the notification code reads them
// (set_get_attribute is wrapped at link time too): by default from a table of
// the test's own, so that the decisions are tested apart from the store;
// use_store(true) reads the real attribute store in the configuration
// database instead.
namespace attr_fake {
void reset(); // empty table, table mode
// Attribute of parameter id for instance (0: a parameter without instance).
void set(uint32_t id, uint32_t instance, int32_t value);
// Reads of that parameter instance fail.
void fail(uint32_t id, uint32_t instance);
void use_store(bool on);
// Every read: "id/i0.i1.i2.i3.i4".
std::vector<std::string> reads();
} // namespace attr_fake

// The clock handed to the notification code: reads test_clock_now.
extern time_t test_clock_now;
time_t test_clock(time_t* out);

// Database writes through one handle closed with reconfiguration.
bool db_set(const std::vector<std::pair<std::string, std::string>>& kv);
bool db_del(const std::vector<std::string>& paths);
// The value at path ("" when absent), and whether it is present.
std::string db_get(const std::string& path, bool* present = nullptr);
// Empties the subtrees the daemon uses (/KELMO, /dev, /fw).
void db_clear();

// Number of status-table entries holding id, and the status of the first.
int mdlt_count(int32_t id);
int mdlt_status(int32_t id);
// Frees every status-table entry.
void mdlt_clear();

// Payload of a CHANGE_DB message: three TLVs, lengths in host byte order.
std::vector<uint8_t> change_payload(const std::string& path, char action, const std::string& param);

} // namespace tr111test

#include "tests/support/confd.h"

#include <gtest/gtest.h>
#include <memory>

namespace tr111test {

// One configuration server for a whole suite, emptied before each test; the
// status table freed, the event record cleared, the test clock in place and
// the last active-notification time back at 0.
class DaemonFixture : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;
    static std::unique_ptr<Confd> confd_;
};

} // namespace tr111test
