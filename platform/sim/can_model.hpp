#pragma once
// Inside the CAN model: what its parts (can_frame.cpp, can_bus.cpp, can_controller.cpp, can_filters.cpp,
// can_errors.cpp) share. Nothing outside them includes it.
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/sim/internal.hpp"

namespace sim::can {

// The frame's bits from SOF to the end of the CRC sequence, stuff bits included.
unsigned stuffedLength(const CanFrame& f);

// After the CRC: delimiter, ACK slot, ACK delimiter, 7 EOF bits, 3 intermission bits.
constexpr unsigned kTailBits = 13;
// After an ACK error: CRC delimiter, ACK slot, 6-bit error flag, 8-bit delimiter, 3 intermission bits.
constexpr unsigned kAckErrorTailBits = 19;
// An error-passive transmitter waits this long more before it sends again.
constexpr unsigned kSuspendBits = 8;
// Bus-off recovery: 128 occurrences of 11 recessive bits.
constexpr unsigned kBusOffRecoveryBits = 128U * 11U;
// A controller joins the bus (leaves initialisation or sleep mode) after 11 consecutive recessive bits.
constexpr unsigned kBusIdleBits = 11;

// ---------------------------------------------------------------------------------------------------------
// What the bus needs from a node's controller beyond the public participant interface.
class BusNode : public CanParticipant {
public:
    // A controller asks for the bus by kicking it when a mailbox is requested, never at a scheduled time.
    uint64_t nextOfferNs() const final { return UINT64_MAX; }
    virtual void onLostArbitration() {}
    virtual int controllerIndex() const { return -1; }
    // Extra time before this node may start again after its frame went unacknowledged.
    virtual unsigned extraBitsAfterFailure() const { return 0; }
    // The node reads its own frame as received (loop-back).
    virtual bool loopsBack() const { return false; }
    virtual void onLoopback(const CanFrame&, uint64_t) {}
    // An unacknowledged frame counts as sent (loop-back ignores the ACK slot).
    virtual bool ignoresAck() const { return false; }
    // The frame on the wire has ended (after its sender and receivers were told), before the next
    // arbitration: what waits for the bus to be idle may go on.
    virtual void onFrameEnd() {}

protected:
    ~BusNode() = default;
};

// One of the three buses: members, arbitration, a frame's time on the wire, delivery and the log.
class VirtualBus final : public CanBus, public Timed {
public:
    VirtualBus() { registerTimed(this); }

    void setConnected(bool connected) override
    {
        connected_ = connected;
        kick();
    }
    bool connected() const override { return connected_; }
    uint32_t bitrate() const override { return bitrate_; }
    void setBitrate(uint32_t bitsPerSecond) override { bitrate_ = bitsPerSecond == 0U ? 1U : bitsPerSecond; }

    void attach(CanParticipant* participant) override
    {
        attachNode(participant, nullptr);
    }
    void attachNode(CanParticipant* participant, BusNode* node);
    void detach(CanParticipant* participant) override;
    bool busy() const override { return busy_; }
    // When the frame on the wire ends (while busy).
    uint64_t frameEndNs() const { return endNs_; }
    const std::vector<CanBusRecord>& log() const override { return log_; }
    void clearLog() override { log_.clear(); }
    void setLogLimit(std::size_t records) override { logLimit_ = records < 2U ? 2U : records; }
    void setRecordObserver(std::function<void(const CanBusRecord&)> observer) override
    {
        observer_ = std::move(observer);
    }
    std::size_t logLimit() const override { return logLimit_; }

    void kick()
    {
        kicked_ = true;
        kickNs_ = nowNs();
    }

    void reset();

    uint64_t bitTimeNs() const { return 1000000000ULL / bitrate_; }

    // canFrameBits, asked when a frame wins the bus and again by its receivers: the last one is kept.
    unsigned frameBits(const CanFrame& f) { return stuffedBits(f) + kTailBits; }

