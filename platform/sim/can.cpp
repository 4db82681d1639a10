// The three bxCAN controllers and their virtual buses.
//
// Controller: the operating modes with their MCR/MSR handshake (sleep, initialisation, normal, master
// reset), three transmit mailboxes that offer the most urgent pending frame to the bus (identifier order,
// or request order with TXFP), abort requests, automatic retransmission (or one shot with NART), the
// acceptance filters exactly as the filter registers say (CAN1's 28 banks split with CAN2 at CAN2SB, CAN3's
// own 14 banks; mask and list modes at 32- and 16-bit scale; FIFO assignment; filter match index), two
// receive FIFOs of three mailboxes with FMP/FULL/FOVR/RFOM and the RFLM lock, the error counters with
// ESR's flags, LEC and bus-off with its recovery, and the four interrupt lines.
//
// Bus: participants offer frames whenever the bus is idle; the lowest arbitration field wins; a frame
// occupies the bus for its exact bit count (stuff bits included) at the bus bit rate; at its end it is
// acknowledged if any other participant that can decode the bus acknowledges, and is then delivered to
// every other participant. Without acknowledgement the transmitter sees an ACK error and nobody receives.
//
// Simplifications (said here once): mode changes and the 11-recessive-bit synchronisation take no time;
// a controller whose bit rate (BTR and APB1 clock) is more than 1 % off the bus rate can neither send,
// receive nor acknowledge anything there; two participants offering the very same arbitration field: the
// one attached first wins (on a wire both would go on and one would see a bit error); time-triggered mode
// and silent loop-back are not modelled.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "platform/sim/internal.hpp"

