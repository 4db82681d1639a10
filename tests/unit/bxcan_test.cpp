// The bxCAN driver against the simulated controllers, buses and console.
#include "firmware/drivers/bxcan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim.hpp"
#include "tests/unit/console_support.hpp"

namespace {

using consoletest::clearConsole;
using consoletest::console;

constexpr uint32_t kPclk1 = 48000000U;
constexpr uint32_t kAllCanClocks = RCC_APB1Periph_CAN1 | RCC_APB1Periph_CAN2 | RCC_APB1Periph_CAN3;
CAN_TypeDef* const kCan[3] = {CAN1, CAN2, CAN3};

XportCANFrame frame(uint32_t id, std::vector<uint8_t> bytes = {})
{
    XportCANFrame f{};
    f.id = id;
    f.data_len = static_cast<uint8_t>(bytes.size());
    for (std::size_t i = 0; i < bytes.size() && i < 8; i++) {
        f.data[i] = bytes[i];
    }
    return f;
}

uint32_t ext(uint32_t id) { return id | XPORT_CAN_FRAME_EFF; }
uint32_t rtr(uint32_t id) { return id | XPORT_CAN_FRAME_RTR; }

class Bxcan : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
        bxcanColdReset();
        RCC_APB1PeriphClockCmd(kAllCanClocks, ENABLE);
        ASSERT_TRUE(consoletest::startConsole());
    }

    static BxcanCANTimings timings(uint32_t pclk1 = kPclk1)
    {
        BxcanCANTimings t{};
        EXPECT_EQ(bxcanComputeCANTimings(pclk1, 1000000U, &t), 0);
        return t;
    }

    static int init(PortCAN_t port, BxcanIfaceMode mode = BxcanIfaceModeNormal)
    {
        const BxcanCANTimings t = timings();
        return bxcanInit(&t, mode, port);
    }

    static void initAll()
    {
        ASSERT_EQ(init(PortCAN1), 0);
        ASSERT_EQ(init(PortCAN2), 0);
        ASSERT_EQ(init(PortCAN3), 0);
    }

    // Lets the buses run long enough for every queued peer frame to arrive and be taken by the
    // interrupts.
    static void runBus(uint64_t us = 3000) { sim::advanceUs(us); }

    static std::vector<XportCANFrame> receiveAll(PortCAN_t port)
    {
        std::vector<XportCANFrame> out;
        XportCANFrame f{};
        while (bxcanReceive(&f, port) == 1) {
            out.push_back(f);
        }
        return out;
    }

    static bool mailboxEmpty(PortCAN_t port, unsigned mb)
    {
        return (static_cast<uint32_t>(kCan[port]->TSR) & (CAN_TSR_TME0 << mb)) != 0U;
    }
};

// ---------------------------------------------------------------------------------------------------------
// Bit timing

TEST(BxcanTimings, NodeClocksAndRefusedOnes)
{
    BxcanCANTimings t{};
    ASSERT_EQ(bxcanComputeCANTimings(48000000U, 1000000U, &t), 0);
    EXPECT_EQ(t.bit_rate_prescaler, 6);
    EXPECT_EQ(t.bit_segment_1, 6);
    EXPECT_EQ(t.bit_segment_2, 1);
    EXPECT_EQ(t.max_resynchronization_jump_width, 1);

    ASSERT_EQ(bxcanComputeCANTimings(42000000U, 1000000U, &t), 0);
    EXPECT_EQ(t.bit_rate_prescaler, 6);
    EXPECT_EQ(t.bit_segment_1, 5);
    EXPECT_EQ(t.bit_segment_2, 1);

    // A prime quotient has no fitting bit length; the result is all zero so that init refuses it.
    t = BxcanCANTimings{1, 2, 3, 4};
    EXPECT_EQ(bxcanComputeCANTimings(47000000U, 1000000U, &t), -BXCAN_ERROR_UNSUPPORTED_BIT_RATE);
    EXPECT_EQ(t.bit_rate_prescaler, 0);
    EXPECT_EQ(t.bit_segment_1, 0);
    EXPECT_EQ(t.bit_segment_2, 0);
    EXPECT_EQ(t.max_resynchronization_jump_width, 0);

    EXPECT_EQ(bxcanComputeCANTimings(48000000U, 0U, &t), -BXCAN_ERROR_UNSUPPORTED_BIT_RATE);
    EXPECT_EQ(bxcanComputeCANTimings(500000U, 1000000U, &t), -BXCAN_ERROR_UNSUPPORTED_BIT_RATE);
    EXPECT_EQ(bxcanComputeCANTimings(2000000000U, 1000U, &t), -BXCAN_ERROR_UNSUPPORTED_BIT_RATE);  // prescaler > 1024
    EXPECT_EQ(bxcanComputeCANTimings(48000000U, 1000000U, nullptr), -2);
}

