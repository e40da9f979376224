// The CHANGE_DB decoder; with a real configuration server, value-change notification
// (limit, attributes, event record, start-up), change handling, lease lookups, and
// the device and DHCP event handlers (dispatch, argument guards, failure lines,
// the notifications that still go out after a failure).
#include "datamodel/datamodel.h"
#include "notify/notify.h"
#include "tests/support/db.h"
#include "tests/support/wire.h"
#include "tr69/tr69_dm.h"

using namespace tr111test;

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kMs = "InternetGatewayDevice.ManagementServer.";
const std::string kDev = "/KELMO/TR111/ManageableDevice/", kLease = "/dev/br0/dhcps/lease/";
const std::string kLimit = "/KELMO/TR111/MDNotificationLimit";

// Every value-change event the daemon hands to the TR-069 library (a link-time
// wrap of tr69_notify_event, below): the 104-byte code field and the 258-byte
// record (name field, attribute byte); and what the library answers.
std::vector<std::pair<std::string, std::string>> recorded;
int library_answer = 0;
time_t test_clock_now = 0;

// No event recorded, the library taking them, the clock of the notification
// limit in the test's hands at 0 and no active notification yet.
class Notify : public DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        recorded.clear();
        library_answer = 0;
        test_clock_now = tr111_last_active_notif = 0;
        tr111_notify_clock = [](time_t* t) { return t ? *t = test_clock_now : test_clock_now; };
    }
};

// Stores the notification attribute of parameter id for an instance (0: none).
void set_attr(uint32_t id, uint32_t instance, const std::string& value) {
    db_set({{"/KELMO/TR111/attrib/" + std::to_string(id) + "/" +
                 (instance ? std::to_string(instance) + "./" : ""),
             value}});
}

// Payload of a CHANGE_DB message: three TLVs, lengths in host byte order.
Bytes change_payload(const std::string& path, char action, const std::string& param) {
    std::string p;
    for (auto [type, text] : {std::pair{'P', path}, {'C', std::string(1, action)}, {'C', param}}) {
        const auto len = static_cast<uint32_t>(text.size());
        p += type + std::string(reinterpret_cast<const char*>(&len), 4) + text;
    }
    return {p.begin(), p.end()};
}

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

// The events sent from the n-th on, "<name without kMs> <attribute>", joined by '|'.
std::string sent(size_t n) {
    std::string out;
    for (size_t i = n; i < recorded.size(); ++i) {
        const std::string& r = recorded[i].second;
        if (!out.empty()) out += '|';
        out += r.substr(kMs.size(), strnlen(r.data(), TR69_EVENT_NAME_SIZE) - kMs.size()) + " " +
               std::to_string(static_cast<uint8_t>(r[TR69_EVENT_NAME_SIZE]));
    }
    return out;
}

std::string at(int64_t now, uint32_t id, uint32_t instance) {
    test_clock_now = static_cast<time_t>(now);
    const size_t n = recorded.size();
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
        if (attr) set_attr(id, inst, attr);
        EXPECT_EQ(at(now, id, inst), sent) << now;
        EXPECT_EQ(tr111_last_active_notif, static_cast<uint32_t>(last)) << now;
    }
    // The library refuses: logged, -1, and the last time set all the same.
    library_answer = -4;
    EXPECT_EQ(at(T + 200, A, 1), "ManageableDevice.1.Active 3");
    EXPECT_EQ(tr111_last_active_notif, T + 200);
    const std::string code = std::string("4 VALUE CHANGE").append(90, '\0'), name(300, 'n');
    EXPECT_EQ(TR69notify(name.c_str(), 3), -1);
    EXPECT_EQ(count(cap.text(), "TR69 notify event failed: failure code=-4\r\n"), 2u);
    // The name field keeps its terminator, the attribute follows it.
    EXPECT_EQ(recorded.back().first + recorded.back().second,
              code + name.substr(0, 256) + '\0' + '\3');
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
        set_attr(id, 3, "2");
    set_attr(TR111_ID_NOTIF_LIMIT, 0, "2");
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
        const size_t n = recorded.size();
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
    for (auto [i, mac] :
         {std::pair{"1", "01"}, {"2", "02"}, {"3", "03"}, {"4", "04"}, {"127", "7f"}})
        db_set(
            {{kLease + i + "/hardware_mac", std::string("00:11:22:33:44:") + mac}}); // device(i)'s
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

