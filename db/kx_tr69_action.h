// The configuration server's "tr69 action" exchange: one TR-069 entity
// request and its reply, on a connection of its own.
#pragma once

#include <cstddef>
#include <cstdint>

struct KX_tr69_channel {
    int32_t ipc; // connection descriptor
};

struct tr69_action_req {
    int32_t action;
    char path[256];
    char text[256];
    int32_t ints[6];
};
static_assert(sizeof(tr69_action_req) == 540);
static_assert(offsetof(tr69_action_req, path) == 4);
static_assert(offsetof(tr69_action_req, text) == 260);
static_assert(offsetof(tr69_action_req, ints) == 516);

struct tr69_action_rsp {
    int32_t status;
    char text[256];
};
static_assert(sizeof(tr69_action_rsp) == 260);

KX_tr69_channel* KX_tr69_main_open_channel();
int KX_tr69_main_action(KX_tr69_channel* ch, const tr69_action_req* req, tr69_action_rsp* rsp);
int KX_tr69_main_close_channel(KX_tr69_channel* ch);
