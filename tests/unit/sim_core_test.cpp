// The simulated chip's core and simple peripherals: virtual time, the interrupt controller and its
// dispatch to the firmware's handlers, SCB, SysTick, RCC, GPIO, unique ID, the relax hook.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chip.hpp"
#include "platform/interface/core.hpp"
#include "platform/sim/sim.hpp"

namespace {
std::vector<std::string> g_calls;
uint64_t g_sysTicks = 0;
bool g_pendAnotherFromHandler = false;
}  // namespace

extern "C" void CAN1_TX_IRQHandler() { g_calls.emplace_back("CAN1_TX"); }
extern "C" void CAN2_TX_IRQHandler()
{
    g_calls.emplace_back("CAN2_TX");
    if (g_pendAnotherFromHandler) {
        g_pendAnotherFromHandler = false;
        NVIC_SetPendingIRQ(CAN1_TX_IRQn);  // runs after this handler returns, not inside it
        g_calls.emplace_back("CAN2_TX end");
    }
}
extern "C" void CAN3_TX_IRQHandler() { g_calls.emplace_back("CAN3_TX"); }
extern "C" void SysTick_Handler()
{
    ++g_sysTicks;
    g_calls.emplace_back("SysTick");
}

namespace {

const InterruptVector kHandlers[] = {
    {CAN1_TX_IRQn, CAN1_TX_IRQHandler},
    {CAN2_TX_IRQn, CAN2_TX_IRQHandler},
    {CAN3_TX_IRQn, CAN3_TX_IRQHandler},
    {SysTick_IRQn, SysTick_Handler},
};

class SimCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setInterruptHandlers(kHandlers);
        g_calls.clear();
        g_sysTicks = 0;
        g_pendAnotherFromHandler = false;
    }
};

// ---------------------------------------------------------------------------------------------------------
// Interrupt controller

TEST_F(SimCore, DispatchesEnabledPendingLinesByPriorityAtSafePointsOnly)
{
    NVIC_SetPriority(CAN1_TX_IRQn, 5);
    NVIC_SetPriority(CAN2_TX_IRQn, 0);
    NVIC_SetPriority(CAN3_TX_IRQn, 5);
    NVIC_SetPendingIRQ(CAN3_TX_IRQn);
    NVIC_SetPendingIRQ(CAN1_TX_IRQn);
    NVIC_SetPendingIRQ(CAN2_TX_IRQn);
    EXPECT_EQ(NVIC_GetPendingIRQ(CAN1_TX_IRQn), 1U);
    // Pending but not enabled: nothing runs.
    sim::advanceUs(10);
    EXPECT_TRUE(g_calls.empty());
    NVIC_EnableIRQ(CAN1_TX_IRQn);
    NVIC_EnableIRQ(CAN2_TX_IRQn);
    NVIC_EnableIRQ(CAN3_TX_IRQn);
    EXPECT_TRUE(g_calls.empty());  // enabling is not a safe point
    EXPECT_EQ(NVIC_GetEnableIRQ(CAN3_TX_IRQn), 1U);
    sim::serviceInterrupts();
    // Most urgent first; equal priority by line number.
    EXPECT_EQ(g_calls, (std::vector<std::string>{"CAN2_TX", "CAN1_TX", "CAN3_TX"}));
    EXPECT_EQ(NVIC_GetPendingIRQ(CAN1_TX_IRQn), 0U);
    EXPECT_EQ(sim::irqDispatchCount(CAN2_TX_IRQn), 1U);
    EXPECT_EQ(NVIC_GetPriority(CAN1_TX_IRQn), 5U);
    EXPECT_EQ(NVIC->IP[CAN1_TX_IRQn], 0x50U);  // upper nibble only
}

