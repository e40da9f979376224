// The "tr69 action" exchange with the configuration server.
#include "db/kx_tr69_action.h"

#include "db/kx_db.h"
#include "platform/include/ipc.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

KX_tr69_channel* KX_tr69_main_open_channel() {
    auto* ch = static_cast<KX_tr69_channel*>(malloc(sizeof(KX_tr69_channel)));
    if (!ch) return nullptr;
    ch->ipc = ipc_connect(KX_DB_PORT);
    if (ch->ipc < 0) {
        free(ch);
        return nullptr;
    }
    return ch;
}

int KX_tr69_main_action(KX_tr69_channel* ch, const tr69_action_req* req, tr69_action_rsp* rsp) {
    if (ipc_string_write(ch->ipc, "tr69 action") != 0) {
        // A plain output line, whatever the debug switches.
        fputs("ipc_string_write failed: tr69\n", stdout);
        fflush(stdout);
        return -1;
    }
    char num[16];
    snprintf(num, sizeof num, "%" PRId32, req->action);
    if (ipc_string_write(ch->ipc, num) != 0) return -1;
    // The request's texts are fixed fields: never send past their end.
    char field[256];
    snprintf(field, sizeof field, "%.*s", static_cast<int>(sizeof req->path - 1), req->path);
    if (ipc_string_write(ch->ipc, field) != 0) return -1;
    snprintf(field, sizeof field, "%.*s", static_cast<int>(sizeof req->text - 1), req->text);
    if (ipc_string_write(ch->ipc, field) != 0) return -1;
    for (int32_t v : req->ints) {
        snprintf(num, sizeof num, "%" PRId32, v);
        if (ipc_string_write(ch->ipc, num) != 0) return -1;
    }
    char* status = ipc_string_read(ch->ipc);
    if (!status) return -1;
    int st = 0;
    if (sscanf(status, "%d", &st) == 1) rsp->status = st;
    free(status);
    char* text = ipc_string_read(ch->ipc);
    if (!text) return -1;
    // A reply text longer than the field is cut; the field stays terminated.
    snprintf(rsp->text, sizeof rsp->text, "%s", text);
    free(text);
    return 0;
}

int KX_tr69_main_close_channel(KX_tr69_channel* ch) {
    ipc_string_write(ch->ipc, "close");
    ipc_client_close(ch->ipc, 0);
    free(ch);
    return 0;
}
