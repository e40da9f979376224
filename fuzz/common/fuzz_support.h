// Helpers of the fuzz targets that run the daemon's code beyond a pure
// parser: its debug output, and a configuration server with a small gateway
// state behind it.
#pragma once

namespace tr111fuzz {

// Turns the daemon's debug output on (every line is formatted, so the
// formatting of fuzzed text is exercised too) and sends standard output to
// /dev/null.
void debug_to_null();

// When the environment names a confd program (TR111_FUZZ_CONFD), starts it
// on 127.0.0.1:7000 with a state folder of its own and writes a small
// gateway into it: six device records of both types, their leases, three
// pass-through rules, notification attributes, the notification limit and
// the WAN address. Without it nothing listens on port 7000 and every
// database operation takes its failure path. The server is killed when the
// process exits. Run the target in a network namespace of its own
// (tests/netns-run), so the fixed port is free.
void start_confd_if_asked();

// Called once per input: every 500 inputs the small gateway is written
// again from scratch, so that what earlier inputs removed (records of
// devices gone inactive, rules) is back and what they added (rules, which
// make every later rule creation dearer) is gone. Nothing without a server.
void keep_state();

} // namespace tr111fuzz
