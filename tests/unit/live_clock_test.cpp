// The live pacing's lag report: said once, with the lag, and not while virtual time keeps up.
#include "sitl/live_clock.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr uint64_t kS = 1000000000;

TEST(LiveClock, ReportsALagOnceAndGoesOn)
{
    sitl::LiveClock clock(5 * kS);  // a live start after 5 s of virtual time
    EXPECT_GE(clock.wallNs(), 5 * kS);
    testing::internal::CaptureStderr();
    clock.check(100 * kS);  // ahead: no lag
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    clock.check(4 * kS);
    clock.check(3 * kS);
    const std::string said = testing::internal::GetCapturedStderr();
    // 1 s, and whatever wall time this test itself took (well under 50 ms).
    EXPECT_EQ(said.rfind("endpoint-sitl: the host is not keeping up: virtual time 1.0", 0), 0U) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "once";
}

}  // namespace
