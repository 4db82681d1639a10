#include "sitl/live_clock.hpp"

#include <time.h>

#include <cstdio>

namespace sitl {
namespace {

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

LiveClock::LiveClock(uint64_t startNs) : virtualStartNs_(startNs), wallStartNs_(monotonicNs()) {}

uint64_t LiveClock::wallNs() const { return virtualStartNs_ + static_cast<uint64_t>(monotonicNs() - wallStartNs_); }

void LiveClock::check(uint64_t virtualNs)
{
    const uint64_t wall = wallNs();
    if (!reported_ && wall > virtualNs + kLagReportNs) {
        reported_ = true;
        std::fprintf(stderr, "endpoint-sitl: the host is not keeping up: virtual time %.3f s behind the wall clock\n",
                     static_cast<double>(wall - virtualNs) / 1e9);
    }
}

}  // namespace sitl
