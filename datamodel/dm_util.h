// Small helpers shared by the ManageableDevice handlers: the device id of a
// request, bounded writes into the 256-byte value buffer, and the check that
// a request's input text ends inside its area.
#pragma once

#include "tr69/tr69_dm.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tr111dm {

// ManageableDevice.{i}. is stored under device id i - 1. Instance 0 (or a
// number that does not fit) gives -1, which names no record.
inline int32_t device_id(const uint32_t* instances) {
    uint32_t inst = instances ? instances[0] : 0;
    if (inst == 0 || inst > static_cast<uint32_t>(INT32_MAX)) return -1;
    return static_cast<int32_t>(inst) - 1;
}

// True when the input value ends with a zero byte inside its area.
inline bool input_is_text(const char* value_in) {
    return value_in && memchr(value_in, '\0', TR111_VALUE_IN_SIZE) != nullptr;
}

// Writes a whole number into the value buffer.
inline void write_int(char* value_out, int value) {
    snprintf(value_out, TR111_VALUE_SIZE, "%d", value);
}

// Writes the empty text.
inline void write_empty(char* value_out) {
    value_out[0] = '\0';
}

// Copies at most max characters of src into the value buffer (max below
// TR111_VALUE_SIZE) and ends it with a zero byte.
inline void write_text(char* value_out, const char* src, size_t max) {
    if (max > TR111_VALUE_SIZE - 1) max = TR111_VALUE_SIZE - 1;
    size_t n = strnlen(src, max);
    memcpy(value_out, src, n);
    value_out[n] = '\0';
}

} // namespace tr111dm
