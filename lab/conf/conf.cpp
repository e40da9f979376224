// conf: command-line client of the configuration server, built on the
// daemon's own database client (db/).
#include "db/kx_db.h"
#include "db/tr111_db.h"
#include "platform/include/ipc.h"
#include "platform/include/set.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char usage_text[] =
    "usage: conf [--ram] COMMAND [ARGS]\n"
    "\n"
    "  get PATH          print the value at PATH\n"
    "  set PATH VALUE [PATH VALUE]...\n"
    "                    write each VALUE at its PATH, in order, in one commit\n"
    "                    (one connection, one reconf); a PATH ending with /\n"
    "                    creates the (empty) set named VALUE under it\n"
    "  del PATH          delete PATH with its whole subtree\n"
    "  ls PATH           the keys of PATH's sons, one a line, in set order\n"
    "  dump [PATH]       PATH=VALUE for every node of the subtree (default /)\n"
    "                    that holds a value of its own\n"
    "\n"
    "  --ram             work on the RAM configuration (kind 1) instead of the\n"
    "                    main configuration (kind 0)\n"
    "\n"
    "Paths are slash-separated (\"/fw/rule/loc_srv/3/enabled\"); empty\n"
    "components are ignored. Writes are committed with reconf.\n"
    "Exit status: 0 done, 1 no such path, 2 server unreachable, failed\n"
    "exchange, output that could not be written, or usage.\n";

constexpr int EXIT_ABSENT = 1;
constexpr int EXIT_TROUBLE = 2;

int usage() {
    fputs(usage_text, stderr);
    return EXIT_TROUBLE;
}

int exchange_failed() {
    fprintf(stderr, "conf: the exchange with the configuration server failed\n");
    return EXIT_TROUBLE;
}

int absent(const char* path) {
    fprintf(stderr, "conf: %s: no such path\n", path);
    return EXIT_ABSENT;
}

// confd's "rg_conf_set_get_entry": the node's key, and its value when the
// node holds one of its own (the set walk of the client gives only values).
// Follows the client's rules: a failed step marks the handle failed.
bool get_entry(KX_DB_handle* h, uint32_t node, std::string& key, std::string& value,
               bool& has_value) {
    if (h->ipc_err || node == 0) return false;
    char arg[16];
    snprintf(arg, sizeof arg, "%" PRIx32, node);
    if (ipc_string_write(h->ipc, "rg_conf_set_get_entry") != 0 ||
        ipc_string_write(h->ipc, arg) != 0) {
        h->ipc_err = 1;
        return false;
    }
    char* reply = ipc_string_read(h->ipc);
    if (!reply) {
        h->ipc_err = 1;
        return false;
    }
    set_t* s = nullptr;
    bool ok = reply[0] != '\0' && set_read(reply, &s) == 0;
    free(reply);
    if (ok) {
        key = s->key;
        has_value = s->value != nullptr;
        value = has_value ? s->value : "";
    }
    set_free(&s);
    return ok;
}

// "/a/b" for any spelling of the path ("a/b/", "//a/b"); "/" for the root.
std::string normalized(const char* path) {
    std::string out;
    for (const char* p = path; *p;) {
        const char* e = strchr(p, '/');
        size_t len = e ? static_cast<size_t>(e - p) : strlen(p);
        if (len > 0) out.append("/").append(p, len);
        p += len + (e ? 1 : 0);
    }
    return out.empty() ? "/" : out;
}

int cmd_get(KX_DB_handle* h, const char* path) {
    tr111::DbString v(KX_DB_Get(h, path));
    if (!v) return h->ipc_err ? exchange_failed() : absent(path);
    printf("%s\n", v.get());
    return 0;
}

