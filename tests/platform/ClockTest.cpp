#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <thread>

namespace vox {
namespace {

TEST(ClockTest, ElapsedCountsAcrossTheWrap) {
    EXPECT_EQ(ElapsedMs(100, 350), 250u);
    EXPECT_EQ(ElapsedMs(0xFFFFFF00u, 0x00000100u), 0x200u);
    EXPECT_EQ(ElapsedMs(0xFFFFFFFFu, 0u), 1u);
    EXPECT_EQ(ElapsedMs(7, 7), 0u);
}

TEST(ClockTest, TimeGetTimeAdvancesInMilliseconds) {
    const std::uint32_t start = TimeGetTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint32_t elapsed = ElapsedMs(start, TimeGetTime());
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 5000u);
}

}  // namespace
}  // namespace vox