    uint64_t nextEventNs() const override;
    void runEvents(uint64_t now) override;

private:
    struct Member {
        CanParticipant* participant;
        BusNode* node;  // set for the node's own controllers
    };
    void arbitrate(uint64_t now);
    bool anyoneAcknowledges(int sender) const;
    void finish();
    unsigned stuffedBits(const CanFrame& f);
    static constexpr std::size_t kDefaultLogLimit = 100000U;
    std::vector<Member> members_;
    std::size_t logLimit_ = kDefaultLogLimit;
    std::function<void(const CanBusRecord&)> observer_;
    bool connected_ = true;
    uint32_t bitrate_ = 1000000U;
    bool busy_ = false;
    int sender_ = -1;
    bool acked_ = false;
    CanFrame frame_{};
    uint64_t startNs_ = 0;
    uint64_t endNs_ = 0;
    bool kicked_ = false;
    uint64_t kickNs_ = 0;
    std::vector<CanBusRecord> log_;
    std::vector<int> contenders_;  // members offering a frame at the last arbitration
    std::vector<Member> delivery_;  // members_ as the last frame ended
    CanFrame measured_{};
    unsigned measuredBits_ = stuffedLength(measured_);
};

VirtualBus& bus(unsigned port);
// Stops the run for a port other than 0..2.
void checkPort(unsigned port);

// ---------------------------------------------------------------------------------------------------------
constexpr uint32_t kMcrWritable = CAN_MCR_INRQ | CAN_MCR_SLEEP | CAN_MCR_TXFP | CAN_MCR_RFLM | CAN_MCR_NART |
                                  CAN_MCR_AWUM | CAN_MCR_ABOM | CAN_MCR_TTCM | CAN_MCR_DBF;
constexpr uint32_t kBtrWritable = CAN_BTR_BRP | CAN_BTR_TS1 | CAN_BTR_TS2 | CAN_BTR_SJW | CAN_BTR_LBKM | CAN_BTR_SILM;
constexpr uint32_t kFilterPattern = 0xA5A5A5A5U;  // filter banks power up undefined: not zero here either

constexpr uint32_t rqcp(unsigned m) { return CAN_TSR_RQCP0 << (8U * m); }
constexpr uint32_t txok(unsigned m) { return CAN_TSR_TXOK0 << (8U * m); }
constexpr uint32_t alst(unsigned m) { return CAN_TSR_ALST0 << (8U * m); }
constexpr uint32_t terr(unsigned m) { return CAN_TSR_TERR0 << (8U * m); }
constexpr uint32_t abrq(unsigned m) { return CAN_TSR_ABRQ0 << (8U * m); }
constexpr uint32_t tme(unsigned m) { return CAN_TSR_TME0 << m; }
constexpr uint32_t low(unsigned m) { return CAN_TSR_LOW0 << m; }

// The 32-bit filter image of a frame: the RIR layout without bit 0 (can_filters.cpp).
uint32_t image32(const CanFrame& f);

enum class Mode { Sleep, Init, Normal };

// A bxCAN controller: its registers, its part in bus traffic, its filters (can_filters.cpp) and its error
// states (can_errors.cpp).
class CanController final : public Peripheral, public BusNode, public Timed {
public:
    CanController(const char* name, unsigned index, uint32_t enableBit)
        : Peripheral(name, &registers.can[index], sizeof(CAN_TypeDef), apb1Clock(enableBit)), index_(index)
    {
        registerTimed(this);
    }

    // Filter block of this controller (CAN1's for CAN1 and CAN2) and its banks.
    CAN_TypeDef& filterBlock() const { return index_ == 2U ? registers.can[2] : registers.can[0]; }
    bool hasFilterBlock() const { return index_ != 1U; }

    // ---- register access -------------------------------------------------------------------------
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    void reset() override;

    // ---- bus participant -------------------------------------------------------------------------
    const CanFrame* offer(uint64_t) override;
    void onLostArbitration() override;
    void onSent(bool acknowledged, uint64_t) override;
    void onFrame(const CanFrame& frame, uint64_t endNs) override;

    void onLoopback(const CanFrame& frame, uint64_t endNs) override { receive(frame, endNs); }
    void onFrameEnd() override;

    void receive(const CanFrame& frame, uint64_t endNs);

    bool acknowledges() const override { return onBus() && !silent() && !busOff_ && !loopsBack(); }
    int controllerIndex() const override { return static_cast<int>(index_); }
    unsigned extraBitsAfterFailure() const override { return tec_ >= 128U ? kSuspendBits : 0U; }
    bool loopsBack() const override { return (regs().BTR.peek() & CAN_BTR_LBKM) != 0U; }
    bool ignoresAck() const override { return loopsBack(); }

    // ---- timed: a mode change waiting for an idle bus, bus-off recovery (can_errors.cpp) --------------
    uint64_t nextEventNs() const override
    {
        const uint64_t recovery = busOff_ && !rxStuckDominant_ ? recoveryAtNs_ : UINT64_MAX;
        return recovery < modeAtNs_ ? recovery : modeAtNs_;
    }
    void runEvents(uint64_t now) override;