namespace sim {

// ---------------------------------------------------------------------------------------------------------
// Frames
bool CanFrame::operator==(const CanFrame& other) const
{
    return id == other.id && extended == other.extended && remote == other.remote && dlc == other.dlc &&
           (remote || std::memcmp(data, other.data, dataBytes()) == 0);
}

CanFrame CanFrame::standard(uint32_t id, std::initializer_list<uint8_t> bytes)
{
    CanFrame f;
    f.id = id & 0x7FFU;
    f.dlc = static_cast<uint8_t>(std::min<std::size_t>(bytes.size(), 8U));
    std::copy_n(bytes.begin(), f.dlc, f.data);
    return f;
}

CanFrame CanFrame::extendedFrame(uint32_t id, std::initializer_list<uint8_t> bytes)
{
    CanFrame f = standard(0, bytes);
    f.id = id & 0x1FFFFFFFU;
    f.extended = true;
    return f;
}

CanFrame CanFrame::remoteFrame(uint32_t id, bool extended, uint8_t dlc)
{
    CanFrame f;
    f.id = id & (extended ? 0x1FFFFFFFU : 0x7FFU);
    f.extended = extended;
    f.remote = true;
    f.dlc = static_cast<uint8_t>(dlc & 0xFU);
    return f;
}

uint64_t canArbitrationKey(const CanFrame& f)
{
    // 11 base bits, then (standard) RTR, IDE=0 or (extended) SRR=1, IDE=1, 18 bits, RTR. 0 is dominant.
    uint64_t key = 0;
    if (f.extended) {
        key = (static_cast<uint64_t>(f.id >> 18) << 21) | (1ULL << 20) | (1ULL << 19) |
              (static_cast<uint64_t>(f.id & 0x3FFFFU) << 1) | (f.remote ? 1U : 0U);
    } else {
        key = (static_cast<uint64_t>(f.id & 0x7FFU) << 21) | (f.remote ? (1ULL << 20) : 0U);
    }
    return key;
}

namespace {

// A frame's bits, the first one most significant (at most 118 from SOF to the end of the CRC).
struct BitString {
    unsigned __int128 bits = 0;
    unsigned count = 0;
    void put(uint32_t value, unsigned width)
    {
        bits = (bits << width) | (value & ((1U << width) - 1U));
        count += width;
    }
    // `width` (at most 8) bits from bit `from` on.
    uint32_t take(unsigned from, unsigned width) const
    {
        return static_cast<uint32_t>(bits >> (count - from - width)) & ((1U << width) - 1U);
    }
};

// Every frame on a virtual bus is measured: the CRC and the stuffing walk the bits eight at a time.
constexpr uint32_t kCrcPolynomial = 0x4599U;

constexpr uint32_t crcStep(uint32_t crc, uint32_t bit)
{
    const uint32_t next = bit ^ ((crc >> 14) & 1U);
    crc = (crc << 1) & 0x7FFFU;
    return next != 0U ? crc ^ kCrcPolynomial : crc;
}

// The CRC register after eight bits, by its top eight bits xor those eight bits.
constexpr std::array<uint16_t, 256> kCrcAfterByte = [] {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256U; ++i) {
        uint32_t crc = i << 7;
        for (int b = 0; b < 8; ++b) {
            crc = crcStep(crc, 0);
        }
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}();

// Stuffing state: the last bit on the wire << 2 | the number of equal bits ending there - 1 (1..4: the
// fifth is followed by a stuff bit of the other value, which starts a new run).
constexpr unsigned stuffStep(unsigned state, uint32_t bit, unsigned* stuffBits)
{
    const unsigned last = state >> 2;
    const unsigned run = (state & 3U) + 1U;
    if (bit != last) {
        return bit << 2;
    }
    if (run + 1U < 5U) {
        return (last << 2) | run;
    }
    ++*stuffBits;
    return (last ^ 1U) << 2;
}

// By state and byte: the stuff bits the byte brings << 3 | the state after it.
constexpr std::array<std::array<uint8_t, 256>, 8> kStuffAfterByte = [] {
    std::array<std::array<uint8_t, 256>, 8> table{};
    for (unsigned state = 0; state < 8U; ++state) {
        for (uint32_t byte = 0; byte < 256U; ++byte) {
            unsigned stuffBits = 0;
            unsigned after = state;
            for (unsigned b = 8; b-- > 0;) {
                after = stuffStep(after, (byte >> b) & 1U, &stuffBits);
            }
            table[state][byte] = static_cast<uint8_t>((stuffBits << 3) | after);
        }
    }
    return table;
}();

// Bits from SOF to the end of the CRC sequence, before stuffing.
BitString frameBits(const CanFrame& f)
{
    BitString w;
    w.put(0, 1);  // SOF
    if (f.extended) {
        w.put(f.id >> 18, 11);
        w.put(1, 1);  // SRR
        w.put(1, 1);  // IDE
        w.put(f.id & 0x3FFFFU, 18);
        w.put(f.remote ? 1U : 0U, 1);
        w.put(0, 2);  // r1, r0
    } else {
        w.put(f.id & 0x7FFU, 11);
        w.put(f.remote ? 1U : 0U, 1);
        w.put(0, 2);  // IDE, r0
    }
    w.put(f.dlc & 0xFU, 4);
    if (!f.remote) {
        for (unsigned i = 0; i < f.dataBytes(); ++i) {
            w.put(f.data[i], 8);
        }
    }
    uint32_t crc = 0;
    const unsigned lead = w.count % 8U;
    for (unsigned i = 0; i < lead; ++i) {
        crc = crcStep(crc, w.take(i, 1));
    }
    for (unsigned i = lead; i < w.count; i += 8U) {
        crc = ((crc << 8) ^ kCrcAfterByte[((crc >> 7) ^ w.take(i, 8)) & 0xFFU]) & 0x7FFFU;
    }
    w.put(crc, 15);
    return w;
}

unsigned stuffedLength(const CanFrame& f)
{
    const BitString w = frameBits(f);
    unsigned stuffBits = 0;
    unsigned state = 0;  // after SOF: a dominant bit, a run of one
    const unsigned lead = 1U + (w.count - 1U) % 8U;
    for (unsigned i = 1; i < lead; ++i) {
        state = stuffStep(state, w.take(i, 1), &stuffBits);
    }
    for (unsigned i = lead; i < w.count; i += 8U) {
        const uint8_t after = kStuffAfterByte[state][w.take(i, 8)];
        stuffBits += after >> 3;
        state = after & 7U;
    }
    return w.count + stuffBits;
}

// After the CRC: delimiter, ACK slot, ACK delimiter, 7 EOF bits, 3 intermission bits.
constexpr unsigned kTailBits = 13;
// After an ACK error: CRC delimiter, ACK slot, 6-bit error flag, 8-bit delimiter, 3 intermission bits.
constexpr unsigned kAckErrorTailBits = 19;
// An error-passive transmitter waits this long more before it sends again.
constexpr unsigned kSuspendBits = 8;
// Bus-off recovery: 128 occurrences of 11 recessive bits.
constexpr unsigned kBusOffRecoveryBits = 128U * 11U;

}  // namespace

unsigned canFrameBits(const CanFrame& frame) { return stuffedLength(frame) + kTailBits; }

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

protected:
    ~BusNode() = default;
};

