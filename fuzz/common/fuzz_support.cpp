// Helpers of the fuzz targets: debug output and a seeded configuration server.
#include "fuzz/common/fuzz_support.h"
#include "platform/net.h"

#include "db/tr111_db.h"
#include "main/tr111.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <initializer_list>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tr111fuzz {

namespace {

pid_t confd_pid = -1;
std::string state_dir;

void stop_confd() {
    if (confd_pid > 0) {
        kill(confd_pid, SIGKILL);
        waitpid(confd_pid, nullptr, 0);
        confd_pid = -1;
    }
    std::error_code ec;
    if (!state_dir.empty()) std::filesystem::remove_all(state_dir, ec);
}

bool port_open(uint16_t port) {
    int fd = loopback_connect(port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

[[noreturn]] void die(const char* what) {
    fprintf(stderr, "fuzz: %s\n", what);
    abort();
}

void set(KX_DB_handle* h, const std::string& path, const std::string& value) {
    if (KX_DB_Set(h, path.c_str(), value.c_str()) != 0) die("cannot seed the configuration");
}

void seed() {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    if (!h) die("confd does not answer");
    // What earlier inputs made (rules, records, leases, attributes) goes.
    for (const char* tree : {"/KELMO/TR111", "/dev/br0/dhcps/lease", "/fw/rule/loc_srv"})
        KX_DB_Delete(h, tree);
    set(h, "/KELMO/TR111/", "ManageableDevice");
    for (int d = 0; d < 6; ++d) {
        std::string p = "/KELMO/TR111/ManageableDevice/" + std::to_string(d) + "/";
        std::string mac = "00:11:22:33:44:0" + std::to_string(d);
        set(h, p + "OUI", "00D09E");
        set(h, p + "SerialNumber", "SN" + std::to_string(d));
        set(h, p + "ProductClass", "STB");
        set(h, p + "MacAddress", mac);
        set(h, p + "type", d % 2 ? "1" : "0");
        set(h, p + "retainDevEntry", d % 3 ? "1" : "0");
        if (d < 3) {
            set(h, p + "Crpt_Id", std::to_string(d));
            set(h, p + "Crpt_Enable", "1");
            set(h, p + "path", "cr" + std::to_string(d));
        }
        std::string l = "/dev/br0/dhcps/lease/" + std::to_string(d + 10) + "/";
        std::string ip = "192.168.1." + std::to_string(d + 10);
        set(h, l + "hardware_mac", mac);
        set(h, l + "ip", ip);
        set(h, l + "start_time", "1700000000");
        set(h, l + "valid_time", "3600");
        if (d < 3) {
            std::string r = "/fw/rule/loc_srv/" + std::to_string(d) + "/";
            set(h, r + "services/0/trigger/0/dst/start", std::to_string(30000 + d));
            set(h, r + "services/0/trigger/0/dst/end", std::to_string(30000 + d));
            set(h, r + "fwd_from", "7547");
            set(h, r + "fwd_to", "7547");
            set(h, r + "services/0/trigger/0/protocol", "6");
            set(h, r + "services/0/name", "");
            set(h, r + "enabled", "1");
            set(h, r + "rdir/item/0/hostname", ip);
        }
    }
    // Passive and active notification on a few parameters, limit 0.
    set(h, "/KELMO/TR111/attrib/1/", "2");
    set(h, "/KELMO/TR111/attrib/2/", "3");
    for (int i = 1; i <= 6; ++i) {
        set(h, "/KELMO/TR111/attrib/4/" + std::to_string(i) + "./", "2");
        set(h, "/KELMO/TR111/attrib/10/" + std::to_string(i) + "./", "3");
    }
    set(h, "/KELMO/TR111/MDNotificationLimit", "0");
    TR111_Close_db_set(h);
    h = KX_DB_Open(KX_DB_RAM);
    if (!h) die("confd does not answer");
    set(h, "/dev/ppp0/ip", "203.0.113.9");
    TR111_Close_db_set(h);
}

} // namespace

void debug_to_null() {
    int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    tr111_status_debug_activ = 1;
    debug_level = 3;
}

void start_confd_if_asked() {
    const char* prog = getenv("TR111_FUZZ_CONFD");
    if (!prog || !*prog) return;
    if (port_open(7000)) die("port 7000 is taken: run the target in a network namespace");
    char tmpl[] = "/tmp/tr111fuzz.XXXXXX";
    if (!mkdtemp(tmpl)) die("no state folder");
    state_dir = tmpl;
    confd_pid = fork();
    if (confd_pid == 0) {
        // The server goes with the target, also when the target crashes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int fd = open("/dev/null", O_WRONLY);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        execl(prog, prog, "--state", tmpl, static_cast<char*>(nullptr));
        _exit(127);
    }
    atexit(stop_confd);
    for (int i = 0; i < 500 && !port_open(7000); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!port_open(7000)) die("confd did not come up");
    seed();
    fprintf(stderr, "fuzz: confd %s (pid %d) holds a small gateway\n", prog,
            static_cast<int>(confd_pid));
}

void keep_state() {
    static unsigned inputs = 0;
    if (confd_pid > 0 && ++inputs % 500 == 0) seed();
}

} // namespace tr111fuzz