TEST_F(SimCore, HandlersDoNotNestAndMaskedInterruptsWait)
{
    NVIC_EnableIRQ(CAN1_TX_IRQn);
    NVIC_EnableIRQ(CAN2_TX_IRQn);
    g_pendAnotherFromHandler = true;
    NVIC_SetPendingIRQ(CAN2_TX_IRQn);
    sim::serviceInterrupts();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"CAN2_TX", "CAN2_TX end", "CAN1_TX"}));

    g_calls.clear();
    coreDisableInterrupts();
    NVIC_SetPendingIRQ(CAN1_TX_IRQn);
    sim::advanceUs(5);
    coreRelax();
    EXPECT_TRUE(g_calls.empty());
    coreEnableInterrupts();
    coreRelax();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"CAN1_TX"}));

    // Disabled lines keep their request.
    g_calls.clear();
    NVIC_DisableIRQ(CAN1_TX_IRQn);
    NVIC_SetPendingIRQ(CAN1_TX_IRQn);
    sim::serviceInterrupts();
    EXPECT_TRUE(g_calls.empty());
    NVIC_ClearPendingIRQ(CAN1_TX_IRQn);
    NVIC_EnableIRQ(CAN1_TX_IRQn);
    sim::serviceInterrupts();
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(SimCore, InterruptWithoutHandlerStopsTheRun)
{
    NVIC_EnableIRQ(TIM5_IRQn);
    NVIC_SetPendingIRQ(TIM5_IRQn);
    EXPECT_DEATH(sim::serviceInterrupts(), "TIM5_IRQHandler");
}

TEST_F(SimCore, PriorityGroupingNeedsTheKey)
{
    NVIC_SetPriorityGrouping(NVIC_PRIORITYGROUP_4);
    EXPECT_EQ(NVIC_GetPriorityGrouping(), 3U);
    EXPECT_EQ(SCB->AIRCR >> 16, 0xFA05U);
    SCB->AIRCR = 5U << SCB_AIRCR_PRIGROUP_Pos;  // without VECTKEY: ignored
    EXPECT_EQ(NVIC_GetPriorityGrouping(), 3U);
    EXPECT_FALSE(sim::systemResetRequested());
    SCB->AIRCR = SCB_AIRCR_VECTKEY_WRITE | SCB_AIRCR_SYSRESETREQ;
    EXPECT_TRUE(sim::systemResetRequested());
}

// ---------------------------------------------------------------------------------------------------------
// Time, SysTick, relax

TEST_F(SimCore, VirtualTimeMovesOnlyWhenDriven)
{
    EXPECT_EQ(sim::nowUs(), 0U);
    sim::advanceUs(1500);
    EXPECT_EQ(sim::nowNs(), 1500000U);
    coreRelax();
    EXPECT_EQ(sim::nowNs(), 1501000U);  // a spin lets a microsecond pass
    sim::serviceInterrupts();
    EXPECT_EQ(sim::nowNs(), 1501000U);
    coreDelayUs(250);
    EXPECT_EQ(sim::nowNs(), 1751000U);
}

TEST_F(SimCore, SysTickCountsHclkAndRaisesItsException)
{
    // The node's 1 ms tick at 96 MHz.
    sim::setClocks(sim::kNodeClocks);
    ASSERT_EQ(SysTick_Config(96000), 0U);
    EXPECT_EQ(NVIC_GetPriority(SysTick_IRQn), 15U);
    EXPECT_EQ(SCB->SHP[11], 0xF0U);
    sim::advanceUs(999);
    EXPECT_EQ(g_sysTicks, 0U);
    EXPECT_GT(SysTick->VAL, 0U);
    EXPECT_LT(SysTick->VAL, 96000U);
    sim::advanceUs(1);
    EXPECT_EQ(g_sysTicks, 1U);
    sim::advanceUs(10000);
    EXPECT_EQ(g_sysTicks, 11U);
    EXPECT_EQ(sim::irqDispatchCount(SysTick_IRQn), 11U);
    // Half way through a period the counter is half way down.
    sim::advanceUs(500);
    EXPECT_NEAR(static_cast<double>(SysTick->VAL), 48000.0, 1.0);

    // Too long a period for the 24-bit counter is refused.
    EXPECT_EQ(SysTick_Config(0x1000001), 1U);
}

