// fwrender: the gateway's firewall for the connection-request pass-through
// rules. It subscribes to the configuration server's change records, as
// the management process does, and on each commit that touches
// /fw/rule/loc_srv renders the enabled rules into one nftables table,
// replaced atomically with nft -f when the rendering changed.
#include "lab/common/linelog.h"

#include "db/kx_db.h"
#include "db/tr111_db.h"
#include "lab/fwrender/render.h"
#include "platform/include/ipc.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char usage_text[] =
    "usage: fwrender [--lan A.B.C.D/N] [--self A.B.C.D] [--wan-if IF] [--table NAME]\n"
    "                [--nft PATH] [--print] [--once]\n"
    "\n"
    "  --lan      the LAN subnet; rules must target a device address in it\n"
    "             (default 192.0.2.0/24)\n"
    "  --self     the gateway's own LAN address, never a target (default 192.0.2.1)\n"
    "  --wan-if   the WAN interface the pass-through opens (default ppp0)\n"
    "  --table    the nftables table (family ip) it owns (default tr111_crpt)\n"
    "  --nft      the nft program (default nft)\n"
    "  --print    write each rendering to standard output instead of applying it\n"
    "  --once     render the rules once and exit (status 1 when that failed)\n";

constexpr uint16_t CONFD_PORT = 7000;
constexpr int RETRY_MS = 500;
constexpr char RULE_PATH[] = "/fw/rule/loc_srv";

struct Options {
    fwrender::Config cfg;
    std::string nft = "nft";
    bool print = false;
    bool once = false;
};

void flog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void flog(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    linelog_v(2, "fwrender", fmt, ap);
    va_end(ap);
}

