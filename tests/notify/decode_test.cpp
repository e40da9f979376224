// The CHANGE_DB payload decoder: valid payloads, every truncation, oversized
// and lying lengths, wrong types and actions. No server is needed.
#include "notify/notify.h"

#include "tests/notify/notify_support.h"
#include "tests/support/capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace tr111test;

namespace {

// Decodes exactly the given bytes from a buffer of exactly their size, so an
// over-read is caught by the sanitizers; the record starts filled with 0xAA.
struct Decoded {
    int ret;
    tr111_change change;
    std::string log;
    bool untouched() const {
        for (size_t i = 0; i < sizeof change; ++i)
            if (reinterpret_cast<const uint8_t*>(&change)[i] != 0xAA) return false;
        return true;
    }
};

Decoded decode(const std::vector<uint8_t>& bytes, unsigned level = 3) {
    Decoded d;
    memset(&d.change, 0xAA, sizeof d.change);
    std::unique_ptr<uint8_t[]> buf(new uint8_t[bytes.size() ? bytes.size() : 1]);
    if (!bytes.empty()) memcpy(buf.get(), bytes.data(), bytes.size());
    DebugSwitches sw(1, level);
    CaptureStdout cap;
    d.ret = autom_notif2TR111notif(buf.get(), static_cast<uint32_t>(bytes.size()), &d.change);
    d.log = cap.text();
    return d;
}

void set_u32(std::vector<uint8_t>& p, size_t off, uint32_t v) {
    memcpy(&p[off], &v, 4);
}

} // namespace

TEST(Decode, ValidPayloadFillsTheRecordAndLogs) {
    auto p = change_payload("/dev/br0/dhcps/lease/3/valid_time", 'U', "0");
    Decoded d = decode(p);
    ASSERT_EQ(d.ret, 0);
    EXPECT_STREQ(d.change.path, "/dev/br0/dhcps/lease/3/valid_time");
    EXPECT_EQ(d.change.action, TR111_CHANGE_UPDATE);
    EXPECT_STREQ(d.change.param, "0");
    EXPECT_NE(d.log.find("TR111_notif["), std::string::npos) << d.log;
    EXPECT_NE(d.log.find("TLV1 change->Path = /dev/br0/dhcps/lease/3/valid_time \n"),
              std::string::npos);
    EXPECT_NE(d.log.find("LV2 change->action = U \n"), std::string::npos);
    EXPECT_NE(d.log.find("TLV2 ok, action set correctly\r\n"), std::string::npos);
    EXPECT_NE(d.log.find("TLV3 change->Param_name = 0 \n"), std::string::npos);

    // Errors only: the TLV2 line is an error-class line, the others are not.
    d = decode(p, 0);
    ASSERT_EQ(d.ret, 0);
    EXPECT_EQ(count(d.log, "\n\n"), 1u) << d.log;
    EXPECT_NE(d.log.find("TLV2 ok, action set correctly\r\n\n"), std::string::npos);

    // The three actions; an empty parameter text; trailing bytes ignored.
    EXPECT_EQ(decode(change_payload("/a", 'C', "4")).change.action, TR111_CHANGE_CREATE);
    EXPECT_EQ(decode(change_payload("/a", 'D', "4")).change.action, TR111_CHANGE_DELETE);
    auto empty = change_payload("/a", 'U', "");
    empty.push_back('x');
    d = decode(empty);
    ASSERT_EQ(d.ret, 0);
    EXPECT_STREQ(d.change.param, "");
}

TEST(Decode, UnknownActionIsDroppedWithoutALine) {
    for (char a : {'X', 'c', 'u', '\0'}) {
        Decoded d = decode(change_payload("/KELMO/TR111/ManageableDevice/", a, "1"), 0);
        EXPECT_EQ(d.ret, -1) << a;
        EXPECT_TRUE(d.untouched());
        EXPECT_EQ(d.log, "") << a;
    }
}

TEST(Decode, FieldLimits) {
    // 255 path characters and 270 parameter characters fit, one more does not.
    std::string path(255, 'p'), param(270, 'v');
    Decoded d = decode(change_payload(path, 'U', param));
    ASSERT_EQ(d.ret, 0);
    EXPECT_EQ(std::string(d.change.path), path);
    EXPECT_EQ(std::string(d.change.param), param);

    d = decode(change_payload(path + "p", 'U', "1"), 0);
    EXPECT_EQ(d.ret, -1);
    EXPECT_TRUE(d.untouched());
    EXPECT_NE(d.log.find("Error in TLV1 \r\n"), std::string::npos) << d.log;

    d = decode(change_payload("/a", 'U', param + "v"), 0);
    EXPECT_EQ(d.ret, -1);
    EXPECT_TRUE(d.untouched());
    EXPECT_NE(d.log.find("Error in TLV3 \r\n"), std::string::npos) << d.log;
}

