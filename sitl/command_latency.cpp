#include "sitl/command_latency.hpp"

#include <algorithm>

namespace sitl {

namespace {

constexpr uint32_t kRawCommandId = 1030;
constexpr uint32_t kArrayCommandId = 1010;

CommandLatency* g_active = nullptr;

bool isCommand(const sim::CanFrame& frame)
{
    const uint32_t data_type = (frame.id >> 8) & 0xFFFFU;
    const bool service = (frame.id & 0x80U) != 0U;
    return frame.extended && !service && (data_type == kRawCommandId || data_type == kArrayCommandId);
}

}  // namespace

// A bus participant that only listens (and acknowledges nothing): it sees the commands end.
struct CommandLatency::Listener final : sim::CanParticipant {
    Listener(CommandLatency* owner, unsigned port) : owner_(owner), port_(port) { sim::canBus(port).attach(this); }
    ~Listener() { sim::canBus(port_).detach(this); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const sim::CanFrame* offer(uint64_t) override { return nullptr; }
    void onSent(bool, uint64_t) override {}
    void onFrame(const sim::CanFrame& frame, uint64_t endNs) override
    {
        if (isCommand(frame)) {
            owner_->onCommandEnd(endNs);
        }
    }
    bool acknowledges() const override { return false; }

private:
    CommandLatency* owner_;
    unsigned port_;
};

CommandLatency::CommandLatency()
{
    for (unsigned port = 0; port < listeners_.size(); ++port) {
        listeners_[port] = std::make_unique<Listener>(this, port);
    }
    g_active = this;
    sim::setCompareObserver(onCompare);
}

CommandLatency::~CommandLatency()
{
    sim::setCompareObserver(nullptr);
    g_active = nullptr;
}

void CommandLatency::onCompare(const TIM_TypeDef*, unsigned, uint32_t value, uint64_t ns)
{
    CommandLatency* self = g_active;
    if (self == nullptr || value == 0U || self->latest_command_ns_ == UINT64_MAX || ns < self->latest_command_ns_) {
        return;
    }
    const uint64_t latency = ns - self->latest_command_ns_;
    self->max_ns_ = latency > self->max_ns_ ? latency : self->max_ns_;
    self->latencies_ns_.push_back(latency);
    self->latest_command_ns_ = UINT64_MAX;
}

uint64_t CommandLatency::percentileNs(unsigned percent) const
{
    if (latencies_ns_.empty()) {
        return 0;
    }
    std::vector<uint64_t> sorted = latencies_ns_;
    const std::size_t rank = (sorted.size() - 1U) * percent / 100U;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(rank), sorted.end());
    return sorted[rank];
}

}  // namespace sitl