// Whatever the clock, an accepted timing must give exactly the bit rate, stay in the register ranges and
// keep the sample point between 75 % and 90 %.
TEST(BxcanTimings, EveryAcceptedTimingIsExactAndInRange)
{
    int accepted = 0;
    for (uint32_t bitrate : {1000000U, 500000U, 250000U, 125000U}) {
        for (uint32_t mhz = 8; mhz <= 100; mhz++) {
            BxcanCANTimings t{};
            if (bxcanComputeCANTimings(mhz * 1000000U, bitrate, &t) != 0) {
                continue;
            }
            accepted++;
            const uint32_t quanta = 1U + t.bit_segment_1 + t.bit_segment_2;
            EXPECT_EQ(mhz * 1000000U % (t.bit_rate_prescaler * quanta), 0U) << mhz << " MHz " << bitrate;
            EXPECT_EQ(mhz * 1000000U / (t.bit_rate_prescaler * quanta), bitrate) << mhz << " MHz";
            EXPECT_GE(t.bit_segment_1, 1);
            EXPECT_LE(t.bit_segment_1, 16);
            EXPECT_GE(t.bit_segment_2, 1);
            EXPECT_LE(t.bit_segment_2, 8);
            const uint32_t permill = 1000U * (1U + t.bit_segment_1) / quanta;
            EXPECT_LE(permill, 900U) << mhz << " MHz " << bitrate;
            if (quanta >= 8U) {
                EXPECT_GE(permill, 750U) << mhz << " MHz " << bitrate;
            }
            if (bitrate == 1000000U) {
                EXPECT_LE(quanta, 10U);
            }
        }
    }
    EXPECT_GT(accepted, 150);
}

// ---------------------------------------------------------------------------------------------------------
// Initialisation

TEST_F(Bxcan, InitBringsTheControllerToNormalMode)
{
    ASSERT_EQ(init(PortCAN1), 0);
    EXPECT_EQ(console(), "4bxcan init ok\n");
    EXPECT_EQ(static_cast<uint32_t>(CAN1->BTR), 0x00050005U);
    EXPECT_EQ(sim::canControllerBitrate(0), 1000000U);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->MCR), CAN_MCR_ABOM | CAN_MCR_AWUM);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->MSR) & (CAN_MSR_INAK | CAN_MSR_SLAK), 0U);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->IER), CAN_IER_FMPIE0 | CAN_IER_FMPIE1);
    for (IRQn_Type irq : {CAN1_RX0_IRQn, CAN1_RX1_IRQn}) {
        EXPECT_TRUE(sim::irqEnabled(irq));
        EXPECT_EQ(NVIC_GetPriority(irq), 0U);
    }
    EXPECT_FALSE(sim::irqEnabled(CAN2_RX0_IRQn));

    // Silent mode only adds SILM; the other ports get their own lines.
    const BxcanCANTimings t = timings();
    ASSERT_EQ(bxcanInit(&t, BxcanIfaceModeSilent, PortCAN3), 0);
    EXPECT_EQ(static_cast<uint32_t>(CAN3->BTR), 0x00050005U | CAN_BTR_SILM);
    EXPECT_TRUE(sim::irqEnabled(CAN3_RX0_IRQn));
    EXPECT_TRUE(sim::irqEnabled(CAN3_RX1_IRQn));
}

TEST_F(Bxcan, InitRefusesBadArguments)
{
    // A bad mode: no text, and the controller is left as it was.
    ASSERT_EQ(init(PortCAN1), 0);
    clearConsole();
    const BxcanCANTimings good = timings();
    EXPECT_EQ(bxcanInit(&good, static_cast<BxcanIfaceMode>(3), PortCAN1), -2);
    EXPECT_EQ(console(), "");
    EXPECT_EQ(static_cast<uint32_t>(CAN1->MSR) & (CAN_MSR_SLAK | CAN_MSR_INAK), 0U);  // still in normal mode

    const BxcanCANTimings zero{};
    EXPECT_EQ(bxcanInit(&zero, BxcanIfaceModeNormal, PortCAN1), -2);
    EXPECT_EQ(bxcanInit(nullptr, BxcanIfaceModeNormal, PortCAN1), -2);
    for (BxcanCANTimings bad : {BxcanCANTimings{1025, 6, 1, 1}, BxcanCANTimings{6, 17, 1, 1},
                                BxcanCANTimings{6, 6, 9, 1}, BxcanCANTimings{6, 6, 1, 5},
                                BxcanCANTimings{6, 6, 0, 1}, BxcanCANTimings{6, 6, 1, 0}}) {
        EXPECT_EQ(bxcanInit(&bad, BxcanIfaceModeNormal, PortCAN1), -2);
    }
    std::string expected;
    for (int i = 0; i < 8; i++) {
        expected += "invalid arg\n";
    }
    EXPECT_EQ(console(), expected);

    EXPECT_EQ(bxcanInit(&good, BxcanIfaceModeNormal, PortCANLast), -2);
    EXPECT_EQ(bxcanInit(&good, BxcanIfaceModeNormal, static_cast<PortCAN_t>(200)), -2);
}

