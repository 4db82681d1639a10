// The USART2 console on the simulated chip: line set-up, the interrupt-driven transmit chain and the
// receive queue.
#include "firmware/drivers/serial.hpp"

#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim.hpp"
#include "tests/unit/console_support.hpp"

namespace {

const uint8_t* text(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
uint16_t len(const std::string& s) { return static_cast<uint16_t>(s.size()); }

class Serial : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
        ASSERT_TRUE(consoletest::startConsole());
    }
};

TEST_F(Serial, LineAndPinsAsTheConsoleNeeds)
{
    EXPECT_NE(static_cast<uint32_t>(RCC->APB1ENR) & RCC_APB1Periph_USART2, 0U);
    for (unsigned pin : {3U, 4U, 5U, 6U}) {
        EXPECT_EQ(sim::gpioMode(GPIOD, pin), GPIO_MODER_AF) << pin;
        EXPECT_EQ(sim::gpioAlternate(GPIOD, pin), 7U) << pin;
        EXPECT_EQ((static_cast<uint32_t>(GPIOD->OSPEEDR) >> (2 * pin)) & 3U, 3U) << pin;
    }
    const uint32_t pupd = GPIOD->PUPDR;
    EXPECT_EQ((pupd >> 6) & 3U, 2U);   // CTS pulled down
    EXPECT_EQ((pupd >> 8) & 3U, 0U);   // RTS floating
    EXPECT_EQ((pupd >> 10) & 3U, 1U);  // TX pulled up
    EXPECT_EQ((pupd >> 12) & 3U, 1U);  // RX pulled up
    EXPECT_TRUE(sim::gpioOutput(GPIOD, 5));

    const uint32_t cr1 = USART2->CR1;
    const uint32_t wanted = USART_CR1_UE | USART_CR1_TE | USART_CR1_RE | USART_CR1_RXNEIE | USART_CR1_TCIE;
    EXPECT_EQ(cr1 & wanted, wanted);
    EXPECT_EQ(cr1 & (USART_CR1_M | USART_CR1_PCE | USART_CR1_OVER8), 0U);
    EXPECT_EQ(static_cast<uint32_t>(USART2->CR3) & (USART_CR3_RTSE | USART_CR3_CTSE), USART_CR3_RTSE | USART_CR3_CTSE);
    EXPECT_EQ(static_cast<uint32_t>(USART2->BRR), 0x00D0U);  // 230400 Bd from 48 MHz
    EXPECT_TRUE(sim::irqEnabled(USART2_IRQn));
    EXPECT_EQ(NVIC_GetPriority(USART2_IRQn), 0U);

    // A second bring-up (the USART already on) still takes the settings.
    ASSERT_TRUE(InitSerial());
    EXPECT_EQ(static_cast<uint32_t>(USART2->BRR), 0x00D0U);
}

TEST_F(Serial, TextsGoOutWholeAndInOrder)
{
    const std::string a = "hello ";
    const std::string b = "console\n";
    EXPECT_EQ(SerialTxQ(text(a), len(a)), len(a));
    // The first byte went straight to the data register; the second text only queues behind the rest.
    EXPECT_EQ(QLen(&TxQ), a.size() - 1);
    EXPECT_EQ(SerialTxQ(text(b), len(b)), len(b));
    EXPECT_EQ(QLen(&TxQ), a.size() - 1 + b.size());
    sim::advanceUs(5000);
    EXPECT_EQ(sim::usart2Sent(), a + b);
    EXPECT_TRUE(SerialTxQMT());

    // Later texts restart the chain from idle.
    EXPECT_EQ(SerialTxQ(text(a), len(a)), len(a));
    sim::advanceUs(5000);
    EXPECT_EQ(sim::usart2Sent(), a + b + a);
}

TEST_F(Serial, TextThatDoesNotFitIsNotQueuedAtAll)
{
    const std::string big(2000, 'x');
    EXPECT_EQ(SerialTxQ(text(big), len(big)), 0);
    EXPECT_TRUE(SerialTxQMT());
    sim::advanceUs(1000);
    EXPECT_EQ(sim::usart2Sent(), "");

    // 1023 bytes fit exactly, even with the chain idle.
    const std::string full(1023, 'y');
    EXPECT_EQ(SerialTxQ(text(full), len(full)), 1023);
    sim::advanceUs(60000);
    EXPECT_EQ(sim::usart2Sent(), full);
}

TEST_F(Serial, WaitReturnsOnceTheQueueIsEmpty)
{
    const std::string one = "!";
    EXPECT_EQ(SerialTxQWait(text(one), len(one)), 1);
    EXPECT_TRUE(SerialTxQMT());

    const std::string longer = "4bxcan init ok\n";
    EXPECT_EQ(SerialTxQWait(text(longer), len(longer)), len(longer));
    EXPECT_TRUE(SerialTxQMT());
    // The last byte has been handed to the data register, not yet sent.
    EXPECT_LT(sim::usart2Sent().size(), one.size() + longer.size());
    sim::advanceUs(1000);
    EXPECT_EQ(sim::usart2Sent(), one + longer);
}

TEST_F(Serial, ReceivedBytesAreKeptUntilTheQueueIsFull)
{
    sim::usart2Receive("abc");
    sim::advanceUs(1000);
    ASSERT_EQ(QLen(&RxQ), 3);
    uint8_t c = 0;
    ASSERT_TRUE(DeQ1(&RxQ, &c));
    EXPECT_EQ(c, 'a');
    uint16_t n = 2;
    DeQ(&RxQ, nullptr, &n);

    sim::usart2Receive(std::string(1030, 'z'));
    sim::advanceUs(60000);
    EXPECT_EQ(QLen(&RxQ), 1023);
}

}  // namespace
