// The live pacing's lag report: with the lag when it first passes 100 ms, again at each further second,
// and at the end; nothing while virtual time keeps up.
#include "sitl/live_clock.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

constexpr uint64_t kS = 1000000000;
constexpr uint64_t kMs = 1000000;

std::size_t lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

TEST(LiveClock, ReportsALagOnceAndGoesOn)
{
    sitl::LiveClock clock(5 * kS);  // a live start after 5 s of virtual time
    EXPECT_GE(clock.wallNs(), 5 * kS);
    testing::internal::CaptureStderr();
    clock.check(100 * kS);  // ahead: no lag
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    clock.check(4 * kS);
    const std::string said = testing::internal::GetCapturedStderr();
    // 1 s, and whatever wall time this test itself took (well under 50 ms).
    EXPECT_EQ(said.rfind("endpoint-sitl: the host is not keeping up: virtual time 1.0", 0), 0U) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "once";
}

TEST(LiveClock, SaysAgainAtEachFurtherSecondAndAtTheEnd)
{
    testing::internal::CaptureStderr();
    sitl::LiveClock quiet(5 * kS);
    quiet.check(5 * kS);  // within the first 100 ms: not behind
    quiet.finish(5 * kS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a run that kept up ends silently";

    sitl::LiveClock clock(10 * kS);
    testing::internal::CaptureStderr();
    clock.check(10 * kS - 200 * kMs);  // 0.2 s behind: said
    clock.check(10 * kS - 900 * kMs);  // grown by 0.7 s only
    clock.check(10 * kS - 1300 * kMs);  // grown by a second since it was said
    clock.check(10 * kS - 1500 * kMs);
    clock.check(10 * kS - 3400 * kMs);  // a second more, and another: said once, with the lag
    clock.check(10 * kS);               // caught up
    clock.finish(10 * kS - 500 * kMs);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines(said), 4U) << said;
    EXPECT_NE(said.find("virtual time 0.2"), std::string::npos) << said;
    EXPECT_NE(said.find("virtual time 1.3"), std::string::npos) << said;
    EXPECT_NE(said.find("virtual time 3.4"), std::string::npos) << said;
    EXPECT_NE(said.find("live run ended 0.5"), std::string::npos) << said;
    EXPECT_NE(said.find("(at most 3.4"), std::string::npos) << said;
}

}  // namespace
