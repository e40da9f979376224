// Every value-change event the daemon hands to the TR-069 library, through a
// link-time wrap of tr69_notify_event (in notify_rec.cpp): a test sees each
// record and chooses the library's answer, without an agent.
#pragma once

#include <string>
#include <vector>

namespace tr111test::notify_rec {

struct Event {
    std::string code;  // the 104-byte event code field
    std::string param; // the 258-byte record: name field and attribute byte
};

void reset(); // forgets the events; the wrapped call answers 0 again
std::vector<Event> events();
std::vector<std::string> summary(); // "<name> <attribute>" of each event, in order
void set_result(int result);        // what the wrapped call answers from now on

} // namespace tr111test::notify_rec
