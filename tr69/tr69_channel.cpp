// The channel to the TR-069 agent and the request loop: receive one request
// record, run the handler it names, send one reply record.
#include "main/tr111.h"
#include "tr69/tr69_dm.h"

#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_tr69";

int32_t tr69_channel_id = 0;

int32_t* getChannelId() {
    return &tr69_channel_id;
}

int32_t tr69dm_register_app(int mailbox) {
    int ret = tr69_open_channel_use_rx_mbx("TR111", getChannelId(), mailbox);
    if (ret != 0)
        TR111_ERRF(" TR111 can not open channel with tr69 process, fault code : %d \n", ret);
    TR111_INFOF("tr69_open_channel_use_rx_mbx: channel id = %d \n", tr69_channel_id);
    return ret;
}

namespace {

// The three buffers of the loop: fixed, for the whole life of the loop.
tr69_request request;
tr69_reply reply;
char value_buffer[TR111_VALUE_SIZE];

bool is_atomicity(const void* fn) {
    return fn == reinterpret_cast<const void*>(&atomicity_start) ||
           fn == reinterpret_cast<const void*>(&atomicity_commit) ||
           fn == reinterpret_cast<const void*>(&atomicity_rollback);
}

// The reply to the current request, with the value buffer's text.
void fill_reply(int32_t result) {
    memset(&reply, 0, sizeof reply);
    memcpy(reply.name, request.name, sizeof reply.name);
    reply.id = request.id;
    reply.echo = request.echo;
    reply.result = result;
    size_t len = strnlen(value_buffer, sizeof value_buffer - 1);
    memcpy(reply.value, value_buffer, len);
}

} // namespace

int32_t tr69dm_handle_data_req() {
    for (;;) {
        memset(&request, 0, sizeof request);
        int ret = tr69_rx_msg(&request, getChannelId(), 1);
        if (ret != 0) {
            TR111_ERR("receiving data msg from tr69 failed");
            return ret;
        }
        // Texts from the agent are used as zero-terminated strings.
        request.name[sizeof request.name - 1] = '\0';
        request.value_in[sizeof request.value_in - 1] = '\0';
        TR111_INFOF("msg<%s>, received\n", request.name);
        if (request.status == TR69_STATUS_NO_DISPATCH) continue;

        const void* fn = tr69_addr(request.handler);
        if (is_atomicity(fn)) {
            reinterpret_cast<atomicity_handler*>(const_cast<void*>(fn))(request.id);
            continue;
        }
        // Only a handler the daemon registered is ever called: a reference to
        // anything else (a name, a reference never issued) is not followed.
        if (fn && !tr111_handler_registered(request.handler)) {
            TR111_ERRF("request %s names no registered handler (%u)\n", request.name,
                       static_cast<unsigned>(request.handler));
            fn = nullptr;
        }
        // The value buffer is not cleared: a handler that writes nothing (a
        // setter) answers with what the previous handler left in it.
        auto* handler = reinterpret_cast<dm_handler*>(const_cast<void*>(fn));
        int32_t result;
        do {
            // A request naming no handler (a write of a read-only entry, an
            // unknown reference) is answered with an internal error.
            result = handler ? handler(request.name, request.instances, request.id,
                                       request.value_in, value_buffer)
                             : TR111_FAULT_9002;
            TR111_INFOF("function executed with code = %d\n", result);
            fill_reply(result);
            TR111_INFO("sending response to TR69 ");
            ret = tr69_tx_msg(&reply, getChannelId());
            if (ret != 0) {
                TR111_ERR("sending reply to tr69 failed");
                return ret;
            }
        } while (result == TR111_CALL_AGAIN);
    }
}