int cmd_ls(KX_DB_handle* h, const char* path) {
    uint32_t set = KX_get_set(h, path);
    if (set == 0) return h->ipc_err ? exchange_failed() : absent(path);
    std::string key, value;
    bool has_value;
    for (uint32_t node = KX_set_get_son(h, set, 0); node != 0; node = KX_set_get_next(h, node)) {
        if (!get_entry(h, node, key, value, has_value)) return exchange_failed();
        printf("%s\n", key.c_str());
    }
    return h->ipc_err ? exchange_failed() : 0;
}

// Prints every node under node (at path) that holds a value, depth first.
bool dump_sons(KX_DB_handle* h, uint32_t node, const std::string& path) {
    std::string base = path == "/" ? "" : path;
    std::string key, value;
    bool has_value;
    for (uint32_t son = KX_set_get_son(h, node, 0); son != 0; son = KX_set_get_next(h, son)) {
        if (!get_entry(h, son, key, value, has_value)) return false;
        std::string son_path = base + "/" + key;
        if (has_value) printf("%s=%s\n", son_path.c_str(), value.c_str());
        if (!dump_sons(h, son, son_path)) return false;
    }
    return h->ipc_err == 0;
}

int cmd_dump(KX_DB_handle* h, const char* path) {
    uint32_t set = KX_get_set(h, path);
    if (set == 0) return h->ipc_err ? exchange_failed() : absent(path);
    std::string key, value, top = normalized(path);
    bool has_value;
    if (!get_entry(h, set, key, value, has_value)) return exchange_failed();
    if (has_value) printf("%s=%s\n", top.c_str(), value.c_str());
    return dump_sons(h, set, top) ? 0 : exchange_failed();
}

} // namespace

int main(int argc, char** argv) {
    // A reader of the output that goes away ends conf with a message, not a signal.
    signal(SIGPIPE, SIG_IGN);
    int i = 1;
    uint32_t kind = KX_DB_MAIN;
    if (i < argc && strcmp(argv[i], "--ram") == 0) {
        kind = KX_DB_RAM;
        ++i;
    }
    if (i >= argc) return usage();
    const char* cmd = argv[i++];
    int nargs = argc - i;
    char** args = argv + i;
    bool write = strcmp(cmd, "set") == 0 || strcmp(cmd, "del") == 0;
    if (!((strcmp(cmd, "get") == 0 && nargs == 1) ||
          (strcmp(cmd, "set") == 0 && nargs >= 2 && nargs % 2 == 0) ||
          (strcmp(cmd, "del") == 0 && nargs == 1) || (strcmp(cmd, "ls") == 0 && nargs == 1) ||
          (strcmp(cmd, "dump") == 0 && nargs <= 1)))
        return usage();

    tr111::DbHandle db(kind);
    if (!db) {
        fprintf(stderr, "conf: cannot connect to the configuration server on 127.0.0.1:%u\n",
                KX_DB_PORT);
        return EXIT_TROUBLE;
    }
    KX_DB_handle* h = db.get();
    int rc = 0;
    if (strcmp(cmd, "get") == 0) {
        rc = cmd_get(h, args[0]);
    } else if (strcmp(cmd, "set") == 0) {
        // Nothing is committed unless every pair was written.
        for (int k = 0; rc == 0 && k < nargs; k += 2)
            if (KX_DB_Set(h, args[k], args[k + 1]) != 0) rc = exchange_failed();
    } else if (strcmp(cmd, "del") == 0) {
        if (KX_get_set(h, args[0]) == 0)
            rc = h->ipc_err ? exchange_failed() : absent(args[0]);
        else
            KX_DB_Delete(h, args[0]);
        if (rc == 0 && h->ipc_err) rc = exchange_failed();
    } else if (strcmp(cmd, "ls") == 0) {
        rc = cmd_ls(h, args[0]);
    } else {
        rc = cmd_dump(h, nargs == 1 ? args[0] : "/");
    }
    if (write && rc == 0) db.close_set();
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "conf: cannot write the output: %s\n", strerror(errno));
        return EXIT_TROUBLE;
    }
    return rc;
}
