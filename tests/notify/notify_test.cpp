// The CHANGE_DB decoder; with a real configuration server, value-change notification
// (limit, attributes, event record, start-up), change handling and lease lookups.
#include "datamodel/datamodel.h"
#include "tests/notify/notify_support.h"
#include "tests/support/wire.h"
#include "tr69/tr69_dm.h"

using namespace tr111test;

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kMs = "InternetGatewayDevice.ManagementServer.";
const std::string kDev = "/KELMO/TR111/ManageableDevice/", kLease = "/dev/br0/dhcps/lease/";
const std::string kLimit = "/KELMO/TR111/MDNotificationLimit";

class Notify : public NotifyTest {};

// Decodes from a buffer of exactly the payload's size (the sanitizers catch
// an over-read): "<action> <path> <param>", or the last line logged ("" for
// none) with the record left as it was.
std::string decoded(const Bytes& p) {
    tr111_change c, before;
    memset(&before, 0xAA, sizeof before);
    c = before;
    auto buf = std::make_unique<uint8_t[]>(p.size());
    std::copy(p.begin(), p.end(), buf.get());
    DebugSwitches sw(1, 0);
    CaptureStdout cap;
    if (autom_notif2TR111notif(buf.get(), static_cast<uint32_t>(p.size()), &c) == 0)
        return std::string(1, "?CDU"[c.action % 4]) + " " + c.path + " " + c.param;
    EXPECT_EQ(memcmp(&c, &before, sizeof c), 0);
    const std::string log = cap.text();
    return log.empty() ? "" : log.substr(log.rfind("] In autom_notif2TR111notif: ") + 29);
}

// The payload with a 32-bit value (or one byte) at off.
Bytes with(Bytes p, size_t off, uint32_t v, size_t size = 4) {
    if (size == 1) p[off] = static_cast<uint8_t>(v);
    if (size == 4) memcpy(&p[off], &v, 4);
    return p;
}

// The events sent from the n-th on, names without kMs.
std::string sent(size_t n) {
    std::string out;
    const auto s = notify_rec::summary();
    for (size_t i = n; i < s.size(); ++i)
        out += s[i].substr(kMs.size());
    return out;
}

std::string at(int64_t now, uint32_t id, uint32_t instance) {
    test_clock_now = static_cast<time_t>(now);
    const size_t n = notify_rec::events().size();
    EXPECT_EQ(Notify_by_index(id, instance), 0);
    return sent(n);
}

// A lookup with errors on: its answer, and the line expected (if any).
void look(int32_t (*lookup)(int32_t), int32_t lease, int32_t want, const std::string& line = "") {
    const std::string log = logged([&] { EXPECT_EQ(lookup(lease), want) << lease; }, 0);
    EXPECT_TRUE(has(log, line)) << log;
}

} // namespace

TEST(Decode, AcceptedOrRefusedWithTheLineOfItsTlv) {
    const std::string path = "/KELMO/TR111/MDNotificationLimit", p255(255, 'p'), v270(270, 'v');
    const size_t l1 = path.size();
    const Bytes base = change_payload(path, 'U', "60");
    Bytes trailing = change_payload("/a", 'D', "");
    trailing.push_back('x'); // ignored
    std::string e[4];        // e[k]: the line refusing TLVk
    for (int k = 1; k < 4; ++k)
        e[k] = "Error in TLV" + std::to_string(k) + " \r\n\n";
    std::vector<std::pair<Bytes, std::string>> cases = {
        {base, "U " + path + " 60"},
        {change_payload(p255, 'C', v270), "C " + p255 + " " + v270},
        {trailing, "D /a "},
        // Only the low-order byte of the action's length is compared with 1.
        {with(base, 6 + l1, 0x101), "U " + path + " 60"},
        {change_payload(p255 + "p", 'U', "1"), e[1]},
        {with(base, 1, 0xFFFFFFFFu), e[1]},
        {with(base, 1, __builtin_bswap32(static_cast<uint32_t>(l1))), e[1]}, // host order only
        {with(base, 0, 'C', 1), e[1]},
        {with(base, 5 + l1, 'P', 1), e[2]},
        {with(base, 6 + l1, 2), e[2]},
        {change_payload("/a", 'U', v270 + "v"), e[3]},
        {with(base, 12 + l1, 0xFFFFFFF0u), e[3]}, // would wrap an offset
        {with(base, 12 + l1, 3), e[3]},           // one byte past the payload
        {with(base, 11 + l1, 'P', 1), e[3]},
        {with(base, 10 + l1, 'c', 1), ""}, // an unknown action: no line
    };
    for (size_t n = 0; n < base.size(); ++n) // every truncation
        cases.push_back(
            {Bytes(base.begin(), base.begin() + n), e[1 + (n >= 5 + l1) + (n >= 11 + l1)]});
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(decoded(cases[i].first), cases[i].second) << i;
    EXPECT_EQ(tr111_callback_for_MSG_CHANGE_DB(nullptr, nullptr, 4), -1); // no payload
}

