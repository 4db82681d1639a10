// The simulated bxCAN controllers and virtual buses, checked against what the reference manual and the
// CAN protocol say, through the same registers the driver uses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chip.hpp"
#include "platform/interface/core.hpp"
#include "platform/sim/sim.hpp"

namespace {

// Receive handlers of this test program: each entry takes one frame out of the FIFO, like the driver.
std::vector<std::pair<int, sim::CanFrame>> g_rx;  // (fifo, frame)
bool g_releaseInHandler = true;

sim::CanFrame readHead(CAN_TypeDef* can, int fifo)
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

void takeOne(CAN_TypeDef* can, int fifo)
{
    g_rx.emplace_back(fifo, readHead(can, fifo));
    if (g_releaseInHandler) {
        (fifo == 0 ? can->RF0R : can->RF1R) = CAN_RF0R_RFOM0;
    }
}

}  // namespace

extern "C" void CAN1_RX0_IRQHandler() { takeOne(CAN1, 0); }
extern "C" void CAN1_RX1_IRQHandler() { takeOne(CAN1, 1); }
extern "C" void CAN2_RX0_IRQHandler() { takeOne(CAN2, 0); }
extern "C" void CAN3_RX0_IRQHandler() { takeOne(CAN3, 0); }

namespace {

using sim::CanFrame;

constexpr uint32_t kBtr1M48 = 0x00050005U;  // prescaler 6, 6 + 1 quanta after sync: 1 Mbit/s at 48 MHz

uint32_t tir(const CanFrame& f)
{
    uint32_t v = f.extended ? (f.id << 3) | CAN_TI0R_IDE : f.id << 21;
    return v | (f.remote ? CAN_TI0R_RTR : 0U);
}

const InterruptVector kHandlers[] = {
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

// ---------------------------------------------------------------------------------------------------------
// Frame length and arbitration key

// Straightforward second implementation: the frame as a string of '0'/'1', stuffed by pattern.
unsigned referenceBits(const CanFrame& f)
{
    std::string s = "0";
    auto put = [&s](uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            s += ((v >> i) & 1U) != 0U ? '1' : '0';
        }
    };
    if (f.extended) {
        put(f.id >> 18, 11);
        s += "11";
        put(f.id & 0x3FFFFU, 18);
        s += f.remote ? "1" : "0";
        s += "00";
    } else {
        put(f.id, 11);
        s += f.remote ? "1" : "0";
        s += "00";
    }
    put(f.dlc, 4);
    if (!f.remote) {
        for (int i = 0; i < f.dataBytes(); ++i) {
            put(f.data[i], 8);
        }
    }
    unsigned crc = 0;
    for (char c : s) {
        const unsigned bit = (c == '1') ^ ((crc >> 14) & 1U);
        crc = (crc << 1) & 0x7FFFU;
        if (bit != 0U) {
            crc ^= 0x4599U;
        }
    }
    put(crc, 15);
    std::string stuffed;
    int run = 0;
    char last = 'x';
    for (char c : s) {
        stuffed += c;
        run = c == last ? run + 1 : 1;
        last = c;
        if (run == 5) {
            last = c == '0' ? '1' : '0';
            stuffed += last;
            run = 1;
        }
    }
    return static_cast<unsigned>(stuffed.size()) + 13U;
}

TEST(SimCanFrame, BitCountsIncludeStuffBitsExactly)
{
    // Identifier 0, no data: 34 dominant bits from SOF to the end of the (all-zero) CRC take 6 stuff bits;
    // then CRC delimiter, ACK slot and delimiter, 7 EOF bits, 3 intermission bits.
    EXPECT_EQ(sim::canFrameBits(CanFrame::standard(0)), 34U + 6U + 13U);

    // Without stuffing the lengths are the textbook 47 / 111 (standard) and 67 / 131 (extended) bits; with
    // stuffing they can only grow, by at most one bit per four after the first.
    const CanFrame samples[] = {
        CanFrame::standard(0x555, {0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA}),
        CanFrame::standard(0x7FF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
        CanFrame::extendedFrame(0x1FFFFFFF),
        CanFrame::extendedFrame(0x0AAAAAAA, {1, 2, 3, 4, 5, 6, 7, 8}),
        CanFrame::extendedFrame(0x18CD7E22, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0}),
        CanFrame::remoteFrame(0x123, false, 8),
        CanFrame::remoteFrame(0x1234567, true, 0),
    };
    for (const CanFrame& f : samples) {
        const unsigned unstuffed = (f.extended ? 67U : 47U) + (f.remote ? 0U : 8U * f.dataBytes());
        const unsigned bits = sim::canFrameBits(f);
        EXPECT_EQ(bits, referenceBits(f)) << std::hex << f.id;
        EXPECT_GE(bits, unstuffed);
        EXPECT_LE(bits, unstuffed + (unstuffed - 13U - 1U) / 4U);
    }
}

TEST(SimCanFrame, DlcAboveEightCarriesEightBytes)
{
    CanFrame f = CanFrame::standard(0x10, {1, 2, 3, 4, 5, 6, 7, 8});
    const unsigned eight = sim::canFrameBits(f);
    f.dlc = 15;
    EXPECT_EQ(f.dataBytes(), 8U);
    EXPECT_EQ(sim::canFrameBits(f), referenceBits(f));
    EXPECT_GE(sim::canFrameBits(f) + 4U, eight);  // only the DLC bits (and their stuffing) differ
    EXPECT_LE(sim::canFrameBits(f), eight + 4U);
}

TEST(SimCanFrame, ArbitrationFollowsTheWire)
{
    using sim::canArbitrationKey;
    // Lower identifier wins; a data frame beats the remote frame of the same identifier.
    EXPECT_LT(canArbitrationKey(CanFrame::standard(0x100)), canArbitrationKey(CanFrame::standard(0x101)));
    EXPECT_LT(canArbitrationKey(CanFrame::standard(0x100)), canArbitrationKey(CanFrame::remoteFrame(0x100, false)));
    // Same 11 base bits: the standard frame wins (its IDE bit is dominant), even a standard remote frame.
    EXPECT_LT(canArbitrationKey(CanFrame::standard(0x100)), canArbitrationKey(CanFrame::extendedFrame(0x100U << 18)));
    EXPECT_LT(canArbitrationKey(CanFrame::remoteFrame(0x100, false)),
              canArbitrationKey(CanFrame::extendedFrame(0x100U << 18)));
    // Different base bits decide before IDE does.
    EXPECT_LT(canArbitrationKey(CanFrame::extendedFrame(0x0FFU << 18 | 0x3FFFF)),
              canArbitrationKey(CanFrame::standard(0x100)));
    EXPECT_LT(canArbitrationKey(CanFrame::extendedFrame(0x1000)), canArbitrationKey(CanFrame::extendedFrame(0x1001)));
    EXPECT_LT(canArbitrationKey(CanFrame::extendedFrame(0x1000)),
              canArbitrationKey(CanFrame::remoteFrame(0x1000, true)));
}

// ---------------------------------------------------------------------------------------------------------
// Modes and the initialisation handshake

TEST_F(SimCan, PowerOnSleepsThenFollowsModeRequests)
{
    EXPECT_EQ(CAN1->MCR, 0x00010002U);
    EXPECT_EQ(CAN1->MSR & (CAN_MSR_SLAK | CAN_MSR_INAK), CAN_MSR_SLAK);
    EXPECT_EQ(CAN1->TSR, 0x1C000000U);
    EXPECT_EQ(CAN1->FMR, 0x2A1C0E01U);

    enterInit(CAN1);
    EXPECT_EQ(CAN1->MSR & (CAN_MSR_SLAK | CAN_MSR_INAK), CAN_MSR_INAK);
    CAN1->MCR &= ~CAN_MCR_INRQ;
    EXPECT_EQ(CAN1->MSR & (CAN_MSR_SLAK | CAN_MSR_INAK), 0U);
    CAN1->MCR |= CAN_MCR_SLEEP;
    EXPECT_EQ(CAN1->MSR & (CAN_MSR_SLAK | CAN_MSR_INAK), CAN_MSR_SLAK);
    enterInit(CAN1);
    EXPECT_EQ(CAN1->MSR & (CAN_MSR_SLAK | CAN_MSR_INAK), CAN_MSR_INAK);

    // Master reset: back to sleep with reset values; RESET itself reads 0. The filters are kept.
    CAN1->FA1R = 0x5;
    CAN1->IER = CAN_IER_FMPIE0;
    CAN1->MCR = CAN_MCR_RESET;
    EXPECT_EQ(CAN1->MCR, 0x00010002U);
    EXPECT_EQ(CAN1->MSR & (CAN_MSR_SLAK | CAN_MSR_INAK), CAN_MSR_SLAK);
    EXPECT_EQ(CAN1->IER, 0U);
    EXPECT_EQ(CAN1->FA1R, 0x5U);
}

TEST_F(SimCan, BitTimingIsWritableOnlyInInitialisationMode)
{
    CAN1->BTR = kBtr1M48;
    EXPECT_EQ(CAN1->BTR, 0U);  // asleep
    enterInit(CAN1);
    CAN1->BTR = kBtr1M48 | CAN_BTR_SILM;
    EXPECT_EQ(CAN1->BTR, kBtr1M48 | CAN_BTR_SILM);
    EXPECT_EQ(sim::canControllerBitrate(0), 1000000U);
    sim::setPclk1(42000000);
    CAN1->BTR = 0x00040005;  // 42 MHz: prescaler 6, 5 + 1 quanta
    EXPECT_EQ(sim::canControllerBitrate(0), 1000000U);
    CAN1->MCR &= ~CAN_MCR_INRQ;
    CAN1->BTR = 0;
    EXPECT_EQ(CAN1->BTR, 0x00040005U);
}

TEST_F(SimCan, FaultSwitchesBreakTheHandshake)
{
    sim::canSetIgnoresModeRequests(0, true);
    enterInit(CAN1);
    for (int i = 0; i < 100; ++i) {
        coreRelax();
    }
    EXPECT_EQ(CAN1->MSR & CAN_MSR_INAK, 0U);

    // A receive line stuck dominant: initialisation is entered but never left.
    sim::canSetRxStuckDominant(1, true);
    enterInit(CAN2);
    EXPECT_NE(CAN2->MSR & CAN_MSR_INAK, 0U);
    CAN2->MCR &= ~CAN_MCR_INRQ;
    sim::advanceUs(1000);
    EXPECT_NE(CAN2->MSR & CAN_MSR_INAK, 0U);
    sim::canSetRxStuckDominant(1, false);
    EXPECT_EQ(CAN2->MSR & CAN_MSR_INAK, 0U);
}

TEST_F(SimCan, UnclockedControllerIgnoresEverything)
{
    RCC_APB1PeriphClockCmd(RCC_APB1Periph_CAN3, DISABLE);
    enterInit(CAN3);
    EXPECT_EQ(CAN3->MSR, 0U);  // reads as zero
    RCC_APB1PeriphClockCmd(RCC_APB1Periph_CAN3, ENABLE);
    EXPECT_EQ(CAN3->MSR & (CAN_MSR_SLAK | CAN_MSR_INAK), CAN_MSR_SLAK);  // the writes were lost
}

// ---------------------------------------------------------------------------------------------------------
// Transmission

TEST_F(SimCan, FrameOccupiesTheBusForItsBitTime)
{
    start(CAN1);
    sim::CanPeer peer(0);
    const CanFrame f = CanFrame::extendedFrame(0x18CD7E22, {1, 2, 3, 4, 5, 6, 7, 8});
    load(CAN1, 0, f);
    EXPECT_EQ(CAN1->TSR & CAN_TSR_TME0, 0U);
    sim::advanceUs(1);
    EXPECT_TRUE(sim::canBus(0).busy());
    sim::advanceUs(sim::canFrameBits(f) - 2U);
    EXPECT_TRUE(peer.received.empty());  // one microsecond before its end
    sim::advanceUs(1);
    ASSERT_EQ(peer.received.size(), 1U);
    EXPECT_EQ(peer.received[0].frame, f);
    EXPECT_EQ(peer.received[0].endNs, sim::canFrameBits(f) * 1000ULL);
    EXPECT_EQ(CAN1->TSR & (CAN_TSR_TME0 | CAN_TSR_RQCP0 | CAN_TSR_TXOK0),
              CAN_TSR_TME0 | CAN_TSR_RQCP0 | CAN_TSR_TXOK0);
    EXPECT_EQ(CAN1->sTxMailBox[0].TIR & CAN_TI0R_TXRQ, 0U);

    // At 500 kbit/s the same frame takes twice as long; CAN1, still at 1 Mbit/s, cannot decode it.
    sim::canBus(0).setBitrate(500000);
    sim::CanPeer other(0);
    peer.send(f);
    sim::advanceUs(1000);
    const auto& log = sim::canBus(0).log();
    ASSERT_EQ(log.size(), 2U);
    EXPECT_EQ(log[1].endNs - log[1].startNs, 2000ULL * sim::canFrameBits(f));
    EXPECT_EQ(log[1].sender, -1);
    EXPECT_TRUE(log[1].acknowledged);
    EXPECT_EQ(other.received.size(), 1U);
    EXPECT_EQ(CAN1->RF0R & CAN_RF0R_FMP0, 0U);
}

TEST_F(SimCan, PendingFramesLeaveInArbitrationOrder)
{
    sim::CanPeer a(0), b(0), c(0);
    // Same 11 base bits everywhere but the last: data before remote, standard before extended.
    a.send(CanFrame::extendedFrame(0x40U << 18 | 5U));
    b.send(CanFrame::standard(0x40));
    c.send(CanFrame::remoteFrame(0x40, false));
    b.send(CanFrame::standard(0x7FF));
    sim::advanceUs(2000);
    EXPECT_EQ(ids(sim::canBus(0).log()), (std::vector<uint32_t>{0x40, 0x40, 0x40U << 18 | 5U, 0x7FF}));
    EXPECT_TRUE(sim::canBus(0).log()[1].frame.remote);
    EXPECT_EQ(sim::canBus(1).log().size(), 0U);  // the buses are separate
}

TEST_F(SimCan, MailboxesGoInIdentifierOrderAndNeverOvertakeAPendingOne)
{
    sim::CanPeer peer(0);
    // Filled while in initialisation mode: nothing leaves yet.
    enterInit(CAN1);
    CAN1->BTR = kBtr1M48;
    load(CAN1, 0, CanFrame::standard(0x300));
    load(CAN1, 1, CanFrame::extendedFrame(0x100U << 18));
    load(CAN1, 2, CanFrame::standard(0x100));
    sim::advanceUs(1000);
    EXPECT_TRUE(sim::canBus(0).log().empty());
    EXPECT_EQ(CAN1->TSR & CAN_TSR_TME, 0U);
    EXPECT_EQ((CAN1->TSR & CAN_TSR_CODE) >> CAN_TSR_CODE_Pos, 0U);  // all pending: the lowest priority
    EXPECT_NE(CAN1->TSR & CAN_TSR_LOW0, 0U);

    // A peer frame with a higher identifier than all three but queued first waits too.
    peer.send(CanFrame::standard(0x400));
    CAN1->MCR &= ~CAN_MCR_INRQ;
    sim::advanceUs(1000);
    EXPECT_EQ(ids(sim::canBus(0).log()), (std::vector<uint32_t>{0x100, 0x100U << 18, 0x300, 0x400}));
    EXPECT_EQ(CAN1->TSR & CAN_TSR_TME, CAN_TSR_TME);
}

TEST_F(SimCan, EqualIdentifiersGoByMailboxNumberAndTxfpByRequestOrder)
{
    sim::CanPeer peer(0);
    start(CAN1);
    // Hold the bus with a long peer frame so that all three requests meet at the next arbitration.
    peer.send(CanFrame::standard(0x001, {1, 2, 3, 4, 5, 6, 7, 8}));
    sim::advanceUs(1);
    load(CAN1, 2, CanFrame::standard(0x222, {2}));
    load(CAN1, 1, CanFrame::standard(0x222, {1}));
    load(CAN1, 0, CanFrame::standard(0x333, {0}));
    sim::advanceUs(2000);
    const auto& log = sim::canBus(0).log();
    ASSERT_EQ(log.size(), 4U);
    EXPECT_EQ(log[1].frame.data[0], 1);
    EXPECT_EQ(log[2].frame.data[0], 2);
    EXPECT_EQ(log[3].frame.id, 0x333U);

    sim::canBus(0).clearLog();
    CAN1->MCR |= CAN_MCR_TXFP;
    peer.send(CanFrame::standard(0x001, {1, 2, 3, 4, 5, 6, 7, 8}));
    sim::advanceUs(1);
    load(CAN1, 2, CanFrame::standard(0x500));
    load(CAN1, 0, CanFrame::standard(0x100));
    sim::advanceUs(2000);
    EXPECT_EQ(ids(sim::canBus(0).log()), (std::vector<uint32_t>{0x001, 0x500, 0x100}));
}

TEST_F(SimCan, PendingMailboxIsWriteProtected)
{
    enterInit(CAN1);
    load(CAN1, 0, CanFrame::standard(0x123, {9}));
    CAN1->sTxMailBox[0].TIR = tir(CanFrame::standard(0x001)) | CAN_TI0R_TXRQ;
    CAN1->sTxMailBox[0].TDLR = 0;
    EXPECT_EQ(CAN1->sTxMailBox[0].TIR, tir(CanFrame::standard(0x123)) | CAN_TI0R_TXRQ);
    EXPECT_EQ(CAN1->sTxMailBox[0].TDLR, 9U);
}

TEST_F(SimCan, AbortRequests)
{
    sim::CanPeer peer(0);
    enterInit(CAN1);
    CAN1->BTR = kBtr1M48;
    load(CAN1, 1, CanFrame::standard(0x123));
    // Not on the wire: aborted at once.
    CAN1->TSR = CAN_TSR_ABRQ1;
    EXPECT_EQ(CAN1->TSR & (CAN_TSR_TME1 | CAN_TSR_RQCP1 | CAN_TSR_TXOK1 | CAN_TSR_ABRQ1),
              CAN_TSR_TME1 | CAN_TSR_RQCP1);
    // On the wire: the frame completes and counts as sent.
    CAN1->TSR = CAN_TSR_RQCP1;
    EXPECT_EQ(CAN1->TSR & CAN_TSR_RQCP1, 0U);
    CAN1->MCR &= ~CAN_MCR_INRQ;
    load(CAN1, 1, CanFrame::standard(0x124));
    sim::advanceUs(5);
    ASSERT_TRUE(sim::canBus(0).busy());
    CAN1->TSR = CAN_TSR_ABRQ1;
    EXPECT_NE(CAN1->TSR & CAN_TSR_ABRQ1, 0U);
    sim::advanceUs(200);
    EXPECT_EQ(CAN1->TSR & (CAN_TSR_TME1 | CAN_TSR_RQCP1 | CAN_TSR_TXOK1 | CAN_TSR_ABRQ1),
              CAN_TSR_TME1 | CAN_TSR_RQCP1 | CAN_TSR_TXOK1);
    EXPECT_EQ(peer.received.size(), 1U);
}

TEST_F(SimCan, DisconnectedBusAcknowledgesNothing)
{
    sim::CanPeer peer(0);
    start(CAN1);
    sim::canBus(0).setConnected(false);
    load(CAN1, 0, CanFrame::standard(0x123, {1}));
    sim::advanceUs(10000);
    // Retransmitted again and again, never acknowledged; still pending.
    EXPECT_EQ(CAN1->TSR & CAN_TSR_TME0, 0U);
    EXPECT_EQ((CAN1->ESR & CAN_ESR_LEC) >> CAN_ESR_LEC_Pos, CAN_LEC_ACK);
    EXPECT_TRUE(peer.received.empty());
    EXPECT_GT(sim::canBus(0).log().size(), 16U);
    EXPECT_FALSE(sim::canBus(0).log().back().acknowledged);
    // ACK errors make the transmitter error passive, never bus-off.
    EXPECT_EQ((CAN1->ESR & CAN_ESR_TEC) >> CAN_ESR_TEC_Pos, 128U);
    EXPECT_EQ(CAN1->ESR & (CAN_ESR_EPVF | CAN_ESR_EWGF | CAN_ESR_BOFF), CAN_ESR_EPVF | CAN_ESR_EWGF);

    // Software may clear LEC; back on the bus the frame goes out.
    CAN1->ESR = 0;
    EXPECT_EQ(CAN1->ESR & CAN_ESR_LEC, 0U);
    sim::canBus(0).setConnected(true);
    sim::advanceUs(1000);
    EXPECT_NE(CAN1->TSR & CAN_TSR_TXOK0, 0U);
    ASSERT_EQ(peer.received.size(), 1U);
    EXPECT_EQ(peer.received[0].frame.id, 0x123U);
}

TEST_F(SimCan, NobodyElseOnTheBusIsLikeDisconnected)
{
    start(CAN2);
    load(CAN2, 2, CanFrame::standard(0x55));
    sim::advanceUs(300);
    EXPECT_EQ(CAN2->TSR & CAN_TSR_TME2, 0U);
    EXPECT_EQ((CAN2->ESR & CAN_ESR_LEC) >> CAN_ESR_LEC_Pos, CAN_LEC_ACK);
}

TEST_F(SimCan, OneShotModeGivesUpAfterOneAttempt)
{
    start(CAN1, CAN_MCR_NART);
    load(CAN1, 0, CanFrame::standard(0x55));
    sim::advanceUs(1000);
    EXPECT_EQ(sim::canBus(0).log().size(), 1U);
    EXPECT_EQ(CAN1->TSR & (CAN_TSR_TME0 | CAN_TSR_RQCP0 | CAN_TSR_TXOK0 | CAN_TSR_TERR0),
              CAN_TSR_TME0 | CAN_TSR_RQCP0 | CAN_TSR_TERR0);
    // Failed by an error (no acknowledgement), not by arbitration.
    EXPECT_EQ(CAN1->TSR & CAN_TSR_ALST0, 0U);
    EXPECT_EQ((CAN1->ESR & CAN_ESR_LEC) >> CAN_ESR_LEC_Pos, CAN_LEC_ACK);
}

// Reference manual: RQCP = the request was performed, TXOK = the transmission succeeded, ALST = it failed
// by lost arbitration, TERR = it failed by an error. In one-shot mode a lost arbitration ends the request.
TEST_F(SimCan, OneShotModeGivesUpAfterLosingArbitration)
{
    sim::CanPeer peer(0);
    start(CAN1, CAN_MCR_NART);
    CAN1->IER = CAN_IER_TMEIE;
    peer.send(CanFrame::standard(0x010));
    load(CAN1, 0, CanFrame::standard(0x100));
    sim::advanceUs(1000);
    EXPECT_EQ(CAN1->TSR & (CAN_TSR_TME0 | CAN_TSR_RQCP0 | CAN_TSR_TXOK0 | CAN_TSR_ALST0 | CAN_TSR_TERR0),
              CAN_TSR_TME0 | CAN_TSR_RQCP0 | CAN_TSR_ALST0);
    EXPECT_EQ(CAN1->sTxMailBox[0].TIR & CAN_TI0R_TXRQ, 0U);
    EXPECT_TRUE(sim::irqPending(CAN1_TX_IRQn));  // RQCP raises the transmit interrupt
    ASSERT_EQ(sim::canBus(0).log().size(), 1U);  // the peer's frame only, never retried
    EXPECT_EQ(sim::canBus(0).log()[0].sender, -1);
}

TEST_F(SimCan, BusOffAndRecovery)
{
    sim::CanPeer peer(0);
    start(CAN1, CAN_MCR_ABOM);
    sim::canForceBusOff(0);
    EXPECT_NE(CAN1->ESR & CAN_ESR_BOFF, 0U);
    load(CAN1, 0, CanFrame::standard(0x10));
    peer.send(CanFrame::standard(0x20));
    sim::advanceUs(1000);
    EXPECT_TRUE(peer.received.empty());
    ASSERT_FALSE(sim::canBus(0).log().empty());
    for (const auto& r : sim::canBus(0).log()) {
        EXPECT_FALSE(r.acknowledged);  // only the peer's attempts, and nobody acknowledges them
        EXPECT_EQ(r.sender, -1);
    }
    sim::advanceUs(1408 - 1000 + 200);  // 128 x 11 recessive bits, then the pending frame
    EXPECT_EQ(CAN1->ESR & CAN_ESR_BOFF, 0U);
    ASSERT_EQ(peer.received.size(), 1U);

    // Without automatic recovery it takes the initialisation request of the software.
    start(CAN2);
    sim::canForceBusOff(1);
    sim::advanceUs(5000);
    EXPECT_NE(CAN2->ESR & CAN_ESR_BOFF, 0U);
    CAN2->MCR |= CAN_MCR_INRQ;
    CAN2->MCR &= ~CAN_MCR_INRQ;
    sim::advanceUs(1408);
    EXPECT_EQ(CAN2->ESR & CAN_ESR_BOFF, 0U);
}

// ---------------------------------------------------------------------------------------------------------
// Reception: FIFOs and interrupts

TEST_F(SimCan, FifoCountsOverrunsAndReleases)
{
    sim::CanPeer peer(0);
    start(CAN1);
    acceptAll(CAN1, 0);
    for (uint8_t i = 1; i <= 5; ++i) {
        peer.send(CanFrame::standard(0x100U + i, {i}));
    }
    sim::advanceUs(2000);
    EXPECT_EQ(peer.sent.size(), 5U);  // all acknowledged, even when the FIFO was full
    // Three kept; the fourth and fifth each overwrote the newest (FIFO not locked).
    EXPECT_EQ(CAN1->RF0R & (CAN_RF0R_FMP0 | CAN_RF0R_FULL0 | CAN_RF0R_FOVR0), 3U | CAN_RF0R_FULL0 | CAN_RF0R_FOVR0);
    EXPECT_EQ(readHead(CAN1, 0).id, 0x101U);
    CAN1->RF0R = CAN_RF0R_RFOM0;
    EXPECT_EQ(CAN1->RF0R & CAN_RF0R_FMP0, 2U);
    EXPECT_EQ(readHead(CAN1, 0).id, 0x102U);
    CAN1->RF0R = CAN_RF0R_RFOM0;
    EXPECT_EQ(readHead(CAN1, 0).id, 0x105U);
    EXPECT_EQ(readHead(CAN1, 0).data[0], 5);
    // FULL and FOVR stay until written 1.
    CAN1->RF0R = CAN_RF0R_FULL0 | CAN_RF0R_FOVR0 | CAN_RF0R_RFOM0;
    EXPECT_EQ(CAN1->RF0R, 0U);

    // Locked FIFO: the frames that find it full are the ones lost.
    CAN1->MCR |= CAN_MCR_RFLM;
    for (uint8_t i = 1; i <= 4; ++i) {
        peer.send(CanFrame::standard(0x200U + i));
    }
    sim::advanceUs(2000);
    CAN1->RF0R = CAN_RF0R_RFOM0;
    CAN1->RF0R = CAN_RF0R_RFOM0;
    EXPECT_EQ(readHead(CAN1, 0).id, 0x203U);
}

TEST_F(SimCan, ReceivedDlcIsKeptUpToFifteen)
{
    sim::CanPeer peer(0);
    start(CAN1);
    acceptAll(CAN1, 0);
    CanFrame f = CanFrame::extendedFrame(0x1ABCDEF, {1, 2, 3, 4, 5, 6, 7, 8});
    f.dlc = 15;
    peer.send(f);
    sim::advanceUs(500);
    EXPECT_EQ(CAN1->sFIFOMailBox[0].RDTR & CAN_RDT0R_DLC, 15U);
    EXPECT_EQ(CAN1->sFIFOMailBox[0].RIR, (0x1ABCDEFU << 3) | CAN_RI0R_IDE);
    EXPECT_EQ(CAN1->sFIFOMailBox[0].RDLR, 0x04030201U);
    EXPECT_EQ(CAN1->sFIFOMailBox[0].RDHR, 0x08070605U);
}

TEST_F(SimCan, ReceiveInterruptRunsWhileTheFifoHoldsFrames)
{
    sim::CanPeer peer(0);
    start(CAN1);
    acceptAll(CAN1, 0);
    CAN1->IER = CAN_IER_FMPIE0;
    for (uint8_t i = 0; i < 3; ++i) {
        peer.send(CanFrame::standard(0x10U + i));
    }
    // Line not enabled at the interrupt controller: pending, not dispatched.
    sim::advanceUs(1000);
    EXPECT_TRUE(sim::irqPending(CAN1_RX0_IRQn));
    EXPECT_TRUE(g_rx.empty());
    // Enabled: one entry per frame until the FIFO is empty.
    NVIC_EnableIRQ(CAN1_RX0_IRQn);
    sim::serviceInterrupts();
    ASSERT_EQ(g_rx.size(), 3U);
    EXPECT_EQ(g_rx[2].second.id, 0x12U);
    EXPECT_EQ(sim::irqDispatchCount(CAN1_RX0_IRQn), 3U);
    EXPECT_FALSE(sim::irqPending(CAN1_RX0_IRQn));

    // Masked by the interrupt enable register: nothing.
    CAN1->IER = 0;
    peer.send(CanFrame::standard(0x20));
    sim::advanceUs(500);
    EXPECT_EQ(g_rx.size(), 3U);
    CAN1->IER = CAN_IER_FMPIE0;
    sim::serviceInterrupts();
    EXPECT_EQ(g_rx.size(), 4U);
}

TEST_F(SimCan, HandlerThatNeverReleasesIsCaught)
{
    g_releaseInHandler = false;
    sim::CanPeer peer(0);
    start(CAN1);
    acceptAll(CAN1, 0);
    CAN1->IER = CAN_IER_FMPIE0;
    NVIC_EnableIRQ(CAN1_RX0_IRQn);
    peer.send(CanFrame::standard(0x10));
    EXPECT_DEATH(sim::advanceUs(500), "never clears");
}

// ---------------------------------------------------------------------------------------------------------
// Acceptance filters

class SimCanFilters : public SimCan {
protected:
    void SetUp() override
    {
        SimCan::SetUp();
        start(CAN1);
        CAN1->FMR |= CAN_FMR_FINIT;
        CAN1->FA1R = 0;
        CAN1->FM1R = 0;
        CAN1->FS1R = 0;
        CAN1->FFA1R = 0;
    }