// A port that runs keeps running through a bad call: frames that had arrived stay, new ones come and go.
TEST_F(Bxcan, BadCallLeavesARunningPortWorking)
{
    ASSERT_EQ(init(PortCAN1), 0);
    sim::CanPeer peer(0);
    peer.send(sim::CanFrame::standard(0x10, {1}));
    runBus();

    const BxcanCANTimings good = timings();
    const BxcanCANTimings zero{};
    EXPECT_EQ(bxcanInit(&good, static_cast<BxcanIfaceMode>(3), PortCAN1), -2);
    EXPECT_EQ(bxcanInit(&zero, BxcanIfaceModeNormal, PortCAN1), -2);

    peer.send(sim::CanFrame::standard(0x20, {2}));
    const XportCANFrame out = frame(0x30, {3});
    EXPECT_EQ(bxcanTransmit(&out, PortCAN1), 1);
    runBus();
    const auto got = receiveAll(PortCAN1);
    ASSERT_EQ(got.size(), 2U);
    EXPECT_EQ(got[0].data[0], 1);
    EXPECT_EQ(got[1].data[0], 2);
    ASSERT_EQ(peer.received.size(), 1U);
    EXPECT_EQ(peer.received[0].frame.id, 0x30U);
}

// A bring-up the controller does not let finish gives up after BXCAN_INIT_TIMEOUT_US, leaves the port down
// and its request standing; bxcanRetryInit finishes it, without waiting, once the controller goes on.
TEST_F(Bxcan, UnfinishedBringUpIsBoundedAndFinishedLater)
{
    // CAN2 must first wake CAN1, which holds its filters; CAN1 does not answer.
    sim::canSetIgnoresModeRequests(0, true);
    EXPECT_EQ(init(PortCAN2), -BXCAN_ERROR_MSR_INAK_NOT_SET);
    EXPECT_EQ(console(), "1inak not set\n");
    clearConsole();
    const uint64_t start = sim::nowUs();
    EXPECT_EQ(init(PortCAN1), -BXCAN_ERROR_MSR_INAK_NOT_SET);
    const uint64_t waited = sim::nowUs() - start;
    EXPECT_GE(waited, BXCAN_INIT_TIMEOUT_US);
    EXPECT_LT(waited, BXCAN_INIT_TIMEOUT_US + 1000U);  // and the console text after it
    EXPECT_EQ(console(), "2inak not set2\n");

    // A stuck receive line keeps CAN3 from joining its bus.
    clearConsole();
    sim::canSetRxStuckDominant(2, true);
    EXPECT_EQ(init(PortCAN3), -BXCAN_ERROR_MSR_INAK_NOT_CLEARED);
    EXPECT_EQ(console(), "3inak not cleared\n");
    EXPECT_NE(static_cast<uint32_t>(CAN3->MSR) & CAN_MSR_INAK, 0U);

    clearConsole();
    sim::advanceUs(100000);
    for (PortCAN_t port : {PortCAN1, PortCAN2, PortCAN3}) {
        EXPECT_FALSE(bxcanRetryInit(port));
        EXPECT_TRUE(bxcanBusDown(port));
        const XportCANFrame f = frame(0x10);
        EXPECT_EQ(bxcanTransmit(&f, port), 0) << "no frame into a controller off its bus";
    }
    EXPECT_EQ(console(), "");

    sim::canSetIgnoresModeRequests(0, false);
    sim::canSetRxStuckDominant(2, false);
    EXPECT_FALSE(bxcanRetryInit(PortCAN1)) << "configured; it joins after 11 recessive bits";
    sim::advanceUs(11);
    for (PortCAN_t port : {PortCAN1, PortCAN2, PortCAN3}) {
        while (!bxcanRetryInit(port)) {
            sim::advanceUs(1);
        }
        EXPECT_FALSE(bxcanBusDown(port));
    }
    EXPECT_EQ(console(), "4bxcan init ok\n4bxcan init ok\n4bxcan init ok\n");
    EXPECT_EQ(static_cast<uint32_t>(CAN3->BTR), 0x00050005U);
    EXPECT_EQ(static_cast<uint32_t>(CAN3->IER), CAN_IER_FMPIE0 | CAN_IER_FMPIE1);

    // The late ports work: filters and receive lines were set up at the first attempt.
    sim::CanPeer p0(0), p2(2);
    p0.send(sim::CanFrame::standard(0x10, {1}));
    p2.send(sim::CanFrame::standard(0x30, {3}));
    const XportCANFrame out = frame(0x40, {4});
    EXPECT_EQ(bxcanTransmit(&out, PortCAN3), 1);
    runBus();
    EXPECT_EQ(receiveAll(PortCAN1).size(), 1U);
    EXPECT_EQ(receiveAll(PortCAN3).size(), 1U);
    ASSERT_EQ(p2.received.size(), 1U);
    EXPECT_FALSE(bxcanRetryInit(PortCANLast));
}

