// Load on a running lab (confd, mgmtd, tr69agent, tr111d on their fixed
// loopback ports): device records written into the configuration, bursts
// of CHANGE_DB messages sent straight to the daemon's mailbox, and ACS
// operations sent to the agent's acs port the way the acs client sends
// them. Used by the load and leak tests, the leak run and the footprint
// bench.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace tr111load {

// The daemon's mailbox in the lab (message-library modes 1 and 2).
constexpr int DAEMON_MAILBOX_PORT = 64000;
constexpr uint32_t MSG_CHANGE_DB_CODE = 2006;

// Writes n device records (ids 0 to n-1, alternately WT111R2 and plain
// TR-111 devices, all retained), a lease for each, the notification limit
// 0, passive notification of ManageableDeviceNumberOfEntries and the WAN
// address, through the configuration client, and commits. The device set
// and the records reach the daemon through the management process. True
// when every write went out.
bool seed(int n);

// The CHANGE_DB payload of one change: three TLVs, lengths in host byte order.
std::vector<uint8_t> change_payload(const std::string& path, char action, const std::string& param);

// Change number i of a burst: a device record created (event 5) by an even
// change and deleted (event 8) by the next one, for a device id far above
// the seeded ones; with seeded devices, every 500th change renews the lease
// of one of them instead (event 2). Each raises exactly one event, and its
// parameter text ends with "/burst-<i>", so that the daemon's debug line of
// the parameter text shows every message once.
struct Change {
    std::string path;
    char action;
    std::string param;
};
Change burst_change(int i, int devices);
// The text that identifies change i in the daemon's "TLV3" debug line.
std::string burst_tag(int i);
// A change that concerns nothing of the daemon's: decoded, no event, no
// notification (opens a mailbox's connection without side effects).
Change quiet_change();

// A channel to the daemon's mailbox.
class Mailbox {
  public:
    Mailbox(); // MSG_Init and MSG_OpenChannel; ok() tells
    bool ok() const { return channel_ >= 0; }
    // Sends one change and waits for the library's acknowledgement.
    bool send(const Change& c);

  private:
    int channel_ = -1;
};

// Sends changes first to first + count - 1 of a burst. Returns how many were
// acknowledged; stops at the first that is not (after the library's retries).
int burst(Mailbox& mb, int first, int count, int devices);

// One ACS operation, sent to tr69agent's acs port.
enum class AcsOp : uint32_t {
    get = 1,
    set = 2,
    getattr = 3,
    setattr = 4,
    instances = 5,
    events = 7
};
struct AcsResult {
    int outcome = -1; // 0 success, 1 fault, 2 error, 3 no reply; -1 no agent
    int fault = 0;
    std::string value; // value of the last reply
    std::vector<std::string> lines;
};
AcsResult acs(AcsOp op, const std::string& name, const std::string& value = "");

// Operation i of a mixed ACS loop over a lab seeded with devices devices:
// gets of every kind of parameter, sets of the notification limit and of
// RetainDeviceEntry, the instance list, attribute reads. Returns true when
// the agent answered it with success.
bool acs_mixed(int i, int devices);

// Counts of a loop run while a burst goes on.
struct LoopCounts {
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    std::string first_failure;
};
// Runs acs_mixed until stop is set (at least min_ops operations).
void acs_loop(int devices, const std::atomic<bool>& stop, int min_ops, LoopCounts& counts);

// Number of value-change events the agent has received so far.
int agent_events();

} // namespace tr111load