    void bank(unsigned b, bool list, bool wide, unsigned fifo, uint32_t fr1, uint32_t fr2, bool active = true)
    {
        CAN1->FM1R = (CAN1->FM1R & ~(1U << b)) | (list ? 1U << b : 0U);
        CAN1->FS1R = (CAN1->FS1R & ~(1U << b)) | (wide ? 1U << b : 0U);
        CAN1->FFA1R = (CAN1->FFA1R & ~(1U << b)) | (fifo != 0 ? 1U << b : 0U);
        CAN1->sFilterRegister[b].FR1 = fr1;
        CAN1->sFilterRegister[b].FR2 = fr2;
        if (active) {
            CAN1->FA1R |= 1U << b;
        }
    }

    // Sends one frame and reports where it landed: -1 dropped, else fifo * 1000 + FMI.
    int deliver(const CanFrame& f)
    {
        sim::CanPeer peer(0);
        peer.send(f);
        sim::advanceUs(300);
        for (int fifo = 0; fifo < 2; ++fifo) {
            HwReg32& rfr = fifo == 0 ? CAN1->RF0R : CAN1->RF1R;
            if ((rfr & CAN_RF0R_FMP0) != 0U) {
                const auto fmi = static_cast<int>((CAN1->sFIFOMailBox[fifo].RDTR & CAN_RDT0R_FMI) >> CAN_RDT0R_FMI_Pos);
                EXPECT_EQ(readHead(CAN1, fifo), f);
                rfr = CAN_RF0R_RFOM0;
                return fifo * 1000 + fmi;
            }
        }
        return -1;
    }
};

TEST_F(SimCanFilters, MaskOnRemoteBitOnlyPassesDataFrames)
{
    // The driver's example: identifier 1010, mask comparing only RTR.
    bank(0, false, true, 0, 0x00001F94U, 0x00000002U);
    CAN1->FMR &= ~CAN_FMR_FINIT;
    EXPECT_EQ(deliver(CanFrame::standard(0x3F2, {1})), 0);
    EXPECT_EQ(deliver(CanFrame::extendedFrame(0x1234567)), 0);
    EXPECT_EQ(deliver(CanFrame::remoteFrame(1010, true)), -1);
    EXPECT_EQ(deliver(CanFrame::remoteFrame(0x12, false)), -1);
}

TEST_F(SimCanFilters, ThirtyTwoBitMaskAndList)
{
    // Extended identifiers 0x1234500..0x12345FF, data frames only.
    bank(0, false, true, 0, (0x1234500U << 3) | CAN_RI0R_IDE, (0x1FFFFF00U << 3) | CAN_RI0R_IDE | CAN_RI0R_RTR);
    // Exactly standard 0x123 data and standard 0x7FF remote.
    bank(1, true, true, 1, 0x123U << 21, (0x7FFU << 21) | CAN_RI0R_RTR);
    CAN1->FMR &= ~CAN_FMR_FINIT;
    EXPECT_EQ(deliver(CanFrame::extendedFrame(0x12345AB)), 0);
    EXPECT_EQ(deliver(CanFrame::extendedFrame(0x12346AB)), -1);
    EXPECT_EQ(deliver(CanFrame::remoteFrame(0x12345AB, true)), -1);
    EXPECT_EQ(deliver(CanFrame::standard(0x123)), 1000 + 0);
    EXPECT_EQ(deliver(CanFrame::remoteFrame(0x7FF, false)), 1000 + 1);
    EXPECT_EQ(deliver(CanFrame::standard(0x7FF)), -1);
    EXPECT_EQ(deliver(CanFrame::extendedFrame(0x123U << 18)), -1);  // same base bits, but IDE differs
}

TEST_F(SimCanFilters, SixteenBitMaskAndList)
{
    // Two 16-bit mask filters: standard 0x100..0x10F (data or remote), any extended frame with base 0x200.
    const uint32_t f1 = (0x7F0U << 5 | 0x08U) << 16 | (0x100U << 5);
    const uint32_t f2 = (0x7FFU << 5 | 0x08U) << 16 | (0x200U << 5 | 0x08U);
    bank(0, false, false, 0, f1, f2);
    // Four 16-bit identifiers: standard 0x001, 0x002, remote 0x003, extended with base 0x004 and EXID[17:15]=5.
    bank(1, true, false, 0, (0x002U << 5) << 16 | (0x001U << 5), ((0x004U << 5) | 0x08U | 5U) << 16 | (0x003U << 5 | 0x10U));
    CAN1->FMR &= ~CAN_FMR_FINIT;
    EXPECT_EQ(deliver(CanFrame::standard(0x10A)), 0);
    EXPECT_EQ(deliver(CanFrame::remoteFrame(0x10A, false)), 0);
    EXPECT_EQ(deliver(CanFrame::extendedFrame(0x10AU << 18)), -1);
    EXPECT_EQ(deliver(CanFrame::extendedFrame(0x200U << 18 | 0x3FFFF)), 1);
    EXPECT_EQ(deliver(CanFrame::standard(0x200)), -1);
    EXPECT_EQ(deliver(CanFrame::standard(0x001)), 2);
    EXPECT_EQ(deliver(CanFrame::standard(0x002)), 3);
    EXPECT_EQ(deliver(CanFrame::remoteFrame(0x003, false)), 4);
    EXPECT_EQ(deliver(CanFrame::standard(0x003)), -1);
    EXPECT_EQ(deliver(CanFrame::extendedFrame(0x004U << 18 | 5U << 15 | 0x1234)), 5);
    EXPECT_EQ(deliver(CanFrame::extendedFrame(0x004U << 18 | 4U << 15)), -1);
}

TEST_F(SimCanFilters, MatchIndexCountsEveryBankOfItsFifoAndPriorityRules)
{
    // FIFO 0: bank 0 (16-bit mask: numbers 0, 1), bank 2 (32-bit list, inactive: 2, 3), bank 3 (32-bit mask: 4).
    // FIFO 1: bank 1 (16-bit list: numbers 0..3), bank 4 (32-bit mask: 4).
    bank(0, false, false, 0, 0x0000U << 16 | 0, 0xFFFFFFFFU);  // first filter accepts everything
    bank(1, true, false, 1, 0, 0);
    bank(2, true, true, 0, 0x555U << 21, 0x556U << 21, false);
    bank(3, false, true, 0, 0x555U << 21, 0xFFE00000U);
    bank(4, false, true, 1, 0x556U << 21, 0xFFE00000U);
    CAN1->FMR &= ~CAN_FMR_FINIT;
    EXPECT_EQ(deliver(CanFrame::standard(0x123)), 0);  // only the catch-all 16-bit filter
    EXPECT_EQ(deliver(CanFrame::standard(0x555)), 4);  // a 32-bit filter beats the 16-bit one
    EXPECT_EQ(deliver(CanFrame::standard(0x556)), 1004);  // ... and takes its FIFO along
    EXPECT_EQ(deliver(CanFrame::standard(0x000)), 1000);  // 16-bit list beats 16-bit mask
}

TEST_F(SimCanFilters, InitialisationModeAndWriteProtection)
{
    bank(0, false, true, 0, 0, 0);
    EXPECT_EQ(deliver(CanFrame::standard(0x1)), -1);  // FINIT set: nothing is accepted
    CAN1->FMR &= ~CAN_FMR_FINIT;
    EXPECT_EQ(deliver(CanFrame::standard(0x1)), 0);
    // Outside filter initialisation: mode, scale and FIFO are frozen, an active bank is frozen.
    CAN1->FS1R = 0;
    CAN1->FFA1R = 1;
    EXPECT_EQ(CAN1->FS1R, 1U);
    EXPECT_EQ(CAN1->FFA1R, 0U);
    CAN1->sFilterRegister[0].FR2 = 0xFFFFFFFFU;
    EXPECT_EQ(CAN1->sFilterRegister[0].FR2, 0U);
    // A deactivated bank can be rewritten (the driver's way) and then takes effect when activated again.
    CAN1->FA1R = 0;
    CAN1->sFilterRegister[0].FR1 = 0x7U << 21;
    CAN1->sFilterRegister[0].FR2 = 0xFFE00000U;
    EXPECT_EQ(deliver(CanFrame::standard(0x1)), -1);  // no active bank: dropped
    CAN1->FA1R = 1;
    EXPECT_EQ(deliver(CanFrame::standard(0x1)), -1);
    EXPECT_EQ(deliver(CanFrame::standard(0x7)), 0);
}

TEST_F(SimCan, SharedFilterBlockIsSplitAtCan2StartBank)
{
    sim::CanPeer peer1(0);
    sim::CanPeer peer2(1);
    start(CAN1);
    start(CAN2);
    // CAN2's own filter registers do not exist.
    CAN2->FMR = 0;
    CAN2->sFilterRegister[14].FR1 = 0x1234;
    EXPECT_EQ(CAN2->FMR, 0U);
    EXPECT_EQ(CAN2->sFilterRegister[14].FR1, 0U);

    acceptAll(CAN1, 14);  // bank 14 belongs to CAN2 after reset (CAN2SB = 14)
    peer1.send(CanFrame::standard(0x1));
    peer2.send(CanFrame::standard(0x2));
    sim::advanceUs(500);
    EXPECT_EQ(CAN1->RF0R & CAN_RF0R_FMP0, 0U);
    EXPECT_EQ(CAN2->RF0R & CAN_RF0R_FMP0, 1U);
    EXPECT_EQ((CAN2->sFIFOMailBox[0].RDTR & CAN_RDT0R_FMI) >> CAN_RDT0R_FMI_Pos, 0U);  // CAN2 numbers from its first bank

    // Move the split above bank 14: now it is CAN1's.
    CAN1->FMR = (CAN1->FMR & ~CAN_FMR_CAN2SB) | (20U << CAN_FMR_CAN2SB_Pos) | CAN_FMR_FINIT;
    CAN1->FMR &= ~CAN_FMR_FINIT;
    peer1.send(CanFrame::standard(0x3));
    peer2.send(CanFrame::standard(0x4));
    sim::advanceUs(500);
    EXPECT_EQ(CAN1->RF0R & CAN_RF0R_FMP0, 1U);
    EXPECT_EQ(CAN2->RF0R & CAN_RF0R_FMP0, 1U);
    // CAN2SB only changes in filter initialisation mode.
    CAN1->FMR = (CAN1->FMR & ~CAN_FMR_CAN2SB) | (14U << CAN_FMR_CAN2SB_Pos);
    EXPECT_EQ((CAN1->FMR & CAN_FMR_CAN2SB) >> CAN_FMR_CAN2SB_Pos, 20U);
}

TEST_F(SimCan, Can3HasItsOwnFourteenBanks)
{
    sim::CanPeer peer1(0);
    sim::CanPeer peer3(2);
    start(CAN1);
    start(CAN3);
    acceptAll(CAN1, 0);
    peer3.send(CanFrame::standard(0x1));
    sim::advanceUs(300);
    EXPECT_EQ(CAN3->RF0R & CAN_RF0R_FMP0, 0U);  // CAN1's banks do not filter for CAN3
    acceptAll(CAN3, 14);
    peer3.send(CanFrame::standard(0x2));
    sim::advanceUs(300);
    EXPECT_EQ(CAN3->RF0R & CAN_RF0R_FMP0, 0U);  // there is no bank 14 on CAN3
    acceptAll(CAN3, 13, 1);
    peer3.send(CanFrame::standard(0x3));
    peer1.send(CanFrame::standard(0x4));
    sim::advanceUs(300);
    EXPECT_EQ(CAN3->RF1R & CAN_RF1R_FMP1, 1U);
    EXPECT_EQ(readHead(CAN3, 1).id, 0x3U);
    EXPECT_EQ(CAN1->RF0R & CAN_RF0R_FMP0, 1U);
}

TEST_F(SimCan, PowerOnFiltersOfCan3AreSixteenBitScale)
{
    // Only FR1/FR2 of bank 0 set to zero and the bank activated, as a bring-up that keeps CAN3's reset
    // scale does: two 16-bit mask filters with all-zero masks, so everything still passes.
    sim::CanPeer peer(2);
    start(CAN3);
    CAN3->sFilterRegister[0].FR1 = 0;
    CAN3->sFilterRegister[0].FR2 = 0;
    CAN3->FA1R = 1;
    CAN3->FMR &= ~CAN_FMR_FINIT;
    peer.send(CanFrame::extendedFrame(0x1234567));
    sim::advanceUs(300);
    EXPECT_EQ(CAN3->RF0R & CAN_RF0R_FMP0, 1U);
    // A 32-bit style id/mask pair written into that 16-bit bank does not filter as 32 bits would.
    CAN3->FA1R = 0;
    CAN3->sFilterRegister[0].FR1 = (0x1234567U << 3) | CAN_RI0R_IDE;
    CAN3->sFilterRegister[0].FR2 = (0x1FFFFFFFU << 3) | CAN_RI0R_IDE;
    CAN3->FA1R = 1;
    CAN3->RF0R = CAN_RF0R_RFOM0;
    peer.send(CanFrame::extendedFrame(0x1234567));
    sim::advanceUs(300);
    EXPECT_EQ(CAN3->RF0R & CAN_RF0R_FMP0, 0U);
}

TEST_F(SimCan, LoopBackReceivesItsOwnFrames)
{
    enterInit(CAN1);
    CAN1->BTR = kBtr1M48 | CAN_BTR_LBKM;
    CAN1->MCR &= ~CAN_MCR_INRQ;
    acceptAll(CAN1, 0);
    load(CAN1, 0, CanFrame::standard(0x77, {7}));
    sim::advanceUs(300);
    EXPECT_NE(CAN1->TSR & CAN_TSR_TXOK0, 0U);  // the ACK slot is not looked at
    EXPECT_EQ(readHead(CAN1, 0), CanFrame::standard(0x77, {7}));
}

TEST_F(SimCan, SilentControllerNeitherSendsNorAcknowledges)
{
    sim::CanPeer peer(0);
    enterInit(CAN1);
    CAN1->BTR = kBtr1M48 | CAN_BTR_SILM;
    CAN1->MCR &= ~CAN_MCR_INRQ;
    acceptAll(CAN1, 0);
    load(CAN1, 0, CanFrame::standard(0x10));
    peer.send(CanFrame::standard(0x20));
    sim::advanceUs(500);
    ASSERT_FALSE(sim::canBus(0).log().empty());
    EXPECT_EQ(sim::canBus(0).log()[0].frame.id, 0x20U);
    EXPECT_FALSE(sim::canBus(0).log()[0].acknowledged);
    EXPECT_EQ(CAN1->TSR & CAN_TSR_TME0, 0U);
}

TEST_F(SimCan, WrongBitRateCannotTakePart)
{
    sim::CanPeer peer(0);
    enterInit(CAN1);
    CAN1->BTR = 0x0005000B;  // 500 kbit/s at 48 MHz
    CAN1->MCR &= ~CAN_MCR_INRQ;
    acceptAll(CAN1, 0);
    EXPECT_EQ(sim::canControllerBitrate(0), 500000U);
    peer.send(CanFrame::standard(0x20));
    sim::advanceUs(500);
    EXPECT_EQ(CAN1->RF0R & CAN_RF0R_FMP0, 0U);
    EXPECT_FALSE(sim::canBus(0).log()[0].acknowledged);
}

TEST_F(SimCan, PeersScheduleFramesInVirtualTime)
{
    sim::CanPeer sender(0);
    sim::CanPeer listener(0);
    sender.sendAt(5000000, CanFrame::standard(0x42));
    sim::advanceUs(4999);
    EXPECT_TRUE(listener.received.empty());
    sim::advanceUs(1 + 100);
    ASSERT_EQ(listener.received.size(), 1U);
    EXPECT_EQ(listener.received[0].endNs, 5000000ULL + 1000ULL * sim::canFrameBits(CanFrame::standard(0x42)));
}

TEST_F(SimCan, BusLogKeepsTheNewestRecordsWithinItsLimit)
{
    sim::CanPeer sender(0);
    sim::CanPeer listener(0);
    sim::canBus(0).setLogLimit(10);
    for (uint32_t i = 0; i < 30; ++i) {
        sender.send(CanFrame::standard(i));
    }
    sim::advanceUs(5000);
    EXPECT_EQ(listener.received.size(), 30U);
    EXPECT_LE(sim::canBus(0).log().size(), 10U);
    EXPECT_EQ(sim::canBus(0).log().back().frame.id, 29U);
    sim::reset();
    EXPECT_EQ(sim::canBus(0).logLimit(), 100000U);
}

TEST_F(SimCan, ResetRestoresPowerOnState)
{
    sim::CanPeer peer(0);
    start(CAN1);
    acceptAll(CAN1, 0);
    sim::canBus(0).setConnected(false);
    sim::canSetIgnoresModeRequests(1, true);
    load(CAN1, 0, CanFrame::standard(1));
    sim::advanceUs(100);
    sim::reset();
    EXPECT_EQ(sim::nowNs(), 0U);
    EXPECT_TRUE(sim::canBus(0).connected());
    EXPECT_TRUE(sim::canBus(0).log().empty());
    EXPECT_EQ(CAN1->TSR.peek(), 0x1C000000U);
    EXPECT_EQ(CAN1->FA1R.peek(), 0U);
    EXPECT_EQ(CAN1->MSR.peek() & (CAN_MSR_SLAK | CAN_MSR_INAK), CAN_MSR_SLAK);
    RCC_APB1PeriphClockCmd(RCC_APB1Periph_CAN2, ENABLE);
    enterInit(CAN2);
    EXPECT_NE(CAN2->MSR & CAN_MSR_INAK, 0U);  // the switch is off again
}

}  // namespace