// A shorted CAN1 bus fails CAN1's bring-up before it lays out the shared block. CAN2 must still end up
// with 32-bit banks, or its filter list would be read in the 16-bit layout and pass the wrong frames.
TEST_F(Bxcan, DeadCan1DoesNotSpoilCan2Filters)
{
    sim::canSetRxStuckDominant(0, true);
    ASSERT_EQ(init(PortCAN1), -BXCAN_ERROR_MSR_INAK_NOT_CLEARED);
    ASSERT_EQ(init(PortCAN2), 0);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FS1R), 0x0FFFFFFFU);
    const BxcanAcceptanceFilterConfiguration f{1010U, XPORT_CAN_FRAME_RTR};
    ASSERT_EQ(bxcanConfigureAcceptanceFilters(&f, 1, PortCAN2), 0);

    sim::CanPeer peer(1);
    peer.send(sim::CanFrame::extendedFrame(0x1234567, {1}));
    peer.send(sim::CanFrame::remoteFrame(0x1234567, true));
    peer.send(sim::CanFrame::standard(0x7F0, {2}));
    runBus();
    const auto got = receiveAll(PortCAN2);
    ASSERT_EQ(got.size(), 2U);
    EXPECT_EQ(got[0].data[0], 1);
    EXPECT_EQ(got[1].data[0], 2);
}

// CAN1, CAN2, CAN3 in start-up order: CAN1 lays out the shared block, CAN2 adds its bank 14 without
// touching CAN1's, CAN3 uses its own block in the same layout.
TEST_F(Bxcan, BringUpOrderAndFilterBlocks)
{
    initAll();
    EXPECT_EQ(console(), "4bxcan init ok\n4bxcan init ok\n4bxcan init ok\n");

    const uint32_t fmr = CAN1->FMR;
    EXPECT_EQ((fmr & CAN_FMR_CAN2SB) >> CAN_FMR_CAN2SB_Pos, 14U);
    EXPECT_EQ(fmr & CAN_FMR_FINIT, 0U);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FM1R), 0U);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FS1R), 0x0FFFFFFFU);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FFA1R), 0x0AAAAAAAU);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FA1R), (1U << 0) | (1U << 14));
    EXPECT_EQ(static_cast<uint32_t>(CAN3->FA1R), 1U);
    EXPECT_EQ(static_cast<uint32_t>(CAN3->FS1R), 0x3FFFU);
    EXPECT_EQ(static_cast<uint32_t>(CAN3->FMR) & CAN_FMR_FINIT, 0U);

    // Every port hears its own bus through its accept-all bank.
    sim::CanPeer p0(0), p1(1), p2(2);
    p0.send(sim::CanFrame::standard(0x10, {1}));
    p1.send(sim::CanFrame::extendedFrame(0x20, {2}));
    p2.send(sim::CanFrame::standard(0x30, {3}));
    runBus();
    for (PortCAN_t port : {PortCAN1, PortCAN2, PortCAN3}) {
        const auto got = receiveAll(port);
        ASSERT_EQ(got.size(), 1U) << int(port);
        EXPECT_EQ(got[0].data[0], port + 1);
    }
}

TEST_F(Bxcan, Can2AloneWakesCan1AndOwnsTheSharedBlock)
{
    ASSERT_EQ(init(PortCAN2), 0);
    EXPECT_NE(static_cast<uint32_t>(CAN1->MSR) & CAN_MSR_INAK, 0U);  // CAN1 held in initialisation mode
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FA1R), 1U << 14);
    EXPECT_EQ((static_cast<uint32_t>(CAN1->FMR) & CAN_FMR_CAN2SB) >> CAN_FMR_CAN2SB_Pos, 14U);

    sim::CanPeer peer(1);
    peer.send(sim::CanFrame::standard(0x55, {9}));
    runBus();
    EXPECT_EQ(receiveAll(PortCAN2).size(), 1U);

    // Bringing CAN1 up afterwards lays the block out again, leaving only CAN1's bank.
    ASSERT_EQ(init(PortCAN1), 0);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FA1R), 1U);
}

// ---------------------------------------------------------------------------------------------------------
// Acceptance filters

