// Database adapters of the daemon's modules.
#include "db/tr111_db.h"

#include "db/kx_tr69_action.h"
#include "main/tr111.h"

#include <cstdlib>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_db";

char* TR111_KX_DB_Get(KX_DB_handle* h, const char* path) {
    return KX_DB_Get(h, path);
}

int TR111_KX_DB_Set(KX_DB_handle* h, const char* path, const char* value) {
    return KX_DB_Set(h, path, value);
}

void TR111_Close_db_get(KX_DB_handle* h) {
    KX_DB_Close_Reconf(h, 0);
}

void TR111_Close_db_set(KX_DB_handle* h) {
    KX_DB_Close_Reconf(h, 1);
}

int entity_get_instance_nbr(const char* entity, char* out) {
    tr69_action_req req;
    memset(&req, 0, sizeof req);
    req.action = TR111_ACTION_INSTANCES;
    strncpy(req.path, entity, sizeof req.path - 1);
    KX_tr69_channel* ch = KX_tr69_main_open_channel();
    if (!ch) {
        TR111_ERR("tr69 entity handle = NULL");
        return TR111_FAULT_INTERNAL;
    }
    tr69_action_rsp rsp;
    memset(&rsp, 0, sizeof rsp);
    int rc = KX_tr69_main_action(ch, &req, &rsp);
    KX_tr69_main_close_channel(ch);
    // An exchange that broke off leaves the reply empty, which would read as
    // "no instances": a failure, the output left as it was.
    if (rc != 0) {
        TR111_ERRF("tr69 action on %s failed\n", entity);
        return TR111_INSTANCES_FAILED;
    }
    size_t i = 0;
    for (; i < sizeof rsp.text - 1 && rsp.text[i] != '\0'; ++i)
        out[i] = rsp.text[i];
    out[i] = '\0';
    return 0;
}

namespace tr111 {

DbString::~DbString() {
    free(s_);
}

DbString& DbString::operator=(DbString&& o) noexcept {
    if (this != &o) reset(std::exchange(o.s_, nullptr));
    return *this;
}

void DbString::reset(char* s) {
    free(s_);
    s_ = s;
}

} // namespace tr111