TEST_F(SimCore, SysTickWithoutInterruptOnlySetsCountFlag)
{
    sim::setClocks(sim::kNodeClocks);
    LL_Init1msTick(96000000);
    sim::advanceUs(2500);
    EXPECT_EQ(g_sysTicks, 0U);
    EXPECT_NE(SysTick->CTRL & SysTick_CTRL_COUNTFLAG_Msk, 0U);
    EXPECT_EQ(SysTick->CTRL & SysTick_CTRL_COUNTFLAG_Msk, 0U);  // cleared by the read
    // At another HCLK the same reload gives another period.
    sim::setClocks({48000000, 48000000, 24000000, 48000000});
    SysTick->VAL = 0;
    sim::advanceUs(1999);
    EXPECT_EQ(SysTick->CTRL & SysTick_CTRL_COUNTFLAG_Msk, 0U);
    sim::advanceUs(1);
    EXPECT_NE(SysTick->CTRL & SysTick_CTRL_COUNTFLAG_Msk, 0U);
}

TEST_F(SimCore, EndlessBusyWaitIsReported)
{
    sim::setRelaxLimit(1000);
    EXPECT_DEATH(
        {
            while ((CAN1->MSR & CAN_MSR_INAK) == 0U) {  // CAN1 has no clock: never true
                coreRelax();
            }
        },
        "busy-wait");
    // Time spent in delays counts the same.
    EXPECT_DEATH(
        {
            while ((CAN1->MSR & CAN_MSR_INAK) == 0U) {
                coreDelayUs(100);
            }
        },
        "busy-wait spun 1000 us");
}

TEST_F(SimCore, BreakpointAndFatalStopEndTheRun)
{
    EXPECT_DEATH(coreBreakpoint(), "breakpoint");
    EXPECT_DEATH(coreFatalStop("here.cpp", 12), "here.cpp:12");
}

// ---------------------------------------------------------------------------------------------------------
// RCC

TEST_F(SimCore, RccFlagsFollowTheirRequests)
{
    EXPECT_EQ(RCC->CR & (RCC_CR_HSION | RCC_CR_HSIRDY), RCC_CR_HSION | RCC_CR_HSIRDY);
    EXPECT_EQ(RCC->PLLCFGR, RCC_PLLCFGR_RESET);
    RCC->CR |= RCC_CR_HSEON;
    EXPECT_NE(RCC->CR & RCC_CR_HSERDY, 0U);
    // The switch reports the PLL only once it runs.
    RCC->CFGR = RCC_CFGR_SW_PLL;
    EXPECT_EQ(RCC->CFGR & RCC_CFGR_SWS, 0U);
    RCC->CR |= RCC_CR_PLLON;
    RCC->CFGR = RCC_CFGR_SW_PLL;
    EXPECT_EQ(RCC->CFGR & RCC_CFGR_SWS, RCC_CFGR_SWS_PLL);
    RCC->CR &= ~RCC_CR_PLLON;
    EXPECT_NE(RCC->CR & RCC_CR_PLLON, 0U) << "not while the PLL clocks the core";
    RCC->APB1ENR |= RCC_APB1Periph_PWR;
    EXPECT_NE(PWR->CSR & PWR_CSR_VOSRDY, 0U) << "the regulator's scale is ready with the PLL";
    RCC->CFGR = RCC_CFGR_SW_HSI;
    RCC->CR &= ~RCC_CR_PLLON;
    EXPECT_EQ(RCC->CR & (RCC_CR_PLLON | RCC_CR_PLLRDY), 0U);
    EXPECT_EQ(PWR->CSR & PWR_CSR_VOSRDY, 0U);
}