TEST_F(Bxcan, FilterListsAreCheckedAndReplaceThePortsBanks)
{
    initAll();
    BxcanAcceptanceFilterConfiguration list[15] = {};
    EXPECT_EQ(bxcanConfigureAcceptanceFilters(list, 15, PortCAN1), -2);
    EXPECT_EQ(bxcanConfigureAcceptanceFilters(nullptr, 1, PortCAN1), -2);
    EXPECT_EQ(bxcanConfigureAcceptanceFilters(list, 1, PortCANLast), -2);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FA1R), (1U << 0) | (1U << 14));

    // Fourteen entries fill CAN2's banks 14..27 and leave CAN1's alone.
    EXPECT_EQ(bxcanConfigureAcceptanceFilters(list, 14, PortCAN2), 0);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FA1R), 0x0FFFC001U);

    // No entries: the port hears nothing, the others are untouched.
    EXPECT_EQ(bxcanConfigureAcceptanceFilters(list, 0, PortCAN1), 0);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FA1R), 0x0FFFC000U);
    EXPECT_EQ(bxcanConfigureAcceptanceFilters(list, 0, PortCAN3), 0);
    EXPECT_EQ(static_cast<uint32_t>(CAN3->FA1R), 0U);

    sim::CanPeer p0(0), p1(1), p2(2);
    p0.send(sim::CanFrame::standard(0x10, {1}));
    p1.send(sim::CanFrame::standard(0x10, {1}));
    p2.send(sim::CanFrame::standard(0x10, {1}));
    runBus();
    EXPECT_TRUE(receiveAll(PortCAN1).empty());
    EXPECT_EQ(receiveAll(PortCAN2).size(), 1U);
    EXPECT_TRUE(receiveAll(PortCAN3).empty());
}

// id 1010 with a mask of RTR alone: only the remote bit is compared, so every data frame passes and every
// remote frame stops, on each of the three ports (CAN3 through its own block).
TEST_F(Bxcan, RemoteOnlyMaskPassesDataFramesAndStopsRemoteFrames)
{
    initAll();
    const BxcanAcceptanceFilterConfiguration f{1010U, XPORT_CAN_FRAME_RTR};
    for (PortCAN_t port : {PortCAN1, PortCAN2, PortCAN3}) {
        ASSERT_EQ(bxcanConfigureAcceptanceFilters(&f, 1, port), 0);
    }
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sFilterRegister[0].FR1), 0x00001F94U);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sFilterRegister[0].FR2), 0x00000002U);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sFilterRegister[14].FR1), 0x00001F94U);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sFilterRegister[14].FR2), 0x00000002U);
    EXPECT_EQ(static_cast<uint32_t>(CAN3->sFilterRegister[0].FR1), 0x00001F94U);
    EXPECT_EQ(static_cast<uint32_t>(CAN3->sFilterRegister[0].FR2), 0x00000002U);

    for (unsigned bus = 0; bus < 3; bus++) {
        sim::CanPeer peer(bus);
        peer.send(sim::CanFrame::standard(0x7F0, {1}));
        peer.send(sim::CanFrame::remoteFrame(0x7F0, false));
        peer.send(sim::CanFrame::extendedFrame(0x1234567, {2}));
        peer.send(sim::CanFrame::remoteFrame(0x1234567, true));
        peer.send(sim::CanFrame::standard(1010, {3}));
        runBus();
        const auto got = receiveAll(static_cast<PortCAN_t>(bus));
        ASSERT_EQ(got.size(), 3U) << "bus " << bus;
        EXPECT_EQ(got[0].id, 0x7F0U);
        EXPECT_EQ(got[1].id, ext(0x1234567));
        EXPECT_EQ(got[2].id, 1010U);
    }
}

// A mask that demands EFF with a standard id selects the standard layout; without EFF in the mask the
// extended layout compares the full 29 bits.
TEST_F(Bxcan, StandardAndExtendedFilterLayouts)
{
    initAll();
    const BxcanAcceptanceFilterConfiguration list[2] = {
        {0x123U, XPORT_CAN_FRAME_EFF | XPORT_CAN_STD_ID_MASK},   // bank 0 -> FIFO 0
        {ext(0x0ABCDEF), XPORT_CAN_FRAME_EFF | 0x1FFFFF00U},     // bank 1 -> FIFO 1
    };
    for (PortCAN_t port : {PortCAN1, PortCAN3}) {
        ASSERT_EQ(bxcanConfigureAcceptanceFilters(list, 2, port), 0);
    }
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sFilterRegister[0].FR1), 0x123U << 21);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sFilterRegister[0].FR2), (0x7FFU << 21) | CAN_TI0R_IDE);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sFilterRegister[1].FR1), (0x0ABCDEFU << 3) | CAN_TI0R_IDE);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sFilterRegister[1].FR2), (0x1FFFFF00U << 3) | CAN_TI0R_IDE);

    for (unsigned bus : {0U, 2U}) {
        const auto rx1Before = sim::irqDispatchCount(bus == 0 ? CAN1_RX1_IRQn : CAN3_RX1_IRQn);
        sim::CanPeer peer(bus);
        peer.send(sim::CanFrame::standard(0x123, {1}));
        peer.send(sim::CanFrame::extendedFrame(0x123, {2}));      // extended: stopped by bank 0
        peer.send(sim::CanFrame::standard(0x124, {3}));
        peer.send(sim::CanFrame::extendedFrame(0x0ABCD00, {4}));  // low byte not compared
        peer.send(sim::CanFrame::extendedFrame(0x1ABCDEF, {5}));
        runBus();
        const auto got = receiveAll(static_cast<PortCAN_t>(bus));
        ASSERT_EQ(got.size(), 2U) << "bus " << bus;
        EXPECT_EQ(got[0].data[0], 1);
        EXPECT_EQ(got[1].data[0], 4);
        // The second bank feeds FIFO 1, served by the port's other handler.
        EXPECT_GT(sim::irqDispatchCount(bus == 0 ? CAN1_RX1_IRQn : CAN3_RX1_IRQn), rx1Before);
    }
}

