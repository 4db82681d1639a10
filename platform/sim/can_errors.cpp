// The controllers' error states: the transmit and receive error counters with ESR's flags and LEC,
// error-passive suspension, bus-off and its recovery (which a receive line stuck dominant holds up), and the
// fault switches tests use to provoke them.
#include <algorithm>

#include "platform/sim/can_model.hpp"

namespace sim {
namespace can {

void CanController::recoverFromBusOff()
{
    busOff_ = false;
    recoveryAtNs_ = UINT64_MAX;
    tec_ = 0;
    rec_ = 0;
    updateErrorState();
    bus(index_).kick();
}

void CanController::setRxStuckDominant(bool stuck)
{
    if (stuck == rxStuckDominant_) {
        return;
    }
    const bool wasOnBus = onBus();
    rxStuckDominant_ = stuck;
    regs().MSR.poke(stuck ? regs().MSR.peek() & ~CAN_MSR_RX : regs().MSR.peek() | CAN_MSR_RX);
    if (stuck && wasOnBus) {
        // Nothing but dominant bits: the error flags it raises take REC past the error-passive limit within
        // some 130 bit times (8 more for every 8 dominant bits after a flag). It neither sends (it would
        // lose arbitration at its first recessive bit), receives nor acknowledges.
        rec_ = std::max(rec_, 128U);
        setLec(CAN_LEC_STUFF);
        updateErrorState();
    }
    if (!stuck && busOff_ && recoveryAtNs_ != UINT64_MAX) {
        // The 128 x 11 recessive bits of the recovery are counted from now.
        recoveryAtNs_ = nowNs() + kBusOffRecoveryBits * bus(index_).bitTimeNs();
    }
    if (!stuck && onBus()) {
        bus(index_).kick();  // its pending mailboxes contend again
    }
    evaluateMode();
    refreshIrqs();
}

void CanController::forceBusOff()
{
    tec_ = 256U;
    setLec(CAN_LEC_BIT_DOMINANT);
    enterBusOff();
    updateErrorState();
    refreshIrqs();
}

void CanController::setLec(uint32_t lec)
{
    regs().ESR.poke((regs().ESR.peek() & ~CAN_ESR_LEC) | (lec << CAN_ESR_LEC_Pos));
    if (lec != CAN_LEC_NONE && (regs().IER.peek() & CAN_IER_LECIE) != 0U) {
        regs().MSR.poke(regs().MSR.peek() | CAN_MSR_ERRI);
    }
}

void CanController::enterBusOff()
{
    busOff_ = true;
    recoveryAtNs_ = (regs().MCR.peek() & CAN_MCR_ABOM) != 0U
                        ? nowNs() + kBusOffRecoveryBits * bus(index_).bitTimeNs()
                        : UINT64_MAX;
}

void CanController::updateErrorState()
{
    if (tec_ > 255U && !busOff_) {
        enterBusOff();
    }
    const uint32_t old = regs().ESR.peek();
    uint32_t esr = old & CAN_ESR_LEC;
    esr |= std::min<uint32_t>(tec_, 255U) << CAN_ESR_TEC_Pos;
    esr |= std::min<uint32_t>(rec_, 255U) << CAN_ESR_REC_Pos;
    esr |= (tec_ >= 96U || rec_ >= 96U) ? CAN_ESR_EWGF : 0U;
    esr |= (tec_ >= 128U || rec_ >= 128U) ? CAN_ESR_EPVF : 0U;
    esr |= busOff_ ? CAN_ESR_BOFF : 0U;
    regs().ESR.poke(esr);
    const uint32_t raised = esr & ~old;
    const uint32_t ier = regs().IER.peek();
    if (((raised & CAN_ESR_EWGF) != 0U && (ier & CAN_IER_EWGIE) != 0U) ||
        ((raised & CAN_ESR_EPVF) != 0U && (ier & CAN_IER_EPVIE) != 0U) ||
        ((raised & CAN_ESR_BOFF) != 0U && (ier & CAN_IER_BOFIE) != 0U)) {
        regs().MSR.poke(regs().MSR.peek() | CAN_MSR_ERRI);
    }
}

}  // namespace can

void canSetIgnoresModeRequests(unsigned controllerIndex, bool ignore)
{
    can::checkPort(controllerIndex);
    can::controller(controllerIndex).setIgnoresModeRequests(ignore);
}

void canSetRxStuckDominant(unsigned controllerIndex, bool stuck)
{
    can::checkPort(controllerIndex);
    can::controller(controllerIndex).setRxStuckDominant(stuck);
}

void canForceBusOff(unsigned controllerIndex)
{
    can::checkPort(controllerIndex);
    can::controller(controllerIndex).forceBusOff();
}

}  // namespace sim
