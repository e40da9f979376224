// Captures what the code under test writes on standard output (fd 1), where
// the daemon's debug lines go, for as long as the object lives.
#pragma once

#include <string>

namespace tr111test {

class CaptureStdout {
  public:
    CaptureStdout();
    ~CaptureStdout();  // restores standard output
    CaptureStdout(const CaptureStdout&) = delete;
    CaptureStdout& operator=(const CaptureStdout&) = delete;

    // Everything written so far (the capture goes on).
    std::string text() const;

  private:
    int saved_ = -1;
    int fd_ = -1;
    std::string path_;
};

// Sets the daemon's debug switches for the life of the object, then puts
// back the earlier values.
class DebugSwitches {
  public:
    DebugSwitches(int activ, unsigned level);
    ~DebugSwitches();

  private:
    int activ_;
    unsigned level_;
};

} // namespace tr111test