namespace {

class PeerNode;

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
    void attachNode(CanParticipant* participant, BusNode* node)
    {
        for (const Member& m : members_) {
            if (m.participant == participant) {
                return;  // already on this bus; keep its place
            }
        }
        members_.push_back(Member{participant, node});
        kick();
    }
    void detach(CanParticipant* participant) override
    {
        for (std::size_t i = 0; i < members_.size(); ++i) {
            if (members_[i].participant == participant) {
                if (busy_ && sender_ == static_cast<int>(i)) {
                    sender_ = -1;  // its frame still ends, but nobody is told
                } else if (busy_ && sender_ > static_cast<int>(i)) {
                    --sender_;
                }
                members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
        }
    }
    bool busy() const override { return busy_; }
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

    void reset()
    {
        connected_ = true;
        bitrate_ = 1000000U;
        logLimit_ = kDefaultLogLimit;
        busy_ = false;
        sender_ = -1;
        kicked_ = false;
        log_.clear();
        observer_ = nullptr;
    }

    uint64_t bitTimeNs() const { return 1000000000ULL / bitrate_; }

    // canFrameBits, asked when a frame wins the bus and again by its receivers: the last one is kept.
    unsigned frameBits(const CanFrame& f) { return stuffedBits(f) + kTailBits; }

    uint64_t nextEventNs() const override
    {
        if (busy_) {
            return endNs_;
        }
        uint64_t next = kicked_ ? kickNs_ : UINT64_MAX;
        for (const Member& m : members_) {
            if (m.node == nullptr) {  // the node's controllers kick the bus instead
                next = std::min(next, m.participant->nextOfferNs());
            }
        }
        return next;
    }

    void runEvents(uint64_t now) override
    {
        if (busy_ && endNs_ <= now) {
            finish();
        }
        if (!busy_) {
            kicked_ = false;
            arbitrate(now);
        }
    }

private:
    struct Member {
        CanParticipant* participant;
        BusNode* node;  // set for the node's own controllers
    };

    void arbitrate(uint64_t now)
    {
        int winner = -1;
        uint64_t best = UINT64_MAX;
        contenders_.clear();
        for (std::size_t i = 0; i < members_.size(); ++i) {
            const CanFrame* f = members_[i].participant->offer(now);
            if (f == nullptr) {
                continue;
            }
            contenders_.push_back(static_cast<int>(i));
            const uint64_t key = canArbitrationKey(*f);
            if (key < best) {
                best = key;
                winner = static_cast<int>(i);
                frame_ = *f;
            }
        }
        if (winner < 0) {
            return;
        }
        for (int i : contenders_) {
            if (i != winner && members_[static_cast<std::size_t>(i)].node != nullptr) {
                members_[static_cast<std::size_t>(i)].node->onLostArbitration();
            }
        }
        busy_ = true;
        sender_ = winner;
        startNs_ = now;
        const Member& m = members_[static_cast<std::size_t>(winner)];
        // Whether anybody acknowledges is known at the ACK slot; the length depends on it.
        acked_ = connected_ && anyoneAcknowledges(winner);
        const bool succeeds = acked_ || (m.node != nullptr && m.node->ignoresAck());
        unsigned bits = succeeds ? frameBits(frame_) : stuffedBits(frame_) + kAckErrorTailBits;
        if (!succeeds && m.node != nullptr) {
            bits += m.node->extraBitsAfterFailure();
        }
        endNs_ = now + bits * bitTimeNs();
    }

    bool anyoneAcknowledges(int sender) const
    {
        for (std::size_t i = 0; i < members_.size(); ++i) {
            if (static_cast<int>(i) != sender && members_[i].participant->acknowledges()) {
                return true;
            }
        }
        return false;
    }

    void finish()
    {
        busy_ = false;
        kicked_ = true;
        kickNs_ = endNs_;
        const int sender = sender_;
        sender_ = -1;
        BusNode* senderNode = sender >= 0 ? members_[static_cast<std::size_t>(sender)].node : nullptr;
        if (log_.size() >= logLimit_) {
            log_.erase(log_.begin(), log_.begin() + static_cast<std::ptrdiff_t>(log_.size() / 2U));
        }
        log_.push_back(CanBusRecord{frame_, startNs_, endNs_, senderNode != nullptr ? senderNode->controllerIndex() : -1,
                                    acked_});
        if (observer_) {
            observer_(log_.back());
        }
        // Copy: callbacks may attach or detach participants. (A bus finishes no frame inside a callback
        // of its own, so one buffer serves every frame.)
        delivery_ = members_;
        const std::vector<Member>& members = delivery_;
        if (acked_) {
            for (std::size_t i = 0; i < members.size(); ++i) {
                if (static_cast<int>(i) != sender) {
                    members[i].participant->onFrame(frame_, endNs_);
                }
            }
        }
        if (sender >= 0) {
            if (senderNode != nullptr && senderNode->loopsBack()) {
                senderNode->onLoopback(frame_, endNs_);
            }
            members[static_cast<std::size_t>(sender)].participant->onSent(
                acked_ || (senderNode != nullptr && senderNode->ignoresAck()), endNs_);
        }
    }

    unsigned stuffedBits(const CanFrame& f)
    {
        if (!(f == measured_)) {
            measured_ = f;
            measuredBits_ = stuffedLength(f);
        }
        return measuredBits_;
    }

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

VirtualBus& bus(unsigned port)
{
    static VirtualBus buses[3];
    return buses[port];
}

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

// The 32-bit filter image of a frame: the RIR layout without bit 0.
uint32_t image32(const CanFrame& f)
{
    const uint32_t idBits = f.extended ? ((f.id & 0x1FFFFFFFU) << 3) | CAN_RI0R_IDE : (f.id & 0x7FFU) << 21;
    return idBits | (f.remote ? CAN_RI0R_RTR : 0U);
}

// The 16-bit filter image: STID[10:0] RTR IDE EXID[17:15].
uint32_t image16(const CanFrame& f)
{
    const uint32_t stid = f.extended ? (f.id >> 18) & 0x7FFU : f.id & 0x7FFU;
    const uint32_t exidTop = f.extended ? (f.id >> 15) & 7U : 0U;
    return (stid << 5) | (f.remote ? 0x10U : 0U) | (f.extended ? 0x08U : 0U) | exidTop;
}

enum class Mode { Sleep, Init, Normal };

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
    uint32_t read(uint32_t offset, unsigned width) override
    {
        if (offset >= offsetof(CAN_TypeDef, FMR) && !hasFilterBlock()) {
            return 0;  // CAN2 has no filter registers of its own
        }
        return stored(offset, width);
    }

    void write(uint32_t offset, uint32_t value, unsigned width) override
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

    void reset() override
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
        ignoresModeRequests_ = false;
        rxStuckDominant_ = false;
        bus(index_).attachNode(this, this);
    }

