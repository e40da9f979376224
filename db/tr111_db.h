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
