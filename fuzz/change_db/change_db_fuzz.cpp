// CHANGE_DB input: any payload handed to the message callback, as the
// message library delivers it (exactly its bytes, in a block of their own).
// The decoder must refuse what does not fit and, for what it takes, leave
// both texts ended inside their fields; the dispatcher then classifies the
// change by its path, maps leases to devices and raises events and
// notifications: with TR111_FUZZ_CONFD set, against a configuration server
// holding a small gateway, otherwise with every database operation failing.
// The TR-069 channel is not open, so notifications fail at the hand-over.
#include "fuzz/common/fuzz_support.h"
#include "notify/notify.h"
#include "registry/md.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tr111fuzz::debug_to_null();
    tr111fuzz::start_confd_if_asked();
    init_notification();
    md_initilize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MSG_PAYLOAD_MAX) return 0;
    tr111fuzz::keep_state();
    auto* payload = static_cast<uint8_t*>(calloc(size ? size : 1, 1));
    if (size) memcpy(payload, data, size);

    tr111_change change;
    memset(&change, 0x5A, sizeof change);
    if (autom_notif2TR111notif(payload, static_cast<uint32_t>(size), &change) == 0) {
        if (!memchr(change.path, 0, sizeof change.path) ||
            !memchr(change.param, 0, sizeof change.param))
            abort();
        if (change.action < TR111_CHANGE_CREATE || change.action > TR111_CHANGE_UPDATE) abort();
    } else {
        // A refused payload leaves the record as it was.
        for (size_t i = 0; i < sizeof change; ++i)
            if (reinterpret_cast<const uint8_t*>(&change)[i] != 0x5A) abort();
    }

    MSG_Message msg{2006, static_cast<uint32_t>(size), 0};
    tr111_callback_for_MSG_CHANGE_DB(&msg, size ? payload : nullptr, static_cast<uint32_t>(size));
    free(payload);
    return 0;
}