TEST_F(Notify, DispatchGuardsAndFailureLines) {
    // No row: nothing called, nothing printed. A row: its line under the
    // change handling's module, then the handler, whose result comes back.
    for (int32_t ev : {0, 9, -1})
        EXPECT_EQ(logged([&] { EXPECT_EQ(event_call_back(ev, 3), 0); }), "") << ev;
    std::string log = logged([] { EXPECT_EQ(event_call_back(2, -2), -1); });
    EXPECT_TRUE(has(log, "TR111_notif[") && has(log, "] In event_call_back: event code = 2 \n") &&
                has(log, "In tr111_callback_renew_dhcp: invalid device id :-2 \n"));

    // Handlers on a refused id (-1; any negative for three of them), and on
    // device 7, a plain TR-111 record without a table entry:
    // "" means refused without a line. The DHCP events notify nothing.
    using H = int32_t (*)(int32_t);
    const std::tuple<H, int32_t, const char*> cases[] = {
        {tr111_callback_new_dhcp, -1, ""},
        {tr111_callback_device_ip_change, -1, ""},
        {tr111_callback_renew_dhcp, -1, "invalid device id :-1 \n"},
        {tr111_callback_expire_dhcp, -2, "invalid device id :-2 \n"},
        {tr111_callback_release_dhcp, -2, "invalid device id :-2 \n"},
        {tr111_callback_new_dhcp, -2, "md_refresh_status failed ret_code : -2 \n"},
        {tr111_callback_renew_dhcp, 7, " md_refresh_status failed ret_code : -2 \n"},
        {tr111_callback_expire_dhcp, 7, "md_refresh_status failed code error : -2 \n"},
        {tr111_callback_release_dhcp, 7, "error md_refresh_status for device 7 ret_code= -2 \n"},
    };
    for (auto [handler, id, line] : cases) {
        db_set({{kDev + "7/type", "1"}}); // a release forgets it
        log = logged([&, h = handler, i = id, l = line] { EXPECT_LT(h(i), 0) << l; });
        EXPECT_TRUE(*line ? has(log, line) : log.empty()) << line << log;
        EXPECT_FALSE(std::string(line).starts_with("invalid") && has(log, "md_refresh")) << log;
    }
    EXPECT_EQ(sent(0), "");
}

TEST_F(Notify, NotificationsGoOutAfterFailures) {
    for (auto [id, instance] : {std::pair{1u, 0u}, {9u, 2u}, {9u, 3u}, {10u, 2u}, {10u, 3u}})
        set_attr(id, instance, "2");
    // Device 1 has no rule; device 2 has rule 5 and no lease: the rule is
    // left as it is, the URL still notified. A new WAN address notifies
    // every device's ConnectionRequestURL.
    device(1, "1");
    device(2, "0", {{"Crpt_Id", "5"}});
    db_set({{"/fw/rule/loc_srv/5/rdir/item/0/hostname", "192.168.1.60"}});
    std::string log = logged([] { tr111_callback_device_ip_change(1); });
    EXPECT_TRUE(has(log, "md_get_crpt_id  failed \n")) << log;
    tr111_callback_device_ip_change(2);
    EXPECT_EQ(db_get("/fw/rule/loc_srv/0/rdir/item/0/hostname"), "(absent)");
    EXPECT_EQ(db_get("/fw/rule/loc_srv/5/rdir/item/0/hostname"), "192.168.1.60");
    tr111_callback_wan_ip_change(0);
    EXPECT_EQ(sent(0), "ManageableDevice.2.DeviceConnectionRequestURL 2|"
                       "ManageableDevice.3.DeviceConnectionRequestURL 2|"
                       "ManageableDevice.2.ConnectionRequestURL 2|"
                       "ManageableDevice.3.ConnectionRequestURL 2");

    // A record added twice: two entries, each add notifies the count. A full
    // table: the add fails with a line, the count is still notified. A
    // deletion without an entry: a line, the count notified.
    recorded.clear();
    tr111_callback_new_tr69_device(6);
    tr111_callback_new_tr69_device(6);
    EXPECT_EQ(mdlt_count(6), 2);
    for (int i = 0; i < MD_MAX_NBR - 2; ++i)
        ASSERT_EQ(mdlt_add(100 + i), 0);
    log = logged([] {
        tr111_callback_new_tr69_device(9);
        tr111_callback_remove_tr69_device(8);
    });
    EXPECT_EQ(mdlt_count(9), 0);
    EXPECT_TRUE(has(log, "device : 9 fail to add device in mdlt\n")) << log;
    EXPECT_TRUE(has(log, "device : 8 fail to delete device in mdlt\n")) << log;
    const std::string entries = "ManageableDeviceNumberOfEntries 2";
    EXPECT_EQ(sent(0), entries + "|" + entries + "|" + entries + "|" + entries);
}

// The daemon's calls of tr69_notify_event (-Wl,--wrap on its mangled name).
extern "C" int __wrap__Z17tr69_notify_eventPiPKcPKh(int32_t*, const char* code,
                                                    const uint8_t* param) {
    recorded.emplace_back(std::string(code, TR69_EVENT_CODE_SIZE),
                          std::string(reinterpret_cast<const char*>(param), TR69_EVENT_PARAM_SIZE));
    return library_answer;
}