TEST_F(SimCore, ClockTreeOfTheNodeFromItsRegisters)
{
    // 8 MHz crystal / 8 x 384 / 4 = 96 MHz, APB1 / 2.
    const uint32_t pllcfgr = (RCC_PLLCFGR_RESET & ~(RCC_PLLCFGR_PLLM | RCC_PLLCFGR_PLLN | RCC_PLLCFGR_PLLP)) |
                             RCC_PLLCFGR_PLLSRC | (8U << RCC_PLLCFGR_PLLM_Pos) | (384U << RCC_PLLCFGR_PLLN_Pos) |
                             (1U << RCC_PLLCFGR_PLLP_Pos);
    const RCC_ClocksTypeDef c = rccClocksFromRegisters(RCC_CFGR_SWS_PLL | RCC_CFGR_PPRE1_DIV2, pllcfgr);
    EXPECT_EQ(c.SYSCLK_Frequency, 96000000U);
    EXPECT_EQ(c.HCLK_Frequency, 96000000U);
    EXPECT_EQ(c.PCLK1_Frequency, 48000000U);
    EXPECT_EQ(c.PCLK2_Frequency, 96000000U);
    const RCC_ClocksTypeDef atReset = rccClocksFromRegisters(0, RCC_PLLCFGR_RESET);
    EXPECT_EQ(atReset.SYSCLK_Frequency, 16000000U);
    EXPECT_EQ(atReset.PCLK1_Frequency, 16000000U);

    // The simulator runs from what the registers say: the internal oscillator out of reset, then the tree
    // a start-up programs.
    RCC_ClocksTypeDef sim{};
    RCC_GetClocksFreq(&sim);
    EXPECT_EQ(sim.SYSCLK_Frequency, 16000000U);
    sim::setClocks(sim::kNodeClocks);
    EXPECT_EQ(RCC->PLLCFGR & (RCC_PLLCFGR_PLLM | RCC_PLLCFGR_PLLSRC), (8U << RCC_PLLCFGR_PLLM_Pos) | RCC_PLLCFGR_PLLSRC);
    RCC_GetClocksFreq(&sim);
    EXPECT_EQ(sim.SYSCLK_Frequency, 96000000U);
    EXPECT_EQ(sim.PCLK1_Frequency, 48000000U);
    EXPECT_EQ(sim.PCLK2_Frequency, 96000000U);
    sim::setPclk1(47000000);
    RCC_GetClocksFreq(&sim);
    EXPECT_EQ(sim.PCLK1_Frequency, 47000000U);
    EXPECT_EQ(sim.SYSCLK_Frequency, 94000000U) << "APB1 at half the core clock";
    EXPECT_DEATH(sim::setClocks({96000000U, 96000000U, 47000000U, 96000000U}), "prescaler");
}

// What a core executing the image sees: the chip's addresses (from the reference manual) reach the same
// models, and it takes the exceptions itself.
TEST_F(SimCore, ChipAddressesReachTheSameModels)
{
    uint32_t v = 0;
    ASSERT_TRUE(sim::busRead(0xE000ED00U, 4, &v));  // SCB CPUID
    EXPECT_EQ(v, 0x410FC241U);
    ASSERT_TRUE(sim::busWrite(0x40023830U, 4, RCC_AHB1Periph_GPIOE));  // RCC_AHB1ENR
    EXPECT_EQ(RCC->AHB1ENR & RCC_AHB1Periph_GPIOE, RCC_AHB1Periph_GPIOE);
    ASSERT_TRUE(sim::busWrite(0x40021018U, 4, GPIO_Pin_2));  // GPIOE_BSRR
    EXPECT_TRUE(sim::gpioOutput(GPIOE, 2));
    ASSERT_TRUE(sim::busRead(0x1FFF7A14U, 4, &v));  // UID word 1
    EXPECT_EQ(v, LL_GetUID_Word1());
    ASSERT_TRUE(sim::busWrite(0x080C0004U, 2, 0x1234U));  // into flash, outside a programming sequence
    EXPECT_NE(FLASH->SR & FLASH_SR_PGSERR, 0U);
    EXPECT_FALSE(sim::busRead(0x40010000U, 4, &v)) << "nothing answers there";
    EXPECT_FALSE(sim::busRead(0x40023832U, 4, &v)) << "a misaligned word";
}