    // ---- bus participant -------------------------------------------------------------------------
    const CanFrame* offer(uint64_t) override
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

    void onLostArbitration() override
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
        evaluateMode();
        refreshTsr();
        refreshIrqs();
    }

    void onSent(bool acknowledged, uint64_t) override
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
        evaluateMode();  // a mode request made during the frame takes effect now
        refreshTsr();
        refreshIrqs();
    }

    void onFrame(const CanFrame& frame, uint64_t endNs) override
    {
        if (mode_ == Mode::Sleep && (regs().MCR.peek() & CAN_MCR_AWUM) != 0U && clocked() && inSync()) {
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

    void onLoopback(const CanFrame& frame, uint64_t endNs) override { receive(frame, endNs); }

    void receive(const CanFrame& frame, uint64_t endNs)
    {
        setLec(CAN_LEC_NONE);
        if (rec_ > 0U) {
            --rec_;
        }
        updateErrorState();
        accept(frame, endNs - bus(index_).frameBits(frame) * bus(index_).bitTimeNs());
    }

    bool acknowledges() const override { return onBus() && !silent() && !busOff_ && !loopsBack(); }
    int controllerIndex() const override { return static_cast<int>(index_); }
    unsigned extraBitsAfterFailure() const override { return tec_ >= 128U ? kSuspendBits : 0U; }
    bool loopsBack() const override { return (regs().BTR.peek() & CAN_BTR_LBKM) != 0U; }
    bool ignoresAck() const override { return loopsBack(); }

    // ---- bus-off recovery ------------------------------------------------------------------------
    uint64_t nextEventNs() const override { return busOff_ ? recoveryAtNs_ : UINT64_MAX; }
    void runEvents(uint64_t now) override
    {
        if (busOff_ && recoveryAtNs_ <= now) {
            busOff_ = false;
            recoveryAtNs_ = UINT64_MAX;
            tec_ = 0;
            rec_ = 0;
            updateErrorState();
            bus(index_).kick();
        }
    }

    // ---- fault switches --------------------------------------------------------------------------
    void setIgnoresModeRequests(bool ignore) { ignoresModeRequests_ = ignore; }
    void setRxStuckDominant(bool stuck)
    {
        rxStuckDominant_ = stuck;
        regs().MSR.poke(stuck ? regs().MSR.peek() & ~CAN_MSR_RX : regs().MSR.peek() | CAN_MSR_RX);
        evaluateMode();
    }
    void forceBusOff()
    {
        tec_ = 256U;
        setLec(CAN_LEC_BIT_DOMINANT);
        enterBusOff();
        updateErrorState();
        refreshIrqs();
    }

    uint32_t bitrate() const
    {
        const uint32_t btr = regs().BTR.peek();
        const uint64_t brp = (btr & CAN_BTR_BRP) + 1U;
        const uint64_t quanta = 1U + ((btr & CAN_BTR_TS1) >> CAN_BTR_TS1_Pos) + 1U +
                                ((btr & CAN_BTR_TS2) >> CAN_BTR_TS2_Pos) + 1U;
        return static_cast<uint32_t>(clocks().pclk1 / (brp * quanta));
    }

private:
    CAN_TypeDef& regs() const { return registers.can[index_]; }

    bool silent() const { return (regs().BTR.peek() & CAN_BTR_SILM) != 0U; }

    bool inSync() const
    {
        const uint64_t mine = bitrate();
        const uint64_t wire = bus(index_).bitrate();
        const uint64_t diff = mine > wire ? mine - wire : wire - mine;
        return diff * 100U <= wire;
    }

    // Taking part in bus traffic: clocked, in normal mode, at the bus's bit rate.
    bool onBus() const { return clocked() && mode_ == Mode::Normal && inSync(); }

    bool pending(unsigned m) const { return (regs().TSR.peek() & tme(m)) == 0U; }

    // Whether mailbox a goes before mailbox b.
    bool before(unsigned a, unsigned b) const
    {
        if ((regs().MCR.peek() & CAN_MCR_TXFP) != 0U) {
            return requestSeq_[a] < requestSeq_[b];
        }
        const uint64_t ka = canArbitrationKey(mailboxFrame(a));
        const uint64_t kb = canArbitrationKey(mailboxFrame(b));
        return ka < kb || (ka == kb && a < b);
    }

    CanFrame mailboxFrame(unsigned m) const
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

    // The mailbox is empty again: TXRQ drops; the caller sets TME in the status it writes back.
    void complete(unsigned m)
    {
        regs().sTxMailBox[m].TIR.poke(regs().sTxMailBox[m].TIR.peek() & ~CAN_TI0R_TXRQ);
    }

    void resetController()
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
        if (rxStuckDominant_) {
            c.MSR.poke(c.MSR.peek() & ~CAN_MSR_RX);
        }
        refreshTsr();
        refreshIrqs();
    }

    // ---- modes -------------------------------------------------------------------------------------
    void writeMcr(uint32_t value)
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

    void evaluateMode()
    {
        if (ignoresModeRequests_ || offered_ >= 0) {
            return;  // never acknowledges, or waits for its frame on the wire to end
        }
        const uint32_t mcr = regs().MCR.peek();
        const bool inrq = (mcr & CAN_MCR_INRQ) != 0U;
        const bool sleep = (mcr & CAN_MCR_SLEEP) != 0U;
        const bool sync = !rxStuckDominant_;  // 11 recessive bits can be seen
        const Mode old = mode_;
        if (inrq && !sleep) {
            mode_ = Mode::Init;
        } else if (inrq && sleep) {
            // Both requested: stay where the last consistent request put it.
        } else if (sleep) {
            mode_ = Mode::Sleep;
        } else if (sync) {
            mode_ = Mode::Normal;
        }
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

    void writeMsr(uint32_t value)
    {
        const uint32_t cleared = value & (CAN_MSR_ERRI | CAN_MSR_WKUI | CAN_MSR_SLAKI);
        regs().MSR.poke(regs().MSR.peek() & ~cleared);
        refreshIrqs();
    }

    // ---- transmission ------------------------------------------------------------------------------
    void writeMailbox(unsigned m, unsigned reg, uint32_t value)
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

    void writeTsr(uint32_t value)
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

    // CODE and LOW follow the mailboxes.
    void refreshTsr()
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

    // ---- reception ---------------------------------------------------------------------------------
    HwReg32& rfr(unsigned fifo) const { return fifo == 0U ? regs().RF0R : regs().RF1R; }

    void writeRfr(unsigned fifo, uint32_t value)
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

    void showHead(unsigned fifo)
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

    struct Match {
        bool found = false;
        unsigned fifo = 0;
        uint32_t fmi = 0;
        int rank = 0;  // 32-bit list 3, 32-bit mask 2, 16-bit list 1, 16-bit mask 0
    };

    // The acceptance filters, as the filter registers say.
    Match match(const CanFrame& frame) const
    {
        Match best;
        const CAN_TypeDef& fb = filterBlock();
        if ((fb.FMR.peek() & CAN_FMR_FINIT) != 0U) {
            return best;  // filters in initialisation mode: nothing is accepted
        }
        if (index_ == 1U && !apb1Enabled(RCC_APB1Periph_CAN1)) {
            return best;  // CAN2's filters live in CAN1
        }
        unsigned first = 0;
        unsigned end = CAN3_FILTER_BANKS;
        if (index_ != 2U) {
            const unsigned split = std::min((fb.FMR.peek() & CAN_FMR_CAN2SB) >> CAN_FMR_CAN2SB_Pos, CAN_FILTER_BANKS);
            first = index_ == 0U ? 0U : split;
            end = index_ == 0U ? split : CAN_FILTER_BANKS;
        }
        const uint32_t fm1r = fb.FM1R.peek();
        const uint32_t fs1r = fb.FS1R.peek();
        const uint32_t ffa1r = fb.FFA1R.peek();
        const uint32_t banks = ((1U << end) - 1U) & ~((1U << first) - 1U);
        const uint32_t i32 = image32(frame);
        const uint32_t i16 = image16(frame);
        // Only the active banks can match; the filter numbers count the inactive ones too.
        for (uint32_t rest = fb.FA1R.peek() & banks; rest != 0U; rest &= rest - 1U) {
            const auto b = static_cast<unsigned>(std::countr_zero(rest));
            const uint32_t bit = 1U << b;
            const bool list = (fm1r & bit) != 0U;
            const bool wide = (fs1r & bit) != 0U;
            const uint32_t fr1 = fb.sFilterRegister[b].FR1.peek();
            const uint32_t fr2 = fb.sFilterRegister[b].FR2.peek();
            int hit = -1;  // index of the matching filter within the bank
            if (wide && !list) {
                hit = ((i32 ^ fr1) & fr2 & ~1U) == 0U ? 0 : -1;
            } else if (wide) {
                hit = ((i32 ^ fr1) & ~1U) == 0U ? 0 : (((i32 ^ fr2) & ~1U) == 0U ? 1 : -1);
            } else if (!list) {
                const uint32_t ids[2] = {fr1 & 0xFFFFU, fr2 & 0xFFFFU};
                const uint32_t masks[2] = {fr1 >> 16, fr2 >> 16};
                for (int k = 0; k < 2 && hit < 0; ++k) {
                    hit = ((i16 ^ ids[k]) & masks[k]) == 0U ? k : -1;
                }
            } else {
                const uint32_t ids[4] = {fr1 & 0xFFFFU, fr1 >> 16, fr2 & 0xFFFFU, fr2 >> 16};
                for (int k = 0; k < 4 && hit < 0; ++k) {
                    hit = i16 == ids[k] ? k : -1;
                }
            }
            if (hit < 0) {
                continue;
            }
            // 32-bit before 16-bit, list before mask, then the lower number (bank order).
            const int rank = (wide ? 2 : 0) + (list ? 1 : 0);
            if (!best.found || rank > best.rank) {
                const unsigned fifo = (ffa1r & bit) != 0U ? 1U : 0U;
                // The filters of this FIFO in the banks below: two 32-bit ids or masks, four 16-bit ids,
                // two 16-bit masks, or one 32-bit mask per bank.
                const uint32_t below = banks & (bit - 1U) & (fifo == 1U ? ffa1r : ~ffa1r);
                const auto count = [below](uint32_t kind) { return static_cast<uint32_t>(std::popcount(below & kind)); };
                best.found = true;
                best.rank = rank;
                best.fifo = fifo;
                best.fmi = 2U * count(fs1r & fm1r) + count(fs1r & ~fm1r) + 4U * count(~fs1r & fm1r) +
                           2U * count(~fs1r & ~fm1r) + static_cast<uint32_t>(hit);
            }
        }
        return best;
    }

    void accept(const CanFrame& frame, uint64_t startNs)
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

    // ---- errors ------------------------------------------------------------------------------------
    void setLec(uint32_t lec)
    {
        regs().ESR.poke((regs().ESR.peek() & ~CAN_ESR_LEC) | (lec << CAN_ESR_LEC_Pos));
        if (lec != CAN_LEC_NONE && (regs().IER.peek() & CAN_IER_LECIE) != 0U) {
            regs().MSR.poke(regs().MSR.peek() | CAN_MSR_ERRI);
        }
    }

    void enterBusOff()
    {
        busOff_ = true;
        recoveryAtNs_ = (regs().MCR.peek() & CAN_MCR_ABOM) != 0U
                            ? nowNs() + kBusOffRecoveryBits * bus(index_).bitTimeNs()
                            : UINT64_MAX;
    }

    void updateErrorState()
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

    // ---- interrupt lines ---------------------------------------------------------------------------
    void refreshIrqs()
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

    // ---- filter registers --------------------------------------------------------------------------
    void writeFilter(uint32_t offset, uint32_t value)
    {
        CAN_TypeDef& c = regs();
        const bool finit = (c.FMR.peek() & CAN_FMR_FINIT) != 0U;
        if (offset == offsetof(CAN_TypeDef, FMR)) {
            uint32_t fmr = (c.FMR.peek() & ~(CAN_FMR_FINIT)) | (value & CAN_FMR_FINIT);
            if (finit || (value & CAN_FMR_FINIT) != 0U) {
                fmr = (fmr & ~CAN_FMR_CAN2SB) | (value & CAN_FMR_CAN2SB);
            }
            c.FMR.poke(fmr);
            return;
        }
        constexpr uint32_t kBanks = (1U << CAN_FILTER_BANKS) - 1U;
        if (offset == offsetof(CAN_TypeDef, FA1R)) {
            c.FA1R.poke(value & kBanks);
            return;
        }
        if (offset == offsetof(CAN_TypeDef, FM1R) || offset == offsetof(CAN_TypeDef, FS1R) ||
            offset == offsetof(CAN_TypeDef, FFA1R)) {
            if (finit) {  // mode, scale and FIFO assignment change only in filter initialisation mode
                store(offset, value & kBanks, 4);
            }
            return;
        }
        if (offset >= offsetof(CAN_TypeDef, sFilterRegister)) {
            const auto bank = static_cast<uint32_t>((offset - offsetof(CAN_TypeDef, sFilterRegister)) / 8U);
            // A bank's registers change only while it is inactive or in filter initialisation mode.
            if (bank < CAN_FILTER_BANKS && (finit || (c.FA1R.peek() & (1U << bank)) == 0U)) {
                store(offset, value, 4);
            }
        }
    }

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
    bool ignoresModeRequests_ = false;
    bool rxStuckDominant_ = false;
};

CanController& controller(unsigned index)
{
    static CanController models[3] = {{"CAN1", 0, RCC_APB1Periph_CAN1},
                                      {"CAN2", 1, RCC_APB1Periph_CAN2},
                                      {"CAN3", 2, RCC_APB1Periph_CAN3}};
    return models[index];
}

void checkPort(unsigned port)
{
    if (port > 2U) {
        simFatal("no CAN port %u (0..2)", port);
    }
}

}  // namespace

