#include "firmware/drivers/bxcan.hpp"

#include <cstring>

#include "firmware/drivers/bxcan_regs.hpp"
#include "firmware/drivers/serial.hpp"
#include "platform/interface/core.hpp"

namespace {

uint8_t RxBuffer[PortCANLast][BXCAN_RX_QUEUE_LEN];

}  // namespace

// Bound to its buffer at load time; bxcanInit only empties it.
constinit Q_t CANRxQ[PortCANLast] = {
    {RxBuffer[PortCAN1], BXCAN_RX_QUEUE_LEN, 0, 0},
    {RxBuffer[PortCAN2], BXCAN_RX_QUEUE_LEN, 0, 0},
    {RxBuffer[PortCAN3], BXCAN_RX_QUEUE_LEN, 0, 0},
};

namespace {

BxcanStats g_stats[PortCANLast];
// One switch for all ports: the last bxcanInit decides.
bool g_abort_tx_on_error = false;
// Set when a bring-up of the port began, failed or not. Decides whether CAN2's bring-up must also wake
// CAN1, whose filter block CAN2 uses.
bool PortInit[PortCANLast];
// Set once the shared block has its layout (32-bit scale, FIFO split, CAN2's start bank). Kept apart from
// PortInit: a CAN1 that failed its bring-up never laid the block out, and CAN2 must not run its filter
// list on banks left at their reset scale.
bool SharedBlockReady = false;

// A controller answers a mode request once the frame on the wire has ended; one that has not answered
// within a second never will.
constexpr uint32_t INAK_TIMEOUT_US = 1000000;
// Short against a frame time, so that a handshake takes hardly longer than the controller does.
constexpr uint32_t INAK_POLL_PAUSE_US = 10;

constexpr uint32_t MAX_PRESCALER = 1024;
constexpr uint8_t MAX_BS1 = 16;
constexpr uint8_t MAX_BS2 = 8;
constexpr uint8_t MAX_SJW = 4;
constexpr uint32_t MAX_SAMPLE_POINT_PERMILL = 900;

constexpr uint32_t ABORT_ALL_MAILBOXES = BXCAN_TSR_ABRQ0 | BXCAN_TSR_ABRQ1 | BXCAN_TSR_ABRQ2;
static_assert(ABORT_ALL_MAILBOXES == 0x00808080U);
constexpr uint32_t RX_RELEASE = BXCAN_RFR_FULL | BXCAN_RFR_FOVR | BXCAN_RFR_RFOM;
static_assert(RX_RELEASE == 0x38U);
constexpr uint32_t RX_INTERRUPTS = BXCAN_IER_FMPIE0 | BXCAN_IER_FMPIE1;
static_assert(RX_INTERRUPTS == 0x12U);
constexpr uint32_t MCR_RUN = BXCAN_MCR_ABOM | BXCAN_MCR_AWUM;
static_assert((MCR_RUN | BXCAN_MCR_INRQ) == 0x61U);
// Banks 0..27 single 32-bit scale; even banks to FIFO 0, odd banks to FIFO 1.
constexpr uint32_t SHARED_BLOCK_SCALE = 0x0FFFFFFFU;
constexpr uint32_t SHARED_BLOCK_FIFO = 0x0AAAAAAAU;
// The same for CAN3's own 14 banks.
constexpr uint32_t CAN3_BLOCK_SCALE = 0x00003FFFU;
constexpr uint32_t CAN3_BLOCK_FIFO = 0x00002AAAU;
constexpr uint32_t PORT_BANKS = (1U << BXCAN_NUM_ACCEPTANCE_FILTERS) - 1U;
// FMR bits that must read as zero besides the start-bank field.
constexpr uint32_t FMR_RESERVED_LOW = 0x0000000EU;

template <std::size_t N>
void consoleText(const char (&text)[N])
{
    SerialTxQWait(reinterpret_cast<const uint8_t*>(text), static_cast<uint16_t>(N - 1U));
}

bool portValid(PortCAN_t PortCAN) { return PortCAN < PortCANLast; }

constexpr uint32_t convertFrameIDXportToRegister(uint32_t id)
{
    uint32_t out = 0;
    if ((id & XPORT_CAN_FRAME_EFF) != 0U) {
        out = ((id & XPORT_CAN_EXT_ID_MASK) << BXCAN_IR_EXID_SHIFT) | BXCAN_TIR_IDE;
    } else {
        out = (id & XPORT_CAN_STD_ID_MASK) << BXCAN_IR_STID_SHIFT;
    }
    if ((id & XPORT_CAN_FRAME_RTR) != 0U) {
        out |= BXCAN_TIR_RTR;
    }
    return out;
}

constexpr uint32_t convertFrameIDRegisterToXport(uint32_t reg)
{
    uint32_t out = 0;
    if ((reg & BXCAN_RIR_IDE) != 0U) {
        out = ((reg >> BXCAN_IR_EXID_SHIFT) & XPORT_CAN_EXT_ID_MASK) | XPORT_CAN_FRAME_EFF;
    } else {
        out = (reg >> BXCAN_IR_STID_SHIFT) & XPORT_CAN_STD_ID_MASK;
    }
    if ((reg & BXCAN_RIR_RTR) != 0U) {
        out |= XPORT_CAN_FRAME_RTR;
    }
    return out;
}

// The error flag never reaches the registers; everything else survives the round trip.
static_assert(convertFrameIDRegisterToXport(convertFrameIDXportToRegister(0xBABCDEF1U)) == 0x9ABCDEF1U);
static_assert(convertFrameIDXportToRegister(0x7FFU | XPORT_CAN_FRAME_RTR) == 0xFFE00002U);

// True when frame a wins arbitration against frame b.
constexpr bool isFramePriorityHigher(uint32_t a, uint32_t b)
{
    const uint32_t clean_a = a & XPORT_CAN_EXT_ID_MASK;
    const uint32_t clean_b = b & XPORT_CAN_EXT_ID_MASK;
    const bool ext_a = (a & XPORT_CAN_FRAME_EFF) != 0U;
    const bool ext_b = (b & XPORT_CAN_FRAME_EFF) != 0U;
    const bool rtr_a = (a & XPORT_CAN_FRAME_RTR) != 0U;
    const bool rtr_b = (b & XPORT_CAN_FRAME_RTR) != 0U;

    if (ext_a == ext_b) {
        if (clean_a == clean_b && rtr_a != rtr_b) {
            return rtr_b;  // the data frame wins over the remote frame
        }
        return clean_a < clean_b;
    }
    // Mixed formats meet first on the 11 base bits; on a tie the standard frame's dominant IDE wins.
    const uint32_t arb11_a = ext_a ? (clean_a >> 18) : clean_a;
    const uint32_t arb11_b = ext_b ? (clean_b >> 18) : clean_b;
    if (arb11_a != arb11_b) {
        return arb11_a < arb11_b;
    }
    return ext_b;
}

static_assert(isFramePriorityHigher(0x123U, 0x123U << 18 | XPORT_CAN_FRAME_EFF));
static_assert(!isFramePriorityHigher(0x123U << 18 | XPORT_CAN_FRAME_EFF, 0x123U));
static_assert(isFramePriorityHigher(100U, 100U | XPORT_CAN_FRAME_RTR));
static_assert(!isFramePriorityHigher(100U, 100U));

BxcanCANType* controller(PortCAN_t PortCAN) { return bxCAN[PortCAN]; }

// The filter block that holds the port's banks, and the first of them.
BxcanCANType* filterBlock(PortCAN_t PortCAN) { return (PortCAN == PortCAN3) ? BXCAN_CAN3 : BXCAN_CAN1; }
unsigned firstBank(PortCAN_t PortCAN) { return (PortCAN == PortCAN2) ? BXCAN_CAN2_FIRST_BANK : 0U; }

bool waitMSRINAKBitStateChange(BxcanCANType* can, bool target_state)
{
    for (uint32_t waited_us = 0; waited_us < INAK_TIMEOUT_US; waited_us += INAK_POLL_PAUSE_US) {
        const uint32_t msr = can->MSR;
        if (((msr & BXCAN_MSR_INAK) != 0U) == target_state) {
            return true;
        }
        coreDelayUs(INAK_POLL_PAUSE_US);
    }
    return false;
}

void processErrorStatus(PortCAN_t PortCAN)
{
    BxcanCANType* const can = controller(PortCAN);
    const uint32_t esr = can->ESR;
    if ((esr & BXCAN_ESR_LEC_MASK) == 0U) {
        return;
    }
    can->ESR = 0U;
    g_stats[PortCAN].error_count++;
    const uint32_t esr_after = can->ESR;
    if (g_abort_tx_on_error || (esr_after & BXCAN_ESR_BOFF) != 0U) {
        // The frames stay in the transport's queue and are offered again.
        can->TSR = ABORT_ALL_MAILBOXES;
    }
}

void nvicEnableVector(IRQn_Type irq)
{
    NVIC_SetPriority(irq, 0U);
    NVIC_EnableIRQ(irq);
}

void emptyRxFifo(PortCAN_t PortCAN) { VarInitQ(&CANRxQ[PortCAN], BXCAN_RX_QUEUE_LEN); }

void handleRxInterrupt(PortCAN_t PortCAN, uint8_t fifo_index, BxcanCANType* can)
{
    const uint32_t rfr = (fifo_index == 0U) ? static_cast<uint32_t>(can->RF0R) : static_cast<uint32_t>(can->RF1R);
    // The line can still read as pending just after the last frame was released; an empty FIFO then
    // has nothing to give, and its mailbox holds the previous frame.
    if ((rfr & BXCAN_RFR_FMP_MASK) == 0U) {
        return;
    }
    if ((rfr & BXCAN_RFR_FOVR) != 0U) {
        g_stats[PortCAN].rx_overflow_count++;
    }

    XportCANFrame record{};
    const uint32_t rir = can->sFIFOMailBox[fifo_index].RIR;
    const uint32_t rdtr = can->sFIFOMailBox[fifo_index].RDTR;
    const uint32_t rdlr = can->sFIFOMailBox[fifo_index].RDLR;
    const uint32_t rdhr = can->sFIFOMailBox[fifo_index].RDHR;
    record.id = convertFrameIDRegisterToXport(rir);
    // A classic frame may announce up to 15 but carries at most 8 bytes; the record holds 8.
    const uint32_t dlc = rdtr & BXCAN_RDTR_DLC_MASK;
    record.data_len = static_cast<uint8_t>((dlc > XPORT_CAN_FRAME_MAX_DATA_LEN) ? XPORT_CAN_FRAME_MAX_DATA_LEN : dlc);
    for (unsigned i = 0; i < 4U; i++) {
        record.data[i] = static_cast<uint8_t>(rdlr >> (8U * i));
        record.data[4U + i] = static_cast<uint8_t>(rdhr >> (8U * i));
    }

    if (fifo_index == 0U) {
        can->RF0R = RX_RELEASE;
    } else {
        can->RF1R = RX_RELEASE;
    }
    g_stats[PortCAN].frames_rx++;

    if (!EnQ(&CANRxQ[PortCAN], reinterpret_cast<const uint8_t*>(&record), BXCAN_RX_RECORD_SIZE)) {
        g_stats[PortCAN].rx_overflow_count += BXCAN_RX_RECORD_SIZE;
    }
}

bool timingsValid(const BxcanCANTimings* timings)
{
    return timings != nullptr && timings->bit_rate_prescaler >= 1U && timings->bit_rate_prescaler <= MAX_PRESCALER &&
           timings->max_resynchronization_jump_width >= 1U && timings->max_resynchronization_jump_width <= MAX_SJW &&
           timings->bit_segment_1 >= 1U && timings->bit_segment_1 <= MAX_BS1 && timings->bit_segment_2 >= 1U &&
           timings->bit_segment_2 <= MAX_BS2;
}

// Interrupts off, out of sleep, into initialisation mode.
bool enterInitialisation(BxcanCANType* can)
{
    can->IER = 0U;
    can->MCR = (static_cast<uint32_t>(can->MCR) & ~BXCAN_MCR_SLEEP) | BXCAN_MCR_INRQ;
    return waitMSRINAKBitStateChange(can, true);
}

// Into normal mode, which the controller enters once it has seen the bus idle.
bool leaveInitialisation(BxcanCANType* can)
{
    can->MCR = MCR_RUN;
    return waitMSRINAKBitStateChange(can, false);
}

// A controller that did not answer is left in reset.
template <std::size_t N>
int abandon(BxcanCANType* can, const char (&text)[N], int error)
{
    can->MCR = BXCAN_MCR_RESET;
    consoleText(text);
    return error;
}

// BTR for timings within the register ranges.
constexpr uint32_t bitTiming(const BxcanCANTimings& timings, BxcanIfaceMode iface_mode)
{
    uint32_t btr = ((static_cast<uint32_t>(timings.max_resynchronization_jump_width) - 1U) << BXCAN_BTR_SJW_SHIFT) &
                   BXCAN_BTR_SJW_MASK;
    btr |= ((static_cast<uint32_t>(timings.bit_segment_1) - 1U) << BXCAN_BTR_TS1_SHIFT) & BXCAN_BTR_TS1_MASK;
    btr |= ((static_cast<uint32_t>(timings.bit_segment_2) - 1U) << BXCAN_BTR_TS2_SHIFT) & BXCAN_BTR_TS2_MASK;
    btr |= (static_cast<uint32_t>(timings.bit_rate_prescaler) - 1U) & BXCAN_BTR_BRP_MASK;
    if (iface_mode == BxcanIfaceModeSilent) {
        btr |= BXCAN_BTR_SILM;
    }
    return btr;
}

// The node's 1 Mbit/s from the 48 MHz APB1 clock.
static_assert(bitTiming(BxcanCANTimings{6, 6, 1, 1}, BxcanIfaceModeNormal) == 0x00050005U);
static_assert(bitTiming(BxcanCANTimings{6, 6, 1, 1}, BxcanIfaceModeSilent) == 0x80050005U);

// The block CAN1 and CAN2 share: 32-bit banks, FIFOs alternating, CAN2's banks from BXCAN_CAN2_FIRST_BANK.
// Left in filter initialisation mode.
void layOutSharedBlock()
{
    BxcanCANType* const can1 = BXCAN_CAN1;
    const uint32_t fmr = static_cast<uint32_t>(can1->FMR) & ~(FMR_RESERVED_LOW | BXCAN_FMR_CAN2SB_MASK);
    can1->FMR = fmr | (BXCAN_CAN2_FIRST_BANK << BXCAN_FMR_CAN2SB_SHIFT) | BXCAN_FMR_FINIT;
    XPORT_ASSERT(((static_cast<uint32_t>(can1->FMR) & BXCAN_FMR_CAN2SB_MASK) >> BXCAN_FMR_CAN2SB_SHIFT) ==
                 BXCAN_CAN2_FIRST_BANK);
    can1->FM1R = 0U;
    can1->FS1R = SHARED_BLOCK_SCALE;
    can1->FFA1R = SHARED_BLOCK_FIFO;
    SharedBlockReady = true;
}

// CAN3's own block in the same 32-bit layout and FIFO split, since the filter list is written in the
// 32-bit layout. Left in filter initialisation mode.
void layOutCan3Block()
{
    BxcanCANType* const can3 = BXCAN_CAN3;
    can3->FMR = static_cast<uint32_t>(can3->FMR) | BXCAN_FMR_FINIT;
    can3->FM1R = 0U;
    can3->FS1R = CAN3_BLOCK_SCALE;
    can3->FFA1R = CAN3_BLOCK_FIFO;
}

// Deactivates the block's banks outside banks_kept, then makes bank accept everything and ends filter
// initialisation. A bank is deactivated before it is rewritten: the controller ignores writes to an
// active bank outside filter initialisation mode.
void acceptAllBank(BxcanCANType* block, unsigned bank, uint32_t banks_kept)
{
    block->FA1R = static_cast<uint32_t>(block->FA1R) & banks_kept;
    block->sFilterRegister[bank].FR1 = 0U;
    block->sFilterRegister[bank].FR2 = 0U;
    block->FA1R = static_cast<uint32_t>(block->FA1R) | (1U << bank);
    block->FMR = static_cast<uint32_t>(block->FMR) & ~BXCAN_FMR_FINIT;
}

// The port's filter block, left with one bank that accepts everything.
void layOutFilters(PortCAN_t PortCAN)
{
    if (PortCAN == PortCAN1) {
        layOutSharedBlock();
        acceptAllBank(BXCAN_CAN1, 0U, 0U);
    } else if (PortCAN == PortCAN2) {
        // Laid out by CAN1, or by CAN2 when nobody has done so yet; CAN1's own banks stay active.
        const bool block_was_ready = SharedBlockReady;
        if (!block_was_ready) {
            layOutSharedBlock();
        }
        acceptAllBank(BXCAN_CAN1, BXCAN_CAN2_FIRST_BANK, block_was_ready ? PORT_BANKS : 0U);
    } else {
        layOutCan3Block();
        acceptAllBank(BXCAN_CAN3, 0U, 0U);
    }
}

}  // namespace