TEST_F(Notify, DecisionsAndTheEventRecord) {
    const uint32_t A = TR111_ID_ACTIVE, U = TR111_ID_DEV_CR_URL, L = TR111_ID_NOTIF_LIMIT;
    const int64_t T = 1700000000;
    // Limit, attribute stored first; id, instance, clock, sent, last time after.
    const std::tuple<const char*, const char*, uint32_t, uint32_t, int64_t, std::string, int64_t>
        steps[] = {
            {"60", "4", A, 4, 1000, "", 0},                  // 1 to 3 only
            {nullptr, "x", TR111_ID_RETAIN, 1, 1000, "", 0}, // cannot be read
            // Passive: at once, whatever the limit, without moving the last time.
            {nullptr, "2", A, 3, 1000, "ManageableDevice.3.Active 2", 0},
            {nullptr, "2", L, 0, 1000, "ManageableDeviceNotificationLimit 2", 0},
            // Active: one per limit (the first too) for all, the others dropped.
            {nullptr, "3", A, 1, 59, "", 0},
            {nullptr, nullptr, A, 1, 60, "ManageableDevice.1.Active 3", 60},
            {nullptr, nullptr, A, 1, T, "ManageableDevice.1.Active 3", T},
            {nullptr, nullptr, A, 1, T + 10, "", T},
            {nullptr, "3", A, 2, T + 10, "", T},
            {nullptr, "3", U, 2, T + 59, "", T},
            {nullptr, nullptr, A, 3, T + 59, "ManageableDevice.3.Active 2", T},
            {nullptr, nullptr, U, 2, T + 60, "ManageableDevice.2.DeviceConnectionRequestURL 3",
             T + 60},
            // Limit 0: every one, also at the same second, but not back in time.
            {"0", nullptr, A, 1, T + 59, "", T + 60},
            {nullptr, nullptr, A, 1, T + 60, "ManageableDevice.1.Active 3", T + 60},
            // A negative limit wraps as unsigned 32-bit: last + limit = T + 50.
            {"-10", nullptr, A, 1, T + 49, "", T + 60},
            {nullptr, nullptr, A, 1, T + 50, "ManageableDevice.1.Active 3", T + 50},
            // Clock readings are taken modulo 2^32.
            {"0", nullptr, A, 1, 0x100000000LL + T + 100, "ManageableDevice.1.Active 3", T + 100},
        };
    DebugSwitches sw(1, 3);
    CaptureStdout cap;
    for (const auto& [limit, attr, id, inst, now, sent, last] : steps) {
        if (limit) db_set({{kLimit, limit}});
        if (attr) db_set({{attr_key(id, inst), attr}});
        EXPECT_EQ(at(now, id, inst), sent) << now;
        EXPECT_EQ(tr111_last_active_notif, static_cast<uint32_t>(last)) << now;
    }
    // The library refuses: logged, -1, and the last time set all the same.
    notify_rec::set_result(-4);
    EXPECT_EQ(at(T + 200, A, 1), "ManageableDevice.1.Active 3");
    EXPECT_EQ(tr111_last_active_notif, T + 200);
    std::string code = "4 VALUE CHANGE", name(300, 'n');
    code.resize(104, '\0');
    EXPECT_EQ(TR69notify(name.c_str(), 3), -1);
    EXPECT_EQ(count(cap.text(), "TR69 notify event failed: failure code=-4\r\n"), 2u);
    EXPECT_EQ(notify_rec::events().back().code, code);
    // The name field keeps its terminator, the attribute follows it.
    EXPECT_EQ(notify_rec::events().back().param, name.substr(0, 256) + '\0' + '\3');
    EXPECT_TRUE(has(cap.text(), "current time =1700000010\tnotif time =1700000000 \n"));
}

