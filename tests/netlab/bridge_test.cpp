// dhcpbridge: the option 125 decoder on good and malformed content, and the
// program's leases and device records in a real confd.
#include "lab/dhcpbridge/option125.h"
#include "tests/support/confd.h"
#include "tests/support/proc.h"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace tr111test;
using dhcpbridge::Identity;

namespace {

std::string decode(const std::string& hex, Identity& id) {
    std::array<uint8_t, dhcpbridge::OPT125_MAX> b;
    long n = dhcpbridge::hex_to_bytes(hex, b);
    if (n < 0) return "bad hex";
    return dhcpbridge::parse_option125(std::span<const uint8_t>(b.data(), size_t(n)), id);
}

// Enterprise 3561, sub-options OUI "00d0ab", serial "SN1", class "PC".
const std::string GOOD = "00000de9"
                         "11"
                         "0106303064306162"
                         "0203534e31"
                         "03025043";

} // namespace

TEST(Option125, GoodContentAndEveryKindOfMalformedOne) {
    Identity id;
    ASSERT_EQ(decode(GOOD, id), "");
    EXPECT_EQ(id.oui, "00D0AB"); // upper-cased
    EXPECT_EQ(id.serial, "SN1");
    EXPECT_EQ(id.product_class, "PC");
    // As dhcpd prints it, after another enterprise's block.
    ASSERT_EQ(
        decode("0:0:11:8b:2:aa:bb:0:0:d:e9:11:1:6:30:30:64:30:61:62:2:3:53:4e:31:3:2:50:43", id),
        "");
    EXPECT_EQ(id.serial, "SN1");

    struct Case {
        std::string hex, why;
    } bad[] = {
        {"", "empty option"},
        {"0:0:d:e9:1:xyz", "bad hex"},
        {"00000de", "bad hex"},
        {"0000118b"
         "11"
         "0106303064306162"
         "0203534e31"
         "03025043",
         "no block of enterprise 3561"},
        {"00000de9", "truncated header"},
        {"00000de9"
         "ff"
         "01063030",
         "data length 255 runs past the end"},
        {"00000de9"
         "03"
         "010630",
         "sub-option 1: length 6 runs past the end of the block"},
        {"00000de9"
         "01"
         "01",
         "sub-option at byte 0 of the block: truncated header"},
        {"00000de9"
         "09"
         "0203534e31"
         "03025043",
         "no sub-option 1 (OUI)"},
        {"00000de9"
         "11"
         "0106303064306167"
         "0203534e31"
         "03025043",
         "is not six hexadecimal"},
        {"00000de9"
         "0e"
         "0106303064306162"
         "0200"
         "03025043",
         "sub-option 2 (serial number) is empty"},
        {"00000de9"
         "11"
         "0106303064306162"
         "0203530a31"
         "03025043",
         "0x0a, not printable"},
        {"00000de9"
         "14"
         "0106303064306162"
         "0203534e31"
         "03025043"
         "03015a",
         "sub-option 3 appears twice"},
        {GOOD + GOOD, "enterprise 3561 appears twice"},
    };
    for (const Case& c : bad) {
        std::string why = decode(c.hex, id);
        EXPECT_NE(why.find(c.why), std::string::npos) << c.hex << " gave: " << why;
    }
}

namespace {

struct Bridge {
    Confd confd;
    TempDir dir;
    std::string log() const { return read_file(dir.path() + "/bridge.log"); }
    RunResult run(const std::vector<std::string>& args, const std::string& delay_ms = "300") {
        std::vector<std::string> a = {"--log", dir.path() + "/bridge.log", "--expire-delay-ms",
                                      delay_ms};
        a.insert(a.end(), args.begin(), args.end());
        return run_program("dhcpbridge", a);
    }
    std::string dump(const std::string& path) { return run_program("conf", {"dump", path}).out; }
};

} // namespace

