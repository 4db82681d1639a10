// The independent watchdog model and the reset flags, against the reference manual's facts: the keys, the
// write protection of PR and RLR and their update flags, the timeout (4 << PR) x (RLR + 1) / f_LSI, the
// reset when the counter reaches zero, and RCC_CSR's flags through resets of each kind.
#include <gtest/gtest.h>

#include "chip.hpp"
#include "platform/sim/sim.hpp"

namespace {

constexpr uint64_t kLsiNs = 31250U;  // 32 kHz

class SimIwdg : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }

    // Starts the watchdog with this prescaler and reload, as a start-up does.
    static void start(uint32_t pr, uint32_t rlr)
    {
        IWDG->KR = IWDG_KEY_ENABLE;
        IWDG->KR = IWDG_KEY_WRITE_ACCESS;
        IWDG->PR = pr;
        IWDG->RLR = rlr;
        while (IWDG->SR != 0U) {
            sim::advanceNs(kLsiNs);
        }
        IWDG->KR = IWDG_KEY_RELOAD;
    }
};

TEST_F(SimIwdg, OutOfResetItIsStoppedWithItsResetValuesAndThePowerOnFlags)
{
    EXPECT_EQ(IWDG->PR, 0U);
    EXPECT_EQ(IWDG->RLR, 0xFFFU);
    EXPECT_EQ(IWDG->SR, 0U);
    EXPECT_EQ(RCC->CSR, RCC_CSR_PORRSTF | RCC_CSR_PINRSTF | RCC_CSR_BORRSTF);
    sim::advanceUs(60000000);
    EXPECT_FALSE(sim::systemResetRequested()) << "never started, never resets";
}

TEST_F(SimIwdg, PrAndRlrTakeWritesOnlyAfterTheUnlockKeyAndShowTheirUpdateOnItsWay)
{
    IWDG->PR = 3;
    IWDG->RLR = 100;
    EXPECT_EQ(IWDG->PR, 0U);
    EXPECT_EQ(IWDG->RLR, 0xFFFU);
    EXPECT_EQ(IWDG->SR, 0U);

    IWDG->KR = IWDG_KEY_ENABLE;
    IWDG->KR = IWDG_KEY_WRITE_ACCESS;
    IWDG->PR = 3;
    EXPECT_EQ(IWDG->SR, IWDG_SR_PVU);
    IWDG->RLR = 100;
    EXPECT_EQ(IWDG->SR, IWDG_SR_PVU | IWDG_SR_RVU);
    sim::advanceNs(5U * kLsiNs - 1U);
    EXPECT_NE(IWDG->SR, 0U) << "five LSI periods to reach the LSI domain";
    sim::advanceNs(1U);
    EXPECT_EQ(IWDG->SR, 0U);
    EXPECT_EQ(IWDG->PR, 3U);
    EXPECT_EQ(IWDG->RLR, 100U);

    IWDG->KR = IWDG_KEY_RELOAD;  // any other key closes them again
    IWDG->RLR = 7;
    EXPECT_EQ(IWDG->RLR, 100U);
    EXPECT_NE(RCC->CSR & RCC_CSR_LSIRDY, 0U) << "the running watchdog keeps the LSI on";
}

TEST_F(SimIwdg, TheCounterResetsTheChipAfterFourShiftedByPrTimesRlrPlusOneLsiPeriods)
{
    struct Case {
        uint32_t pr;
        uint32_t rlr;
        uint64_t timeoutNs;
    };
    for (const Case c : {Case{0, 999, 125000000U}, Case{1, 0, 250000U}, Case{6, 0xFFF, 32768000000U},
                         Case{7, 0xFFF, 32768000000U}}) {
        sim::reset();
        start(c.pr, c.rlr);
        const uint64_t started = sim::nowNs();
        sim::advanceNs(c.timeoutNs - 1U);
        EXPECT_FALSE(sim::systemResetRequested()) << "PR " << c.pr << " RLR " << c.rlr;
        sim::advanceNs(1U);
        EXPECT_TRUE(sim::systemResetRequested()) << "PR " << c.pr << " RLR " << c.rlr;
        EXPECT_EQ(sim::nowNs() - started, c.timeoutNs);
    }
}

