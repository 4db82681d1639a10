// endpoint-sitl on the built-in failover script: its output trace shows the pulses follow the flight
// controller that is left when the other falls silent.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/node/sitl_firmware.hpp"

namespace {

struct Line {
    uint64_t us;
    std::string name;
    long value;
};

std::vector<Line> readTrace(const std::string& path)
{
    std::ifstream in(path);
    std::vector<Line> out;
    for (std::string text; std::getline(in, text);) {
        const auto a = text.find(',');
        const auto b = text.rfind(',');
        out.push_back({std::stoull(text.substr(0, a)), text.substr(a + 1, b - a - 1), std::stol(text.substr(b + 1))});
    }
    return out;
}

// The value of `name` at time `us` (after every change up to and including that time).
long valueAt(const std::vector<Line>& trace, const std::string& name, uint64_t us)
{
    long v = -1;
    for (const Line& l : trace) {
        if (l.name == name && l.us <= us) {
            v = l.value;
        }
    }
    return v;
}

// Run both ways: the firmware compiled into endpoint-sitl, and the flashed image on the emulated core.
class SitlFailover : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        SITL_SKIP_WITHOUT_IMAGE(GetParam());
    }
};
INSTANTIATE_TEST_SUITE_P(Firmware, SitlFailover, sitl_firmware::kBothWays, sitl_firmware::name);

TEST_P(SitlFailover, TheTraceShowsTheNodeFollowingTheRemainingFlightController)
{
    const std::string trace_path = "/tmp/sitl_failover_" + std::to_string(::getpid()) + ".csv";
    const std::string profile_path = "/tmp/sitl_failover_" + std::to_string(::getpid()) + ".profile";
    const std::string command = std::string(ENDPOINT_SITL) + " " + GetParam() + " --replay " + SCENARIO_DIR +
                                "/failover.log --until 3.5 --trace " + trace_path + " --profile " + profile_path;
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream profile(profile_path);
    long latency_us = -1;
    for (std::string line; std::getline(profile, line);) {
        if (line.rfind("cmd_to_compare_us_max,", 0) == 0) {
            latency_us = std::stol(line.substr(line.find(',') + 1));
        }
    }
    std::remove(profile_path.c_str());
    EXPECT_GT(latency_us, 0) << "commands reached the outputs";
    EXPECT_LT(latency_us, 1000) << "within a millisecond of the command's end";
    const std::vector<Line> trace = readTrace(trace_path);
    std::remove(trace_path.c_str());
    ASSERT_FALSE(trace.empty());

    for (std::size_t i = 1; i < trace.size(); ++i) {
        ASSERT_LE(trace[i - 1].us, trace[i].us) << "in time order";
    }
    // The ESC outputs emit no pulse before A's first command (0.101 s), and none drops its pulse after it:
    // the command timeout outlasts the switch to B.
    for (const Line& l : trace) {
        if (l.name == "pwm0_us" || l.name == "pwm1_us" || l.name == "pwm2_us" || l.name == "pwm3_us") {
            EXPECT_TRUE(l.us < 101000 ? l.value == 0 : l.value != 0) << l.name << " at " << l.us;
        }
    }
    // A (CAN1) leads: raw 6000 on the four ESC outputs at 490 Hz, LED1 lit.
    for (const char* out : {"pwm0_us", "pwm1_us", "pwm2_us", "pwm3_us"}) {
        EXPECT_EQ(valueAt(trace, out, 1900000), 1727) << out;
        EXPECT_EQ(valueAt(trace, out, 3500000), 1354) << out;
    }
    EXPECT_EQ(valueAt(trace, "pwm0_hz", 3500000), 490);
    EXPECT_EQ(valueAt(trace, "pwm4_us", 3500000), 1500) << "the servo outputs get no command: they hold 1500 us";
    EXPECT_EQ(valueAt(trace, "led1", 1900000), 1);

    // A's last vote is at 1.9 s: it ages out 250..300 ms later, and B's next command (every 50 ms) drives.
    uint64_t switched_us = 0;
    for (const Line& l : trace) {
        if (l.name == "pwm0_us" && l.value == 1354 && switched_us == 0) {
            switched_us = l.us;
        }
    }
    EXPECT_GE(switched_us, 2150000U);
    EXPECT_LE(switched_us, 2260000U);
    EXPECT_EQ(valueAt(trace, "led1", switched_us), 0);
    EXPECT_EQ(valueAt(trace, "led2", switched_us), 1);
}

}  // namespace
