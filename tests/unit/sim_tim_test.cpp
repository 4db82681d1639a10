// The simulated TIM2/TIM5: frame and pulse from the prescaler, period and compare at the APB1 timer clock,
// the preload rule (a new compare shows at the update event), the counter run past a shortened period,
// channel modes and polarity, and the pin routing through the GPIO alternate function.
#include <gtest/gtest.h>

#include <vector>

#include "chip.hpp"
#include "platform/sim/sim.hpp"

namespace {

constexpr uint64_t kFrame50Ns = 20000333;    // 60001 ticks of 1/3 us
constexpr uint64_t kUpdate50Ns = 20000334;   // the update event, on the first timer clock after it
constexpr uint32_t kOc1Pwm1 = 6U << TIM_CCMR1_OC1M_Pos;

struct Change {
    unsigned output;
    sim::PwmOutput out;
    uint64_t ns;
};
std::vector<Change> g_changes;

void record(unsigned output, const sim::PwmOutput& out, uint64_t ns) { g_changes.push_back({output, out, ns}); }

class SimTim : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
        g_changes.clear();
        sim::setPwmObserver(record);
        RCC->AHB1ENR |= RCC_AHB1Periph_GPIOA | RCC_AHB1Periph_GPIOB;
        RCC->APB1ENR |= RCC_APB1Periph_TIM2 | RCC_APB1Periph_TIM5;
    }
    void TearDown() override { sim::setPwmObserver(nullptr); }

    // The observer hears of changes at the next safe point.
    static void settle() { sim::advanceNs(0); }

    static void route(GPIO_TypeDef* port, unsigned pin, uint32_t af)
    {
        port->AFR[pin >> 3] = (port->AFR[pin >> 3] & ~(0xFU << (4 * (pin & 7)))) | (af << (4 * (pin & 7)));
        port->MODER = (port->MODER & ~(3U << (2 * pin))) | (GPIO_MODER_AF << (2 * pin));
    }

    // TIM5 channel 1 on PA0, 3 MHz count, in PWM mode 1 with the compare preloaded, started.
    static void startTim5Ch1(uint32_t arr, uint32_t ccr, bool preload = true)
    {
        route(GPIOA, 0, GPIO_AF_TIM5);
        TIM5->PSC = 31;
        TIM5->ARR = arr;
        TIM5->CCR1 = ccr;
        TIM5->CCMR1 = kOc1Pwm1 | (preload ? TIM_CCMR1_OC1PE : 0U);
        TIM5->CCER = TIM_CCER_CC1E;
        TIM5->EGR = TIM_EGR_UG;
        TIM5->CR1 = TIM_CR1_CEN;
    }
};

TEST_F(SimTim, FrameAndPulseFromPrescalerPeriodAndCompare)
{
    startTim5Ch1(60000, 4500);
    sim::PwmOutput out = sim::pwmOutput(0);
    EXPECT_EQ(out.periodNs, kFrame50Ns);
    EXPECT_EQ(out.pulseNs, 1500000U);
    EXPECT_EQ(out.frameHz(), 50U);
    EXPECT_EQ(out.pulseUs(), 1500U);

    TIM5->ARR = 6122;  // not preloaded: at once
    out = sim::pwmOutput(0);
    EXPECT_EQ(out.periodNs, 2041000U);
    EXPECT_EQ(out.frameHz(), 490U);

    TIM5->CCMR1 = kOc1Pwm1;  // compare without preload, so each write shows at once
    TIM5->CCR1 = 0;
    EXPECT_EQ(sim::pwmOutput(0).pulseNs, 0U) << "compare 0: low all frame";
    EXPECT_EQ(sim::pwmOutput(0).frameHz(), 490U) << "the frames go on";
    TIM5->CCR1 = 6123;
    EXPECT_EQ(sim::pwmOutput(0).pulseNs, 2041000U) << "compare beyond the period: high all frame";
    TIM5->CCR1 = 5997;
    EXPECT_EQ(sim::pwmOutput(0).pulseUs(), 1999U);

    // The other outputs have no frames: their pins are not routed.
    for (unsigned i = 1; i < sim::kPwmOutputs; ++i) {
        EXPECT_EQ(sim::pwmOutput(i), sim::PwmOutput{}) << i;
    }
}

