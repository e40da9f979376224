// The request record as the daemon receives it: the daemon's own request
// loop runs on a thread of its own, on a real channel of the TR-069 library,
// and the target plays the agent at the other end. It answers the channel's
// open and the registration of the parameter table and the atomicity
// entries, then sends each input as one request record: the first byte
// chooses one of the handlers the daemon registered (or, past their count,
// leaves the record's own handler word, any reference at all), the rest
// fills the record from its start: names and values without terminators,
// odd instance numbers, any status and id. A second request to a known
// handler follows, and the replies are read up to its reply: every reply
// must carry ended texts, and the loop must go on.
//
// With TR111_FUZZ_CONFD set the handlers work on a configuration server
// holding a small gateway, otherwise every database operation fails.
#include "datamodel/datamodel.h"
#include "fuzz/common/fuzz_support.h"
#include "notify/notify.h"
#include "platform/include/tr69_wire.h"
#include "platform/net.h"
#include "registry/md.h"
#include "tr69/tr69_dm.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t SENTINEL_ECHO = 0xFFFFFFFFu;
constexpr int WAIT_MS = 30000;

int agent = -1;                 // the agent's end of the channel
std::vector<uint32_t> handlers; // every handler word the daemon registered
uint32_t acl_getter = 0;        // a handler that needs no database: the sentinel's

[[noreturn]] void die(const char* what) {
    fprintf(stderr, "request fuzz: %s\n", what);
    abort();
}

void keep(uint32_t word) {
    if (word == 0 || word == TR69_END_MARK) return;
    for (uint32_t h : handlers)
        if (h == word) return;
    handlers.push_back(word);
}

void answer(int fd, uint8_t type, std::initializer_list<uint32_t> words) {
    uint8_t buf[8];
    size_t n = 0;
    for (uint32_t w : words) {
        tr69_put_u32(buf + n, w);
        n += 4;
    }
    if (tr69_wire_send(fd, type, std::span<const uint8_t>(buf, n)) != 0) die("agent send");
}

// Serves the open and the registrations, up to the atomicity table.
void agent_setup(int listener) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) die("accept");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t payload[TR69_WIRE_MAX_PAYLOAD];
    for (;;) {
        uint8_t type = 0;
        if (tr69_wire_recv(fd, "OEA", &type, payload, WAIT_MS) != TR69_WIRE_OK) die("setup");
        if (type == TR69_FRAME_OPEN) {
            answer(fd, TR69_FRAME_OPEN_ANSWER, {0, 1});
        } else if (type == TR69_FRAME_ENTRY) {
            const uint8_t* block = payload + TR69_WIRE_NAME + 12;
            for (size_t i = 0; i < TR69_HANDLER_BLOCK_WORDS; ++i)
                keep(tr69_get_u32(block + 4 * i));
            // Word 7 of a parameter row's block is its access-list getter.
            uint32_t acl = tr69_get_u32(block + 4 * 7);
            if (acl != 0 && acl != TR69_END_MARK && tr69_fn<dm_handler>(acl) == getACL)
                acl_getter = acl;
            answer(fd, TR69_FRAME_ENTRY_ANSWER, {0});
        } else {
            uint32_t count = tr69_get_u32(payload);
            for (uint32_t i = 0; i < count && i < TR69_WIRE_ATOMICITY_MAX; ++i)
                keep(tr69_get_u32(payload + 4 + i * TR69_WIRE_ATOM_ROW_SIZE + TR69_WIRE_NAME + 12));
            answer(fd, TR69_FRAME_ENTRIES_ANSWER, {0, TR69_WIRE_NO_ROW});
            agent = fd;
            return;
        }
    }
}

void send_request(const tr69_request& r) {
    if (tr69_wire_send(agent, TR69_FRAME_REQUEST,
                       std::span(reinterpret_cast<const uint8_t*>(&r), sizeof r)) != 0)
        die("request send");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tr111fuzz::debug_to_null();
    tr111fuzz::start_confd_if_asked();
    init_notification();
    md_initilize();

    int listener = loopback_listen(TR69_AGENT_PORT, 1);
    if (listener < 0) die("port 7100 is taken: run the target in a network namespace");
    std::thread setup(agent_setup, listener);
    if (tr69dm_register_app(-1) != 0 || tr69_register_app_dm() != 0 ||
        register_atomicity_support() != 0)
        die("registration");
    setup.join();
    close(listener);
    if (acl_getter == 0) die("no access-list getter registered");
    // The loop serves the channel for the rest of the run; it must never end.
    std::thread([] {
        tr69dm_handle_data_req();
        die("the request loop ended");
    }).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tr111fuzz::keep_state();
    if (size == 0) return 0;
    tr69_request req;
    memset(&req, 0, sizeof req);
    memcpy(&req, data + 1, std::min(size - 1, sizeof req));
    if (data[0] < handlers.size()) req.handler = handlers[data[0]];
    if (req.echo == SENTINEL_ECHO) req.echo = 0;
    send_request(req);

    tr69_request sentinel;
    memset(&sentinel, 0, sizeof sentinel);
    strcpy(sentinel.name, "sentinel");
    sentinel.handler = acl_getter;
    sentinel.id = TR111_ID_NBR_ENTRIES;
    sentinel.echo = SENTINEL_ECHO;
    send_request(sentinel);

    for (int replies = 0;; ++replies) {
        if (replies > 1000) die("replies without end");
        tr69_reply rep;
        uint8_t type = 0;
        if (tr69_wire_recv(agent, "rN", &type,
                           std::span(reinterpret_cast<uint8_t*>(&rep), sizeof rep),
                           WAIT_MS) != TR69_WIRE_OK)
            die("no reply");
        if (type != TR69_FRAME_REPLY) continue; // a value-change event
        if (!memchr(rep.name, 0, sizeof rep.name) || !memchr(rep.value, 0, sizeof rep.value))
            die("reply text not ended");
        if (rep.echo == SENTINEL_ECHO) {
            if (rep.result != 0 || memcmp(rep.value, "\x04\x02", 3) != 0) die("sentinel reply");
            return 0;
        }
    }
}
