#include "firmware/drivers/bxcan.hpp"

#include <atomic>
#include <cstring>

#include "firmware/drivers/serial.hpp"
#include "firmware/xport/xport_arbitration.hpp"
#include "platform/interface/core.hpp"

// CAN1 and CAN2 share CAN1's filter block of 28 banks, CAN2's from CAN2SB_RESET; CAN3 has its own 14.
constinit BxcanPort bxcanPorts[PortCANLast] = {BxcanPort(PortCAN1), BxcanPort(PortCAN2), BxcanPort(PortCAN3)};

const BxcanControllerConfig bxcanControllers[PortCANLast] = {
    {CAN1, CAN1, 0U, CAN1_RX0_IRQn, CAN1_RX1_IRQn, RCC_APB1Periph_CAN1, RCC_AHB1Periph_GPIOD, GPIOD, GPIO_AF_CAN1,
     GPIO_PinSource0, GPIO_PinSource1},
    {CAN2, CAN1, CAN2SB_RESET, CAN2_RX0_IRQn, CAN2_RX1_IRQn, RCC_APB1Periph_CAN2, RCC_AHB1Periph_GPIOB, GPIOB,
     GPIO_AF_CAN2, GPIO_PinSource5, GPIO_PinSource6},
    {CAN3, CAN3, 0U, CAN3_RX0_IRQn, CAN3_RX1_IRQn, RCC_APB1Periph_CAN3, RCC_AHB1Periph_GPIOA, GPIOA,
     GPIO_AF11_CAN3, GPIO_PinSource8, GPIO_PinSource15},
};

