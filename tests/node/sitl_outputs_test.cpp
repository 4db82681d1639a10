// The pulses on the pins while parameters are written, both ways endpoint-sitl runs the node, read from its
// VCD: a write cuts, stretches or splits no pulse, and a timer's new frame rate starts where a frame ends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "firmware/drivers/PWM.hpp"
#include "sitl/vcd.hpp"
#include "sitl/bus_transfers.hpp"
#include "tests/node/fc_payloads.hpp"
#include "tests/node/getset_payloads.hpp"
#include "tests/node/sitl_firmware.hpp"

namespace {

constexpr uint64_t kUs = 1000;  // ns

struct Pulse {
    uint64_t riseNs;
    uint64_t widthNs;
};

// Every whole pulse of pwm0..pwm5 in a dump: the VCD names them '!'..'&'.
std::vector<std::vector<Pulse>> pulsesOf(std::istream& in)
{
    std::vector<std::vector<Pulse>> pulses(6);
    std::vector<uint64_t> rise(6, 0);
    std::vector<bool> high(6, false);
    uint64_t now = 0;
    bool dumping = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("$enddefinitions", 0) == 0) {
            dumping = true;
        } else if (dumping && !line.empty() && line[0] == '#') {
            now = std::stoull(line.substr(1));
        } else if (dumping && line.size() == 2 && (line[0] == '0' || line[0] == '1') && line[1] >= '!' &&
                   line[1] < '!' + 6) {
            const auto i = static_cast<std::size_t>(line[1] - '!');
            const bool level = line[0] == '1';
            if (level && !high[i]) {
                rise[i] = now;
            } else if (!level && high[i]) {
                pulses[i].push_back({rise[i], now - rise[i]});
            }
            high[i] = level;
        }
    }
    return pulses;
}

// The dump shows what the pin carries when a counter stops inside a pulse: the pin holds high, and the
// counter goes on from its count, so that pulse is longer by the stop and the frames after it move.
TEST(Vcd, ACounterStoppedInsideAPulseStretchesIt)
{
    sim::reset();
    sim::setClocks(sim::kNodeClocks);
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOA | RCC_AHB1Periph_GPIOB, ENABLE);
    PWMInit();
    std::ostringstream text;
    sitl::Vcd vcd(&text, 1);
    TIM_SetCompare(TIM5, 1, uS_to_ticks(1500));  // in force from the second frame
    const uint64_t frame = sim::pwmOutput(0).periodNs;
    sim::advanceNs(2 * frame + 700 * kUs);  // 700 us into the third
    TIM_Cmd(TIM5, DISABLE);
    sim::advanceUs(9);
    TIM_Cmd(TIM5, ENABLE);
    sim::advanceNs(2 * frame);
    vcd.advanceTo(sim::nowNs());
    std::istringstream in(text.str());
    const std::vector<Pulse> pulses = pulsesOf(in)[0];
    ASSERT_EQ(pulses.size(), 3U);
    const uint64_t widths[3] = {1500000, 1509000, 1500000};
    for (std::size_t k = 0; k < pulses.size(); ++k) {
        EXPECT_EQ(pulses[k].widthNs, widths[k]) << k;
    }
    EXPECT_NEAR(static_cast<double>(pulses[2].riseNs - pulses[0].riseNs), static_cast<double>(2 * frame + 9000), 1.0);
}