TEST_F(SimCore, AnAccessWithTheClockOffIsReportedWithWhereItCameFrom)
{
    sim::setAccessLocator([] { return std::string("at pc 0x08021234 in someFunction"); });
    ::testing::internal::CaptureStderr();
    uint32_t v = 1;
    ASSERT_TRUE(sim::busRead(0x40000000U, 4, &v));  // TIM2, clock off after reset
    const std::string said = ::testing::internal::GetCapturedStderr();
    sim::setAccessLocator(nullptr);
    EXPECT_EQ(v, 0U) << "reads as 0, as on the chip";
    EXPECT_NE(said.find("TIM2"), std::string::npos) << said;
    EXPECT_NE(said.find("at pc 0x08021234 in someFunction"), std::string::npos) << said;
}

TEST_F(SimCore, ACoreOfItsOwnTakesTheExceptions)
{
    sim::setCoreTakesExceptions(true);
    NVIC_SetPriority(CAN2_TX_IRQn, 3);
    NVIC_EnableIRQ(CAN2_TX_IRQn);
    NVIC_SetPendingIRQ(CAN2_TX_IRQn);
    sim::serviceInterrupts();
    EXPECT_TRUE(g_calls.empty()) << "the host calls no handler";
    sim::ExceptionRequest r{};
    ASSERT_TRUE(sim::pendingException(&r));
    EXPECT_EQ(r.irq, CAN2_TX_IRQn);
    EXPECT_EQ(r.priority, 0x30U);
    sim::acknowledgeException(r.irq);
    EXPECT_FALSE(sim::pendingException(&r));
    EXPECT_EQ(sim::irqDispatchCount(CAN2_TX_IRQn), 1U);
    sim::setCoreTakesExceptions(false);
}

TEST_F(SimCore, UniqueIdIsSettable)
{
    sim::setUniqueId(0x11, 0x22, 0x33);
    EXPECT_EQ(LL_GetUID_Word0(), 0x11U);
    EXPECT_EQ(LL_GetUID_Word1(), 0x22U);
    EXPECT_EQ(LL_GetUID_Word2(), 0x33U);
}

// ---------------------------------------------------------------------------------------------------------
// GPIO

TEST_F(SimCore, GpioNeedsItsClockAndTakesPinSetUp)
{
    GPIO_SetBits(GPIOE, GPIO_Pin_0);
    EXPECT_FALSE(sim::gpioOutput(GPIOE, 0));  // no clock: lost
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOD | RCC_AHB1Periph_GPIOE, ENABLE);

    // The CAN1 pins as the bring-up sets them: PD0/PD1, AF9, fast, push-pull, pull-up.
    GPIO_PinAFConfig(GPIOD, GPIO_PinSource0, GPIO_AF_CAN1);
    GPIO_PinAFConfig(GPIOD, GPIO_PinSource1, GPIO_AF_CAN1);
    GPIO_InitTypeDef init{GPIO_Pin_0 | GPIO_Pin_1, GPIO_Mode_AF, GPIO_Fast_Speed, GPIO_OType_PP, GPIO_PuPd_UP};
    GPIO_Init(GPIOD, &init);
    EXPECT_EQ(GPIOD->MODER, 0x0000000AU);
    EXPECT_EQ(GPIOD->OSPEEDR, 0x0000000AU);
    EXPECT_EQ(GPIOD->PUPDR, 0x00000005U);
    EXPECT_EQ(GPIOD->AFR[0], 0x00000099U);
    EXPECT_EQ(sim::gpioAlternate(GPIOD, 1), 9U);

    // Low-layer set-up of PD5 (USART2 TX, AF7) and PD12 (high half of AFR).
    LL_GPIO_InitTypeDef ll{LL_GPIO_PIN_5 | LL_GPIO_PIN_12, LL_GPIO_MODE_ALTERNATE, LL_GPIO_SPEED_FREQ_VERY_HIGH,
                           LL_GPIO_OUTPUT_PUSHPULL, LL_GPIO_PULL_UP, LL_GPIO_AF_7};
    EXPECT_EQ(LL_GPIO_Init(GPIOD, &ll), SUCCESS);
    EXPECT_EQ(sim::gpioMode(GPIOD, 5), GPIO_MODER_AF);
    EXPECT_EQ(sim::gpioAlternate(GPIOD, 5), 7U);
    EXPECT_EQ(GPIOD->AFR[1], 0x00070000U);
}