// Bringing CAN2 or CAN3 up again restores its accept-all bank although its banks were active (the
// controller ignores writes to an active bank), and CAN2's bring-up leaves CAN1's list alone.
TEST_F(Bxcan, BringUpAgainReplacesAnActiveFilterList)
{
    initAll();
    const BxcanAcceptanceFilterConfiguration only123{0x123U, XPORT_CAN_FRAME_EFF | XPORT_CAN_STD_ID_MASK};
    for (PortCAN_t port : {PortCAN1, PortCAN2, PortCAN3}) {
        ASSERT_EQ(bxcanConfigureAcceptanceFilters(&only123, 1, port), 0);
    }
    ASSERT_EQ(init(PortCAN2), 0);
    ASSERT_EQ(init(PortCAN3), 0);
    for (unsigned bus = 0; bus < 3; bus++) {
        sim::CanPeer peer(bus);
        peer.send(sim::CanFrame::standard(0x456, {7}));
        peer.send(sim::CanFrame::standard(0x123, {8}));
        runBus();
        EXPECT_EQ(receiveAll(static_cast<PortCAN_t>(bus)).size(), bus == 0 ? 1U : 2U) << "bus " << bus;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Transmission

TEST_F(Bxcan, TransmitRefusesWhatItCannotSend)
{
    initAll();
    const XportCANFrame err = frame(ext(0x100) | XPORT_CAN_FRAME_ERR);
    EXPECT_EQ(bxcanTransmit(nullptr, PortCAN1), -2);
    EXPECT_EQ(bxcanTransmit(&err, PortCAN1), -BXCAN_ERROR_UNSUPPORTED_FRAME_FORMAT);
    XportCANFrame tooLong = frame(0x100);
    tooLong.data_len = 9;
    EXPECT_EQ(bxcanTransmit(&tooLong, PortCAN1), -2);
    const XportCANFrame ok = frame(0x100);
    EXPECT_EQ(bxcanTransmit(&ok, PortCANLast), -2);
    for (unsigned mb = 0; mb < 3; mb++) {
        EXPECT_TRUE(mailboxEmpty(PortCAN1, mb));
    }
}

TEST_F(Bxcan, MailboxChoiceNeverLetsALowerFrameOvertake)
{
    initAll();
    // All empty: mailbox 0, registers filled as the controller expects.
    const XportCANFrame first = frame(ext(0x300), {1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(bxcanTransmit(&first, PortCAN1), 1);
    EXPECT_FALSE(mailboxEmpty(PortCAN1, 0));
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sTxMailBox[0].TIR), (0x300U << 3) | CAN_TI0R_IDE | CAN_TI0R_TXRQ);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sTxMailBox[0].TDTR) & CAN_TDT0R_DLC, 8U);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sTxMailBox[0].TDLR), 0x04030201U);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sTxMailBox[0].TDHR), 0x08070605U);

    // Equal or lower priority than a pending frame: not now, nothing written.
    const XportCANFrame same = frame(ext(0x300));
    const XportCANFrame lower = frame(ext(0x301));
    EXPECT_EQ(bxcanTransmit(&same, PortCAN1), 0);
    EXPECT_EQ(bxcanTransmit(&lower, PortCAN1), 0);
    EXPECT_TRUE(mailboxEmpty(PortCAN1, 1));
    EXPECT_TRUE(mailboxEmpty(PortCAN1, 2));

    // Higher priority ones take the highest-numbered empty mailbox.
    const XportCANFrame second = frame(ext(0x200));
    const XportCANFrame third = frame(ext(0x100));
    ASSERT_EQ(bxcanTransmit(&second, PortCAN1), 1);
    EXPECT_FALSE(mailboxEmpty(PortCAN1, 2));
    ASSERT_EQ(bxcanTransmit(&third, PortCAN1), 1);
    EXPECT_FALSE(mailboxEmpty(PortCAN1, 1));

    // All three pending, even a higher frame must wait.
    const XportCANFrame top = frame(ext(0x050));
    EXPECT_EQ(bxcanTransmit(&top, PortCAN1), 0);

    // Mailbox 1 pending with a lower-priority frame, 0 and 2 empty: the new frame goes to 2.
    CAN1->TSR = CAN_TSR_ABRQ0 | CAN_TSR_ABRQ2;
    ASSERT_TRUE(mailboxEmpty(PortCAN1, 0));
    ASSERT_TRUE(mailboxEmpty(PortCAN1, 2));
    ASSERT_EQ(bxcanTransmit(&top, PortCAN1), 1);
    EXPECT_FALSE(mailboxEmpty(PortCAN1, 2));
    EXPECT_TRUE(mailboxEmpty(PortCAN1, 0));
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sTxMailBox[2].TIR), (0x050U << 3) | CAN_TI0R_IDE | CAN_TI0R_TXRQ);

    // And the bus then carries them in arbitration order.
    sim::CanPeer peer(0);
    runBus();
    ASSERT_EQ(peer.received.size(), 2U);
    EXPECT_EQ(peer.received[0].frame.id, 0x050U);
    EXPECT_EQ(peer.received[1].frame.id, 0x100U);
}

