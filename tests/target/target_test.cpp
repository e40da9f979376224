// Facts of the build that the daemon relies on. On the gateway target (a
// cross build, run under emulation) the suite must really run 32-bit and
// big-endian, or it proves nothing about the gateway; on every build the
// clock of the notification limit must go on past January 2038 (a 32-bit
// time_t makes time() fail from then on, and every active notification
// would pass the limit).
#include <gtest/gtest.h>

#include <bit>
#include <ctime>

TEST(Target, ClockGoesPast2038AndACrossBuildRunsThirtyTwoBitBigEndian) {
    EXPECT_EQ(sizeof(time_t), 8u);
#ifdef TR111_CROSS_TARGET
    EXPECT_EQ(std::endian::native, std::endian::big);
    EXPECT_EQ(sizeof(void*), 4u);
#endif
}
