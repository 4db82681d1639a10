// The PWM timers on the simulated chip: start-up without pulses and pins, the per-timer frame rate that any one
// channel can raise to 490 Hz, compares, and a rate change that starts where the frame under way ends.
#include "firmware/drivers/PWM.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/sim/sim.hpp"

namespace {

class Pwm : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
        // The board start-up clocks the ports before the timers are set up.
        RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOA | RCC_AHB1Periph_GPIOB, ENABLE);
        PWMInit();
        // The rate requests live in the driver, not in the timers: forget those of earlier tests.
        for (uint8_t ch = 1; ch <= 4; ++ch) {
            PWMSetFreq(TIM2, ch, PWM_Freq50Hz);
            PWMSetFreq(TIM5, ch, PWM_Freq50Hz);
        }
    }

    // Every output at 1500 us from the next frame on, as the node starts its servo outputs.
    static void allNeutral()
    {
        for (const PWM_Output_t& out : PWM_Outputs) {
            TIM_SetCompare(out.timer, out.channel, uS_to_ticks(RCPWM_NEUTRAL_uS));
        }
        sim::advanceUs(20001);
    }

    // A new rate shows from the next frame on: one 50 Hz frame is long enough for either rate's.
    static void nextFrame() { sim::advanceUs(20001); }
    static uint32_t hz(unsigned output) { return sim::pwmOutput(output).frameHz(); }
    static uint32_t us(unsigned output) { return sim::pwmOutput(output).pulseUs(); }
};

// No pulse until the node sets one: the driver does not know which outputs drive ESCs.
TEST_F(Pwm, StartsAllSixOutputsWithoutPulseAtFiftyHertz)
{
    for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
        EXPECT_EQ(us(i), 0U) << i;
        EXPECT_EQ(hz(i), 50U) << i;
        EXPECT_EQ(sim::pwmOutput(i).periodNs, 20000333U) << "60001 ticks of 1/3 us";
    }
    struct Pin {
        GPIO_TypeDef* port;
        unsigned pin;
        uint32_t af;
    };
    const Pin pins[] = {{GPIOA, 0, 2}, {GPIOA, 1, 2}, {GPIOA, 2, 2}, {GPIOA, 3, 2}, {GPIOA, 5, 1}, {GPIOB, 10, 1}};
    for (const Pin& p : pins) {
        EXPECT_EQ(sim::gpioMode(p.port, p.pin), GPIO_MODER_AF) << p.pin;
        EXPECT_EQ(sim::gpioAlternate(p.port, p.pin), p.af) << p.pin;
        EXPECT_EQ((p.port->OSPEEDR >> (2 * p.pin)) & 3U, 3U) << "the 100 MHz grade";
        EXPECT_EQ((p.port->OTYPER >> p.pin) & 1U, 0U) << "push-pull";
        EXPECT_EQ((p.port->PUPDR >> (2 * p.pin)) & 3U, 0U) << "no pull";
    }
    EXPECT_STREQ(PWM_Outputs[5].name, "TIM2_CH3_PB10");
}

TEST_F(Pwm, ComparesArePreloadedAndOnlyChannelsOneToFourExist)
{
    allNeutral();
    TIM_SetCompare(TIM5, 1, uS_to_ticks(2000));
    EXPECT_EQ(us(0), 1500U) << "the running frame keeps its width";
    sim::advanceUs(20001);
    EXPECT_EQ(us(0), 2000U);

    TIM_SetCompare(TIM5, 0, 0);
    TIM_SetCompare(TIM5, 5, 0);
    TIM_SetCompare(TIM2, 2, 0);  // a channel without a pin
    sim::advanceUs(20001);
    for (unsigned i = 1; i < sim::kPwmOutputs; ++i) {
        EXPECT_EQ(us(i), 1500U) << i;
    }
    EXPECT_EQ(TIM5->CCR1, 6000U);

    // The widest pulse at 490 Hz: high 2000 us, low 41 us of a 6123-tick frame.
    PWMSetFreq(TIM5, 1, PWM_Freq490Hz);
    nextFrame();
    const sim::PwmOutput out = sim::pwmOutput(0);
    EXPECT_EQ(out.pulseNs, 2000000U);
    EXPECT_EQ(out.periodNs - out.pulseNs, 41000U);
}

