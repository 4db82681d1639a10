#include "sitl/backend.hpp"


namespace sitl {
namespace {

// Frames the world may have waiting for the bus; a tool that floods faster than 1 Mbit/s loses the rest.
constexpr std::size_t kInboxLimit = 256;

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

Backend::~Backend()
{
    if (port_ >= 0) {
        sim::canBus(static_cast<unsigned>(port_)).detach(this);
    }
}

void Backend::attach(unsigned port)
{
    port_ = static_cast<int>(port);
    sim::canBus(port).attach(this);
}

std::string Backend::summary() const
{
    std::string text = name_ + ": " + std::to_string(in_) + " frames in, " + std::to_string(out_) + " out";
    for (const auto& [why, count] : drops_) {
        text += "; dropped " + std::to_string(count) + " (" + why + ")";
    }
    return text;
}

uint64_t Backend::dropped(const std::string& why) const
{
    const auto it = drops_.find(why);
    return it == drops_.end() ? 0 : it->second;
}

uint64_t Backend::droppedTotal() const
{
    uint64_t dropped = 0;
    for (const auto& [why, count] : drops_) {
        dropped += count;
    }
    return dropped;
}

void Backend::profile(Profile* out) const
{
    const std::string bus = "can" + std::to_string(port_ + 1);
    out->add(bus + "_frames_in", in_);
    out->add(bus + "_frames_out", out_);
    out->add(bus + "_dropped", droppedTotal());
}

void Backend::deliver(const sim::CanFrame& frame)
{
    if (inbox_.size() >= kInboxLimit) {
        drop("bus busy, queue full");
        return;
    }
    inbox_.push_back(frame);
}

const sim::CanFrame* Backend::offer(uint64_t) { return inbox_.empty() ? nullptr : &inbox_.front(); }

// A frame from the world is due as soon as it is here: the bus takes it when it is next idle.
uint64_t Backend::nextOfferNs() const { return inbox_.empty() ? UINT64_MAX : sim::nowNs(); }

// Unacknowledged (the node's controller not on the bus yet): offered again, as a controller retransmits.
void Backend::onSent(bool acknowledged, uint64_t)
{
    if (acknowledged) {
        inbox_.erase(inbox_.begin());
        ++in_;
    }
}

void Backend::onFrame(const sim::CanFrame& frame, uint64_t)
{
    if (online()) {
        ++out_;
        transmit(frame);
    }
}

std::unique_ptr<Backend> openBackend(const std::string& url, std::string* error)
{
    if (startsWith(url, "mcast:")) {
        const std::string n = url.substr(6);
        if (!n.empty() && n.size() <= 3 && n.find_first_not_of("0123456789") == std::string::npos &&
            std::stoul(n) <= 255) {
            return openMcast(static_cast<unsigned>(std::stoul(n)), error);
        }
        *error = url + ": mcast takes a group number 0..255";
        return nullptr;
    }
    if (url == "slcan:pty") {
        return openSlcanPty("", error);
    }
    if (startsWith(url, "slcan:pty:") && url.size() > 10) {
        return openSlcanPty(url.substr(10), error);
    }
    if (startsWith(url, "socketcan:") && url.size() > 10) {
        return openSocketCan(url.substr(10), error);
    }
    *error = url + ": not a bus (mcast:N, slcan:pty, slcan:pty:PATH, socketcan:IFACE or none)";
    return nullptr;
}

}  // namespace sitl
