// The three virtual buses and their arbitration.
//
// Bus: participants offer frames whenever the bus is idle; the lowest arbitration field wins; a frame
// occupies the bus for its exact bit count (stuff bits included) at the bus bit rate; at its end it is
// acknowledged if any other participant that can decode the bus acknowledges, and is then delivered to
// every other participant. Without acknowledgement the transmitter sees an ACK error and nobody receives.
//
// Simplifications (said here once, for the whole CAN model): a controller whose bit rate (BTR and APB1
// clock) is more than 1 % off the bus rate can neither send, receive nor acknowledge anything there; one
// whose receive line is stuck dominant is off the bus too (the error flags it would drive onto the wire
// are not modelled: the other participants go on); two participants offering the very same arbitration
// field: the one attached first wins (on a wire both would go on and one would see a bit error);
// time-triggered mode and silent loop-back are not modelled.
#include <algorithm>

#include "platform/sim/can_model.hpp"

namespace sim {
namespace can {

void VirtualBus::attachNode(CanParticipant* participant, BusNode* node)
{
    for (const Member& m : members_) {
        if (m.participant == participant) {
            return;  // already on this bus; keep its place
        }
    }
    members_.push_back(Member{participant, node});
    kick();
}

void VirtualBus::detach(CanParticipant* participant)
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

void VirtualBus::reset()
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

uint64_t VirtualBus::nextEventNs() const
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

void VirtualBus::runEvents(uint64_t now)
{
    if (busy_ && endNs_ <= now) {
        finish();
    }
    if (!busy_) {
        kicked_ = false;
        arbitrate(now);
    }
}

void VirtualBus::arbitrate(uint64_t now)
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

bool VirtualBus::anyoneAcknowledges(int sender) const
{
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (static_cast<int>(i) != sender && members_[i].participant->acknowledges()) {
            return true;
        }
    }
    return false;
}

void VirtualBus::finish()
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
    for (const Member& m : members) {
        if (m.node != nullptr) {
            m.node->onFrameEnd();
        }
    }
}

unsigned VirtualBus::stuffedBits(const CanFrame& f)
{
    if (!(f == measured_)) {
        measured_ = f;
        measuredBits_ = stuffedLength(f);
    }
    return measuredBits_;
}

VirtualBus& bus(unsigned port)
{
    static VirtualBus buses[3];
    return buses[port];
}

void checkPort(unsigned port)
{
    if (port > 2U) {
        simFatal("no CAN port %u (0..2)", port);
    }
}

}  // namespace can

using can::bus;

void resetCanBuses()
{
    for (unsigned i = 0; i < 3; ++i) {
        bus(i).reset();
        can::controller(i).clearFaults();  // unlike a power cycle, which keeps a damaged bus damaged
    }
}

CanBus& canBus(unsigned port)
{
    can::checkPort(port);
    ensureModels();
    return bus(port);
}

// ---------------------------------------------------------------------------------------------------------
CanPeer::CanPeer(unsigned port) : port_(port)
{
    can::checkPort(port);
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