// Standard beats extended on the same 11 base bits; data beats remote on the same identifier.
TEST_F(Bxcan, FormatAndRemoteBitDecidePriorityOnEqualIdentifiers)
{
    initAll();
    struct Case {
        uint32_t pending;
        uint32_t offered;
        int expected;
    };
    const Case cases[] = {
        {ext(0x123U << 18), 0x123U, 1},
        {0x123U, ext(0x123U << 18), 0},
        {ext(0x123U << 18), 0x124U, 0},  // a lower base id wins over the format
        {ext(0x122U << 18 | 0x3FFFF), 0x123U, 0},
        {rtr(100U), 100U, 1},
        {100U, rtr(100U), 0},
        {rtr(ext(100U)), ext(100U), 1},
        {ext(100U), rtr(ext(100U)), 0},
    };
    for (const Case& c : cases) {
        CAN1->TSR = CAN_TSR_ABRQ0 | CAN_TSR_ABRQ1 | CAN_TSR_ABRQ2;
        const XportCANFrame pending = frame(c.pending);
        const XportCANFrame offered = frame(c.offered);
        ASSERT_EQ(bxcanTransmit(&pending, PortCAN1), 1);
        EXPECT_EQ(bxcanTransmit(&offered, PortCAN1), c.expected) << std::hex << c.pending << " vs " << c.offered;
    }
}

// Bus errors are counted at the next call; in abort-on-error mode or at bus-off the mailboxes are
// emptied so the transport's queue can offer its frames again.
TEST_F(Bxcan, BusErrorsAreCountedAndAbortWhenAsked)
{
    initAll();
    sim::canBus(0).setConnected(false);
    const XportCANFrame f = frame(ext(0x100));
    ASSERT_EQ(bxcanTransmit(&f, PortCAN1), 1);
    runBus(500);  // no acknowledgement: LEC shows it, the mailbox stays pending
    XportCANFrame out{};
    EXPECT_EQ(bxcanReceive(&out, PortCAN1), 0);
    EXPECT_EQ(bxcanGetStats(PortCAN1).error_count, 1U);
    EXPECT_FALSE(mailboxEmpty(PortCAN1, 0));

    const BxcanCANTimings t = timings();
    ASSERT_EQ(bxcanInit(&t, BxcanIfaceModeAutomaticTxAbortOnError, PortCAN1), 0);
    EXPECT_EQ(bxcanGetStats(PortCAN1).error_count, 0U);
    ASSERT_EQ(bxcanTransmit(&f, PortCAN1), 1);
    runBus(500);
    const XportCANFrame next = frame(ext(0x200));
    EXPECT_EQ(bxcanTransmit(&next, PortCAN1), 0);
    EXPECT_EQ(bxcanGetStats(PortCAN1).error_count, 1U);
    runBus(500);
    EXPECT_TRUE(mailboxEmpty(PortCAN1, 0));

    // Bus-off aborts whatever the mode.
    ASSERT_EQ(init(PortCAN3), 0);
    ASSERT_EQ(bxcanTransmit(&f, PortCAN3), 1);
    sim::canForceBusOff(2);
    EXPECT_EQ(bxcanReceive(&out, PortCAN3), 0);
    EXPECT_GE(bxcanGetStats(PortCAN3).error_count, 1U);
    runBus(500);
    EXPECT_TRUE(mailboxEmpty(PortCAN3, 0));
}