namespace {

// Whole frames from the port's receive interrupts, the one producer, which alone stores `in`, to the task,
// the one consumer, which alone stores `out`. The indices count modulo twice the ring's length, so that a
// full ring (MAXRXFRAMES apart) and an empty one (equal) differ without a spare slot.
struct RxFifo {
    XportCANFrame frames[MAXRXFRAMES];
    volatile uint8_t in;
    volatile uint8_t out;
};
constexpr uint8_t RX_INDEX_WRAP = 2U * MAXRXFRAMES;
static_assert(RX_INDEX_WRAP <= UINT8_MAX);

// How far a port's bring-up has come.
enum class BringUp : uint8_t {
    NotBegun,      // no bxcanInit yet
    EnteringInit,  // initialisation mode requested, not yet acknowledged
    JoiningBus,    // configured; normal mode requested, which the controller enters once its bus is idle
    Running,       // in normal mode
};

// What a port's controller holds at run time.
struct ControllerData {
    RxFifo rx_fifo;
    BxcanStats stats;
    BringUp bring_up;
    bool wakes_can1;  // CAN2's bring-up also waits for CAN1, whose filter block CAN2 uses
    uint32_t btr;     // bit timing and mode, written once the controller is in initialisation mode
};

// The one mutable array indexed by port. All zero at reset, like the rest of .bss: empty FIFOs, no
// bring-up begun.
ControllerData controllers[PortCANLast];

// One switch for all ports: the last bxcanInit decides.
bool g_abort_tx_on_error = false;
// Set once the shared block has its layout (32-bit scale, FIFO split, CAN2's start bank), by CAN1's
// bring-up or by CAN2's when CAN1 had none: CAN2 must not run its filter list on banks left at their reset
// scale, nor clear CAN1's banks once they are set.
bool SharedBlockReady = false;

// Short against a frame time, so that a bring-up takes hardly longer than the controller does.
constexpr uint32_t INAK_POLL_PAUSE_US = 10;

constexpr uint32_t MAX_PRESCALER = 1024;
constexpr uint8_t MAX_BS1 = 16;
constexpr uint8_t MAX_BS2 = 8;
constexpr uint8_t MAX_SJW = 4;
constexpr uint32_t MAX_SAMPLE_POINT_PERMILL = 900;

constexpr uint32_t ABORT_ALL_MAILBOXES = CAN_TSR_ABRQ0 | CAN_TSR_ABRQ1 | CAN_TSR_ABRQ2;
static_assert(ABORT_ALL_MAILBOXES == 0x00808080U);
// RF0R's bits serve RF1R too, and TI0R's identifier layout RI0R: the registers share their layouts.
static_assert(CAN_RF0R_FMP0 == CAN_RF1R_FMP1 && CAN_RF0R_FOVR0 == CAN_RF1R_FOVR1 && CAN_RF0R_RFOM0 == CAN_RF1R_RFOM1 &&
              CAN_RF0R_FULL0 == CAN_RF1R_FULL1);
static_assert(CAN_TI0R_EXID_Pos == CAN_RI0R_EXID_Pos && CAN_TI0R_STID_Pos == CAN_RI0R_STID_Pos);
constexpr uint32_t RX_RELEASE = CAN_RF0R_FULL0 | CAN_RF0R_FOVR0 | CAN_RF0R_RFOM0;
static_assert(RX_RELEASE == 0x38U);
constexpr uint32_t RX_INTERRUPTS = CAN_IER_FMPIE0 | CAN_IER_FMPIE1;
static_assert(RX_INTERRUPTS == 0x12U);
// Reception is interrupt-driven: nothing on the task's side reads the hardware FIFOs, so there is no polled
// path to choose.
static_assert(USERXINT == 1, "the receive FIFOs are emptied by their interrupts only");
constexpr uint32_t MCR_RUN = CAN_MCR_ABOM | CAN_MCR_AWUM;
static_assert((MCR_RUN | CAN_MCR_INRQ) == 0x61U);
// Banks 0..27 single 32-bit scale; even banks to FIFO 0, odd banks to FIFO 1.
constexpr uint32_t SHARED_BLOCK_SCALE = 0x0FFFFFFFU;
constexpr uint32_t SHARED_BLOCK_FIFO = 0x0AAAAAAAU;
// The same for CAN3's own 14 banks.
constexpr uint32_t CAN3_BLOCK_SCALE = 0x00003FFFU;
constexpr uint32_t CAN3_BLOCK_FIFO = 0x00002AAAU;
constexpr uint32_t PORT_BANKS = (1U << BXCAN_NUM_ACCEPTANCE_FILTERS) - 1U;
// FMR bits that must read as zero besides the start-bank field.
constexpr uint32_t FMR_RESERVED_LOW = 0x0000000EU;

bool portValid(PortCAN_t PortCAN) { return PortCAN < PortCANLast; }

constexpr uint32_t convertFrameIDXportToRegister(uint32_t id)
{
    uint32_t out = 0;
    if ((id & XPORT_CAN_FRAME_EFF) != 0U) {
        out = ((id & XPORT_CAN_EXT_ID_MASK) << CAN_TI0R_EXID_Pos) | CAN_TI0R_IDE;
    } else {
        out = (id & XPORT_CAN_STD_ID_MASK) << CAN_TI0R_STID_Pos;
    }
    if ((id & XPORT_CAN_FRAME_RTR) != 0U) {
        out |= CAN_TI0R_RTR;
    }
    return out;
}

constexpr uint32_t convertFrameIDRegisterToXport(uint32_t reg)
{
    uint32_t out = 0;
    if ((reg & CAN_RI0R_IDE) != 0U) {
        out = ((reg >> CAN_TI0R_EXID_Pos) & XPORT_CAN_EXT_ID_MASK) | XPORT_CAN_FRAME_EFF;
    } else {
        out = (reg >> CAN_TI0R_STID_Pos) & XPORT_CAN_STD_ID_MASK;
    }
    if ((reg & CAN_RI0R_RTR) != 0U) {
        out |= XPORT_CAN_FRAME_RTR;
    }
    return out;
}

// The error flag never reaches the registers; everything else survives the round trip.
static_assert(convertFrameIDRegisterToXport(convertFrameIDXportToRegister(0xBABCDEF1U)) == 0x9ABCDEF1U);
static_assert(convertFrameIDXportToRegister(0x7FFU | XPORT_CAN_FRAME_RTR) == 0xFFE00002U);

CAN_TypeDef* controller(PortCAN_t PortCAN) { return bxcanControllers[PortCAN].can; }

bool inInitialisation(CAN_TypeDef* can) { return (static_cast<uint32_t>(can->MSR) & CAN_MSR_INAK) != 0U; }

bool asleep(CAN_TypeDef* can) { return (static_cast<uint32_t>(can->MSR) & CAN_MSR_SLAK) != 0U; }

bool inNormalMode(CAN_TypeDef* can)
{
    return (static_cast<uint32_t>(can->MSR) & (CAN_MSR_INAK | CAN_MSR_SLAK)) == 0U;
}

// Interrupts off, out of sleep, into initialisation mode, which the controller acknowledges with INAK.
void requestInitialisation(CAN_TypeDef* can)
{
    can->IER = 0U;
    can->MCR = (static_cast<uint32_t>(can->MCR) & ~CAN_MCR_SLEEP) | CAN_MCR_INRQ;
}

// Takes the port's bring-up as far as its controller lets it now; never waits.
BringUp advanceBringUp(PortCAN_t PortCAN)
{
    ControllerData& data = controllers[PortCAN];
    CAN_TypeDef* const can = controller(PortCAN);
    if (data.bring_up == BringUp::EnteringInit && inInitialisation(can) && !(data.wakes_can1 && asleep(CAN1))) {
        // Automatic bus-off recovery and wake-up; retransmission on; FIFOs not locked; TX order by identifier.
        can->MCR = MCR_RUN | CAN_MCR_INRQ;
        can->BTR = data.btr;
        can->IER = RX_INTERRUPTS;
        XPORT_ASSERT(static_cast<uint32_t>(can->IER) == RX_INTERRUPTS);
        can->MCR = MCR_RUN;  // normal mode, entered once the controller has seen 11 recessive bits
        data.bring_up = BringUp::JoiningBus;
    }
    if (data.bring_up == BringUp::JoiningBus && inNormalMode(can)) {
        data.bring_up = BringUp::Running;
        consoleDiagnostic(LOG_INFO, PORT_CAN_NAME[PortCAN], "4bxcan init ok\n");
    }
    return data.bring_up;
}

void processErrorStatus(PortCAN_t PortCAN)
{
    CAN_TypeDef* const can = controller(PortCAN);
    const uint32_t esr = can->ESR;
    if ((esr & CAN_ESR_LEC) == 0U) {
        return;
    }
    can->ESR = 0U;
    controllers[PortCAN].stats.error_count++;
    const uint32_t esr_after = can->ESR;
    if (g_abort_tx_on_error || (esr_after & CAN_ESR_BOFF) != 0U) {
        // The frames stay in the transport's queue and are offered again.
        can->TSR = ABORT_ALL_MAILBOXES;
    }
}

void nvicEnableVector(IRQn_Type irq)
{
    NVIC_SetPriority(irq, 0U);
    NVIC_EnableIRQ(irq);
}

uint8_t nextRxIndex(uint8_t index) { return index + 1U == RX_INDEX_WRAP ? 0U : static_cast<uint8_t>(index + 1U); }

// Frames the ring holds, from one reading of each index.
unsigned rxHeld(uint8_t in, uint8_t out)
{
    return (static_cast<unsigned>(in) + RX_INDEX_WRAP - out) % RX_INDEX_WRAP;
}

// The interrupt's side. False when the ring is full (the frame is not stored).
bool pushRxFrame(RxFifo& fifo, const XportCANFrame& frame)
{
    const uint8_t in = fifo.in;
    if (rxHeld(in, fifo.out) == MAXRXFRAMES) {
        return false;
    }
    fifo.frames[in % MAXRXFRAMES] = frame;
    // The frame is written before the index that hands it over.
    std::atomic_signal_fence(std::memory_order_release);
    fifo.in = nextRxIndex(in);
    return true;
}

// The task's side. False when the ring is empty.
bool popRxFrame(RxFifo& fifo, XportCANFrame* out_frame)
{
    const uint8_t out = fifo.out;
    if (rxHeld(fifo.in, out) == 0U) {
        return false;
    }
    std::atomic_signal_fence(std::memory_order_acquire);
    *out_frame = fifo.frames[out % MAXRXFRAMES];
    // The frame is read before its slot is handed back.
    std::atomic_signal_fence(std::memory_order_release);
    fifo.out = nextRxIndex(out);
    return true;
}

void handleRxInterrupt(PortCAN_t PortCAN, uint8_t fifo_index)
{
    CAN_TypeDef* const can = controller(PortCAN);
    const uint32_t rfr = (fifo_index == 0U) ? static_cast<uint32_t>(can->RF0R) : static_cast<uint32_t>(can->RF1R);
    // The line can still read as pending just after the last frame was released; an empty FIFO then
    // has nothing to give, and its mailbox holds the previous frame.
    if ((rfr & CAN_RF0R_FMP0) == 0U) {
        return;
    }
    if ((rfr & CAN_RF0R_FOVR0) != 0U) {
        controllers[PortCAN].stats.rx_overflow_count++;
    }

    XportCANFrame record{};
    const uint32_t rir = can->sFIFOMailBox[fifo_index].RIR;
    const uint32_t rdtr = can->sFIFOMailBox[fifo_index].RDTR;
    const uint32_t rdlr = can->sFIFOMailBox[fifo_index].RDLR;
    const uint32_t rdhr = can->sFIFOMailBox[fifo_index].RDHR;
    record.id = convertFrameIDRegisterToXport(rir);
    // A classic frame may announce up to 15 but carries at most 8 bytes; the record holds 8.
    const uint32_t dlc = rdtr & CAN_RDT0R_DLC;
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
    controllers[PortCAN].stats.frames_rx++;

    if (!pushRxFrame(controllers[PortCAN].rx_fifo, record)) {
        controllers[PortCAN].stats.rx_overflow_count++;
    }
}

bool timingsValid(const BxcanCANTimings* timings)
{
    return timings != nullptr && timings->bit_rate_prescaler >= 1U && timings->bit_rate_prescaler <= MAX_PRESCALER &&
           timings->max_resynchronization_jump_width >= 1U && timings->max_resynchronization_jump_width <= MAX_SJW &&
           timings->bit_segment_1 >= 1U && timings->bit_segment_1 <= MAX_BS1 && timings->bit_segment_2 >= 1U &&
           timings->bit_segment_2 <= MAX_BS2;
}

// BTR for timings within the register ranges.
constexpr uint32_t bitTiming(const BxcanCANTimings& timings, BxcanIfaceMode iface_mode)
{
    uint32_t btr = ((static_cast<uint32_t>(timings.max_resynchronization_jump_width) - 1U) << CAN_BTR_SJW_Pos) &
                   CAN_BTR_SJW;
    btr |= ((static_cast<uint32_t>(timings.bit_segment_1) - 1U) << CAN_BTR_TS1_Pos) & CAN_BTR_TS1;
    btr |= ((static_cast<uint32_t>(timings.bit_segment_2) - 1U) << CAN_BTR_TS2_Pos) & CAN_BTR_TS2;
    btr |= (static_cast<uint32_t>(timings.bit_rate_prescaler) - 1U) & CAN_BTR_BRP;
    if (iface_mode == BxcanIfaceModeSilent) {
        btr |= CAN_BTR_SILM;
    }
    return btr;
}

// The node's 1 Mbit/s from the 48 MHz APB1 clock.
static_assert(bitTiming(BxcanCANTimings{6, 6, 1, 1}, BxcanIfaceModeNormal) == 0x00050005U);
static_assert(bitTiming(BxcanCANTimings{6, 6, 1, 1}, BxcanIfaceModeSilent) == 0x80050005U);

// The block CAN1 and CAN2 share: 32-bit banks, FIFOs alternating, CAN2's banks from CAN2SB_RESET.
// Left in filter initialisation mode.
void layOutSharedBlock()
{
    CAN_TypeDef* const can1 = CAN1;
    const uint32_t fmr = static_cast<uint32_t>(can1->FMR) & ~(FMR_RESERVED_LOW | CAN_FMR_CAN2SB);
    can1->FMR = fmr | (CAN2SB_RESET << CAN_FMR_CAN2SB_Pos) | CAN_FMR_FINIT;
    XPORT_ASSERT(((static_cast<uint32_t>(can1->FMR) & CAN_FMR_CAN2SB) >> CAN_FMR_CAN2SB_Pos) ==
                 CAN2SB_RESET);
    can1->FM1R = 0U;
    can1->FS1R = SHARED_BLOCK_SCALE;
    can1->FFA1R = SHARED_BLOCK_FIFO;
    SharedBlockReady = true;
}

// CAN3's own block in the same 32-bit layout and FIFO split, since the filter list is written in the
// 32-bit layout. Left in filter initialisation mode.
void layOutCan3Block()
{
    CAN_TypeDef* const can3 = CAN3;
    can3->FMR = static_cast<uint32_t>(can3->FMR) | CAN_FMR_FINIT;
    can3->FM1R = 0U;
    can3->FS1R = CAN3_BLOCK_SCALE;
    can3->FFA1R = CAN3_BLOCK_FIFO;
}

// Deactivates the block's banks outside banks_kept, then makes bank accept everything and ends filter
// initialisation. A bank is deactivated before it is rewritten: the controller ignores writes to an
// active bank outside filter initialisation mode.
void acceptAllBank(CAN_TypeDef* block, unsigned bank, uint32_t banks_kept)
{
    block->FA1R = static_cast<uint32_t>(block->FA1R) & banks_kept;
    block->sFilterRegister[bank].FR1 = 0U;
    block->sFilterRegister[bank].FR2 = 0U;
    block->FA1R = static_cast<uint32_t>(block->FA1R) | (1U << bank);
    block->FMR = static_cast<uint32_t>(block->FMR) & ~CAN_FMR_FINIT;
}

// The port's filter block, left with one bank that accepts everything.
void layOutFilters(PortCAN_t PortCAN)
{
    if (PortCAN == PortCAN1) {
        layOutSharedBlock();
        acceptAllBank(CAN1, 0U, 0U);
    } else if (PortCAN == PortCAN2) {
        // Laid out by CAN1, or by CAN2 when nobody has done so yet; CAN1's own banks stay active.
        const bool block_was_ready = SharedBlockReady;
        if (!block_was_ready) {
            layOutSharedBlock();
        }
        acceptAllBank(CAN1, CAN2SB_RESET, block_was_ready ? PORT_BANKS : 0U);
    } else {
        layOutCan3Block();
        acceptAllBank(CAN3, 0U, 0U);
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
        consoleDiagnostic(LOG_ERROR, PORT_CAN_NAME[PortCAN], "invalid arg\n");
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    CAN_TypeDef* const can = controller(PortCAN);
    ControllerData& data = controllers[PortCAN];

    // CAN2 has no filter block of its own: CAN1 must be awake to hold it.
    data.wakes_can1 = PortCAN == PortCAN2 && controllers[PortCAN1].bring_up == BringUp::NotBegun;
    data.bring_up = BringUp::EnteringInit;
    can->MCR = CAN_MCR_RESET;  // its receive interrupts off before their FIFO is emptied
    data.rx_fifo.in = 0U;
    data.rx_fifo.out = 0U;
    data.stats = BxcanStats{};
    data.btr = bitTiming(*timings, iface_mode);
    g_abort_tx_on_error = (iface_mode == BxcanIfaceModeAutomaticTxAbortOnError);

    if (data.wakes_can1) {
        requestInitialisation(CAN1);
    }
    requestInitialisation(can);
    // The filter block works in any mode of the controllers: a port that joins its bus late filters too.
    layOutFilters(PortCAN);
    nvicEnableVector(bxcanControllers[PortCAN].rx0_irq);
    nvicEnableVector(bxcanControllers[PortCAN].rx1_irq);

    for (uint32_t waited_us = 0; advanceBringUp(PortCAN) != BringUp::Running; waited_us += INAK_POLL_PAUSE_US) {
        if (waited_us >= BXCAN_INIT_TIMEOUT_US) {
            if (data.bring_up == BringUp::JoiningBus) {
                consoleDiagnostic(LOG_ERROR, PORT_CAN_NAME[PortCAN], "3inak not cleared\n");
                return -BXCAN_ERROR_MSR_INAK_NOT_CLEARED;
            }
            if (data.wakes_can1 && asleep(CAN1)) {
                consoleDiagnostic(LOG_ERROR, PORT_CAN_NAME[PortCAN], "1inak not set\n");
            } else {
                consoleDiagnostic(LOG_ERROR, PORT_CAN_NAME[PortCAN], "2inak not set2\n");
            }
            return -BXCAN_ERROR_MSR_INAK_NOT_SET;
        }
        coreDelayUs(INAK_POLL_PAUSE_US);
    }
    return 0;
}

// The calls by port number check it, then are the port's own.
bool bxcanRetryInit(PortCAN_t PortCAN) { return portValid(PortCAN) && bxcanPorts[PortCAN].joinBus(); }

bool BxcanPort::joinBus()
{
    return controllers[index_].bring_up != BringUp::NotBegun && advanceBringUp(index_) == BringUp::Running;
}

int bxcanTransmit(const XportCANFrame* frame, PortCAN_t PortCAN)
{
    if (frame == nullptr || !portValid(PortCAN)) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    return bxcanPorts[PortCAN].transmit(*frame);
}

int BxcanPort::transmit(const XportCANFrame& frame)
{
    if ((frame.id & XPORT_CAN_FRAME_ERR) != 0U) {
        return -BXCAN_ERROR_UNSUPPORTED_FRAME_FORMAT;
    }
    // Larger lengths would spill out of the DLC field into TGT.
    if (frame.data_len > XPORT_CAN_FRAME_MAX_DATA_LEN) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }

    if (controllers[index_].bring_up != BringUp::Running) {
        return 0;  // a mailbox of a controller that has not joined its bus would go out stale, if ever
    }
    processErrorStatus(index_);
    CAN_TypeDef* const can = controller(index_);

    const uint32_t tsr = can->TSR;
    unsigned mailbox = 0;
    if ((tsr & CAN_TSR_TME) != CAN_TSR_TME) {
        constexpr uint32_t tme_bits[3] = {CAN_TSR_TME0, CAN_TSR_TME1, CAN_TSR_TME2};
        bool found = false;
        for (unsigned i = 0; i < 3U; i++) {
            if ((tsr & tme_bits[i]) != 0U) {
                mailbox = i;
                found = true;
            } else {
                // Never place a frame while one of equal or higher priority waits: the controller
                // would send the new one first only if it wins arbitration, and equal ones in any order.
                const uint32_t pending = convertFrameIDRegisterToXport(can->sTxMailBox[i].TIR);
                if (!isPriorityHigher(frame.id, pending)) {
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
    mb.TDTR = frame.data_len;
    mb.TDHR = static_cast<uint32_t>(frame.data[4]) | (static_cast<uint32_t>(frame.data[5]) << 8) |
              (static_cast<uint32_t>(frame.data[6]) << 16) | (static_cast<uint32_t>(frame.data[7]) << 24);
    mb.TDLR = static_cast<uint32_t>(frame.data[0]) | (static_cast<uint32_t>(frame.data[1]) << 8) |
              (static_cast<uint32_t>(frame.data[2]) << 16) | (static_cast<uint32_t>(frame.data[3]) << 24);
    mb.TIR = convertFrameIDXportToRegister(frame.id) | CAN_TI0R_TXRQ;
    controllers[index_].stats.frames_tx++;
    return 1;
}

bool bxcanTxPending(PortCAN_t PortCAN) { return portValid(PortCAN) && bxcanPorts[PortCAN].transmitPending(); }

bool BxcanPort::transmitPending()
{
    const uint32_t tsr = controller(index_)->TSR;
    return (tsr & CAN_TSR_TME) != CAN_TSR_TME;
}

int bxcanReceive(XportCANFrame* out_frame, PortCAN_t PortCAN)
{
    if (out_frame == nullptr || !portValid(PortCAN)) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    return bxcanPorts[PortCAN].receive(*out_frame);
}

int BxcanPort::receive(XportCANFrame& frame)
{
    processErrorStatus(index_);
    return popRxFrame(controllers[index_].rx_fifo, &frame) ? 1 : 0;  // stored with its DLC clamped
}

int bxcanConfigureAcceptanceFilters(const BxcanAcceptanceFilterConfiguration* filter_configs,
                                    unsigned num_filter_configs, PortCAN_t PortCAN)
{
    if (filter_configs == nullptr || num_filter_configs > BXCAN_NUM_ACCEPTANCE_FILTERS || !portValid(PortCAN)) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    CAN_TypeDef* const block = bxcanControllers[PortCAN].filter_block;
    const unsigned first = bxcanControllers[PortCAN].first_bank;

    // Banks are rewritten while deactivated; filter initialisation mode is not needed for that.
    block->FA1R = static_cast<uint32_t>(block->FA1R) & ~(PORT_BANKS << first);

    for (unsigned i = 0; i < num_filter_configs; i++) {
        const uint32_t id = filter_configs[i].id;
        const uint32_t mask = filter_configs[i].mask;
        uint32_t fr1 = 0;
        uint32_t fr2 = 0;
        if ((id & XPORT_CAN_FRAME_EFF) != 0U || (mask & XPORT_CAN_FRAME_EFF) == 0U) {
            fr1 = ((id & XPORT_CAN_EXT_ID_MASK) << CAN_TI0R_EXID_Pos) | CAN_TI0R_IDE;
            fr2 = (mask & XPORT_CAN_EXT_ID_MASK) << CAN_TI0R_EXID_Pos;
        } else {
            fr1 = (id & XPORT_CAN_STD_ID_MASK) << CAN_TI0R_STID_Pos;
            fr2 = (mask & XPORT_CAN_STD_ID_MASK) << CAN_TI0R_STID_Pos;
        }
        if ((id & XPORT_CAN_FRAME_RTR) != 0U) {
            fr1 |= CAN_TI0R_RTR;
        }
        if ((mask & XPORT_CAN_FRAME_EFF) != 0U) {
            fr2 |= CAN_TI0R_IDE;
        }
        if ((mask & XPORT_CAN_FRAME_RTR) != 0U) {
            fr2 |= CAN_TI0R_RTR;
        }
        const unsigned bank = first + i;
        block->sFilterRegister[bank].FR1 = fr1;
        block->sFilterRegister[bank].FR2 = fr2;
        block->FA1R = static_cast<uint32_t>(block->FA1R) | (1U << bank);
    }
    return 0;
}

bool bxcanBusDown(PortCAN_t PortCAN) { return portValid(PortCAN) && bxcanPorts[PortCAN].busDown(); }

bool BxcanPort::busDown()
{
    return controllers[index_].bring_up != BringUp::Running ||
           (controller(index_)->ESR & (CAN_ESR_EPVF | CAN_ESR_BOFF)) != 0U;
}

BxcanStats bxcanGetStats(PortCAN_t PortCAN) { return portValid(PortCAN) ? bxcanPorts[PortCAN].statistics() : BxcanStats{}; }

CanPortStats BxcanPort::statistics() { return controllers[index_].stats; }

void bxcanColdReset()
{
    std::memset(controllers, 0, sizeof(controllers));
    g_abort_tx_on_error = false;
    SharedBlockReady = false;
}

void CAN1_RX0_IRQHandler() { handleRxInterrupt(PortCAN1, 0U); }
void CAN1_RX1_IRQHandler() { handleRxInterrupt(PortCAN1, 1U); }
void CAN2_RX0_IRQHandler() { handleRxInterrupt(PortCAN2, 0U); }
void CAN2_RX1_IRQHandler() { handleRxInterrupt(PortCAN2, 1U); }
void CAN3_RX0_IRQHandler() { handleRxInterrupt(PortCAN3, 0U); }
void CAN3_RX1_IRQHandler() { handleRxInterrupt(PortCAN3, 1U); }