TEST_F(SimTim, TimerClockIsTwiceADividedApb1)
{
    startTim5Ch1(60000, 4500, false);
    sim::setClocks({96000000U, 96000000U, 24000000U, 96000000U});  // APB1 / 4: timers at 48 MHz
    EXPECT_EQ(sim::pwmOutput(0).pulseNs, 3000000U);
    sim::setClocks({48000000U, 48000000U, 48000000U, 48000000U});  // undivided: timers at PCLK1
    EXPECT_EQ(sim::pwmOutput(0).pulseNs, 3000000U);
    sim::setClocks(sim::kNodeClocks);
    RCC->DCKCFGR = RCC_DCKCFGR_TIMPRE;  // HCLK for APB dividers up to 4
    EXPECT_EQ(sim::pwmOutput(0).pulseNs, 1500000U);
}

TEST_F(SimTim, PreloadedCompareShowsAtTheNextUpdateEvent)
{
    startTim5Ch1(60000, 4500);
    const uint64_t start = sim::nowNs();
    settle();
    g_changes.clear();

    sim::advanceUs(5000);
    TIM5->CCR1 = 6000;
    EXPECT_EQ(sim::pwmOutput(0).pulseUs(), 1500U) << "the running frame keeps its width";
    sim::advanceNs(start + kUpdate50Ns - 1 - sim::nowNs());
    EXPECT_TRUE(g_changes.empty());
    sim::advanceNs(1);
    ASSERT_EQ(g_changes.size(), 1U);
    EXPECT_EQ(g_changes[0].output, 0U);
    EXPECT_EQ(g_changes[0].ns, start + kUpdate50Ns);
    EXPECT_EQ(g_changes[0].out.pulseUs(), 2000U);
    EXPECT_EQ(TIM5->SR & TIM_SR_UIF, TIM_SR_UIF);

    // Two writes in one frame: only the last one shows, at the next frame.
    TIM5->CCR1 = 3000;
    TIM5->CCR1 = 3750;
    sim::advanceNs(kFrame50Ns + 1);
    ASSERT_EQ(g_changes.size(), 2U);
    EXPECT_EQ(g_changes[1].out.pulseUs(), 1250U);
    EXPECT_EQ(g_changes[1].ns, start + 2 * kFrame50Ns + 1) << "frames keep their phase";

    // Without preload a compare shows at once.
    TIM5->CCMR1 = kOc1Pwm1;
    TIM5->CCR1 = 4500;
    settle();
    ASSERT_EQ(g_changes.size(), 3U);
    EXPECT_EQ(g_changes[2].ns, sim::nowNs());

    // A state undone within one instant never shows on the pin.
    TIM5->CR1 = 0;
    TIM5->ARR = 60000;
    TIM5->CR1 = TIM_CR1_CEN;
    settle();
    EXPECT_EQ(g_changes.size(), 3U);
}

TEST_F(SimTim, CounterCountsStopsAndIsWritable)
{
    startTim5Ch1(60000, 4500);
    sim::advanceUs(100);
    EXPECT_EQ(TIM5->CNT, 300U);
    sim::advanceUs(20000);  // wrapped at 60001
    EXPECT_EQ(TIM5->CNT, 300U + 60000U - 60001U);

    TIM5->CR1 = 0;
    const uint32_t held = TIM5->CNT;
    EXPECT_EQ(sim::pwmOutput(0).periodNs, 0U) << "stopped: no frames";
    EXPECT_TRUE(sim::pwmOutput(0).high) << "at count 299 of a 4500-tick pulse the pin holds high";
    sim::advanceUs(1000);
    EXPECT_EQ(TIM5->CNT, held);
    TIM5->CNT = 100;
    TIM5->CR1 = TIM_CR1_CEN;
    sim::advanceUs(10);
    EXPECT_EQ(TIM5->CNT, 130U);
    EXPECT_EQ(sim::pwmOutput(0).pulseUs(), 1500U);

    // The prescaler is preloaded too: it changes the count rate at the update event (here forced).
    TIM5->PSC = 95;
    sim::advanceUs(10);
    EXPECT_EQ(TIM5->CNT, 160U);
    TIM5->EGR = TIM_EGR_UG;
    EXPECT_EQ(TIM5->CNT, 0U);
    sim::advanceUs(10);
    EXPECT_EQ(TIM5->CNT, 10U);
    EXPECT_EQ(sim::pwmOutput(0).pulseUs(), 4500U);
}