Peripheral& canModel(unsigned index) { return controller(index); }

void resetCanBuses()
{
    for (unsigned i = 0; i < 3; ++i) {
        bus(i).reset();
    }
}

CanBus& canBus(unsigned port)
{
    checkPort(port);
    ensureModels();
    return bus(port);
}

void canSetIgnoresModeRequests(unsigned controllerIndex, bool ignore)
{
    checkPort(controllerIndex);
    controller(controllerIndex).setIgnoresModeRequests(ignore);
}

void canSetRxStuckDominant(unsigned controllerIndex, bool stuck)
{
    checkPort(controllerIndex);
    controller(controllerIndex).setRxStuckDominant(stuck);
}

void canForceBusOff(unsigned controllerIndex)
{
    checkPort(controllerIndex);
    controller(controllerIndex).forceBusOff();
}

uint32_t canControllerBitrate(unsigned controllerIndex)
{
    checkPort(controllerIndex);
    return controller(controllerIndex).bitrate();
}

// ---------------------------------------------------------------------------------------------------------
CanPeer::CanPeer(unsigned port) : port_(port)
{
    checkPort(port);
    canBus(port).attach(this);
}

CanPeer::~CanPeer() { bus(port_).detach(this); }

void CanPeer::send(const CanFrame& frame) { sendAt(nowNs(), frame); }

void CanPeer::sendAt(uint64_t atNs, const CanFrame& frame)
{
    queue_.push_back(Queued{frame, atNs});
    bus(port_).kick();
}

const CanFrame* CanPeer::offer(uint64_t nowNs)
{
    if (queue_.empty() || queue_.front().atNs > nowNs) {
        return nullptr;
    }
    current_ = queue_.front().frame;
    return &current_;
}

uint64_t CanPeer::nextOfferNs() const
{
    // While the bus is busy it looks at the end of the frame instead; when idle, a due frame starts now.
    return queue_.empty() ? UINT64_MAX : queue_.front().atNs;
}

void CanPeer::onSent(bool acknowledged, uint64_t endNs)
{
    if (queue_.empty()) {
        return;
    }
    sent.push_back(CanBusRecord{queue_.front().frame, 0, endNs, -1, acknowledged});
    if (acknowledged) {
        queue_.pop_front();
    }
}

void CanPeer::onFrame(const CanFrame& frame, uint64_t endNs) { received.push_back(Received{frame, endNs}); }

}  // namespace sim
