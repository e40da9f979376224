// The data-model tests call the handlers as the request loop does, against
// a real confd (tests/support/db.h).
#pragma once

#include "datamodel/datamodel.h"
#include "tests/support/db.h"

#include <array>
#include <cstring>

namespace dmtest {

using namespace tr111test;

struct Reply {
    int32_t rc = -1;
    std::string value; // bytes before the first zero byte
    std::string raw;   // the whole value buffer
};
using Instances = std::array<uint32_t, TR111_INSTANCES>;

// The value buffer is filled with a marker first, so an unterminated value
// shows up.
inline Reply call(dm_handler* h, uint32_t id, Instances inst, const std::string& in = "",
                  const std::string& name = "") {
    static char value_in[TR111_VALUE_IN_SIZE], out[TR111_VALUE_SIZE];
    memset(value_in, 0, sizeof value_in);
    memcpy(value_in, in.data(), std::min(in.size(), sizeof value_in - 1));
    memset(out, 'Z', sizeof out);
    Reply r;
    r.rc = h(name.c_str(), inst.data(), id, value_in, out);
    r.raw.assign(out, sizeof out);
    r.value.assign(out, strnlen(out, sizeof out));
    return r;
}
inline Reply call(dm_handler* h, uint32_t id, uint32_t instance, const std::string& in = "") {
    return call(h, id, Instances{instance}, in);
}

// A device in the status table: 1 active, 0 inactive.
inline void set_status(int32_t id, int32_t status) {
    ASSERT_EQ(mdlt_add(id), 0);
    ASSERT_EQ(mdlt_update_status(id, status), 0);
}

} // namespace dmtest