// CEN clear stops the counter and its prescaler; the compare logic goes on, so the pin holds the level of
// the held count. Started again the counter goes on from that count: the frames move by the stop.
TEST_F(SimTim, AStoppedCounterHoldsItsPinAndGoesOnFromItsCount)
{
    startTim5Ch1(60000, 4500);
    const sim::PwmOutput running = sim::pwmOutput(0);
    EXPECT_EQ(running.phaseNs, sim::nowNs() + kUpdate50Ns) << "the first frame ends 60001 ticks on";
    settle();
    g_changes.clear();
    sim::advanceUs(1000);
    TIM5->CR1 = 0;
    TIM5->CR1 = TIM_CR1_CEN;
    settle();
    EXPECT_TRUE(g_changes.empty()) << "stopped for no time: nothing changes";

    TIM5->CR1 = 0;  // inside the pulse (count 3000)
    settle();
    ASSERT_EQ(g_changes.size(), 1U);
    EXPECT_EQ(g_changes[0].out.periodNs, 0U);
    EXPECT_TRUE(g_changes[0].out.high);
    sim::advanceUs(7);
    EXPECT_EQ(TIM5->CNT, 3000U);
    TIM5->CR1 = TIM_CR1_CEN;
    EXPECT_EQ(sim::pwmOutput(0).phaseNs, running.phaseNs + 7000U) << "the pulse lasts 7 us longer";
    sim::advanceUs(600);  // count 4800, past the pulse
    TIM5->CR1 = 0;
    EXPECT_FALSE(sim::pwmOutput(0).high);
    TIM5->EGR = TIM_EGR_UG;  // also while stopped: count 0, inside the pulse again
    EXPECT_EQ(TIM5->CNT, 0U);
    EXPECT_TRUE(sim::pwmOutput(0).high);
}

TEST_F(SimTim, ShortenedPeriodBehindTheCounterRunsToTheWrap)
{
    startTim5Ch1(60000, 4500);
    sim::advanceUs(10000);
    ASSERT_EQ(TIM5->CNT, 30000U);
    g_changes.clear();

    TIM5->ARR = 6122;  // not preloaded, and below the count
    EXPECT_EQ(sim::pwmOutput(0), sim::PwmOutput{}) << "no frames until the 32-bit wrap";
    settle();
    ASSERT_EQ(g_changes.size(), 1U);
    TIM5->CCR1 = 6000;
    sim::advanceUs(1000000);  // a second later: still counting up
    EXPECT_EQ(TIM5->CNT, 30000U + 3000000U);
    EXPECT_EQ(g_changes.size(), 1U);

    // 2^32 - 30000 ticks after the change the counter wraps; frames come back with the new compare.
    const uint64_t wrapNs = sim::nowNs() - 1000000000ULL + ((1ULL << 32) - 30000U) * 1000ULL / 3U;
    sim::advanceNs(wrapNs + 1000 - sim::nowNs());
    ASSERT_EQ(g_changes.size(), 2U);
    EXPECT_NEAR(static_cast<double>(g_changes[1].ns), static_cast<double>(wrapNs), 1.0);
    EXPECT_EQ(g_changes[1].out.frameHz(), 490U);
    EXPECT_EQ(g_changes[1].out.pulseUs(), 2000U);
    EXPECT_LT(TIM5->CNT, 6123U);
}

TEST_F(SimTim, PreloadedPeriodWaitsForTheUpdateEvent)
{
    startTim5Ch1(60000, 4500);
    TIM5->CR1 = TIM_CR1_CEN | TIM_CR1_ARPE;
    sim::advanceUs(10000);
    TIM5->ARR = 6122;
    EXPECT_EQ(sim::pwmOutput(0).frameHz(), 50U);
    sim::advanceUs(10001);
    EXPECT_EQ(sim::pwmOutput(0).frameHz(), 490U);
    EXPECT_LT(TIM5->CNT, 6123U);
}