TEST(Bridge, LeasesAndDeviceRecordsThroughTheirLife) {
    Bridge b;
    const std::string dev = "/KELMO/TR111/ManageableDevice/";
    const std::string lease = "/dev/br0/dhcps/lease/";

    // First commit: the record (once) and the lease.
    ASSERT_EQ(b.run({"commit", "192.0.2.100", "2:11:1d:0:0:1", "600", GOOD}).status, 0) << b.log();
    EXPECT_EQ(b.dump(dev), dev + "0/MacAddress=02:11:1d:00:00:01\n" + dev + "0/OUI=00D0AB\n" + dev +
                               "0/ProductClass=PC\n" + dev + "0/SerialNumber=SN1\n" + dev +
                               "0/type=1\n");
    EXPECT_EQ(b.confd.get(lease + "0/hardware_mac"), "02:11:1d:00:00:01");
    EXPECT_EQ(b.confd.get(lease + "0/ip"), "192.0.2.100");
    EXPECT_EQ(b.confd.get(lease + "0/valid_time"), "600");
    EXPECT_EQ(b.confd.get(lease + "0/is_abandoned"), "0");

    // Renewal: same lease, no second record.
    ASSERT_EQ(b.run({"commit", "192.0.2.100", "02:11:1d:00:00:01", "300", GOOD}).status, 0);
    EXPECT_EQ(run_program("conf", {"ls", dev}).out, "0\n");
    EXPECT_EQ(run_program("conf", {"ls", lease}).out, "0\n");
    EXPECT_EQ(b.confd.get(lease + "0/valid_time"), "300");
    EXPECT_NE(b.log().find("device record 0 already there"), std::string::npos);

    // Malformed option 125 from a second device: refused, logged, no
    // record; its lease is still kept.
    for (std::string badopt : {"0:0:11:8b:3:1:2:3", "0:0:d:e9:3:1:6:30", "0:0:d:e9:9:1:6:30"}) {
        RunResult r = b.run({"commit", "192.0.2.101", "02:11:1d:00:00:02", "600", badopt});
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(count(b.log(), "commit 192.0.2.101 02:11:1d:00:00:02: option 125 refused: "), 3u)
        << b.log();
    EXPECT_NE(b.log().find("no block of enterprise 3561"), std::string::npos);
    EXPECT_NE(b.log().find("sub-option 1: length 6 runs past the end"), std::string::npos);
    EXPECT_NE(b.log().find("data length 9 runs past the end"), std::string::npos);
    EXPECT_EQ(run_program("conf", {"ls", dev}).out, "0\n");
    EXPECT_EQ(b.confd.get(lease + "1/hardware_mac"), "02:11:1d:00:00:02");
    // Without option 125: a lease and nothing else.
    EXPECT_EQ(b.run({"commit", "192.0.2.102", "02:11:1d:00:00:03", "600", ""}).status, 0);
    EXPECT_EQ(run_program("conf", {"ls", dev}).out, "0\n");
    // Bad arguments: nothing written.
    EXPECT_EQ(b.run({"commit", "192.0.2.300", "02:11:1d:00:00:04", "600"}).status, 2);
    EXPECT_EQ(b.run({"commit", "192.0.2.104", "02:11:1d:00:00:04", "0"}).status, 2);
    EXPECT_EQ(run_program("conf", {"ls", lease}).out, "0\n1\n2\n");

    // Release: valid_time 0, the lease stays.
    ASSERT_EQ(b.run({"release", "192.0.2.100", "02:11:1d:00:00:01"}).status, 0);
    EXPECT_EQ(b.confd.get(lease + "0/valid_time"), "0");

    // The device moves: a new lease; the old one abandoned and unlinked.
    ASSERT_EQ(b.run({"commit", "192.0.2.110", "02:11:1d:00:00:01", "600", GOOD}).status, 0);
    EXPECT_EQ(b.confd.get(lease + "3/ip"), "192.0.2.110");
    EXPECT_EQ(b.confd.get(lease + "3/hardware_mac"), "02:11:1d:00:00:01");
    EXPECT_EQ(b.confd.get(lease + "0/hardware_mac"), "");
    EXPECT_EQ(b.confd.get(lease + "0/is_abandoned"), "1");
    // The old address expires: the abandoned lease goes at once.
    ASSERT_EQ(b.run({"expiry", "192.0.2.100", "02:11:1d:00:00:01"}).status, 0);
    EXPECT_EQ(run_program("conf", {"ls", lease}).out, "1\n2\n3\n");

    // Expiry: valid_time 0 at once, the lease deleted a moment later.
    ASSERT_EQ(b.run({"expiry", "192.0.2.110", "02:11:1d:00:00:01"}).status, 0);
    EXPECT_EQ(b.confd.get(lease + "3/valid_time"), "0");
    EXPECT_TRUE(eventually([&] {
        return run_program("conf", {"ls", lease}).out == "1\n2\n";
    })) << b.log();
    EXPECT_NE(b.log().find("lease 3 deleted"), std::string::npos);
    // An expiry that was renewed meanwhile keeps its lease.
    ASSERT_EQ(b.run({"expiry", "192.0.2.101", "02:11:1d:00:00:02"}, "3000").status, 0);
    ASSERT_EQ(b.run({"commit", "192.0.2.101", "02:11:1d:00:00:02", "600", ""}).status, 0);
    EXPECT_TRUE(eventually(
        [&] { return b.log().find("lease 1 was renewed meanwhile; kept") != std::string::npos; }));
    EXPECT_EQ(b.confd.get(lease + "1/valid_time"), "600");

    // A deleted lease's id is not handed out again.
    ASSERT_EQ(b.run({"commit", "192.0.2.105", "02:11:1d:00:00:05", "600", ""}).status, 0);
    EXPECT_EQ(run_program("conf", {"ls", lease}).out, "1\n2\n4\n");

    // The configuration server gone: the failure is reported.
    b.confd.stop();
    EXPECT_EQ(b.run({"release", "192.0.2.102", "02:11:1d:00:00:03"}).status, 1);
    EXPECT_NE(b.log().find("configuration server not reachable"), std::string::npos);
}
