// Subscription to confd's change records: "subscribe", then records of
// three strings (path, action "C"/"U"/"D", parameter text) for as long as
// the connection lives; reconnection every 500 ms while confd is down.
#include "lab/mgmtd/mgmtd.h"
#include "platform/include/ipc.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace {

struct FreeString {
    void operator()(char* s) const { free(s); }
};
using IpcString = std::unique_ptr<char, FreeString>;

// Reads records until the connection fails.
void read_records(int fd) {
    for (;;) {
        IpcString path(ipc_string_read(fd));
        if (!path) return;
        IpcString action(ipc_string_read(fd));
        if (!action) return;
        IpcString text(ipc_string_read(fd));
        if (!text) return;
        const char* a = action.get();
        if (strlen(a) != 1 || (a[0] != 'C' && a[0] != 'U' && a[0] != 'D')) {
            std::string p = mgmtd_printable(path.get()), shown = mgmtd_printable(a);
            mgmtd_log("confd: record %s with action \"%s\" ignored", p.c_str(), shown.c_str());
            continue;
        }
        forward_record(path.get(), a[0], text.get());
    }
}

void subscribe_loop() {
    bool said_down = false;
    for (;;) {
        int fd = ipc_connect(MGMTD_CONFD_PORT);
        // The subscription is idle between changes: no receive timeout on it.
        if (fd >= 0 && (ipc_string_write(fd, "subscribe") != 0 || ipc_set_timeout(fd, 0) != 0)) {
            ipc_client_close(fd, 1);
            fd = -1;
        }
        if (fd < 0) {
            if (!said_down)
                mgmtd_log("confd: not reachable on 127.0.0.1:%d; trying every %d ms",
                          MGMTD_CONFD_PORT, MGMTD_CONFD_RETRY_MS);
            said_down = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(MGMTD_CONFD_RETRY_MS));
            continue;
        }
        said_down = false;
        mgmtd_log("confd: subscribed");
        read_records(fd);
        ipc_client_close(fd, 1);
        mgmtd_log("confd: subscription lost; reconnecting");
        std::this_thread::sleep_for(std::chrono::milliseconds(MGMTD_CONFD_RETRY_MS));
    }
}

} // namespace

void confd_link_start() {
    std::thread(subscribe_loop).detach();
}
