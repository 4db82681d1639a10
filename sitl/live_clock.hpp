#pragma once
// Paces virtual time by the wall clock: the node may run until virtual time catches up with the time
// since start, then waits. If the host cannot keep up, it says by how much when virtual time first
// falls kLagReportNs behind, again each time the lag has grown by another kLagStepNs, and at the end.

#include <cstdint>

namespace sitl {

class LiveClock {
public:
    // From virtual time startNs on (the reset path has already let some pass).
    explicit LiveClock(uint64_t startNs);
    // How far virtual time may go now: the start plus the wall time since construction.
    uint64_t wallNs() const;
    // Call after running up to virtualNs: reports a lag beyond kLagReportNs, then each further kLagStepNs.
    void check(uint64_t virtualNs);
    // Call once the live run ends at virtualNs: if it ever fell behind, says how far behind it ends and
    // the largest lag seen.
    void finish(uint64_t virtualNs);

    static constexpr uint64_t kLagReportNs = 100000000;  // 100 ms
    static constexpr uint64_t kLagStepNs = 1000000000;   // 1 s

private:
    uint64_t lagAt(uint64_t virtualNs) const;

    uint64_t virtualStartNs_;
    int64_t wallStartNs_;
    uint64_t reportedLagNs_ = 0;  // the lag last reported; 0: none yet
    uint64_t largestLagNs_ = 0;
};

}  // namespace sitl
