// A record of every value-change event the daemon hands to the TR-069
// library: tr69_notify_event is wrapped at link time (link with
// tr111testnotify), so a test sees each event record and chooses the
// library's answer, without an agent.
#pragma once

#include <string>
#include <vector>

namespace tr111test::notify_rec {

struct Event {
    std::string code;  // the 104-byte event code field
    std::string param; // the 258-byte record: name field and attribute byte
};

// Forgets the events; the wrapped call answers 0 again.
void reset();
std::vector<Event> events();
// "<name> <attribute>" of each event, in order.
std::vector<std::string> summary();
// What the wrapped call answers from now on.
void set_result(int result);

} // namespace tr111test::notify_rec