TEST(Decode, EveryTruncationIsRefusedByItsTlv) {
    const std::string path = "/dev/br0/dhcps/lease/7/start_time";
    auto p = change_payload(path, 'U', "1700000000");
    const size_t l1 = path.size();
    for (size_t n = 0; n < p.size(); ++n) {
        std::vector<uint8_t> cut(p.begin(), p.begin() + static_cast<long>(n));
        Decoded d = decode(cut, 0);
        EXPECT_EQ(d.ret, -1) << n;
        EXPECT_TRUE(d.untouched()) << n;
        const char* want = n < 5 + l1    ? "Error in TLV1 \r\n"
                           : n < 11 + l1 ? "Error in TLV2 \r\n"
                                         : "Error in TLV3 \r\n";
        EXPECT_NE(d.log.find(want), std::string::npos) << n << ": " << d.log;
    }
}

TEST(Decode, LyingLengthsAndWrongTypes) {
    const std::string path = "/KELMO/TR111/MDNotificationLimit";
    const size_t l1 = path.size();
    auto base = change_payload(path, 'U', "60");
    auto refused = [](std::vector<uint8_t> p, const char* line) {
        Decoded d = decode(p, 0);
        EXPECT_EQ(d.ret, -1) << line;
        EXPECT_TRUE(d.untouched()) << line;
        EXPECT_NE(d.log.find(line), std::string::npos) << d.log;
    };
    auto p = base;
    set_u32(p, 1, 0xFFFFFFFFu); // L1 far past the payload
    refused(p, "Error in TLV1 \r\n");
    p = base;
    set_u32(p, 1, 256);
    refused(p, "Error in TLV1 \r\n");
    p = base;
    set_u32(p, 12 + l1, 0xFFFFFFF0u); // L3 that would wrap an offset
    refused(p, "Error in TLV3 \r\n");
    p = base;
    set_u32(p, 12 + l1, 271);
    refused(p, "Error in TLV3 \r\n");
    p = base;
    set_u32(p, 12 + l1, 3); // one byte more than the payload holds
    refused(p, "Error in TLV3 \r\n");

    p = base;
    p[0] = 'C';
    refused(p, "Error in TLV1 \r\n");
    p = base;
    p[5 + l1] = 'P';
    refused(p, "Error in TLV2 \r\n");
    p = base;
    p[11 + l1] = 'P';
    refused(p, "Error in TLV3 \r\n");
    p = base;
    set_u32(p, 6 + l1, 2);
    refused(p, "Error in TLV2 \r\n");
    p = base;
    set_u32(p, 6 + l1, 0);
    refused(p, "Error in TLV2 \r\n");

    // Only the low-order byte of the action's length is compared with 1.
    p = base;
    set_u32(p, 6 + l1, 0x101);
    EXPECT_EQ(decode(p).ret, 0);

    // Lengths are in host byte order: the same payload with its lengths
    // byte-swapped is refused.
    p = base;
    uint32_t swapped = __builtin_bswap32(static_cast<uint32_t>(l1));
    set_u32(p, 1, swapped);
    refused(p, "Error in TLV1 \r\n");
}

TEST(Decode, CallbackDropsWhatCannotBeDecoded) {
    DebugSwitches sw(1, 0);
    CaptureStdout cap;
    EXPECT_EQ(tr111_callback_for_MSG_CHANGE_DB(nullptr, nullptr, 0), -1);
    uint8_t bad[] = {'Q', 0, 0, 0, 0};
    EXPECT_EQ(tr111_callback_for_MSG_CHANGE_DB(nullptr, bad, sizeof bad), -1);
    std::string log = cap.text();
    EXPECT_EQ(count(log, "TR111_callback_for_MSG_CHANGE_DB \r\n"), 2u) << log;
    EXPECT_EQ(count(log, "Error in TLV1 \r\n"), 1u) << log;
    EXPECT_EQ(log.find("change in DB"), std::string::npos);
}
