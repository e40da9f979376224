// A record of every item the configuration-database client writes and reads,
// per connection, taken through the IPC observer hooks; with fault
// injection: a chosen write fails as a broken connection would.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct ipc_item;  // platform/include/ipc.h

namespace tr111test {

class WireLog {
  public:
    struct Conn {
        int fd = -1;
        int port = 0;
        // Items in order: "> text" written string, "> #4" written integer,
        // "< text" string read.
        std::vector<std::string> items;
        bool closed = false;
        unsigned close_err = 0;
    };

    WireLog();  // installs the hooks
    ~WireLog(); // removes them

    // Connections in the order they were opened.
    std::vector<Conn> conns() const;
    // Items written on every connection, in order, each connection's items
    // followed by "|" (a compact view for comparisons).
    std::vector<std::string> written() const;
    void clear();

    // Fails the n-th (1-based) write from now whose item text equals text
    // (strings) or "#<value>" (integers); 0 clears.
    void fail_write(const std::string& text, int n = 1);
    // Fails every write from now on (a server that drops every
    // connection); cleared with fail_all_writes(false).
    void fail_all_writes(bool on);

  private:
    static void on_connect(void* ctx, int fd, uint16_t port);
    static int on_write(void* ctx, int fd, const ::ipc_item* item);
    static int on_read(void* ctx, int fd, const char* s);
    static void on_close(void* ctx, int fd, uint32_t err);
    Conn* find(int fd);

    mutable std::mutex mu_;
    std::vector<Conn> conns_;
    std::string fail_text_;
    int fail_n_ = 0;
    bool fail_all_ = false;
};

} // namespace tr111test