TEST_F(SimCore, GpioOutputsThroughBsrrAndOdr)
{
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOC, ENABLE);
    GPIO_InitTypeDef init{GPIO_Pin_8 | GPIO_Pin_9 | GPIO_Pin_10, GPIO_Mode_OUT, GPIO_Fast_Speed, GPIO_OType_PP,
                          GPIO_PuPd_NOPULL};
    GPIO_Init(GPIOC, &init);
    GPIOC->BSRR = GPIO_Pin_8 | GPIO_Pin_9;
    EXPECT_TRUE(sim::gpioOutput(GPIOC, 8));
    EXPECT_TRUE(sim::gpioOutput(GPIOC, 9));
    EXPECT_EQ(GPIOC->IDR & 0x0700U, 0x0300U);  // outputs read back their latch
    EXPECT_EQ(GPIOC->BSRR, 0U);              // write-only
    // Set wins over reset in one write.
    GPIOC->BSRR = (static_cast<uint32_t>(GPIO_Pin_8 | GPIO_Pin_10) << 16) | GPIO_Pin_10;
    EXPECT_FALSE(sim::gpioOutput(GPIOC, 8));
    EXPECT_TRUE(sim::gpioOutput(GPIOC, 10));
    sim::advanceUs(7);
    GPIO_ToggleBits(GPIOC, GPIO_Pin_9);
    EXPECT_FALSE(sim::gpioOutput(GPIOC, 9));
    EXPECT_EQ(sim::gpioChanges(GPIOC, 9), 2U);
    EXPECT_EQ(sim::gpioLastChangeNs(GPIOC, 9), 7000U);
    EXPECT_EQ(sim::gpioChanges(GPIOC, 8), 2U);
    EXPECT_EQ(sim::gpioChanges(GPIOC, 11), 0U);
}

TEST_F(SimCore, GpioInputsSeePullsAndOutsideLevels)
{
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOB, ENABLE);
    GPIO_InitTypeDef init{GPIO_Pin_0 | GPIO_Pin_1, GPIO_Mode_IN, GPIO_Low_Speed, GPIO_OType_PP, GPIO_PuPd_UP};
    GPIO_Init(GPIOB, &init);
    EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, GPIO_Pin_0), 1U);
    sim::gpioSetInput(GPIOB, 0, false);
    EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, GPIO_Pin_0), 0U);
    EXPECT_EQ(GPIO_ReadInputDataBit(GPIOB, GPIO_Pin_1), 1U);
    // The debug pins keep their reset configuration.
    EXPECT_EQ(sim::gpioMode(GPIOB, 3), GPIO_MODER_AF);
    EXPECT_EQ(sim::gpioMode(GPIOA, 13), GPIO_MODER_AF);
}

TEST_F(SimCore, PeripheralResetThroughRcc)
{
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOE, ENABLE);
    GPIO_SetBits(GPIOE, GPIO_Pin_2);
    RCC_AHB1PeriphResetCmd(0xFFFFFFFFU, ENABLE);
    RCC_AHB1PeriphResetCmd(0xFFFFFFFFU, DISABLE);
    EXPECT_FALSE(sim::gpioOutput(GPIOE, 2));
    // The window watchdog reset goes through its RCC bit and leaves it released.
    WWDG_DeInit();
    EXPECT_EQ(RCC->APB1RSTR & RCC_APB1Periph_WWDG, 0U);
}

}  // namespace
