#pragma once
// What the CAN model's tests share: receive handlers that take one frame per entry, like the driver, and a
// fixture with all three controllers clocked at the node's clocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chip.hpp"
#include "platform/interface/core.hpp"
#include "platform/sim/sim.hpp"

// Receive handlers of this test program: each entry takes one frame out of the FIFO, like the driver.
inline std::vector<std::pair<int, sim::CanFrame>> g_rx;  // (fifo, frame)
inline bool g_releaseInHandler = true;

inline sim::CanFrame readHead(CAN_TypeDef* can, int fifo)
{
    const CAN_FIFOMailBox_TypeDef& mb = can->sFIFOMailBox[fifo];
    const uint32_t rir = mb.RIR;
    sim::CanFrame f;
    f.extended = (rir & CAN_RI0R_IDE) != 0U;
    f.remote = (rir & CAN_RI0R_RTR) != 0U;
    f.id = f.extended ? rir >> 3 : rir >> 21;
    f.dlc = static_cast<uint8_t>(mb.RDTR & CAN_RDT0R_DLC);
    const uint32_t lo = mb.RDLR;
    const uint32_t hi = mb.RDHR;
    for (int i = 0; i < 4; ++i) {
        f.data[i] = static_cast<uint8_t>(lo >> (8 * i));
        f.data[4 + i] = static_cast<uint8_t>(hi >> (8 * i));
    }
    return f;
}

inline void takeOne(CAN_TypeDef* can, int fifo)
{
    g_rx.emplace_back(fifo, readHead(can, fifo));
    if (g_releaseInHandler) {
        (fifo == 0 ? can->RF0R : can->RF1R) = CAN_RF0R_RFOM0;
    }
}

using sim::CanFrame;

inline constexpr uint32_t kBtr1M48 = 0x00050005U;  // prescaler 6, 6 + 1 quanta after sync: 1 Mbit/s at 48 MHz
inline constexpr uint64_t kIdleBitsUs = 11;  // 11 recessive bits at 1 Mbit/s: what joining the bus takes

inline uint32_t tir(const CanFrame& f)
{
    uint32_t v = f.extended ? (f.id << 3) | CAN_TI0R_IDE : f.id << 21;
    return v | (f.remote ? CAN_TI0R_RTR : 0U);
}

inline const InterruptVector kHandlers[] = {
    {CAN1_RX0_IRQn, CAN1_RX0_IRQHandler},
    {CAN1_RX1_IRQn, CAN1_RX1_IRQHandler},
    {CAN2_RX0_IRQn, CAN2_RX0_IRQHandler},
    {CAN3_RX0_IRQn, CAN3_RX0_IRQHandler},
};

class SimCan : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
        sim::setInterruptHandlers(kHandlers);
        g_rx.clear();
        g_releaseInHandler = true;
        RCC_APB1PeriphClockCmd(RCC_APB1Periph_CAN1 | RCC_APB1Periph_CAN2 | RCC_APB1Periph_CAN3, ENABLE);
    }

    static void enterInit(CAN_TypeDef* can)
    {
        can->MCR &= ~CAN_MCR_SLEEP;
        can->MCR |= CAN_MCR_INRQ;
    }

    // Normal mode at 1 Mbit/s; the filters are left to the test.
    static void start(CAN_TypeDef* can, uint32_t extraMcr = 0)
    {
        enterInit(can);
        ASSERT_NE(can->MSR & CAN_MSR_INAK, 0U);
        can->MCR |= extraMcr;
        can->BTR = kBtr1M48;
        can->MCR &= ~CAN_MCR_INRQ;
        sim::advanceUs(kIdleBitsUs);  // normal mode once 11 recessive bits were seen
        ASSERT_EQ(can->MSR & CAN_MSR_INAK, 0U);
    }

    // One 32-bit mask bank that accepts everything, on the given filter block.
    static void acceptAll(CAN_TypeDef* block, unsigned bank, unsigned fifo = 0)
    {
        block->FMR |= CAN_FMR_FINIT;
        block->FS1R |= 1U << bank;
        block->FM1R &= ~(1U << bank);
        if (fifo == 1) {
            block->FFA1R |= 1U << bank;
        } else {
            block->FFA1R &= ~(1U << bank);
        }
        block->sFilterRegister[bank].FR1 = 0;
        block->sFilterRegister[bank].FR2 = 0;
        block->FA1R |= 1U << bank;
        block->FMR &= ~CAN_FMR_FINIT;
    }

    static void load(CAN_TypeDef* can, unsigned mailbox, const CanFrame& f)
    {
        CAN_TxMailBox_TypeDef& mb = can->sTxMailBox[mailbox];
        mb.TDTR = f.dlc;
        uint32_t lo = 0;
        uint32_t hi = 0;
        for (unsigned i = 0; i < 4; ++i) {
            lo |= static_cast<uint32_t>(f.data[i]) << (8U * i);
            hi |= static_cast<uint32_t>(f.data[4 + i]) << (8U * i);
        }
        mb.TDLR = lo;
        mb.TDHR = hi;
        mb.TIR = tir(f) | CAN_TI0R_TXRQ;
    }

    static std::vector<uint32_t> ids(const std::vector<sim::CanBusRecord>& log)
    {
        std::vector<uint32_t> out;
        for (const auto& r : log) {
            out.push_back(r.frame.id);
        }
        return out;
    }
};