// ---------------------------------------------------------------------------------------------------------
// Reception

TEST_F(Bxcan, ReceivedFramesKeepTheirFormatAndData)
{
    initAll();
    sim::CanPeer peer(0);
    peer.send(sim::CanFrame::standard(0x7FF, {1, 2, 3}));
    peer.send(sim::CanFrame::extendedFrame(0x1FFFFFFF, {1, 2, 3, 4, 5, 6, 7, 8}));
    peer.send(sim::CanFrame::remoteFrame(0x42, false, 4));
    peer.send(sim::CanFrame::extendedFrame(0x10, {}));
    sim::CanFrame longDlc = sim::CanFrame::extendedFrame(0x11, {9, 8, 7, 6, 5, 4, 3, 2});
    longDlc.dlc = 15;  // legal on the wire; still 8 bytes
    peer.send(longDlc);
    runBus();

    const auto got = receiveAll(PortCAN1);
    ASSERT_EQ(got.size(), 5U);
    EXPECT_EQ(got[0].id, 0x7FFU);
    EXPECT_EQ(got[0].data_len, 3);
    EXPECT_EQ(got[0].data[2], 3);
    EXPECT_EQ(got[1].id, ext(0x1FFFFFFF));
    EXPECT_EQ(got[1].data_len, 8);
    EXPECT_EQ(got[1].data[7], 8);
    EXPECT_EQ(got[2].id, rtr(0x42U));
    EXPECT_EQ(got[2].data_len, 4);
    EXPECT_EQ(got[3].id, ext(0x10));
    EXPECT_EQ(got[3].data_len, 0);
    EXPECT_EQ(got[4].data_len, 8);  // clamped: nothing reads past the record's 8 bytes
    EXPECT_EQ(got[4].data[7], 2);

    XportCANFrame out{};
    EXPECT_EQ(bxcanReceive(&out, PortCAN1), 0);
    EXPECT_EQ(bxcanReceive(nullptr, PortCAN1), -2);
    EXPECT_EQ(bxcanReceive(&out, PortCANLast), -2);
    EXPECT_EQ(bxcanGetStats(PortCAN1).rx_overflow_count, 0U);
    EXPECT_EQ(bxcanGetStats(PortCANLast).error_count, 0U);
}

// Each frame the software FIFO has no room for counts one overflow. Three rounds take the ring's indices
// round more than once.
TEST_F(Bxcan, ElevenFramesBeforeTheTaskReads)
{
    initAll();
    sim::CanPeer peer(1);
    for (uint8_t round = 1; round <= 3; round++) {
        for (uint8_t i = 0; i < 11; i++) {
            peer.send(sim::CanFrame::extendedFrame(0x1000U + i, {round, i}));
        }
        runBus(5000);
        const auto got = receiveAll(PortCAN2);
        ASSERT_EQ(got.size(), 10U);
        for (uint8_t i = 0; i < 10; i++) {
            EXPECT_EQ(got[i].data[0], round);
            EXPECT_EQ(got[i].data[1], i);
        }
        EXPECT_EQ(bxcanGetStats(PortCAN2).rx_overflow_count, round);
        EXPECT_EQ(bxcanGetStats(PortCAN2).frames_rx, 11U * round);  // the dropped one was taken from the hardware too
    }
    EXPECT_EQ(bxcanGetStats(PortCAN2).error_count, 0U);
    EXPECT_EQ(bxcanGetStats(PortCAN1).rx_overflow_count, 0U);
}

// With interrupts held off the 3-deep hardware FIFO overruns; the handler counts it once.
TEST_F(Bxcan, HardwareFifoOverrunIsCountedOnce)
{
    initAll();
    sim::setInterruptsMasked(true);
    sim::CanPeer peer(2);
    for (uint8_t i = 0; i < 4; i++) {
        peer.send(sim::CanFrame::standard(0x100U + i, {i}));
    }
    runBus();
    sim::setInterruptsMasked(false);
    sim::serviceInterrupts();
    EXPECT_EQ(receiveAll(PortCAN3).size(), 3U);
    EXPECT_EQ(bxcanGetStats(PortCAN3).rx_overflow_count, 1U);
}

// A handler entry with an empty hardware FIFO (the line may still read pending just after the last
// release) must not deliver the mailbox's stale frame again.
TEST_F(Bxcan, SpuriousEntriesLeaveNoFrames)
{
    initAll();
    sim::CanPeer peer(0);
    peer.send(sim::CanFrame::standard(0x10, {1}));
    runBus();
    CAN1_RX0_IRQHandler();
    CAN1_RX1_IRQHandler();
    EXPECT_EQ(receiveAll(PortCAN1).size(), 1U);
    EXPECT_EQ(bxcanGetStats(PortCAN1).frames_rx, 1U);
}

}  // namespace
