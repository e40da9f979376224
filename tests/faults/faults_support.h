// Helpers of the fault, load and leak tests: the lab's processes by pid,
// a daemon's open file descriptors, the daemon run by the test itself (for
// its exit status), and TR-069 agents and configuration servers that
// misbehave.
#pragma once

#include "tests/support/confd.h"
#include "tests/support/lab.h"
#include "tests/support/proc.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tr111test {

// Pid of a program of the lab (its pid file), or -1.
int lab_pid(const Lab& lab, const std::string& program);
// Kills a program of the lab (SIGKILL) and waits until it is gone.
bool lab_kill(const Lab& lab, const std::string& program);
// Number of open file descriptors of a process, -1 when it is gone.
int fd_count(int pid);
// Number of times needle occurs in the file.
size_t count_in_file(const std::string& path, const std::string& needle);

// The daemon started by the test beside a confd, an mgmtd and (unless the
// test brings its own) a tr69agent, each in the background; tr111d with
// debug level 3 and the database debug switch on, so its log shows every
// step. The test can then wait for the daemon's exit status.
class OwnDaemon {
  public:
    explicit OwnDaemon(bool with_agent = true);
    ~OwnDaemon();
    // Starts tr111d; true once mgmtd reports it started.
    bool start();
    Background& daemon() { return *daemon_; }
    std::string log() const { return read_file(dir_.path() + "/tr111d.log"); }
    Confd& confd() { return confd_; }
    Background* agent() { return agent_.get(); }

  private:
    TempDir dir_;
    Confd confd_;
    std::unique_ptr<Background> mgmtd_;
    std::unique_ptr<Background> agent_;
    std::unique_ptr<Background> daemon_;
};

// A TR-069 agent on port 7100 that answers the daemon's open and
// registrations as tr69agent does and then misbehaves.
class BadAgent {
  public:
    enum class Mode {
        garbage,    // a frame of an unknown type
        half_frame, // the start of a request, then silence
        no_reading, // never reads again (its receive buffer kept small)
        stray,      // requests naming references that are no registered handler
    };
    explicit BadAgent(Mode mode);
    ~BadAgent();
    // True once the daemon has registered its atomicity entries.
    bool wait_registered(int timeout_ms);
    // Does what the mode says.
    void misbehave();
    // Sends a request naming handler and returns the result of its reply
    // (INT32_MIN when none comes within 20 s).
    int32_t request(uint32_t handler);
    // The handler words the daemon registered (parameter rows and
    // atomicity rows).
    const std::vector<uint32_t>& handlers() const { return handlers_; }

  private:
    void serve();
    Mode mode_;
    int listener_ = -1;
    std::atomic<int> fd_{-1};
    std::atomic<bool> registered_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<uint32_t> handlers_; // written before registered_ is set
    uint32_t echo_ = 0;
};

// A configuration server on port 7000 that accepts connections and reads
// everything, but never answers; or, trickling, answers every connection
// with the start of a reply and then one more byte a second.
class StalledConfd {
  public:
    explicit StalledConfd(bool trickle = false);
    ~StalledConfd();
    bool listening() const { return listener_ >= 0; }
    int accepted() const { return accepted_.load(); }

  private:
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

} // namespace tr111test