TEST_F(Notify, InitCreatesTheDeviceSetOnce) {
    WireLog wire;
    init_notification();
    init_notification(); // present: read and closed without reconfiguration
    EXPECT_EQ(
        wire.written(),
        (Strings{"rg_conf_get_exist", "/KELMO/TR111/ManageableDevice/", "rg_conf_set_path_value",
                 "/KELMO/TR111/", "ManageableDevice", "reconf", "#4", "close", "|",
                 "rg_conf_get_exist", "/KELMO/TR111/ManageableDevice/", "close", "|"}));
}

TEST_F(Notify, ChangesByPath) {
    for (uint32_t id = TR111_ID_OUI; id <= TR111_ID_CRPT_ENABLE; ++id)
        set_attr(id, 3, 2);
    set_attr(TR111_ID_NOTIF_LIMIT, 0, 2);
    // Path, action, parameter, result, what is sent. The lease events, and
    // the changes that raise them: tests/model.
    const std::tuple<std::string, char, const char*, int, const char*> cases[] = {
        {kLease, 'C', "3x", -1, ""},
        {kLease + "3/ip", 'U', "192.168.1.21", 0, ""},
        // Record updates notify their parameter, instance id + 1.
        {kDev + "2/SerialNumber", 'U', "S", 0, "ManageableDevice.3.SerialNumber 2"},
        {kDev + "2/Crpt_Enable", 'U', "1", 0,
         "ManageableDevice.3.ConnectionRequestPassThroughEnable 2"},
        {kDev + "2/OUI", 'U', "x", 0, "ManageableDevice.3.ManufacturerOUI 2"},
        {kDev + "2/ProductClass", 'U', "P", 0, "ManageableDevice.3.ProductClass 2"},
        {kDev + "2/retainDevEntry", 'U', "1", 0, "ManageableDevice.3.RetainDeviceEntry 2"},
        {kDev + "2/MacAddress", 'U', "x", 0, ""},
        {kLimit, 'U', "30", 0, "ManageableDeviceNotificationLimit 2"},
        {"/dev/eth0/ip", 'U', "1.2.3.4", 0, ""},
    };
    for (const auto& [path, action, param, result, want] : cases) {
        const auto p = change_payload(path, action, param);
        const size_t n = notify_rec::events().size();
        const auto len = static_cast<uint32_t>(p.size());
        EXPECT_EQ(tr111_callback_for_MSG_CHANGE_DB(nullptr, p.data(), len), result) << path;
        EXPECT_EQ(sent(n), want) << path;
    }
}