    // ---- fault switches (can_errors.cpp); a power cycle keeps them, sim::reset() clears them ---------
    void setIgnoresModeRequests(bool ignore)
    {
        ignoresModeRequests_ = ignore;
        evaluateMode();
    }
    void setRxStuckDominant(bool stuck);
    void clearFaults()
    {
        ignoresModeRequests_ = false;
        rxStuckDominant_ = false;
    }
    void forceBusOff();
    uint32_t bitrate() const;

private:
    CAN_TypeDef& regs() const { return registers.can[index_]; }

    bool silent() const { return (regs().BTR.peek() & CAN_BTR_SILM) != 0U; }

    bool inSync() const;

    // Taking part in bus traffic: clocked, in normal mode, at the bus's bit rate, seeing the bus.
    bool onBus() const { return clocked() && mode_ == Mode::Normal && inSync() && !rxStuckDominant_; }

    bool pending(unsigned m) const { return (regs().TSR.peek() & tme(m)) == 0U; }

    // Whether mailbox a goes before mailbox b.
    bool before(unsigned a, unsigned b) const;
    CanFrame mailboxFrame(unsigned m) const;

    // The mailbox is empty again: TXRQ drops; the caller sets TME in the status it writes back.
    void complete(unsigned m)
    {
        regs().sTxMailBox[m].TIR.poke(regs().sTxMailBox[m].TIR.peek() & ~CAN_TI0R_TXRQ);
    }

    void resetController();

    // ---- modes -------------------------------------------------------------------------------------
    void writeMcr(uint32_t value);
    // The mode MCR asks for (the present one while it asks for both sleep and initialisation).
    Mode requestedMode() const;
    // Follows MCR: at once, or once the bus allows (modeAtNs_, modeAtFrameEnd_).
    void evaluateMode();
    // A change that waited for the bus is due.
    void modeChangeDue();
    void setMode(Mode mode);

    void writeMsr(uint32_t value)
    {
        const uint32_t cleared = value & (CAN_MSR_ERRI | CAN_MSR_WKUI | CAN_MSR_SLAKI);
        regs().MSR.poke(regs().MSR.peek() & ~cleared);
        refreshIrqs();
    }

    // ---- transmission ------------------------------------------------------------------------------
    void writeMailbox(unsigned m, unsigned reg, uint32_t value);
    void writeTsr(uint32_t value);

    // CODE and LOW follow the mailboxes.
    void refreshTsr();

    // ---- reception ---------------------------------------------------------------------------------
    HwReg32& rfr(unsigned fifo) const { return fifo == 0U ? regs().RF0R : regs().RF1R; }

    void writeRfr(unsigned fifo, uint32_t value);
    void showHead(unsigned fifo);

    struct Match {
        bool found = false;
        unsigned fifo = 0;
        uint32_t fmi = 0;
        int rank = 0;  // 32-bit list 3, 32-bit mask 2, 16-bit list 1, 16-bit mask 0
    };

    // The acceptance filters, as the filter registers say (can_filters.cpp).
    Match match(const CanFrame& frame) const;
    void accept(const CanFrame& frame, uint64_t startNs);

    // ---- errors (can_errors.cpp) --------------------------------------------------------------------
    void setLec(uint32_t lec);
    void enterBusOff();
    void recoverFromBusOff();
    void updateErrorState();

    // ---- interrupt lines ---------------------------------------------------------------------------
    void refreshIrqs();

    // ---- filter registers (can_filters.cpp) ---------------------------------------------------------
    void writeFilter(uint32_t offset, uint32_t value);

    struct Stored {
        CanFrame frame;
        uint32_t fmi;
        uint16_t time;
    };
    unsigned index_;
    Mode mode_ = Mode::Sleep;
    Stored fifo_[2][CAN_RX_FIFO_DEPTH] = {};
    unsigned fifoCount_[2] = {0, 0};
    uint32_t tec_ = 0;
    uint32_t rec_ = 0;
    bool busOff_ = false;
    uint64_t recoveryAtNs_ = UINT64_MAX;
    int offered_ = -1;  // mailbox offered to the bus (and on the wire while the bus is busy)
    CanFrame offerFrame_{};
    uint64_t requestSeq_[CAN_TX_MAILBOXES] = {};
    uint64_t seq_ = 0;
    // A mode change waiting for the bus: for 11 bit times of an idle bus (due then), or for the end of the
    // frame on the wire.
    uint64_t modeAtNs_ = UINT64_MAX;
    bool modeAtFrameEnd_ = false;
    bool ignoresModeRequests_ = false;
    bool rxStuckDominant_ = false;
};

CanController& controller(unsigned index);

}  // namespace sim::can
