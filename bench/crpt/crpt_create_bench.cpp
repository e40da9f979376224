// Cost of creating a pass-through rule when existing rules hold the lowest
// WAN ports. The port search is linear and remembers nothing: each
// candidate costs one instance-list exchange plus one connection per rule
// it reads, so with N rules holding 30000.. the creation opens about
// N * N / 2 connections. Prints the time and the connection count of one
// creation for 0, 10 and 126 existing rules; asserts nothing.
//
// It starts its own confd on the fixed port 7000, so run it in a network
// namespace of its own:
//     tests/netns-run build/bench/crpt_create_bench [repetitions]
// confd is taken from TR111_BIN (default: the build's bin folder).
#include "crpt/crpt.h"
#include "db/tr111_db.h"
#include "platform/include/ipc.h"
#include "tests/support/confd.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::atomic<long> connections{0};

void put_rules(int n) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    if (!h) return;
    for (int id = 0; id < n; ++id) {
        char path[96], value[16];
        snprintf(value, sizeof value, "%d", CRPT_WAN_PORT_FIRST + id);
        snprintf(path, sizeof path, EXTERNAL_PORT_PATH, id);
        KX_DB_Set(h, path, value);
        snprintf(path, sizeof path, PORT_MAPPING_ENABLE_PATH_PATH, id);
        KX_DB_Set(h, path, "0");
    }
    TR111_Close_db_set(h);
}

void del(const char* path) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    if (!h) return;
    KX_DB_Delete(h, path);
    TR111_Close_db_set(h);
}

} // namespace

int main(int argc, char** argv) {
    int reps = argc > 1 ? atoi(argv[1]) : 5;
    if (reps < 1) reps = 1;
    setenv("TR111_BIN", TR111_BIN_DEFAULT, 0);
    if (tr111test::wait_port(KX_DB_PORT, 0)) {
        fprintf(stderr, "port %u is taken: run me under tests/netns-run\n", KX_DB_PORT);
        return 2;
    }
    tr111test::Confd confd;
    if (!confd.running()) {
        fprintf(stderr, "confd did not start (TR111_BIN=%s)\n", getenv("TR111_BIN"));
        return 2;
    }
    ipc_hooks hooks{};
    hooks.on_connect = [](void*, int, uint16_t) { ++connections; };

    printf("crpt_create with N existing rules holding ports 30000..30000+N-1 (%d runs each)\n",
           reps);
    printf("%8s %14s %14s %16s %12s\n", "rules", "ms/creation", "connections", "us/connection",
           "wan port");
    for (int n : {0, 10, 126}) {
        del("/fw");
        put_rules(n);
        double total_ms = 0;
        long conns = 0;
        int port = -1;
        for (int r = 0; r < reps; ++r) {
            connections = 0;
            ipc_set_hooks(&hooks);
            auto t0 = std::chrono::steady_clock::now();
            int rule = crpt_create(7547, "192.168.1.20");
            auto t1 = std::chrono::steady_clock::now();
            ipc_set_hooks(nullptr);
            if (rule < 0) {
                fprintf(stderr, "crpt_create failed: %d\n", rule);
                return 1;
            }
            port = crpt_get_wan_port(rule);
            total_ms += std::chrono::duration<double, std::milli>(t1 - t0).count();
            conns += connections;
            crpt_remove(rule);
        }
        double ms = total_ms / reps;
        double c = static_cast<double>(conns) / reps;
        printf("%8d %14.2f %14.0f %16.1f %12d\n", n, ms, c, ms * 1000.0 / c, port);
    }
    return 0;
}