TEST_F(Pwm, OneChannelAtFourNinetyHertzMovesItsWholeTimer)
{
    PWMSetFreq(TIM2, 1, PWM_Freq490Hz);
    PWMSetFreq(TIM2, 3, PWM_Freq50Hz);
    nextFrame();
    EXPECT_EQ(hz(4), 490U);
    EXPECT_EQ(hz(5), 490U);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(hz(i), 50U) << "TIM5 untouched";
    }
    PWMSetFreq(TIM5, 2, PWM_Freq490Hz);
    nextFrame();
    EXPECT_EQ(hz(0), 490U);
    EXPECT_EQ(hz(3), 490U);

    PWMSetFreq(TIM2, 1, PWM_Freq50Hz);
    nextFrame();
    EXPECT_EQ(hz(4), 50U) << "back once no channel asks for 490 Hz";
    EXPECT_EQ(hz(5), 50U);
    EXPECT_EQ(hz(0), 490U);

    // Channels outside 1..4 are not recorded and change nothing.
    PWMSetFreq(TIM2, 0, PWM_Freq490Hz);
    PWMSetFreq(TIM2, 5, PWM_Freq490Hz);
    PWMSetFreq(TIM2, 255, PWM_Freq490Hz);
    nextFrame();
    EXPECT_EQ(hz(4), 50U);
    EXPECT_EQ(TIM2->ARR, TIMER_PERIOD50HZ);
    PWMSetFreq(TIM5, 2, PWM_Freq50Hz);
    EXPECT_EQ(TIM5->ARR, TIMER_PERIOD50HZ);

    // The last channel alone is enough too.
    PWMSetFreq(TIM5, 4, PWM_Freq490Hz);
    EXPECT_EQ(TIM5->ARR, TIMER_PERIOD490HZ);
    nextFrame();
    EXPECT_EQ(hz(0), 490U);
}

std::vector<std::pair<sim::PwmOutput, uint64_t>> g_output0;  // output 0's changes and their times
void recordOutput0(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    if (output == 0) {
        g_output0.emplace_back(now, ns);
    }
}

// When the frame under way on output 0 ends, from its phase.
uint64_t frameEndNs()
{
    const sim::PwmOutput out = sim::pwmOutput(0);
    return sim::nowNs() + out.periodNs - (sim::nowNs() + out.periodNs - out.phaseNs % out.periodNs) % out.periodNs;
}

// A new rate starts where the frame under way ends: the counter runs on, so no frame and no pulse is cut
// or stretched, also 10 ms into a 50 Hz frame, far past the 490 Hz period (and back).
TEST_F(Pwm, ANewRateStartsWhereTheFrameUnderWayEnds)
{
    allNeutral();
    g_output0.clear();
    sim::setPwmObserver(recordOutput0);
    sim::advanceUs(10000);
    const uint32_t count = TIM5->CNT;
    ASSERT_GT(count, TIMER_PERIOD490HZ);
    uint64_t end = frameEndNs();
    PWMSetFreq(TIM5, 1, PWM_Freq490Hz);
    EXPECT_GE(TIM5->CNT, count) << "the counter goes on";
    sim::advanceNs(end - 1 - sim::nowNs());
    EXPECT_TRUE(g_output0.empty()) << "the frame under way is whole";
    sim::advanceUs(1);
    ASSERT_EQ(g_output0.size(), 1U);
    EXPECT_EQ(g_output0[0].second, end);
    EXPECT_EQ(g_output0[0].first.frameHz(), 490U);
    EXPECT_EQ(g_output0[0].first.pulseUs(), 1500U);

    sim::advanceUs(1700);  // inside the second 490 Hz frame, past its pulse
    end = frameEndNs();
    PWMSetFreq(TIM5, 1, PWM_Freq50Hz);
    sim::advanceNs(end - 1 - sim::nowNs());
    EXPECT_EQ(g_output0.size(), 1U);
    sim::advanceUs(1);
    ASSERT_EQ(g_output0.size(), 2U);
    EXPECT_EQ(g_output0[1].second, end);
    EXPECT_EQ(g_output0[1].first.frameHz(), 50U);
    sim::setPwmObserver(nullptr);
}

}  // namespace
