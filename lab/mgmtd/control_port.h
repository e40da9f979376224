// The control port of mgmtd, shared with its CLI mgmt: one exchange per
// connection in the ipc framing (platform/include/ipc.h), a command string
// ("start", "stop", "status") and a reply string of one or more lines.
#pragma once

#include <cstdint>

constexpr uint16_t MGMTD_CONTROL_PORT = 3499;
// Longest a command may keep its client waiting: the forwarder's send in
// progress on the same channel and the command's own (three attempts of up
// to 5 s each, and pauses), then the 5 s wait for the acknowledgement.
constexpr int MGMTD_CONTROL_REPLY_MS = 45000;
