// The simulated USART2: baud rate from BRR, character timing, TXE/TC and RXNE with their clearing rules,
// the interrupt line, and the bytes captured for tests.
#include <gtest/gtest.h>

#include <string>

#include "chip.hpp"
#include "platform/interface/core.hpp"
#include "platform/sim/sim.hpp"

namespace {
// A minimal interrupt-driven sender, the way a console driver chains bytes on TC.
std::string g_toSend;
std::string g_received;
unsigned g_tcEntries = 0;
}  // namespace

extern "C" void USART2_IRQHandler()
{
    if (LL_USART_IsActiveFlag_RXNE(USART2)) {
        g_received += static_cast<char>(LL_USART_ReceiveData8(USART2));
    }
    if (LL_USART_IsActiveFlag_TC(USART2) && LL_USART_IsEnabledIT_TC(USART2)) {
        ++g_tcEntries;
        LL_USART_ClearFlag_TC(USART2);
        if (!g_toSend.empty()) {
            LL_USART_TransmitData8(USART2, static_cast<uint8_t>(g_toSend.front()));
            g_toSend.erase(0, 1);
        }
    }
}

namespace {

const InterruptVector kHandlers[] = {{USART2_IRQn, USART2_IRQHandler}};

class SimUsart : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
        sim::setInterruptHandlers(kHandlers);
        g_toSend.clear();
        g_received.clear();
        g_tcEntries = 0;
        LL_APB1_GRP1_EnableClock(LL_APB1_GRP1_PERIPH_USART2);
    }

    static void init(uint32_t baud = 230400)
    {
        LL_USART_InitTypeDef init{baud,
                                  LL_USART_DATAWIDTH_8B,
                                  LL_USART_STOPBITS_1,
                                  LL_USART_PARITY_NONE,
                                  LL_USART_DIRECTION_TX_RX,
                                  LL_USART_HWCONTROL_RTS_CTS,
                                  LL_USART_OVERSAMPLING_16};
        ASSERT_EQ(LL_USART_Init(USART2, &init), SUCCESS);
        LL_USART_ConfigAsyncMode(USART2);
        LL_USART_Enable(USART2);
    }
};

TEST_F(SimUsart, BaudRateRegisterAndCharacterTime)
{
    init();
    // 48 MHz / 230400 = 208.33: mantissa 13, fraction 0.
    EXPECT_EQ(USART2->BRR, 0x00D0U);
    EXPECT_EQ(USART2->CR3 & (USART_CR3_RTSE | USART_CR3_CTSE), USART_CR3_RTSE | USART_CR3_CTSE);
    // Ten bits at 48 MHz / 208 = 230769 Bd.
    EXPECT_EQ(sim::usart2CharTimeNs(), 43333U);
    // Settings cannot change while the USART is on.
    LL_USART_InitTypeDef other{9600, 0, 0, 0, LL_USART_DIRECTION_TX_RX, 0, 0};
    EXPECT_EQ(LL_USART_Init(USART2, &other), ERROR);
    EXPECT_EQ(USART2->BRR, 0x00D0U);

    // 8x oversampling keeps three fraction bits; two stop bits lengthen the character.
    LL_USART_Disable(USART2);
    LL_USART_InitTypeDef eight{115200, LL_USART_DATAWIDTH_8B, LL_USART_STOPBITS_2, LL_USART_PARITY_NONE,
                               LL_USART_DIRECTION_TX, LL_USART_HWCONTROL_NONE, LL_USART_OVERSAMPLING_8};
    ASSERT_EQ(LL_USART_Init(USART2, &eight), SUCCESS);
    // 48 MHz / 115200 = 416.67 eighths -> 417 = 52 + 1/8.
    EXPECT_EQ(USART2->BRR, (52U << 4) | 1U);
    EXPECT_EQ(sim::usart2CharTimeNs(), (11U * 417U * 1000000000ULL + 24000000U) / 48000000U);
}

