// The CAN model's acceptance filters, as the reference manual describes the filter registers.
#include "tests/unit/sim_can_harness.hpp"

namespace {

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

}  // namespace
