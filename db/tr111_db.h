// Database adapters the daemon's modules use: read and write pass-throughs,
// the two closes (after reading, after writing), the instance list of a
// configuration entity, and a scoped handle for C++ callers.
#pragma once

#include "db/kx_db.h"

#include <utility>

constexpr int TR111_ACTION_INSTANCES = 10; // "tr69 action" code: instance list
constexpr int TR111_FAULT_INTERNAL = 9002;

char* TR111_KX_DB_Get(KX_DB_handle* h, const char* path);
int TR111_KX_DB_Set(KX_DB_handle* h, const char* path, const char* value);
// Close after reading: the server applies nothing.
void TR111_Close_db_get(KX_DB_handle* h);
// Close after writing: the server reconfigures.
void TR111_Close_db_set(KX_DB_handle* h);
// Fills out (256 bytes) with the entity's instance numbers, one byte each,
// ended by a zero byte. Returns 0; 9002 when no channel could be opened;
// -1 when the exchange broke off (out untouched in both cases).
constexpr int TR111_INSTANCES_FAILED = -1;
int entity_get_instance_nbr(const char* entity, char* out);

namespace tr111 {

// A database handle that is closed on every return path: by default after
// reading (TR111_Close_db_get); close_set() closes it after writing
// (TR111_Close_db_set) instead. The handle record is owned here.
class DbHandle {
  public:
    explicit DbHandle(uint32_t kind) : h_(KX_DB_Open(kind)) {}
    // Takes over an open handle (or none).
    explicit DbHandle(KX_DB_handle* h) : h_(h) {}
    ~DbHandle() { close_get(); }
    DbHandle(const DbHandle&) = delete;
    DbHandle& operator=(const DbHandle&) = delete;

    explicit operator bool() const { return h_ != nullptr; }
    KX_DB_handle* get() const { return h_; }

    void close_get() {
        if (h_) TR111_Close_db_get(std::exchange(h_, nullptr));
    }
    void close_set() {
        if (h_) TR111_Close_db_set(std::exchange(h_, nullptr));
    }

  private:
    KX_DB_handle* h_;
};

// A batch of pipelined reads whose texts not taken are freed when it goes.
class DbBatch {
  public:
    DbBatch() { KX_DB_Batch_Init(&b_); }
    ~DbBatch() { KX_DB_Batch_Clear(&b_); }
    DbBatch(const DbBatch&) = delete;
    DbBatch& operator=(const DbBatch&) = delete;
    KX_DB_batch* get() { return &b_; }

  private:
    KX_DB_batch b_;
};

// Walks the sons of a set on one handle, as get_son and get_next would, but
// pipelined: the number of sons, then per chunk of KX_DB_BATCH_MAX sons one
// batch of son requests by position and one of value requests (the sons'
// keys), then, for each son whose key is a number, the reads of up to two
// paths formatted with it (path formats with one "%d"), in batches. A
// search that stops early may have read a little past the son it stopped
// at; reads change nothing.
//
//     for (tr111::SetWalk w(h, set, fmts, 1); w.next();)
//         use(w.key(), w.value(0));
//     if (w.failed()) ...
class SetWalk {
  public:
    static constexpr uint32_t READS_MAX = 2;
    SetWalk(KX_DB_handle* h, uint32_t set, const char* const* fmts = nullptr, uint32_t nfmts = 0);
    ~SetWalk();
    SetWalk(const SetWalk&) = delete;
    SetWalk& operator=(const SetWalk&) = delete;

    // Moves to the next son: false after the last one, or when the
    // connection broke. key() and value() hold until the next call.
    bool next();
    // The son's key, or null when it has none.
    const char* key() const;
    // The value of the j-th path for this son; null when the path is
    // absent or the key is no number.
    const char* value(uint32_t j) const;
    // The connection broke (the handle is then failed): the walk is cut short.
    bool failed() const { return failed_; }

  private:
    bool load_keys();
    bool load_reads(uint32_t begin);

    KX_DB_handle* h_;
    uint32_t set_;
    const char* const* fmts_;
    uint32_t nfmts_;
    KX_DB_batch keys_;  // the chunk's keys
    KX_DB_batch reads_; // son requests, then the reads of a part of the chunk
    int slots_[KX_DB_BATCH_MAX][READS_MAX];
    uint32_t sons_ = 0, nkeys_ = 0, begin_ = 0, end_ = 0, cur_ = 0;
    int next_son_ = 0;
    bool last_chunk_ = false, failed_ = false;
};

// A heap string returned by a database read, freed when it goes.
class DbString {
  public:
    explicit DbString(char* s = nullptr) : s_(s) {}
    ~DbString();
    DbString(const DbString&) = delete;
    DbString& operator=(const DbString&) = delete;
    DbString(DbString&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    DbString& operator=(DbString&& o) noexcept;

    explicit operator bool() const { return s_ != nullptr; }
    const char* get() const { return s_; }
    void reset(char* s = nullptr);

  private:
    char* s_;
};

} // namespace tr111
