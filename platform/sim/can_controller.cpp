// The bxCAN controllers' registers: operating modes with their MCR/MSR handshake (sleep, initialisation,
// normal, master reset; normal mode is entered after 11 recessive bits on RX, and left only once the frame
// on the wire has ended, as the reference manual has it), three transmit mailboxes that offer the most urgent pending frame to the bus
// (identifier order, or request order with TXFP), abort requests, automatic retransmission (or one shot
// with NART), two receive FIFOs of three mailboxes with FMP/FULL/FOVR/RFOM and the RFLM lock, and the four
// interrupt lines. Time-triggered mode and silent loop-back are not modelled.

#include "platform/sim/can_model.hpp"

namespace sim {
namespace can {

uint32_t CanController::read(uint32_t offset, unsigned width)
{
    if (offset >= offsetof(CAN_TypeDef, FMR) && !hasFilterBlock()) {
        return 0;  // CAN2 has no filter registers of its own
    }
    return stored(offset, width);
}

void CanController::write(uint32_t offset, uint32_t value, unsigned width)
{
    if (width != 4U) {
        return;
    }
    if (offset >= offsetof(CAN_TypeDef, FMR)) {
        if (hasFilterBlock()) {
            writeFilter(offset, value);
        }
        return;
    }
    if (offset >= offsetof(CAN_TypeDef, sTxMailBox) && offset < offsetof(CAN_TypeDef, sFIFOMailBox)) {
        const auto rel = static_cast<uint32_t>(offset - offsetof(CAN_TypeDef, sTxMailBox));
        writeMailbox(rel / 16U, rel % 16U, value);
        return;
    }
    switch (offset) {
    case offsetof(CAN_TypeDef, MCR): writeMcr(value); break;
    case offsetof(CAN_TypeDef, MSR): writeMsr(value); break;
    case offsetof(CAN_TypeDef, TSR): writeTsr(value); break;
    case offsetof(CAN_TypeDef, RF0R): writeRfr(0, value); break;
    case offsetof(CAN_TypeDef, RF1R): writeRfr(1, value); break;
    case offsetof(CAN_TypeDef, IER):
        regs().IER.poke(value & 0x00038F7FU);
        refreshIrqs();
        break;
    case offsetof(CAN_TypeDef, ESR):
        regs().ESR.poke((regs().ESR.peek() & ~CAN_ESR_LEC) | (value & CAN_ESR_LEC));
        break;
    case offsetof(CAN_TypeDef, BTR):
        if (mode_ == Mode::Init) {  // writable in initialisation mode only
            regs().BTR.poke(value & kBtrWritable);
        }
        break;
    default:
        break;  // receive mailboxes and reserved words are read-only
    }
}

void CanController::reset()
{
    clearBlock();
    resetController();
    if (hasFilterBlock()) {
        CAN_TypeDef& c = regs();
        c.FMR.poke(0x2A1C0E01U);
        for (unsigned b = 0; b < CAN_FILTER_BANKS; ++b) {
            c.sFilterRegister[b].FR1.poke(kFilterPattern);
            c.sFilterRegister[b].FR2.poke(kFilterPattern);
        }
    }
    bus(index_).attachNode(this, this);
}

const CanFrame* CanController::offer(uint64_t)
{
    offered_ = -1;
    if (!onBus() || silent() || busOff_) {
        return nullptr;
    }
    int best = -1;
    for (unsigned m = 0; m < CAN_TX_MAILBOXES; ++m) {
        if (pending(m) && (best < 0 || before(m, static_cast<unsigned>(best)))) {
            best = static_cast<int>(m);
        }
    }
    if (best < 0) {
        return nullptr;
    }
    offered_ = best;
    offerFrame_ = mailboxFrame(static_cast<unsigned>(best));
    return &offerFrame_;
}

void CanController::onLostArbitration()
{
    if (offered_ < 0) {
        return;
    }
    const auto m = static_cast<unsigned>(offered_);
    offered_ = -1;
    uint32_t tsr = regs().TSR.peek() | alst(m);
    if ((regs().MCR.peek() & CAN_MCR_NART) != 0U) {
        // One shot: the attempt is over; the mailbox completes as failed.
        tsr = (tsr | rqcp(m) | tme(m)) & ~txok(m);
        complete(m);
    }
    regs().TSR.poke(tsr);
    refreshTsr();
    refreshIrqs();
}

void CanController::onSent(bool acknowledged, uint64_t)
{
    if (offered_ < 0) {
        return;
    }
    const auto m = static_cast<unsigned>(offered_);
    offered_ = -1;
    uint32_t tsr = regs().TSR.peek();
    if (acknowledged) {
        tsr |= txok(m) | rqcp(m) | tme(m);
        tsr &= ~(terr(m) | abrq(m));
        complete(m);
        setLec(CAN_LEC_NONE);
        if (tec_ > 0U) {
            --tec_;
        }
    } else {
        setLec(CAN_LEC_ACK);
        // An error-passive transmitter does not count ACK errors (it may be alone on the bus).
        if (tec_ < 128U) {
            tec_ += 8U;
        }
        tsr &= ~txok(m);
        if ((tsr & abrq(m)) != 0U || (regs().MCR.peek() & CAN_MCR_NART) != 0U) {
            tsr |= rqcp(m);
            if ((tsr & abrq(m)) == 0U) {
                tsr |= terr(m);
            }
            tsr = (tsr & ~abrq(m)) | tme(m);
            complete(m);
        }
    }
    regs().TSR.poke(tsr);
    updateErrorState();
    refreshTsr();
    refreshIrqs();
}

void CanController::onFrame(const CanFrame& frame, uint64_t endNs)
{
    if (mode_ == Mode::Sleep && (regs().MCR.peek() & CAN_MCR_AWUM) != 0U && clocked() && inSync() &&
        !rxStuckDominant_) {
        // Bus activity wakes the controller; the waking frame itself is lost.
        regs().MCR.poke(regs().MCR.peek() & ~CAN_MCR_SLEEP);
        regs().MSR.poke(regs().MSR.peek() | CAN_MSR_WKUI);
        evaluateMode();
        return;
    }
    if (!onBus() || busOff_ || loopsBack()) {
        return;  // in loop-back the receive pin is not looked at
    }
    receive(frame, endNs);
}

void CanController::receive(const CanFrame& frame, uint64_t endNs)
{
    setLec(CAN_LEC_NONE);
    // ISO 11898-1: an error-passive receiver comes back to a value between 119 and 127.
    if (rec_ > 127U) {
        rec_ = 127U;
    } else if (rec_ > 0U) {
        --rec_;
    }
    updateErrorState();
    accept(frame, endNs - bus(index_).frameBits(frame) * bus(index_).bitTimeNs());
}

uint32_t CanController::bitrate() const
{
    const uint32_t btr = regs().BTR.peek();
    const uint64_t brp = (btr & CAN_BTR_BRP) + 1U;
    const uint64_t quanta = 1U + ((btr & CAN_BTR_TS1) >> CAN_BTR_TS1_Pos) + 1U +
                            ((btr & CAN_BTR_TS2) >> CAN_BTR_TS2_Pos) + 1U;
    return static_cast<uint32_t>(clocks().pclk1 / (brp * quanta));
}

bool CanController::inSync() const
{
    const uint64_t mine = bitrate();
    const uint64_t wire = bus(index_).bitrate();
    const uint64_t diff = mine > wire ? mine - wire : wire - mine;
    return diff * 100U <= wire;
}

bool CanController::before(unsigned a, unsigned b) const
{
    if ((regs().MCR.peek() & CAN_MCR_TXFP) != 0U) {
        return requestSeq_[a] < requestSeq_[b];
    }
    const uint64_t ka = canArbitrationKey(mailboxFrame(a));
    const uint64_t kb = canArbitrationKey(mailboxFrame(b));
    return ka < kb || (ka == kb && a < b);
}

CanFrame CanController::mailboxFrame(unsigned m) const
{
    const CAN_TxMailBox_TypeDef& mb = regs().sTxMailBox[m];
    const uint32_t tir = mb.TIR.peek();
    CanFrame f;
    f.extended = (tir & CAN_TI0R_IDE) != 0U;
    f.remote = (tir & CAN_TI0R_RTR) != 0U;
    f.id = f.extended ? (tir >> 3) & 0x1FFFFFFFU : (tir >> 21) & 0x7FFU;
    f.dlc = static_cast<uint8_t>(mb.TDTR.peek() & CAN_TDT0R_DLC);
    const uint32_t lo = mb.TDLR.peek();
    const uint32_t hi = mb.TDHR.peek();
    for (unsigned i = 0; i < 4; ++i) {
        f.data[i] = static_cast<uint8_t>(lo >> (8U * i));
        f.data[4 + i] = static_cast<uint8_t>(hi >> (8U * i));
    }
    return f;
}

void CanController::resetController()
{
    CAN_TypeDef& c = regs();
    c.MCR.poke(0x00010002U);
    c.MSR.poke(0x00000C02U);
    c.TSR.poke(0x1C000000U);
    c.RF0R.poke(0);
    c.RF1R.poke(0);
    c.IER.poke(0);
    c.ESR.poke(0);
    c.BTR.poke(0);
    for (auto& mb : c.sTxMailBox) {
        mb.TIR.poke(0);
        mb.TDTR.poke(0);
        mb.TDLR.poke(0);
        mb.TDHR.poke(0);
    }
    for (auto& mb : c.sFIFOMailBox) {
        mb.RIR.poke(0);
        mb.RDTR.poke(0);
        mb.RDLR.poke(0);
        mb.RDHR.poke(0);
    }
    mode_ = Mode::Sleep;
    fifoCount_[0] = fifoCount_[1] = 0;
    tec_ = rec_ = 0;
    busOff_ = false;
    recoveryAtNs_ = UINT64_MAX;
    offered_ = -1;
    seq_ = 0;
    modeAtNs_ = UINT64_MAX;
    modeAtFrameEnd_ = false;
    if (rxStuckDominant_) {
        c.MSR.poke(c.MSR.peek() & ~CAN_MSR_RX);
    }
    refreshTsr();
    refreshIrqs();
}

void CanController::writeMcr(uint32_t value)
{
    if ((value & CAN_MCR_RESET) != 0U) {
        if (offered_ >= 0 && bus(index_).busy()) {
            offered_ = -1;  // the frame on the wire finishes without us
        }
        resetController();
        return;
    }
    regs().MCR.poke(value & kMcrWritable);
    evaluateMode();
    refreshTsr();
}

Mode CanController::requestedMode() const
{
    const uint32_t mcr = regs().MCR.peek();
    const bool inrq = (mcr & CAN_MCR_INRQ) != 0U;
    const bool sleep = (mcr & CAN_MCR_SLEEP) != 0U;
    if (inrq && sleep) {
        return mode_;  // both requested: stay where the last consistent request put it
    }
    return inrq ? Mode::Init : sleep ? Mode::Sleep : Mode::Normal;
}

void CanController::evaluateMode()
{
    if (ignoresModeRequests_) {
        return;  // never acknowledges
    }
    const Mode target = requestedMode();
    if (target == mode_) {
        modeAtNs_ = UINT64_MAX;
        modeAtFrameEnd_ = false;
        return;
    }
    VirtualBus& wire = bus(index_);
    if (mode_ == Mode::Normal && onBus() && wire.busy()) {
        modeAtNs_ = UINT64_MAX;
        modeAtFrameEnd_ = true;  // the frame on the wire, sent or received, ends first
        return;
    }
    if (target != Mode::Normal) {
        setMode(target);
        return;
    }
    if (rxStuckDominant_) {
        modeAtNs_ = UINT64_MAX;  // 11 recessive bits never come
        modeAtFrameEnd_ = false;
    } else if (modeAtNs_ == UINT64_MAX && !modeAtFrameEnd_) {
        // A frame's tail holds the 11 recessive bits; an idle bus shows them after 11 bit times.
        modeAtFrameEnd_ = wire.busy();
        modeAtNs_ = wire.busy() ? UINT64_MAX : nowNs() + kBusIdleBits * wire.bitTimeNs();
    }
}

void CanController::modeChangeDue()
{
    modeAtNs_ = UINT64_MAX;
    modeAtFrameEnd_ = false;
    if (mode_ != Mode::Normal && requestedMode() == Mode::Normal && bus(index_).busy()) {
        modeAtFrameEnd_ = true;  // a frame began meanwhile: its tail has the next 11 recessive bits
        return;
    }
    if (ignoresModeRequests_ || (requestedMode() == Mode::Normal && rxStuckDominant_)) {
        return;
    }
    setMode(requestedMode());
}

void CanController::onFrameEnd()
{
    if (modeAtFrameEnd_) {
        modeChangeDue();
    }
}

void CanController::runEvents(uint64_t now)
{
    if (modeAtNs_ <= now) {
        modeChangeDue();
    }
    if (busOff_ && !rxStuckDominant_ && recoveryAtNs_ <= now) {
        recoverFromBusOff();
    }
}

void CanController::setMode(Mode mode)
{
    const Mode old = mode_;
    mode_ = mode;
    modeAtNs_ = UINT64_MAX;
    modeAtFrameEnd_ = false;
    uint32_t msr = regs().MSR.peek() & ~(CAN_MSR_INAK | CAN_MSR_SLAK);
    msr |= mode_ == Mode::Init ? CAN_MSR_INAK : 0U;
    msr |= mode_ == Mode::Sleep ? CAN_MSR_SLAK : 0U;
    if (mode_ == Mode::Sleep && old != Mode::Sleep) {
        msr |= CAN_MSR_SLAKI;
    }
    regs().MSR.poke(msr);
    if (old == Mode::Init && mode_ == Mode::Normal && busOff_ && recoveryAtNs_ == UINT64_MAX) {
        // Without ABOM, recovery starts when software leaves initialisation mode.
        recoveryAtNs_ = nowNs() + kBusOffRecoveryBits * bus(index_).bitTimeNs();
    }
    if (mode_ == Mode::Normal && old != Mode::Normal) {
        bus(index_).kick();
    }
    refreshIrqs();
}

void CanController::writeMailbox(unsigned m, unsigned reg, uint32_t value)
{
    if (pending(m)) {
        return;  // a pending mailbox is write-protected
    }
    CAN_TxMailBox_TypeDef& mb = regs().sTxMailBox[m];
    switch (reg) {
    case 0:
        mb.TIR.poke(value);
        if ((value & CAN_TI0R_TXRQ) != 0U) {
            regs().TSR.poke((regs().TSR.peek() & ~(tme(m) | rqcp(m) | txok(m) | alst(m) | terr(m))));
            requestSeq_[m] = ++seq_;
            bus(index_).kick();
            refreshTsr();
            refreshIrqs();
        }
        break;
    case 4: mb.TDTR.poke(value & (CAN_TDT0R_DLC | CAN_TDT0R_TGT)); break;
    case 8: mb.TDLR.poke(value); break;
    case 12: mb.TDHR.poke(value); break;
    default: break;
    }
}

void CanController::writeTsr(uint32_t value)
{
    uint32_t tsr = regs().TSR.peek();
    for (unsigned m = 0; m < CAN_TX_MAILBOXES; ++m) {
        if ((value & rqcp(m)) != 0U) {
            tsr &= ~(rqcp(m) | txok(m) | alst(m) | terr(m));
        }
        tsr &= ~(value & (txok(m) | alst(m) | terr(m)));
        if ((value & abrq(m)) != 0U && pending(m)) {
            if (offered_ == static_cast<int>(m) && bus(index_).busy()) {
                tsr |= abrq(m);  // on the wire: decided when the frame ends
            } else {
                tsr = (tsr | rqcp(m) | tme(m)) & ~(txok(m) | abrq(m));
                complete(m);
            }
        }
    }
    regs().TSR.poke(tsr);
    refreshTsr();
    refreshIrqs();
}

void CanController::refreshTsr()
{
    uint32_t tsr = regs().TSR.peek() & ~(CAN_TSR_CODE | CAN_TSR_LOW0 | CAN_TSR_LOW1 | CAN_TSR_LOW2);
    int code = -1;
    unsigned pendingCount = 0;
    int lowest = -1;
    for (unsigned m = 0; m < CAN_TX_MAILBOXES; ++m) {
        if (!pending(m)) {
            if (code < 0) {
                code = static_cast<int>(m);
            }
            continue;
        }
        ++pendingCount;
        if (lowest < 0 || before(static_cast<unsigned>(lowest), m)) {
            lowest = static_cast<int>(m);
        }
    }
    if (code < 0) {
        code = lowest;
    }
    tsr |= static_cast<uint32_t>(code) << CAN_TSR_CODE_Pos;
    if (pendingCount > 1U) {
        tsr |= low(static_cast<unsigned>(lowest));
    }
    regs().TSR.poke(tsr);
}

void CanController::writeRfr(unsigned fifo, uint32_t value)
{
    uint32_t flags = rfr(fifo).peek() & (CAN_RF0R_FULL0 | CAN_RF0R_FOVR0);
    flags &= ~(value & (CAN_RF0R_FULL0 | CAN_RF0R_FOVR0));
    if ((value & CAN_RF0R_RFOM0) != 0U && fifoCount_[fifo] > 0U) {
        for (unsigned i = 1; i < fifoCount_[fifo]; ++i) {
            fifo_[fifo][i - 1] = fifo_[fifo][i];
        }
        --fifoCount_[fifo];
        showHead(fifo);
    }
    rfr(fifo).poke(flags | fifoCount_[fifo]);
    refreshIrqs();
}

void CanController::showHead(unsigned fifo)
{
    if (fifoCount_[fifo] == 0U) {
        return;  // the output mailbox keeps its last content
    }
    const Stored& s = fifo_[fifo][0];
    CAN_FIFOMailBox_TypeDef& mb = regs().sFIFOMailBox[fifo];
    mb.RIR.poke(image32(s.frame));
    mb.RDTR.poke(static_cast<uint32_t>(s.frame.dlc & 0xFU) | (s.fmi << CAN_RDT0R_FMI_Pos) |
                 (static_cast<uint32_t>(s.time) << CAN_RDT0R_TIME_Pos));
    uint32_t lo = 0;
    uint32_t hi = 0;
    for (unsigned i = 0; i < 4; ++i) {
        lo |= static_cast<uint32_t>(s.frame.data[i]) << (8U * i);
        hi |= static_cast<uint32_t>(s.frame.data[4 + i]) << (8U * i);
    }
    if (s.frame.remote) {
        lo = hi = 0;
    }
    mb.RDLR.poke(lo);
    mb.RDHR.poke(hi);
}

void CanController::accept(const CanFrame& frame, uint64_t startNs)
{
    const Match m = match(frame);
    if (!m.found) {
        return;
    }
    const unsigned f = m.fifo;
    const Stored s{frame, m.fmi, static_cast<uint16_t>((startNs / bus(index_).bitTimeNs()) & 0xFFFFU)};
    uint32_t flags = rfr(f).peek() & (CAN_RF0R_FULL0 | CAN_RF0R_FOVR0);
    if (fifoCount_[f] < CAN_RX_FIFO_DEPTH) {
        fifo_[f][fifoCount_[f]++] = s;
        if (fifoCount_[f] == CAN_RX_FIFO_DEPTH) {
            flags |= CAN_RF0R_FULL0;
        }
        if (fifoCount_[f] == 1U) {
            showHead(f);
        }
    } else {
        flags |= CAN_RF0R_FOVR0;
        if ((regs().MCR.peek() & CAN_MCR_RFLM) == 0U) {
            fifo_[f][CAN_RX_FIFO_DEPTH - 1U] = s;  // unlocked: the newest frame replaces the last one
        }
    }
    rfr(f).poke(flags | fifoCount_[f]);
    refreshIrqs();
}

void CanController::refreshIrqs()
{
    static constexpr IRQn_Type kLines[3][4] = {
        {CAN1_TX_IRQn, CAN1_RX0_IRQn, CAN1_RX1_IRQn, CAN1_SCE_IRQn},
        {CAN2_TX_IRQn, CAN2_RX0_IRQn, CAN2_RX1_IRQn, CAN2_SCE_IRQn},
        {CAN3_TX_IRQn, CAN3_RX0_IRQn, CAN3_RX1_IRQn, CAN3_SCE_IRQn},
    };
    const uint32_t ier = regs().IER.peek();
    const uint32_t tsr = regs().TSR.peek();
    const uint32_t msr = regs().MSR.peek();
    const bool tx = (ier & CAN_IER_TMEIE) != 0U && (tsr & (rqcp(0) | rqcp(1) | rqcp(2))) != 0U;
    bool rx[2];
    for (unsigned f = 0; f < 2; ++f) {
        const uint32_t flags = rfr(f).peek();
        const uint32_t shift = 3U * f;  // FMPIE1/FFIE1/FOVIE1 sit three bits above FIFO 0's
        rx[f] = ((ier & (CAN_IER_FMPIE0 << shift)) != 0U && fifoCount_[f] > 0U) ||
                ((ier & (CAN_IER_FFIE0 << shift)) != 0U && (flags & CAN_RF0R_FULL0) != 0U) ||
                ((ier & (CAN_IER_FOVIE0 << shift)) != 0U && (flags & CAN_RF0R_FOVR0) != 0U);
    }
    const bool sce = ((ier & CAN_IER_ERRIE) != 0U && (msr & CAN_MSR_ERRI) != 0U) ||
                     ((ier & CAN_IER_WKUIE) != 0U && (msr & CAN_MSR_WKUI) != 0U) ||
                     ((ier & CAN_IER_SLKIE) != 0U && (msr & CAN_MSR_SLAKI) != 0U);
    setIrqLevel(kLines[index_][0], tx);
    setIrqLevel(kLines[index_][1], rx[0]);
    setIrqLevel(kLines[index_][2], rx[1]);
    setIrqLevel(kLines[index_][3], sce);
}

CanController& controller(unsigned index)
{
    static CanController models[3] = {{"CAN1", 0, RCC_APB1Periph_CAN1},
                                      {"CAN2", 1, RCC_APB1Periph_CAN2},
                                      {"CAN3", 2, RCC_APB1Periph_CAN3}};
    return models[index];
}

}  // namespace can

Peripheral& canModel(unsigned index) { return can::controller(index); }

uint32_t canControllerBitrate(unsigned controllerIndex)
{
    can::checkPort(controllerIndex);
    return can::controller(controllerIndex).bitrate();
}

}  // namespace sim
