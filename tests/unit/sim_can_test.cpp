// The simulated bxCAN controllers and virtual buses, checked against what the reference manual and the
// CAN protocol say, through the same registers the driver uses.
#include "tests/unit/sim_can_harness.hpp"

extern "C" void CAN1_RX0_IRQHandler() { takeOne(CAN1, 0); }
extern "C" void CAN1_RX1_IRQHandler() { takeOne(CAN1, 1); }
extern "C" void CAN2_RX0_IRQHandler() { takeOne(CAN2, 0); }
extern "C" void CAN3_RX0_IRQHandler() { takeOne(CAN3, 0); }

namespace {

// ---------------------------------------------------------------------------------------------------------
// Modes and the initialisation handshake

TEST_F(SimCan, PowerOnSleepsThenFollowsModeRequests)
{
    EXPECT_EQ(CAN1->MCR, 0x00010002U);
    EXPECT_EQ(CAN1->MSR & (CAN_MSR_SLAK | CAN_MSR_INAK), CAN_MSR_SLAK);
    EXPECT_EQ(CAN1->TSR, 0x1C000000U);
    EXPECT_EQ(CAN1->FMR, 0x2A1C0E01U);

    enterInit(CAN1);
    EXPECT_EQ(CAN1->MSR & (CAN_MSR_SLAK | CAN_MSR_INAK), CAN_MSR_INAK);  // from sleep: at once
    // Normal mode once 11 consecutive recessive bits were seen on RX.
    CAN1->MCR &= ~CAN_MCR_INRQ;
    sim::advanceUs(kIdleBitsUs - 1U);
    EXPECT_EQ(CAN1->MSR & (CAN_MSR_SLAK | CAN_MSR_INAK), CAN_MSR_INAK);
    sim::advanceUs(1);
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
    sim::advanceUs(kIdleBitsUs);
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

    // A receive line stuck dominant: initialisation is entered but never left, through a power cycle too.
    sim::canSetRxStuckDominant(1, true);
    for (int life = 0; life < 2; ++life) {
        RCC_APB1PeriphClockCmd(RCC_APB1Periph_CAN2, ENABLE);
        enterInit(CAN2);
        EXPECT_NE(CAN2->MSR & CAN_MSR_INAK, 0U);
        CAN2->MCR &= ~CAN_MCR_INRQ;
        sim::advanceUs(1000);
        EXPECT_NE(CAN2->MSR & CAN_MSR_INAK, 0U);
        EXPECT_EQ(CAN2->MSR & CAN_MSR_RX, 0U) << "RX reads dominant";
        sim::powerCycle();
    }
    // Released: 11 recessive bits later it is in normal mode.
    RCC_APB1PeriphClockCmd(RCC_APB1Periph_CAN2, ENABLE);
    enterInit(CAN2);
    CAN2->MCR &= ~CAN_MCR_INRQ;
    sim::canSetRxStuckDominant(1, false);
    EXPECT_NE(CAN2->MSR & CAN_MSR_RX, 0U);
    EXPECT_NE(CAN2->MSR & CAN_MSR_INAK, 0U);
    sim::advanceUs(kIdleBitsUs);
    EXPECT_EQ(CAN2->MSR & CAN_MSR_INAK, 0U);
}

// Entering initialisation mode from normal mode waits for the frame on the wire, received as well as sent;
// joining the bus during a frame waits for its end, whose tail has the 11 recessive bits.
TEST_F(SimCan, ModeChangesWaitForTheFrameOnTheWire)
{
    sim::CanPeer peer(0);
    sim::CanPeer listener(0);  // acknowledges while CAN1 is away
    start(CAN1);
    acceptAll(CAN1, 0);
    const CanFrame f = CanFrame::extendedFrame(0x1234, {1, 2, 3, 4, 5, 6, 7, 8});
    const uint64_t frameUs = sim::canFrameBits(f);
    for (bool ownFrame : {false, true}) {
        SCOPED_TRACE(ownFrame);
        ownFrame ? load(CAN1, 0, f) : peer.send(f);
        sim::advanceUs(2);
        ASSERT_TRUE(sim::canBus(0).busy());
        CAN1->MCR |= CAN_MCR_INRQ;
        sim::advanceUs(frameUs - 3U);
        EXPECT_EQ(CAN1->MSR & CAN_MSR_INAK, 0U) << "still in the frame";
        sim::advanceUs(1);
        EXPECT_NE(CAN1->MSR & CAN_MSR_INAK, 0U);

        peer.send(f);
        sim::advanceUs(2);
        CAN1->MCR &= ~CAN_MCR_INRQ;
        sim::advanceUs(frameUs - 3U);
        EXPECT_NE(CAN1->MSR & CAN_MSR_INAK, 0U);
        sim::advanceUs(1);
        EXPECT_EQ(CAN1->MSR & CAN_MSR_INAK, 0U);
    }
    EXPECT_EQ(CAN1->RF0R & CAN_RF0R_FMP0, 1U) << "only the first peer frame came in normal mode";
    EXPECT_EQ(listener.received.size(), 4U);
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
    const uint64_t startNs = sim::nowNs();
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
    EXPECT_EQ(peer.received[0].endNs - startNs, sim::canFrameBits(f) * 1000ULL);
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

    // A peer frame with a higher identifier than all three, offered the moment the controller joins, waits too.
    peer.sendAt(sim::nowNs() + kIdleBitsUs * 1000U, CanFrame::standard(0x400));
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
    sim::advanceUs(kIdleBitsUs + 5U);
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
    sim::advanceUs(kIdleBitsUs + 1408);
    EXPECT_EQ(CAN2->ESR & CAN_ESR_BOFF, 0U);
}

// A receive line stuck dominant in normal mode: off the bus and error-passive; its pending frame waits,
// and a bus-off recovery counts its recessive bits only once the line is released.
TEST_F(SimCan, StuckDominantInNormalMode)
{
    sim::CanPeer peer(0);
    start(CAN1, CAN_MCR_ABOM);
    acceptAll(CAN1, 0);
    sim::canSetRxStuckDominant(0, true);
    EXPECT_NE(CAN1->ESR & CAN_ESR_EPVF, 0U);
    EXPECT_EQ((CAN1->ESR & CAN_ESR_REC) >> CAN_ESR_REC_Pos, 128U);
    load(CAN1, 0, CanFrame::standard(0x10));
    peer.send(CanFrame::standard(0x20));
    sim::advanceUs(1000);
    EXPECT_TRUE(peer.received.empty());
    EXPECT_EQ(CAN1->TSR & CAN_TSR_TME0, 0U);
    ASSERT_FALSE(sim::canBus(0).log().empty());
    EXPECT_FALSE(sim::canBus(0).log()[0].acknowledged) << "nobody acknowledges the peer";

    // Released: the pending frame goes, a reception brings REC back below the error-passive limit.
    sim::canSetRxStuckDominant(0, false);
    sim::advanceUs(1000);
    ASSERT_EQ(peer.received.size(), 1U);
    EXPECT_EQ(CAN1->RF0R & CAN_RF0R_FMP0, 1U);
    EXPECT_EQ(CAN1->ESR & CAN_ESR_EPVF, 0U);

    sim::canForceBusOff(0);
    sim::canSetRxStuckDominant(0, true);
    sim::advanceUs(5000);
    EXPECT_NE(CAN1->ESR & CAN_ESR_BOFF, 0U);
    sim::canSetRxStuckDominant(0, false);
    sim::advanceUs(1407);
    EXPECT_NE(CAN1->ESR & CAN_ESR_BOFF, 0U);
    sim::advanceUs(1);
    EXPECT_EQ(CAN1->ESR & CAN_ESR_BOFF, 0U);
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
