// The few runtime pieces that code linking no C++ library needs: a mutex
// and a condition variable over POSIX threads, the monotonic clock in
// milliseconds, and owners for a descriptor and a malloc'd buffer.
//
// Everything here is header-only and calls only the C library: no
// exceptions, no operator new, nothing from libstdc++, no 64-bit atomics.
// Mutex is constant-initialised and trivially destructible, so a global
// one needs neither a constructor at start-up nor a destructor at exit
// (a thread may still hold it while the process exits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace rt {

class Mutex {
  public:
    constexpr Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock() { pthread_mutex_lock(&m_); }
    void unlock() { pthread_mutex_unlock(&m_); }
    pthread_mutex_t* native() { return &m_; }

  private:
    pthread_mutex_t m_ = PTHREAD_MUTEX_INITIALIZER;
};

// Holds a mutex for its scope.
class Lock {
  public:
    explicit Lock(Mutex& m) : m_(m) { m_.lock(); }
    ~Lock() { m_.unlock(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    Mutex& mutex() { return m_; }

  private:
    Mutex& m_;
};

// Milliseconds of the monotonic clock (not affected by changes of the
// time of day).
inline int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds from now to deadline (a now_ms value), 0 once it has passed;
// at most INT32_MAX, so the result fits poll()'s timeout.
inline int ms_left(int64_t deadline) {
    int64_t left = deadline - now_ms();
    if (left <= 0) return 0;
    return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

// A condition variable on the monotonic clock.
class Cond {
  public:
    Cond() {
        pthread_condattr_t a;
        pthread_condattr_init(&a);
        pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
        pthread_cond_init(&c_, &a);
        pthread_condattr_destroy(&a);
    }
    ~Cond() { pthread_cond_destroy(&c_); }
    Cond(const Cond&) = delete;
    Cond& operator=(const Cond&) = delete;
    void signal() { pthread_cond_signal(&c_); }
    void broadcast() { pthread_cond_broadcast(&c_); }
    void wait(Lock& l) { pthread_cond_wait(&c_, l.mutex().native()); }
    // Waits until signalled or until deadline (a now_ms value). False once
    // the deadline has passed. Wakes spuriously like any condition wait:
    // callers test their predicate in a loop.
    bool wait_until(Lock& l, int64_t deadline) {
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(deadline / 1000);
        ts.tv_nsec = static_cast<long>(deadline % 1000) * 1000000;
        return pthread_cond_timedwait(&c_, l.mutex().native(), &ts) == 0 || now_ms() < deadline;
    }

  private:
    pthread_cond_t c_;
};

// Owns a descriptor: closes it when it goes, unless released.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// Owns a malloc'd block: freed when it goes, unless released.
template <typename T>
class Heap {
  public:
    explicit Heap(T* p = nullptr) : p_(p) {}
    ~Heap() { free(p_); }
    Heap(const Heap&) = delete;
    Heap& operator=(const Heap&) = delete;
    T* get() const { return p_; }
    T* release() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }

  private:
    T* p_;
};

} // namespace rt
