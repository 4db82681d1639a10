#include "sitl/live_clock.hpp"

#include <time.h>

#include <algorithm>
#include <cstdio>

namespace sitl {
namespace {

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double seconds(uint64_t ns) { return static_cast<double>(ns) / 1e9; }

}  // namespace

LiveClock::LiveClock(uint64_t startNs) : virtualStartNs_(startNs), wallStartNs_(monotonicNs()) {}

uint64_t LiveClock::wallNs() const { return virtualStartNs_ + static_cast<uint64_t>(monotonicNs() - wallStartNs_); }

uint64_t LiveClock::lagAt(uint64_t virtualNs) const
{
    const uint64_t wall = wallNs();
    return wall > virtualNs ? wall - virtualNs : 0U;
}

void LiveClock::check(uint64_t virtualNs)
{
    const uint64_t lag = lagAt(virtualNs);
    largestLagNs_ = std::max(largestLagNs_, lag);
    const bool first = reportedLagNs_ == 0U && lag > kLagReportNs;
    if (first || (reportedLagNs_ != 0U && lag >= reportedLagNs_ + kLagStepNs)) {
        reportedLagNs_ = lag;
        std::fprintf(stderr, "endpoint-sitl: the host is not keeping up: virtual time %.3f s behind the wall clock\n",
                     seconds(lag));
    }
}

void LiveClock::finish(uint64_t virtualNs)
{
    if (reportedLagNs_ != 0U) {
        const uint64_t lag = lagAt(virtualNs);
        largestLagNs_ = std::max(largestLagNs_, lag);
        std::fprintf(stderr, "endpoint-sitl: live run ended %.3f s behind the wall clock (at most %.3f s behind)\n",
                     seconds(lag), seconds(largestLagNs_));
    }
}

}  // namespace sitl
