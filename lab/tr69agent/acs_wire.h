// Frames between the acs command-line client and tr69agent on
// 127.0.0.1:ACS_PORT, framed like the library channel (tr69_wire.h):
//     type (1 byte) | length (4 bytes, big-endian) | payload (fixed per type)
//
// acs -> agent, one per connection:
//   'C' command  op | handler word | status | flags (u32 BE each) |
//                name[260] | value[1792]                             2068
// agent -> acs, any number of 'V' and 'L', then one 'D':
//   'V' reply    result (i32 BE) | value[256] (the reply's bytes)     260
//   'L' line     text[512]                                            512
//   'D' done     outcome (u32 BE) | fault (i32 BE) | text[256]        264
#pragma once

#include "platform/include/tr69_wire.h"

#include <cstddef>
#include <cstdint>

constexpr uint16_t ACS_PORT = 7101;

constexpr uint8_t ACS_FRAME_COMMAND = 'C';
constexpr uint8_t ACS_FRAME_REPLY = 'V';
constexpr uint8_t ACS_FRAME_LINE = 'L';
constexpr uint8_t ACS_FRAME_DONE = 'D';

constexpr size_t ACS_NAME = 260;
constexpr size_t ACS_VALUE_IN = 1792;
constexpr size_t ACS_VALUE = 256;
constexpr size_t ACS_LINE = 512;
constexpr size_t ACS_TEXT = 256;

constexpr size_t ACS_COMMAND_SIZE = 16 + ACS_NAME + ACS_VALUE_IN;
constexpr size_t ACS_REPLY_SIZE = 4 + ACS_VALUE;
constexpr size_t ACS_DONE_SIZE = 8 + ACS_TEXT;
static_assert(ACS_COMMAND_SIZE == 2068);
static_assert(ACS_REPLY_SIZE == 260);
static_assert(ACS_DONE_SIZE == 264);
static_assert(ACS_COMMAND_SIZE <= TR69_WIRE_MAX_PAYLOAD);
static_assert(ACS_NAME == sizeof(tr69_request::name));
static_assert(ACS_VALUE_IN == sizeof(tr69_request::value_in));
static_assert(ACS_VALUE == sizeof(tr69_reply::value));

constexpr size_t acs_payload_size(uint8_t type) {
    switch (type) {
    case ACS_FRAME_COMMAND:
        return ACS_COMMAND_SIZE;
    case ACS_FRAME_REPLY:
        return ACS_REPLY_SIZE;
    case ACS_FRAME_LINE:
        return ACS_LINE;
    case ACS_FRAME_DONE:
        return ACS_DONE_SIZE;
    default:
        return 0;
    }
}

// Operations of a command.
enum acs_op : uint32_t {
    ACS_OP_GET = 1,
    ACS_OP_SET = 2,
    ACS_OP_GETATTR = 3,
    ACS_OP_SETATTR = 4,
    ACS_OP_INSTANCES = 5,
    ACS_OP_NAMES = 6,
    ACS_OP_EVENTS = 7,
    ACS_OP_EVENTS_CLEAR = 8,
    ACS_OP_RAW = 9,
};
constexpr uint32_t ACS_FLAG_STATUS = 1; // the command's status word is to be used

// Outcome of a command ('D').
enum acs_outcome : uint32_t {
    ACS_OK = 0,
    ACS_FAULT = 1,    // fault code in the fault field
    ACS_ERROR = 2,    // no daemon, unknown name, no reply in time...: text
    ACS_NO_REPLY = 3, // raw: no reply within the short wait
};

// Block word of the entry each operation uses.
constexpr uint32_t ACS_WORD_GET = 0;
constexpr uint32_t ACS_WORD_SET = 1;
constexpr uint32_t ACS_WORD_INSTANCES = 2;
constexpr uint32_t ACS_WORD_GETATTR = 5;
constexpr uint32_t ACS_WORD_SETATTR = 6;
