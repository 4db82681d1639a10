// The watchdog driver on the simulated IWDG: its periods, the reset cause it reads, and that the store's
// erases, which stall the chip for seconds, run under its long period.
#include "firmware/drivers/watchdog.hpp"

#include <gtest/gtest.h>

#include "chip.hpp"
#include "firmware/drivers/NVM.hpp"
#include "platform/sim/sim.hpp"
#include "platform/sim/sim_flash.hpp"

namespace {

class Watchdog : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::flashReset();
    }

    // Virtual time from now until the watchdog resets the chip, in ms (stops looking after `limitMs`).
    static uint64_t msUntilReset(uint64_t limitMs)
    {
        const uint64_t start = sim::nowNs();
        while (!sim::systemResetRequested() && sim::nowNs() - start < limitMs * 1000000U) {
            sim::advanceUs(100);
        }
        return (sim::nowNs() - start) / 1000000U;
    }
};

TEST_F(Watchdog, ItResetsAHungNodeWithinItsPeriodAndSaysSoAtTheNextStart)
{
    watchdogStart();
    EXPECT_EQ(resetCause(), ResetCause::PowerOn);
    for (int i = 0; i < 50; ++i) {
        sim::advanceUs(100000);
        watchdogRefresh();
    }
    EXPECT_FALSE(sim::systemResetRequested()) << "refreshed every 100 ms";
    EXPECT_EQ(msUntilReset(1000), 125U);

    sim::powerCycle();  // as the runner does on the request
    EXPECT_NE(RCC->CSR & RCC_CSR_IWDGRSTF, 0U);
    watchdogStart();
    EXPECT_EQ(resetCause(), ResetCause::Watchdog);
    EXPECT_STREQ(resetCauseName(resetCause()), "watchdog");
    EXPECT_EQ(RCC->CSR & RCC_CSR_RESET_FLAGS, 0U) << "cleared, so the next start sees its own reset only";
    EXPECT_TRUE(resetByWatchdogRecently(kWatchdogWarningMs - 1U));
    EXPECT_FALSE(resetByWatchdogRecently(kWatchdogWarningMs));

    NVIC_RequestSystemReset();
    sim::powerCycle();
    watchdogStart();
    EXPECT_EQ(resetCause(), ResetCause::Software);
    EXPECT_FALSE(resetByWatchdogRecently(0));
}

TEST_F(Watchdog, TheLongPeriodCoversTheLongestEraseAndTheNormalOneComesBack)
{
    watchdogStart();
    watchdogLengthen();
    EXPECT_EQ(msUntilReset(10000), 4096U);
    sim::powerCycle();
    watchdogStart();
    watchdogLengthen();
    sim::advanceUs(3000000);
    watchdogRestore();
    EXPECT_EQ(msUntilReset(1000), 125U);
}

TEST_F(Watchdog, TheStoresErasesRunUnderTheLongPeriodEvenAtTheirMaximumTime)
{
    watchdogStart();
    sim::flashSetTiming(sim::FlashTiming::Maximum);
    const uint64_t start = sim::nowNs();
    InitNVM();  // blank flash: both pages erased, 2 s each
    EXPECT_GE(sim::nowNs() - start, 4000000000U);
    EXPECT_FALSE(sim::systemResetRequested());
    EXPECT_LE(msUntilReset(1000), 125U) << "back to the normal period";
}

}  // namespace
