#pragma once
// Paces virtual time by the wall clock: the node may run until virtual time catches up with the time
// since start, then waits. If the host cannot keep up, it says so once, with the lag, and goes on.

#include <cstdint>

namespace sitl {

class LiveClock {
public:
    LiveClock();
    // Nanoseconds of wall time since construction: how far virtual time may go now.
    uint64_t wallNs() const;
    // Call after running up to virtualNs: reports, once, a lag beyond kLagReportNs.
    void check(uint64_t virtualNs);

    static constexpr uint64_t kLagReportNs = 100000000;  // 100 ms

private:
    int64_t startNs_;
    bool reported_ = false;
};

}  // namespace sitl