TEST_F(SimIwdg, RefreshesKeepItQuietAndANewPeriodCountsFromTheNextRefresh)
{
    start(0, 999);  // 125 ms
    for (int i = 0; i < 20; ++i) {
        sim::advanceUs(100000);
        IWDG->KR = IWDG_KEY_RELOAD;
    }
    EXPECT_FALSE(sim::systemResetRequested());

    // Lengthened to 4 s, as before an erase, then back.
    IWDG->KR = IWDG_KEY_WRITE_ACCESS;
    IWDG->PR = 4;
    IWDG->RLR = 1999;
    while (IWDG->SR != 0U) {
        sim::advanceNs(kLsiNs);
    }
    IWDG->KR = IWDG_KEY_RELOAD;
    sim::advanceUs(3900000);
    EXPECT_FALSE(sim::systemResetRequested());
    IWDG->KR = IWDG_KEY_RELOAD;
    sim::advanceUs(200000);
    EXPECT_FALSE(sim::systemResetRequested());
    sim::advanceUs(3900000);
    EXPECT_TRUE(sim::systemResetRequested());
}

// A reload while RVU is set takes the reload value in force, not the one still on its way.
TEST_F(SimIwdg, AReloadWhileRvuIsSetUsesTheOldReloadValue)
{
    start(0, 999);  // 125 ms
    IWDG->KR = IWDG_KEY_WRITE_ACCESS;
    IWDG->RLR = 0;  // 125 us, once it arrives
    ASSERT_EQ(IWDG->SR, IWDG_SR_RVU);
    IWDG->KR = IWDG_KEY_RELOAD;
    sim::advanceNs(125000000U - 1U);
    EXPECT_FALSE(sim::systemResetRequested()) << "reloaded with 999";
    IWDG->KR = IWDG_KEY_RELOAD;  // RVU long clear: now 0
    sim::advanceNs(4U * kLsiNs - 1U);
    EXPECT_FALSE(sim::systemResetRequested());
    sim::advanceNs(1U);
    EXPECT_TRUE(sim::systemResetRequested());
}

TEST_F(SimIwdg, ResetFlagsSayWhatResetTheChipUntilRmvfClearsThem)
{
    start(0, 0);
    sim::advanceUs(1000);
    ASSERT_TRUE(sim::systemResetRequested());
    sim::powerCycle();
    EXPECT_EQ(RCC->CSR & RCC_CSR_RESET_FLAGS,
              RCC_CSR_PORRSTF | RCC_CSR_PINRSTF | RCC_CSR_BORRSTF | RCC_CSR_IWDGRSTF) << "flags accumulate";
    EXPECT_EQ(IWDG->RLR, 0xFFFU) << "a reset stops it and restores its registers";
    sim::advanceUs(60000000);
    EXPECT_FALSE(sim::systemResetRequested());

    RCC->CSR = RCC->CSR | RCC_CSR_RMVF;
    EXPECT_EQ(RCC->CSR & RCC_CSR_RESET_FLAGS, 0U);
    NVIC_RequestSystemReset();
    sim::powerCycle();
    EXPECT_EQ(RCC->CSR & RCC_CSR_RESET_FLAGS, RCC_CSR_SFTRSTF | RCC_CSR_PINRSTF);
    sim::powerCycle();
    EXPECT_EQ(RCC->CSR & RCC_CSR_RESET_FLAGS, RCC_CSR_PORRSTF | RCC_CSR_PINRSTF | RCC_CSR_BORRSTF)
        << "a power-on sets its own flags only";
}

}  // namespace