TEST_F(SimTim, ModesPolarityAndEnable)
{
    startTim5Ch1(60000, 4500, false);
    TIM5->CCMR1 = 7U << TIM_CCMR1_OC1M_Pos;  // PWM mode 2: low below the compare
    EXPECT_EQ(sim::pwmOutput(0).pulseNs, kFrame50Ns - 1500000U);
    TIM5->CCER = TIM_CCER_CC1E | TIM_CCER_CC1P;  // and active low: back to a 1500 us pulse
    EXPECT_EQ(sim::pwmOutput(0).pulseNs, 1500000U);
    TIM5->CCER = TIM_CCER_CC1E;
    TIM5->CCMR1 = 5U << TIM_CCMR1_OC1M_Pos;  // forced high
    EXPECT_EQ(sim::pwmOutput(0).pulseNs, kFrame50Ns);
    TIM5->CCMR1 = 4U << TIM_CCMR1_OC1M_Pos;  // forced low
    EXPECT_EQ(sim::pwmOutput(0).pulseNs, 0U);
    EXPECT_EQ(sim::pwmOutput(0).frameHz(), 50U);
    TIM5->CCMR1 = 3U << TIM_CCMR1_OC1M_Pos;  // toggle on match: not a pulse train
    EXPECT_EQ(sim::pwmOutput(0), sim::PwmOutput{});
    TIM5->CCMR1 = kOc1Pwm1;
    TIM5->CCER = 0;  // channel off
    EXPECT_EQ(sim::pwmOutput(0), sim::PwmOutput{});
}

TEST_F(SimTim, PinsFollowTheirAlternateFunction)
{
    // TIM2 channels 1 and 3 reach PA5 and PB10 with AF1 only.
    TIM2->PSC = 31;
    TIM2->ARR = 60000;
    TIM2->CCR1 = 3000;
    TIM2->CCR3 = 6000;
    TIM2->CCMR1 = kOc1Pwm1;
    TIM2->CCMR2 = kOc1Pwm1;
    TIM2->CCER = TIM_CCER_CC1E | TIM_CCER_CC3E;
    TIM2->EGR = TIM_EGR_UG;
    TIM2->CR1 = TIM_CR1_CEN;
    EXPECT_EQ(sim::pwmOutput(4), sim::PwmOutput{});
    route(GPIOA, 5, GPIO_AF_TIM5);  // the wrong function
    EXPECT_EQ(sim::pwmOutput(4), sim::PwmOutput{});
    g_changes.clear();
    route(GPIOA, 5, GPIO_AF_TIM2);
    route(GPIOB, 10, GPIO_AF_TIM2);
    EXPECT_EQ(sim::pwmOutput(4).pulseUs(), 1000U);
    EXPECT_EQ(sim::pwmOutput(5).pulseUs(), 2000U);
    settle();
    ASSERT_EQ(g_changes.size(), 2U) << "routing a pin is a change on it";
    EXPECT_EQ(g_changes[0].output, 4U);
    EXPECT_EQ(g_changes[1].output, 5U);

    // TIM2's channel 2 and 4 (not on the node's pins) change nothing observable.
    TIM2->CCR2 = 100;
    TIM2->CCR4 = 100;
    settle();
    EXPECT_EQ(g_changes.size(), 2U);

    // A peripheral reset of TIM2 takes its pins' frames away.
    RCC->APB1RSTR = RCC_APB1Periph_TIM2;
    RCC->APB1RSTR = 0;
    EXPECT_EQ(sim::pwmOutput(4), sim::PwmOutput{});
    EXPECT_EQ(sim::pwmOutput(5), sim::PwmOutput{});
    settle();
    EXPECT_EQ(g_changes.size(), 4U);
}

TEST_F(SimTim, CountingModesTheModelLacksStopTheRun)
{
    EXPECT_DEATH(TIM5->CR1 = TIM_CR1_CEN | TIM_CR1_DIR, "not modelled");
    EXPECT_DEATH(TIM2->CR1 = TIM_CR1_OPM, "not modelled");
    EXPECT_DEATH((void)sim::pwmOutput(6), "no PWM output 6");
}

}  // namespace