class SitlOutputs : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { SITL_SKIP_WITHOUT_IMAGE(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(Firmware, SitlOutputs, sitl_firmware::kBothWays, sitl_firmware::name);

// Node 10 votes for CAN1; node 11 sends RawCommand 6000 (1727 us) to the four ESC outputs and 3000 (1354 us)
// to element 4 at 400 Hz, and actuator 6 at 0.75 (1750 us) at 50 Hz; actuator 5 gets no command, so output
// 4 holds the neutral 1500 us. Node 12 writes NETID2 at 0.5 s (no output changes) and CAN2PWM_ACT_ESC5 = 1
// at 0.8 s: output 4 becomes an ESC output following element 4, and TIM2 moves from 50 to 490 Hz.
// A replay's frames as they are added, in time order when run; each sender (node ID modulo 3) counts its
// own transfer IDs.
class Scenario {
public:
    void add(uint64_t us, uint32_t can_id, uint64_t signature, const std::vector<uint8_t>& payload, uint8_t port = 0)
    {
        for (const sim::CanFrame& f : bus::framesOf(can_id, tid_[(can_id & 0x7FU) % 3]++, payload, signature)) {
            lines_.emplace_back(us, sitl::formatCandump({us, port, f}));
        }
    }
    // endpoint-sitl's pulses on the script, with its other arguments; the VCD's times in its own steps.
    std::vector<std::vector<Pulse>> run(const std::string& args)
    {
        std::stable_sort(lines_.begin(), lines_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        const std::string base = "/tmp/sitl_outputs_" + std::to_string(::getpid());
        {
            std::ofstream script(base + ".log");
            for (const auto& line : lines_) {
                script << line.second << "\n";
            }
        }
        const std::string command = std::string(ENDPOINT_SITL) + " " + args + " --replay " + base + ".log --vcd " +
                                    base + ".vcd";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream vcd(base + ".vcd");
        std::vector<std::vector<Pulse>> pulses = pulsesOf(vcd);
        for (const char* ext : {".log", ".vcd"}) {
            std::remove((base + ext).c_str());
        }
        return pulses;
    }

private:
    std::vector<std::pair<uint64_t, std::string>> lines_;
    uint8_t tid_[3] = {};
};

TEST_P(SitlOutputs, ParameterWritesLeaveEveryPulseWhole)
{
    Scenario scenario;
    const auto add = [&](uint64_t us, uint32_t can_id, uint64_t signature, const std::vector<uint8_t>& payload) {
        scenario.add(us, can_id, signature, payload);
    };
    for (uint64_t us = 100000; us < 1100000; us += 100000) {
        add(us, bus::messageId(24, fc::kUseFlightControllerId, 10), fc::kUseFlightControllerSignature,
            fc::useFlightController(0xA0A0A0A0A0A0A0A0ULL, 0, 0));
    }
    for (uint64_t us = 200300; us < 1100000; us += 2500) {
        add(us, bus::messageId(24, fc::kRawCommandId, 11), fc::kRawCommandSignature,
            fc::rawCommand({6000, 6000, 6000, 6000, 3000}));
    }
    for (uint64_t us = 250700; us < 1100000; us += 20000) {
        add(us, bus::messageId(24, fc::kArrayCommandId, 11), fc::kArrayCommandSignature,
            fc::arrayCommand({{6, 0, 0.75F}}));
    }
    const auto write = [&](uint64_t us, const char* name, int64_t value) {
        add(us, bus::serviceId(30, bus::kGetSetId, true, 110, 12), bus::kGetSetSignature,
            getset::request(0, getset::value::integer(value), name));
    };
    write(500000, "NETID2", 99);
    write(800000, "CAN2PWM_ACT_ESC5", 1);
    const std::vector<std::vector<Pulse>> pulses = scenario.run(GetParam() + " --until 1.1 --vcd-timescale 1ns");
    ASSERT_EQ(pulses.size(), 6U);

    // From the first command on, every pulse is one of its output's widths and begins one frame (50 or
    // 490 Hz) after the one before, to the VCD's rounding of a frame's length (a third of a nanosecond per
    // 50 Hz frame between two changes). A counter stopped for a few instructions is off by hundreds.
    constexpr uint64_t kSlackNs = 50;
    const auto near = [](uint64_t ns, const std::vector<uint64_t>& targets_ns) {
        return std::any_of(targets_ns.begin(), targets_ns.end(),
                           [ns](uint64_t t) { return ns + kSlackNs >= t && ns <= t + kSlackNs; });
    };
    const std::vector<uint64_t> frames_ns = {2041000, 20000333};  // 6123 and 60001 ticks
    const std::vector<std::vector<uint64_t>> widths_ns = {{1727000}, {1727000}, {1727000}, {1727000},
                                                                    {1500000, 1354000}, {1500000, 1750000}};
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        std::vector<Pulse> driven;
        std::copy_if(pulses[i].begin(), pulses[i].end(), std::back_inserter(driven),
                     [](const Pulse& p) { return p.riseNs > 210000 * kUs; });
        ASSERT_GT(driven.size(), i < 4 ? 400U : 40U) << "pwm" << i << " pulses all along";
        std::size_t bad = 0;
        std::string first;
        for (std::size_t k = 1; k < driven.size(); ++k) {
            const uint64_t frame_ns = driven[k].riseNs - driven[k - 1].riseNs;
            if (!near(driven[k].widthNs, widths_ns[i]) || !near(frame_ns, frames_ns)) {
                if (bad++ == 0) {
                    first = std::to_string(driven[k].widthNs) + " ns pulse at " + std::to_string(driven[k].riseNs) +
                            " ns, " + std::to_string(frame_ns) + " ns after the one before";
                }
            }
        }
        EXPECT_EQ(bad, 0U) << "pwm" << i << ", the first: a " << first;
    }
    // Output 4 follows element 4 and TIM2 runs at 490 Hz once the second write is in.
    EXPECT_TRUE(near(pulses[4].back().widthNs, {1354000}));
    EXPECT_TRUE(near(pulses[5].back().riseNs - pulses[5][pulses[5].size() - 2].riseNs, {2041000}));
}

// A minute of failover at the default 1 us step: A (node 10, CAN1) flies until 2 s, then B (node 20, CAN2)
// is elected and flies on. Every pulse has a commanded width to the microsecond, and every frame starts
// where the timer's counts put it, rounded once: a frame of 60001 ticks is 20000 1/3 us, so a dump that
// added up rounded frames would leave the timer's grid within seconds (and draw a runt where it is met again).
TEST_P(SitlOutputs, AMinuteOfEdgesLieOnTheTimersCounts)
{
    Scenario scenario;
    for (uint64_t us = 100000; us < 60000000; us += 100000) {
        if (us < 2000000) {
            scenario.add(us, bus::messageId(24, fc::kUseFlightControllerId, 10), fc::kUseFlightControllerSignature,
                         fc::useFlightController(0xA0A0A0A0A0A0A0A0ULL, 0, 0));
        }
        scenario.add(us + 50, bus::messageId(24, fc::kUseFlightControllerId, 20), fc::kUseFlightControllerSignature,
                     fc::useFlightController(0xB0B0B0B0B0B0B0B0ULL, 1, 1), 1);
    }
    for (uint64_t us = 200300; us < 60000000; us += 2500) {
        if (us < 2000000) {
            scenario.add(us, bus::messageId(24, fc::kRawCommandId, 10), fc::kRawCommandSignature,
                         fc::rawCommand({6000, 6000, 6000, 6000}));
        }
        scenario.add(us + 700, bus::messageId(24, fc::kRawCommandId, 20), fc::kRawCommandSignature,
                     fc::rawCommand({3000, 3000, 3000, 3000}), 1);
    }
    for (uint64_t us = 250700; us < 60000000; us += 20000) {
        scenario.add(us, bus::messageId(24, fc::kArrayCommandId, 20), fc::kArrayCommandSignature,
                     fc::arrayCommand({{6, 0, 0.75F}}), 1);
    }
    const std::vector<std::vector<Pulse>> pulses = scenario.run(GetParam() + " --until 60");
    ASSERT_EQ(pulses.size(), 6U);
    const std::vector<std::vector<uint64_t>> widths_us = {{1727, 1354}, {1727, 1354}, {1727, 1354}, {1727, 1354},
                                                          {1500}, {1500, 1750}};
    constexpr int64_t kTicksPerUs = 3;
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        const std::vector<Pulse>& p = pulses[i];
        ASSERT_GT(p.size(), i < 4 ? 28000U : 2900U) << "pwm" << i << " pulses all along";
        // The frame's start, 3 * origin in ns, that every rise since the last new rate allows: a rise at
        // r us of frame k is the nearest microsecond to origin + k * frame ticks (a nanosecond's slack for
        // the timer's own rounding up).
        int64_t lo = INT64_MIN, hi = INT64_MAX, frame_ticks = 0, k = 0;
        for (std::size_t j = 0; j < p.size(); ++j) {
            EXPECT_TRUE(std::count(widths_us[i].begin(), widths_us[i].end(), p[j].widthNs) == 1)
                << "pwm" << i << ": a " << p[j].widthNs << " us pulse at " << p[j].riseNs << " us";
            const auto d3 = j == 0 ? 0 : kTicksPerUs * static_cast<int64_t>(p[j].riseNs - p[j - 1].riseNs);
            const int64_t rate = std::abs(d3 - 6123) <= 3 ? 6123 : std::abs(d3 - 60001) <= 3 ? 60001 : 0;
            if (rate != frame_ticks || rate == 0) {
                frame_ticks = rate;  // a new rate, or the first frame after a pause, starts a grid of its own
                lo = INT64_MIN;
                hi = INT64_MAX;
                k = 0;
            } else {
                ++k;
            }
            const int64_t at = 3000 * static_cast<int64_t>(p[j].riseNs) - 1000 * k * frame_ticks;
            lo = std::max(lo, at - 1503);
            hi = std::min(hi, at + 1503);
            ASSERT_LE(lo, hi) << "pwm" << i << ": the frame at " << p[j].riseNs << " us is off the timer's counts";
        }
    }
}

}  // namespace
