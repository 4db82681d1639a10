#pragma once
// Paces virtual time by the wall clock: the node may run until virtual time catches up with the time
// since start, then waits. If the host cannot keep up, it says so once, with the lag, and goes on.

#include <cstdint>

namespace sitl {

class LiveClock {
public:
    // From virtual time startNs on (the reset path has already let some pass).
    explicit LiveClock(uint64_t startNs);
    // How far virtual time may go now: the start plus the wall time since construction.
    uint64_t wallNs() const;
    // Call after running up to virtualNs: reports, once, a lag beyond kLagReportNs.
    void check(uint64_t virtualNs);

    static constexpr uint64_t kLagReportNs = 100000000;  // 100 ms

private:
    uint64_t virtualStartNs_;
    int64_t wallStartNs_;
    bool reported_ = false;
};

}  // namespace sitl
