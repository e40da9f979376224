// Database adapters of the daemon's modules.
#include "db/tr111_db.h"

#include "db/kx_tr69_action.h"
#include "main/tr111.h"

#include <cstdio>
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

SetWalk::SetWalk(KX_DB_handle* h, uint32_t set, const char* const* fmts, uint32_t nfmts)
    : h_(h), set_(set), fmts_(fmts), nfmts_(nfmts) {
    KX_DB_Batch_Init(&keys_);
    KX_DB_Batch_Init(&reads_);
    last_chunk_ = set == 0 || !h;
    failed_ = nfmts > READS_MAX || (h && h->ipc_err != 0);
}

SetWalk::~SetWalk() {
    KX_DB_Batch_Clear(&keys_);
    KX_DB_Batch_Clear(&reads_);
}

bool SetWalk::next() {
    if (failed_) return false;
    if (++cur_ < end_) return true;
    if (end_ >= nkeys_) {
        if (last_chunk_ || !load_keys()) return false;
        end_ = 0;
    }
    return load_reads(end_);
}

const char* SetWalk::key() const {
    return cur_ < end_ ? keys_.req[cur_].text : nullptr;
}

const char* SetWalk::value(uint32_t j) const {
    if (cur_ >= end_ || j >= nfmts_) return nullptr;
    int slot = slots_[cur_ - begin_][j];
    return slot < 0 ? nullptr : reads_.req[slot].text;
}

// The next chunk's sons by position, then their keys. False after the last
// son or when the connection broke.
bool SetWalk::load_keys() {
    // The number of sons first, so that no son is asked for past the last
    // (a son that went meanwhile still ends the walk early).
    if (next_son_ == 0) sons_ = KX_set_get_nsons(h_, set_);
    uint32_t ask = sons_ - static_cast<uint32_t>(next_son_);
    if (ask > KX_DB_BATCH_MAX) ask = KX_DB_BATCH_MAX;
    KX_DB_Batch_Clear(&reads_);
    for (uint32_t i = 0; i < ask; ++i)
        KX_DB_Batch_Son(&reads_, set_, next_son_ + static_cast<int>(i));
    next_son_ += static_cast<int>(ask);
    KX_DB_Batch_Clear(&keys_);
    if (h_->ipc_err == 0 && KX_DB_Batch_Run(h_, &reads_) == 0) {
        for (uint32_t i = 0; i < ask; ++i) {
            uint32_t node = KX_DB_Batch_Node(&reads_, static_cast<int>(i));
            if (node == 0) break;
            KX_DB_Batch_Value(&keys_, node);
        }
    }
    nkeys_ = keys_.n;
    last_chunk_ = nkeys_ < ask || static_cast<uint32_t>(next_son_) >= sons_;
    failed_ = h_->ipc_err != 0 || (nkeys_ > 0 && KX_DB_Batch_Run(h_, &keys_) != 0);
    return !failed_ && nkeys_ > 0;
}

// The reads for the sons of the chunk from begin on, as many as one batch
// holds; a path that does not fit a request fails the walk.
bool SetWalk::load_reads(uint32_t begin) {
    KX_DB_Batch_Clear(&reads_);
    const uint32_t per = nfmts_ ? KX_DB_BATCH_MAX / nfmts_ : KX_DB_BATCH_MAX;
    const uint32_t end = nkeys_ - begin < per ? nkeys_ : begin + per;
    for (uint32_t i = begin; i < end; ++i) {
        int32_t id = 0;
        bool number = s_str_to_int(keys_.req[i].text, &id) == 0;
        for (uint32_t j = 0; j < nfmts_; ++j) {
            char path[KX_DB_BATCH_ARG + 1];
            int n = snprintf(path, sizeof path, fmts_[j], static_cast<int>(id));
            int& slot = slots_[i - begin][j];
            slot = number ? KX_DB_Batch_Get(&reads_, path) : -1;
            if (number && (slot < 0 || n < 0 || static_cast<size_t>(n) >= sizeof path))
                failed_ = true;
        }
    }
    if (!failed_ && reads_.n > 0 && KX_DB_Batch_Run(h_, &reads_) != 0) failed_ = true;
    begin_ = cur_ = begin;
    end_ = failed_ ? begin : end;
    return !failed_;
}

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