// Runs nft -f - with the script on its standard input. Returns true when
// nft accepted it; logs its complaint otherwise.
bool apply_table(const std::string& nft, const std::string& script) {
    int in[2], err[2];
    if (pipe(in) != 0) return flog("pipe: %s", strerror(errno)), false;
    if (pipe(err) != 0) {
        close(in[0]);
        close(in[1]);
        return flog("pipe: %s", strerror(errno)), false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(err[1], 1);
        dup2(err[1], 2);
        close(in[0]);
        close(in[1]);
        close(err[0]);
        close(err[1]);
        execlp(nft.c_str(), nft.c_str(), "-f", "-", static_cast<char*>(nullptr));
        dprintf(2, "cannot run %s: %s\n", nft.c_str(), strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(err[1]);
    if (pid < 0) {
        close(in[1]);
        close(err[0]);
        return flog("fork: %s", strerror(errno)), false;
    }
    // The script is small (well under a pipe's buffer), so it is written
    // whole before nft's output is read.
    size_t off = 0;
    while (off < script.size()) {
        ssize_t w = write(in[1], script.data() + off, script.size() - off);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
    }
    close(in[1]);
    std::string said;
    char buf[512];
    for (ssize_t r; (r = read(err[0], buf, sizeof buf)) > 0;)
        said.append(buf, static_cast<size_t>(r));
    close(err[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    while (!said.empty() && said.back() == '\n')
        said.pop_back();
    for (char& c : said)
        if (c == '\n') c = ' ';
    flog("nft refused the table (status %d): %s", WIFEXITED(status) ? WEXITSTATUS(status) : -1,
         said.c_str());
    return false;
}

// Reads the rules and renders them; applies (or prints) the table when it
// differs from the last one applied. Returns false when the rules could not
// be read or the table not applied.
bool refresh(const Options& o, std::string& last) {
    // Refusals are logged when they appear, not again at each rendering.
    static std::vector<std::string> refused_before;
    std::vector<fwrender::Rule> rules;
    {
        tr111::DbHandle db(KX_DB_MAIN);
        if (!db) return flog("configuration server not reachable; table left as it is"), false;
        if (!fwrender::read_rules(db.get(), rules))
            return flog("reading the rules failed; table left as it is"), false;
    }
    fwrender::Rendered r = fwrender::render(o.cfg, rules);
    for (const std::string& line : r.refused)
        if (std::find(refused_before.begin(), refused_before.end(), line) == refused_before.end())
            flog("%s", line.c_str());
    refused_before = r.refused;
    if (r.script == last) return true;
    if (o.print) {
        fputs(r.script.c_str(), stdout);
        fflush(stdout);
    } else if (!apply_table(o.nft, r.script)) {
        return false;
    }
    last = r.script;
    std::string list;
    for (const std::string& a : r.applied)
        list += (list.empty() ? "" : "; ") + a;
    flog("table %s %s: %zu rule%s%s%s", o.cfg.table.c_str(), o.print ? "printed" : "applied",
         r.applied.size(), r.applied.size() == 1 ? "" : "s", list.empty() ? "" : ": ",
         list.c_str());
    return true;
}

struct FreeString {
    void operator()(char* s) const { free(s); }
};
using IpcString = std::unique_ptr<char, FreeString>;

// Follows the change records of one subscription until it fails.
void follow(int fd, const Options& o, std::string& last) {
    bool dirty = false;
    for (;;) {
        IpcString path(ipc_string_read(fd));
        IpcString action(path ? ipc_string_read(fd) : nullptr);
        IpcString text(action ? ipc_string_read(fd) : nullptr);
        if (!text) return;
        if (strstr(path.get(), RULE_PATH)) dirty = true;
        // The records of one commit come together: render once they are all read.
        pollfd p{fd, POLLIN, 0};
        if (dirty && poll(&p, 1, 0) == 0) {
            refresh(o, last);
            dirty = false;
        }
    }
}

[[noreturn]] void run(const Options& o) {
    std::string last;
    bool said_down = false;
    for (;;) {
        int fd = ipc_connect(CONFD_PORT);
        if (fd >= 0 && (ipc_string_write(fd, "subscribe") != 0 || ipc_set_timeout(fd, 0) != 0)) {
            ipc_client_close(fd, 1);
            fd = -1;
        }
        if (fd < 0) {
            if (!said_down)
                flog("configuration server not reachable on 127.0.0.1:%u; trying every %d ms",
                     CONFD_PORT, RETRY_MS);
            said_down = true;
            usleep(RETRY_MS * 1000);
            continue;
        }
        said_down = false;
        flog("subscribed to the configuration server");
        // Whatever changed while not subscribed is caught up by a full rendering.
        refresh(o, last);
        follow(fd, o, last);
        ipc_client_close(fd, 1);
        flog("subscription lost; reconnecting");
        usleep(RETRY_MS * 1000);
    }
}

void on_signal(int) {
    // The table stays as applied: the pass-throughs outlive the renderer.
    static const char line[] = "fwrender: stopping\n";
    if (write(2, line, sizeof line - 1) < 0) _exit(0);
    _exit(0);
}

} // namespace

int main(int argc, char** argv) {
    // nft or confd gone, or a closed output: an error of that write, never the end of fwrender.
    signal(SIGPIPE, SIG_IGN);
    Options o;
    fwrender::parse_lan("192.0.2.0/24", o.cfg);
    fwrender::parse_addr("192.0.2.1", o.cfg.self);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--print") {
            o.print = true;
        } else if (a == "--once") {
            o.once = true;
        } else if (a == "--lan" && has_value) {
            if (!fwrender::parse_lan(argv[++i], o.cfg)) {
                fprintf(stderr, "fwrender: --lan %s: not A.B.C.D/N (N from 8 to 30)\n", argv[i]);
                return 2;
            }
        } else if (a == "--self" && has_value) {
            if (!fwrender::parse_addr(argv[++i], o.cfg.self)) {
                fprintf(stderr, "fwrender: --self %s: not an IPv4 address\n", argv[i]);
                return 2;
            }
        } else if (a == "--wan-if" && has_value) {
            o.cfg.wan_if = argv[++i];
        } else if (a == "--table" && has_value) {
            o.cfg.table = argv[++i];
        } else if (a == "--nft" && has_value) {
            o.nft = argv[++i];
        } else {
            fputs(usage_text, stderr);
            return 2;
        }
    }
    // Names go into the nft script as they are: keep them to plain characters.
    for (const std::string* name : {&o.cfg.wan_if, &o.cfg.table})
        if (name->empty() || name->size() > 15 ||
            name->find_first_not_of(
                "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"
                "-.") != std::string::npos) {
            fprintf(stderr, "fwrender: \"%s\" is not a plain interface or table name\n",
                    name->c_str());
            return 2;
        }
    if (o.once) {
        std::string last;
        return refresh(o, last) ? 0 : 1;
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    std::string self = fwrender::addr_text(o.cfg.self);
    flog("starting, pid %d: LAN %s, gateway %s, WAN %s, table ip %s", static_cast<int>(getpid()),
         fwrender::lan_text(o.cfg).c_str(), self.c_str(), o.cfg.wan_if.c_str(),
         o.cfg.table.c_str());
    run(o);
}