int bxcanComputeCANTimings(uint32_t peripheral_clock_rate, uint32_t target_bitrate, BxcanCANTimings* out_timings)
{
    if (out_timings == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    *out_timings = BxcanCANTimings{};
    if (target_bitrate == 0U) {
        return -BXCAN_ERROR_UNSUPPORTED_BIT_RATE;
    }

    // Fewer quanta per bit at the top rate keep the prescaler achievable; slower buses can afford more.
    const uint32_t max_quanta_per_bit = (target_bitrate >= 1000000U) ? 10U : 17U;
    const uint32_t prescaler_bs = peripheral_clock_rate / target_bitrate;

    // The largest sum of the two segments whose bit length divides the clock wins.
    uint32_t bs1_bs2_sum = max_quanta_per_bit - 1U;
    while ((prescaler_bs % (1U + bs1_bs2_sum)) != 0U) {
        if (bs1_bs2_sum <= 2U) {
            return -BXCAN_ERROR_UNSUPPORTED_BIT_RATE;
        }
        bs1_bs2_sum--;
    }

    const uint32_t prescaler = prescaler_bs / (1U + bs1_bs2_sum);
    if (prescaler < 1U || prescaler > MAX_PRESCALER) {
        return -BXCAN_ERROR_UNSUPPORTED_BIT_RATE;
    }

    // Sample point as close to 87.5 % as the quanta allow, but not beyond 90 %.
    uint32_t bs1 = (7U * bs1_bs2_sum + 3U) / 8U;
    uint32_t bs2 = bs1_bs2_sum - bs1;
    const uint32_t sample_point_permill = 1000U * (1U + bs1) / (1U + bs1 + bs2);
    if (sample_point_permill > MAX_SAMPLE_POINT_PERMILL) {
        bs1 = (7U * bs1_bs2_sum - 1U) / 8U;
        bs2 = bs1_bs2_sum - bs1;
    }

    const bool valid = bs1 >= 1U && bs1 <= MAX_BS1 && bs2 >= 1U && bs2 <= MAX_BS2;
    if (!valid || (peripheral_clock_rate / (prescaler * (1U + bs1 + bs2))) != target_bitrate) {
        return -BXCAN_ERROR_UNSUPPORTED_BIT_RATE;
    }

    out_timings->bit_rate_prescaler = static_cast<uint16_t>(prescaler);
    out_timings->bit_segment_1 = static_cast<uint8_t>(bs1);
    out_timings->bit_segment_2 = static_cast<uint8_t>(bs2);
    out_timings->max_resynchronization_jump_width = 1U;
    return 0;
}

int bxcanInit(const BxcanCANTimings* timings, BxcanIfaceMode iface_mode, PortCAN_t PortCAN)
{
    // Checked before anything is touched: a bad call must not stop a port that runs.
    if (!portValid(PortCAN) || iface_mode > BxcanIfaceModeAutomaticTxAbortOnError) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    if (!timingsValid(timings)) {
        consoleText("invalid arg\n");
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    BxcanCANType* const can = controller(PortCAN);

    PortInit[PortCAN] = true;
    emptyRxFifo(PortCAN);
    can->MCR = BXCAN_MCR_RESET;
    g_stats[PortCAN] = BxcanStats{};
    g_abort_tx_on_error = (iface_mode == BxcanIfaceModeAutomaticTxAbortOnError);

    // CAN2 has no filter block of its own: CAN1 must be awake to hold it.
    if (PortCAN == PortCAN2 && !PortInit[PortCAN1] && !enterInitialisation(BXCAN_CAN1)) {
        return abandon(BXCAN_CAN1, "1inak not set\n", -BXCAN_ERROR_MSR_INAK_NOT_SET);
    }
    if (!enterInitialisation(can)) {
        return abandon(can, "2inak not set2\n", -BXCAN_ERROR_MSR_INAK_NOT_SET);
    }
    // Automatic bus-off recovery and wake-up; retransmission on; FIFOs not locked; TX order by identifier.
    can->MCR = MCR_RUN | BXCAN_MCR_INRQ;
    can->BTR = bitTiming(*timings, iface_mode);
    can->IER = RX_INTERRUPTS;
    XPORT_ASSERT(static_cast<uint32_t>(can->IER) == RX_INTERRUPTS);
    if (!leaveInitialisation(can)) {
        return abandon(can, "3inak not cleared\n", -BXCAN_ERROR_MSR_INAK_NOT_CLEARED);
    }

    layOutFilters(PortCAN);
    nvicEnableVector(BXCAN_RX0_IRQn[PortCAN]);
    nvicEnableVector(BXCAN_RX1_IRQn[PortCAN]);

    consoleText("4bxcan init ok\n");
    return 0;
}

int bxcanTransmit(const XportCANFrame* frame, PortCAN_t PortCAN)
{
    if (frame == nullptr || !portValid(PortCAN)) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    if ((frame->id & XPORT_CAN_FRAME_ERR) != 0U) {
        return -BXCAN_ERROR_UNSUPPORTED_FRAME_FORMAT;
    }
    // Larger lengths would spill out of the DLC field into TGT.
    if (frame->data_len > XPORT_CAN_FRAME_MAX_DATA_LEN) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }

    processErrorStatus(PortCAN);
    BxcanCANType* const can = controller(PortCAN);

    const uint32_t tsr = can->TSR;
    unsigned mailbox = 0;
    if ((tsr & BXCAN_TSR_TME) != BXCAN_TSR_TME) {
        constexpr uint32_t tme_bits[3] = {BXCAN_TSR_TME0, BXCAN_TSR_TME1, BXCAN_TSR_TME2};
        bool found = false;
        for (unsigned i = 0; i < 3U; i++) {
            if ((tsr & tme_bits[i]) != 0U) {
                mailbox = i;
                found = true;
            } else {
                // Never place a frame while one of equal or higher priority waits: the controller
                // would send the new one first only if it wins arbitration, and equal ones in any order.
                const uint32_t pending = convertFrameIDRegisterToXport(can->sTxMailBox[i].TIR);
                if (!isFramePriorityHigher(frame->id, pending)) {
                    return 0;
                }
            }
        }
        if (!found) {
            return 0;
        }
    }
    XPORT_ASSERT(mailbox <= 2U);

    auto& mb = can->sTxMailBox[mailbox];
    mb.TDTR = frame->data_len;
    mb.TDHR = static_cast<uint32_t>(frame->data[4]) | (static_cast<uint32_t>(frame->data[5]) << 8) |
              (static_cast<uint32_t>(frame->data[6]) << 16) | (static_cast<uint32_t>(frame->data[7]) << 24);
    mb.TDLR = static_cast<uint32_t>(frame->data[0]) | (static_cast<uint32_t>(frame->data[1]) << 8) |
              (static_cast<uint32_t>(frame->data[2]) << 16) | (static_cast<uint32_t>(frame->data[3]) << 24);
    mb.TIR = convertFrameIDXportToRegister(frame->id) | BXCAN_TIR_TXRQ;
    g_stats[PortCAN].frames_tx++;
    return 1;
}

bool bxcanTxPending(PortCAN_t PortCAN)
{
    if (!portValid(PortCAN)) {
        return false;
    }
    const uint32_t tsr = controller(PortCAN)->TSR;
    return (tsr & BXCAN_TSR_TME) != BXCAN_TSR_TME;
}

int bxcanReceive(XportCANFrame* out_frame, PortCAN_t PortCAN)
{
    if (out_frame == nullptr || !portValid(PortCAN)) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    processErrorStatus(PortCAN);

    Q_t* const q = &CANRxQ[PortCAN];
    uint16_t held = QLen(q);
    if (held >= BXCAN_RX_RECORD_SIZE) {
        uint16_t len = BXCAN_RX_RECORD_SIZE;
        DeQ(q, reinterpret_cast<uint8_t*>(out_frame), &len);  // the interrupt stored it with its DLC clamped
        return 1;
    }
    if (held > 0U) {
        // Records go in whole; a fragment means the FIFO is corrupt, so drop what is there.
        g_stats[PortCAN].error_count++;
        DeQ(q, nullptr, &held);
    }
    return 0;
}

int bxcanConfigureAcceptanceFilters(const BxcanAcceptanceFilterConfiguration* filter_configs,
                                    unsigned num_filter_configs, PortCAN_t PortCAN)
{
    if (filter_configs == nullptr || num_filter_configs > BXCAN_NUM_ACCEPTANCE_FILTERS || !portValid(PortCAN)) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    BxcanCANType* const block = filterBlock(PortCAN);
    const unsigned first = firstBank(PortCAN);

    // Banks are rewritten while deactivated; filter initialisation mode is not needed for that.
    block->FA1R = static_cast<uint32_t>(block->FA1R) & ~(PORT_BANKS << first);

    for (unsigned i = 0; i < num_filter_configs; i++) {
        const uint32_t id = filter_configs[i].id;
        const uint32_t mask = filter_configs[i].mask;
        uint32_t fr1 = 0;
        uint32_t fr2 = 0;
        if ((id & XPORT_CAN_FRAME_EFF) != 0U || (mask & XPORT_CAN_FRAME_EFF) == 0U) {
            fr1 = ((id & XPORT_CAN_EXT_ID_MASK) << BXCAN_IR_EXID_SHIFT) | BXCAN_TIR_IDE;
            fr2 = (mask & XPORT_CAN_EXT_ID_MASK) << BXCAN_IR_EXID_SHIFT;
        } else {
            fr1 = (id & XPORT_CAN_STD_ID_MASK) << BXCAN_IR_STID_SHIFT;
            fr2 = (mask & XPORT_CAN_STD_ID_MASK) << BXCAN_IR_STID_SHIFT;
        }
        if ((id & XPORT_CAN_FRAME_RTR) != 0U) {
            fr1 |= BXCAN_TIR_RTR;
        }
        if ((mask & XPORT_CAN_FRAME_EFF) != 0U) {
            fr2 |= BXCAN_TIR_IDE;
        }
        if ((mask & XPORT_CAN_FRAME_RTR) != 0U) {
            fr2 |= BXCAN_TIR_RTR;
        }
        const unsigned bank = first + i;
        block->sFilterRegister[bank].FR1 = fr1;
        block->sFilterRegister[bank].FR2 = fr2;
        block->FA1R = static_cast<uint32_t>(block->FA1R) | (1U << bank);
    }
    return 0;
}

bool bxcanBusDown(PortCAN_t PortCAN)
{
    return portValid(PortCAN) && (controller(PortCAN)->ESR & (CAN_ESR_EPVF | CAN_ESR_BOFF)) != 0U;
}

BxcanStats bxcanGetStats(PortCAN_t PortCAN)
{
    if (!portValid(PortCAN)) {
        return BxcanStats{};
    }
    return g_stats[PortCAN];
}

void bxcanColdReset()
{
    for (unsigned p = 0; p < PortCANLast; p++) {
        g_stats[p] = BxcanStats{};
        PortInit[p] = false;
        VarInitQ(&CANRxQ[p], BXCAN_RX_QUEUE_LEN);
        std::memset(RxBuffer[p], 0, sizeof(RxBuffer[p]));
    }
    g_abort_tx_on_error = false;
    SharedBlockReady = false;
}

void CAN1_RX0_IRQHandler() { handleRxInterrupt(PortCAN1, 0U, BXCAN_CAN1); }
void CAN1_RX1_IRQHandler() { handleRxInterrupt(PortCAN1, 1U, BXCAN_CAN1); }
void CAN2_RX0_IRQHandler() { handleRxInterrupt(PortCAN2, 0U, BXCAN_CAN2); }
void CAN2_RX1_IRQHandler() { handleRxInterrupt(PortCAN2, 1U, BXCAN_CAN2); }
void CAN3_RX0_IRQHandler() { handleRxInterrupt(PortCAN3, 0U, BXCAN_CAN3); }
void CAN3_RX1_IRQHandler() { handleRxInterrupt(PortCAN3, 1U, BXCAN_CAN3); }
