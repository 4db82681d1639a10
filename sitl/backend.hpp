#pragma once
// A bus back-end: the world's side of one of the node's virtual buses (a multicast group, an SLCAN
// pseudo-terminal, a SocketCAN interface). It only moves frames: what the world sends is offered on the
// virtual bus like another node's frame; what the node sends goes out once, acknowledged here. How the
// firmware runs and how fast virtual time moves is none of its business.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim.hpp"
#include "sitl/profile.hpp"

namespace sitl {

class Backend : public sim::CanParticipant {
public:
    explicit Backend(std::string name) : name_(std::move(name)) {}
    virtual ~Backend();
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    void attach(unsigned port);

    // Takes whatever the world has sent, without blocking.
    virtual void receive() = 0;
    // A descriptor that becomes readable when the world sends something, or -1 for none now.
    virtual int pollFd() const = 0;

    const std::string& name() const { return name_; }
    // "N in, M out" and every drop count, for the summary at exit.
    std::string summary() const;
    uint64_t dropped(const std::string& why) const;
    uint64_t framesIn() const { return in_; }
    uint64_t framesOut() const { return out_; }
    uint64_t droppedTotal() const;
    // The same figures for --profile: canN_frames_in, canN_frames_out, canN_dropped (all kinds together).
    void profile(Profile* out) const;

    const sim::CanFrame* offer(uint64_t nowNs) override;
    uint64_t nextOfferNs() const override;
    void onSent(bool acknowledged, uint64_t endNs) override;
    void onFrame(const sim::CanFrame& frame, uint64_t endNs) override;
    bool acknowledges() const override { return online(); }

protected:
    // A frame the world sent, for the bus.
    void deliver(const sim::CanFrame& frame);
    void drop(const std::string& why) { ++drops_[why]; }
    // Sends the node's frame to the world.
    virtual void transmit(const sim::CanFrame& frame) = 0;
    // Whether anyone is there to acknowledge (an SLCAN channel that is closed is not on the bus).
    virtual bool online() const { return true; }

private:
    std::string name_;
    std::vector<sim::CanFrame> inbox_;
    std::map<std::string, uint64_t> drops_;
    uint64_t in_ = 0;
    uint64_t out_ = 0;
    int port_ = -1;
};

// The back-end a --canN URL names: mcast:N, slcan:pty, slcan:pty:PATH, socketcan:IFACE; nullptr with a
// reason in *error for anything else. "none" is the caller's: no participant at all.
std::unique_ptr<Backend> openBackend(const std::string& url, std::string* error);

std::unique_ptr<Backend> openMcast(unsigned group, std::string* error);
std::unique_ptr<Backend> openSlcanPty(const std::string& link, std::string* error);
std::unique_ptr<Backend> openSocketCan(const std::string& iface, std::string* error);
// Over a descriptor that already carries struct can_frame records (a raw CAN socket, or a socket pair in
// tests); takes ownership.
std::unique_ptr<Backend> socketCanOnFd(int fd, const std::string& name);

}  // namespace sitl
