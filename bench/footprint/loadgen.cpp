// Load on a running lab: seeding, CHANGE_DB bursts, ACS operations.
#include "bench/footprint/loadgen.h"
#include "platform/net.h"

#include "db/tr111_db.h"
#include "lab/tr69agent/acs_wire.h"
#include "platform/include/msg.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tr111load {

namespace {

const std::string IGD_MS = "InternetGatewayDevice.ManagementServer.";
const std::string MD = IGD_MS + "ManageableDevice.";

std::string device_path(int id) {
    return "/KELMO/TR111/ManageableDevice/" + std::to_string(id) + "/";
}
std::string lease_path(int id) {
    return "/dev/br0/dhcps/lease/" + std::to_string(id + 100) + "/";
}
std::string mac(int id) {
    char buf[32];
    snprintf(buf, sizeof buf, "02:00:00:00:%02x:%02x", (id >> 8) & 0xff, id & 0xff);
    return buf;
}

// Device ids of the burst's records: far above any seeded device.
constexpr int BURST_ID_BASE = 1000000;
constexpr int RENEW_EVERY = 500;

} // namespace

bool seed(int n) {
    KX_DB_handle* h = KX_DB_Open(KX_DB_MAIN);
    if (!h) return false;
    bool ok = true;
    auto set = [&](const std::string& path, const std::string& value) {
        ok = KX_DB_Set(h, path.c_str(), value.c_str()) == 0 && ok;
    };
    set("/KELMO/TR111/MDNotificationLimit", "0");
    set("/KELMO/TR111/attrib/1/", "2");
    // Leases first: their events find no device yet, which is cheap.
    for (int i = 0; i < n; ++i) {
        set(lease_path(i) + "hardware_mac", mac(i));
        set(lease_path(i) + "ip",
            "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 10));
        set(lease_path(i) + "start_time", "1700000000");
        set(lease_path(i) + "valid_time", "86400");
    }
    for (int i = 0; i < n; ++i) {
        set(device_path(i) + "OUI", "00D09E");
        set(device_path(i) + "SerialNumber", "SN-" + std::to_string(i));
        set(device_path(i) + "ProductClass", "STB");
        set(device_path(i) + "MacAddress", mac(i));
        set(device_path(i) + "retainDevEntry", "1");
        set(device_path(i) + "type", i % 2 ? "1" : "0");
    }
    TR111_Close_db_set(h);
    h = KX_DB_Open(KX_DB_RAM);
    if (!h) return false;
    set("/dev/ppp0/ip", "203.0.113.9");
    TR111_Close_db_set(h);
    return ok;
}

std::vector<uint8_t> change_payload(const std::string& path, char action,
                                    const std::string& param) {
    std::vector<uint8_t> out;
    auto tlv = [&out](char type, const void* data, uint32_t len) {
        out.push_back(static_cast<uint8_t>(type));
        uint8_t raw[4];
        memcpy(raw, &len, sizeof len); // host byte order
        out.insert(out.end(), raw, raw + 4);
        const auto* p = static_cast<const uint8_t*>(data);
        out.insert(out.end(), p, p + len);
    };
    tlv('P', path.data(), static_cast<uint32_t>(path.size()));
    tlv('C', &action, 1);
    tlv('C', param.data(), static_cast<uint32_t>(param.size()));
    return out;
}

std::string burst_tag(int i) {
    return "/burst-" + std::to_string(i) + " ";
}

Change burst_change(int i, int devices) {
    // The parameter text is what the change needs (a device id, a time),
    // then "/burst-<i>": the daemon reads numbers up to their first other
    // character.
    const std::string tag = "/burst-" + std::to_string(i);
    if (devices > 0 && i % RENEW_EVERY == RENEW_EVERY - 1) {
        int d = (i / RENEW_EVERY) % devices;
        return {lease_path(d) + "start_time", 'U', "1700000000" + tag};
    }
    // The record of an even change is created by it and deleted by the
    // next one: the status table gets back to where it was.
    int id = BURST_ID_BASE + (i % 2 == 0 ? i : i - 1);
    return {"/KELMO/TR111/ManageableDevice/", i % 2 == 0 ? 'C' : 'D', std::to_string(id) + tag};
}

Change quiet_change() {
    return {"/tr111load/ping", 'U', "ping"};
}

Mailbox::Mailbox() {
    if (MSG_Init(16) != 0) return;
    channel_ = MSG_OpenChannel("127.0.0.1", DAEMON_MAILBOX_PORT);
}

bool Mailbox::send(const Change& c) {
    std::vector<uint8_t> p = change_payload(c.path, c.action, c.param);
    return MSG_SendMessageRetry(channel_, MSG_CHANGE_DB_CODE, p.data(),
                                static_cast<uint32_t>(p.size()), 5) == 0;
}

int burst(Mailbox& mb, int first, int count, int devices) {
    int sent = 0;
    for (int i = first; i < first + count; ++i) {
        if (!mb.send(burst_change(i, devices))) break;
        ++sent;
    }
    return sent;
}

AcsResult acs(AcsOp op, const std::string& name, const std::string& value) {
    AcsResult r;
    int fd = loopback_connect(ACS_PORT);
    if (fd < 0) return r;
    uint8_t p[ACS_COMMAND_SIZE] = {};
    tr69_put_u32(p, static_cast<uint32_t>(op));
    tr69_put_text(std::span(p + 16, ACS_NAME), name);
    memcpy(p + 16 + ACS_NAME, value.data(), std::min(value.size(), ACS_VALUE_IN - 1));
    if (tr69_wire_send(fd, ACS_FRAME_COMMAND, p, acs_payload_size) != 0) {
        close(fd);
        r.outcome = 2;
        return r;
    }
    for (;;) {
        uint8_t f[TR69_WIRE_MAX_PAYLOAD];
        uint8_t type = 0;
        if (tr69_wire_recv(fd, "VLD", &type, f, 60000, acs_payload_size) != TR69_WIRE_OK) {
            r.outcome = 2;
            break;
        }
        if (type == ACS_FRAME_REPLY) {
            r.value = std::string(tr69_get_text(std::span(f + 4, ACS_VALUE)));
        } else if (type == ACS_FRAME_LINE) {
            r.lines.emplace_back(tr69_get_text(std::span(f, ACS_LINE)));
        } else {
            r.outcome = static_cast<int>(tr69_get_u32(f));
            r.fault = tr69_get_i32(f + 4);
            break;
        }
    }
    close(fd);
    return r;
}

bool acs_mixed(int i, int devices) {
    const std::string dev = MD + std::to_string(1 + (devices > 0 ? i % devices : 0)) + ".";
    // A WT111R2 device (even id): its RetainDeviceEntry may be set.
    const std::string wt = MD + std::to_string(1 + (devices > 0 ? (i % devices) & ~1 : 0)) + ".";
    int kind = devices > 0 ? i % 10 : (i % 2 ? 4 : 0);
    AcsResult r;
    switch (kind) {
    case 0:
        r = acs(AcsOp::get, IGD_MS + "ManageableDeviceNumberOfEntries");
        break;
    case 1:
        r = acs(AcsOp::get, dev + "SerialNumber");
        break;
    case 2:
        r = acs(AcsOp::get, dev + "Active");
        break;
    case 3:
        r = acs(AcsOp::get, dev + "ConnectionRequestURL");
        break;
    case 4:
        r = acs(AcsOp::set, IGD_MS + "ManageableDeviceNotificationLimit", "0");
        break;
    case 5:
        r = acs(AcsOp::get, dev + "ManufacturerOUI");
        break;
    case 6:
        r = acs(AcsOp::instances, MD);
        break;
    case 7:
        r = acs(AcsOp::getattr, dev + "Active");
        break;
    case 8:
        r = acs(AcsOp::set, wt + "RetainDeviceEntry", "1");
        break;
    default:
        r = acs(AcsOp::get, dev + "RetainDeviceEntry");
        break;
    }
    return r.outcome == 0;
}

void acs_loop(int devices, const std::atomic<bool>& stop, int min_ops, LoopCounts& counts) {
    for (int i = 0; !stop.load() || i < min_ops; ++i) {
        if (!acs_mixed(i, devices)) {
            if (counts.failed++ == 0) counts.first_failure = "operation " + std::to_string(i);
        }
        ++counts.done;
    }
}

int agent_events() {
    AcsResult r = acs(AcsOp::events, "");
    return r.outcome == 0 ? static_cast<int>(r.lines.size()) : -1;
}

} // namespace tr111load
