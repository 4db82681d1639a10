#pragma once
// How long the node takes from an actuator command to its outputs: from the end of a RawCommand or
// ArrayCommand frame on a bus to the next compare-register write that sets a pulse (a write of 0, which
// only stops the outputs, does not count). With commands on several buses the write is put down to the
// most recent command before it, so the figure is a lower bound there.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/sim/sim.hpp"

namespace sitl {

class CommandLatency {
public:
    CommandLatency();  // listens on all three buses from now on; one at a time
    ~CommandLatency();
    CommandLatency(const CommandLatency&) = delete;
    CommandLatency& operator=(const CommandLatency&) = delete;

    uint64_t maxNs() const { return max_ns_; }
    // The latency that `percent` of the commands did not exceed (0 before any).
    uint64_t percentileNs(unsigned percent) const;

private:
    struct Listener;
    static void onCompare(const TIM_TypeDef* timer, unsigned channel, uint32_t value, uint64_t ns);
    void onCommandEnd(uint64_t ns) { latest_command_ns_ = ns; }

    std::array<std::unique_ptr<Listener>, 3> listeners_;
    uint64_t latest_command_ns_ = UINT64_MAX;  // none waiting for its write
    uint64_t max_ns_ = 0;
    std::vector<uint64_t> latencies_ns_;
};

}  // namespace sitl