TEST_F(Notify, LeaseToDevice) {
    // Devices 0, 1, 3 with rules 5 (absent), 0 and 1.
    for (auto [id, rule] : {std::pair{"0", "5"}, {"1", "0"}, {"3", "1"}})
        db_set({{kDev + id + "/MacAddress", std::string("aa:bb:cc:00:00:0") + id},
                {kDev + id + "/Crpt_Id", rule}});
    db_set({{"/fw/rule/loc_srv/0/rdir/item/0/hostname", "192.168.1.10"},
            {"/fw/rule/loc_srv/1/rdir/item/0/hostname", "192.168.1.1"},
            {kLease + "1/hardware_mac", "01:aa:bb:cc:00:00:01"},
            {kLease + "9/hardware_mac", "AA:BB:CC:00:00:03"}, // device 3's, in capitals
            {kLease + "1/ip", "192.168.1.1"},
            {kLease + "7/ip", "10.9.9.9"},
            {kLease + "8/ip", ""}});
    look(get_device_id_from_lease_id, 1, 1); // the device's address contained in the lease's
    look(get_device_id_from_lease_id, 9, -1);
    // The owner of the first rule whose host contains the lease's address.
    look(get_device_id_from_abondonned_lease_id, 1, 1, " Device found \n");
    look(get_device_id_from_abondonned_lease_id, 8, -1, "Mac address empty in lease \n");
    // Numbers are range-checked: 2^32 + 1 is no lease 1 (whose device a
    // release would forget), 2^32 no device 0.
    const std::tuple<std::string, char, const char*, std::string> numbers[] = {
        {kLease + "4294967297/valid_time", 'U', "0", "no lease number in " + kLease},
        {kLease, 'D', "4294967297", "invalid lease id value:4294967297 \n"},
        {kDev, 'C', "4294967296", "invalid device id value:4294967296 \n"},
    };
    for (const auto& [path, action, param, line] : numbers) {
        const auto p = change_payload(path, action, param);
        const std::string log = logged(
            [&] { tr111_callback_for_MSG_CHANGE_DB(nullptr, p.data(), uint32_t(p.size())); }, 0);
        EXPECT_TRUE(has(log, line)) << log;
    }
    EXPECT_EQ(db_get(kDev + "1/MacAddress"), "aa:bb:cc:00:00:01");
    db_set({{"/fw/rule/loc_srv/0/rdir/item/0/hostname", "192.168.2.1"}});
    look(get_device_id_from_abondonned_lease_id, 1, 3);
    db_set({{kDev + "3/Crpt_Id", "8"}});
    look(get_device_id_from_abondonned_lease_id, 1, -1, "Device id not found \n");
    // The searches go on past a device without a MAC (it would be in every
    // lease's) or without a rule, and past a rule without a host.
    db_set({{kDev + "0/MacAddress", ""}, {kDev + "2/type", "1"}, {kDev + "3/Crpt_Id", "1"}});
    db_del("/fw/rule/loc_srv/0/rdir");
    look(get_device_id_from_lease_id, 1, 1, "Mac address empty in device \n");
    look(get_device_id_from_abondonned_lease_id, 1, 3, "IP is empty in crpt rule \n");
}

// Lease searches go through the index of the devices' MACs: the device found is
// checked; every change of the device set the daemon hears of, or makes, moves it.
TEST_F(Notify, LeaseIndexFollowsTheDeviceSet) {
    KV leases; // lease i carries the MAC of device(i)
    for (int i : {1, 2, 3, 4, 127})
        leases.push_back({kLease + std::to_string(i) + "/hardware_mac",
                          "00:11:22:33:44:" + std::string(i == 127 ? "7f" : "0") +
                              (i == 127 ? "" : std::to_string(i))});
    db_set(leases);
    device(1, "0");
    device(2, "0");
    look(get_device_id_from_lease_id, 1, 1); // walks
    {
        WireLog wire; // then only the lease and the device found are read
        look(get_device_id_from_lease_id, 2, 2);
        EXPECT_EQ(wire.written(),
                  (Strings{"rg_conf_get_exist", kLease + "2/hardware_mac", "rg_conf_get_exist",
                           kDev + "2/MacAddress", "close", "|"}));
    }
    // A MAC changed behind the daemon's back: the index is built again.
    db_set({{kDev + "1/MacAddress", "00:11:22:33:44:03"}});
    std::string log = logged([] { EXPECT_EQ(get_device_id_from_lease_id(1), -1); });
    EXPECT_TRUE(has(log, "MAC address of device 1 changed: device index built again\n")) << log;
    look(get_device_id_from_lease_id, 3, 1);
    device(4, "0"); // (changes the daemon hears of: tests/model)
    // A change heard of while a walk is under way: the walk is not kept.
    static bool heard = false;
    ipc_hooks during{nullptr, nullptr,
                     [](void*, int, const ipc_item* it) {
                         if (!heard && std::string(it->str, it->str_len) == kDev + "4/MacAddress")
                             heard = true, md_index_drop();
                         return 0;
                     },
                     nullptr, nullptr};
    md_index_drop();
    ipc_set_hooks(&during);
    look(get_device_id_from_lease_id, 4, 4);
    ipc_set_hooks(nullptr);
    db_set({{kDev + "4/MacAddress", "00:11:22:33:44:7f"}});
    look(get_device_id_from_lease_id, 127, 4);
    // A record the daemon deletes leaves the index at once (no walk).
    {
        WireLog wire;
        ASSERT_EQ(md_remove(4), 0);
        look(get_device_id_from_lease_id, 127, -1);
        EXPECT_EQ(n_of(wire.written(), "rg_conf_get_set"), 0);
    }
}