TEST_F(SimUsart, BytesLeaveOneCharacterTimeApart)
{
    init();
    EXPECT_EQ(USART2->SR & (USART_SR_TXE | USART_SR_TC), USART_SR_TXE | USART_SR_TC);
    (void)USART2->SR;  // SR read then DR write clears TC
    USART2->DR = 'A';
    EXPECT_EQ(USART2->SR & (USART_SR_TXE | USART_SR_TC), USART_SR_TXE);  // straight into the shift register
    USART2->DR = 'B';
    EXPECT_EQ(USART2->SR & USART_SR_TXE, 0U);  // waiting behind 'A'
    sim::advanceNs(43332);
    EXPECT_EQ(sim::usart2Sent(), "");
    sim::advanceNs(1);
    EXPECT_EQ(sim::usart2Sent(), "A");
    EXPECT_NE(USART2->SR & USART_SR_TXE, 0U);
    EXPECT_EQ(USART2->SR & USART_SR_TC, 0U);
    sim::advanceNs(43333);
    EXPECT_EQ(sim::usart2Sent(), "AB");
    EXPECT_NE(USART2->SR & USART_SR_TC, 0U);
}

TEST_F(SimUsart, WritingWhileTheDataRegisterIsFullLosesTheWaitingByte)
{
    init();
    USART2->DR = '1';
    USART2->DR = '2';
    USART2->DR = '3';
    sim::advanceUs(200);
    EXPECT_EQ(sim::usart2Sent(), "13");
}

TEST_F(SimUsart, TransmitCompleteInterruptChainsATextThrough)
{
    init();
    NVIC_SetPriority(USART2_IRQn, 0);
    NVIC_EnableIRQ(USART2_IRQn);
    LL_USART_EnableIT_TC(USART2);
    // TC is set after reset: the first safe point takes the interrupt and finds nothing to send.
    sim::serviceInterrupts();
    EXPECT_EQ(g_tcEntries, 1U);
    EXPECT_EQ(USART2->SR & USART_SR_TC, 0U);

    g_toSend = "ello\n";
    LL_USART_TransmitData8(USART2, 'h');
    // Busy-wait as a driver does until the text is handed over; time passes in the relax hook.
    while (!g_toSend.empty()) {
        coreRelax();
    }
    EXPECT_NEAR(static_cast<double>(sim::nowNs()), 5.0 * 43333.0, 1000.0);
    sim::advanceUs(100);
    EXPECT_EQ(sim::usart2Sent(), "hello\n");
    EXPECT_EQ(g_tcEntries, 7U);
    sim::usart2ClearSent();
    EXPECT_EQ(sim::usart2Sent(), "");
}

TEST_F(SimUsart, ReceptionRaisesRxneAndOverruns)
{
    init();
    sim::usart2Receive("xy");
    sim::advanceUs(100);
    // Nobody read: the second byte overran the first.
    EXPECT_EQ(USART2->SR & (USART_SR_RXNE | USART_SR_ORE), USART_SR_RXNE | USART_SR_ORE);
    EXPECT_EQ(LL_USART_ReceiveData8(USART2), 'x');  // SR read before: clears ORE too
    EXPECT_EQ(USART2->SR & (USART_SR_RXNE | USART_SR_ORE), 0U);

    NVIC_EnableIRQ(USART2_IRQn);
    LL_USART_EnableIT_RXNE(USART2);
    sim::usart2Receive("abc");
    sim::advanceUs(1000);
    EXPECT_EQ(g_received, "abc");
    EXPECT_EQ(sim::irqDispatchCount(USART2_IRQn), 3U);
}

TEST_F(SimUsart, NothingMovesWithoutClockOrEnable)
{
    RCC_APB1PeriphClockCmd(RCC_APB1Periph_USART2, DISABLE);
    init();
    EXPECT_EQ(USART2->BRR.peek(), 0U);
    RCC_APB1PeriphClockCmd(RCC_APB1Periph_USART2, ENABLE);
    USART2->DR = 'z';  // UE is still clear
    sim::advanceUs(100);
    EXPECT_EQ(sim::usart2Sent(), "");
    EXPECT_EQ(sim::usart2CharTimeNs(), 0U);
}

}  // namespace
