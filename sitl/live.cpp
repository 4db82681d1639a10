#include "sitl/live.hpp"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <csignal>

#include "sitl/live_clock.hpp"
#include "platform/sim/sim.hpp"

namespace sitl {
namespace {

// Virtual time run between two looks at the back-ends and the clock: short enough that a frame from the
// world waits no longer on the host than on a busy bus.
constexpr uint64_t kSliceNs = 200000;

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

void catchStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a signal ends the wait at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// Sleeps until any back-end has input or ns have passed.
void wait(const std::vector<std::unique_ptr<Backend>>& backends, uint64_t ns)
{
    std::vector<pollfd> fds;
    for (const auto& b : backends) {
        if (b->pollFd() >= 0) {
            fds.push_back({b->pollFd(), POLLIN, 0});
        }
    }
    const timespec timeout{static_cast<time_t>(ns / 1000000000U), static_cast<long>(ns % 1000000000U)};
    (void)ppoll(fds.data(), fds.size(), &timeout, nullptr);
}

}  // namespace

bool runLive(const std::vector<std::unique_ptr<Backend>>& backends, uint64_t untilNs, const RunUntil& runUntil)
{
    catchStopSignals();
    LiveClock clock(sim::nowNs());
    while (g_stop == 0 && sim::nowNs() < untilNs) {
        for (const auto& b : backends) {
            b->receive();
        }
        const uint64_t wall = std::min(clock.wallNs(), untilNs);
        if (sim::nowNs() < wall) {
            if (!runUntil(std::min(wall, sim::nowNs() + kSliceNs))) {
                clock.finish(sim::nowNs());
                return false;
            }
            clock.check(sim::nowNs());
        } else {
            // A disconnected SLCAN host is looked for again after at most one slice.
            wait(backends, std::min(sim::nowNs() - wall + 1000, kSliceNs));
        }
    }
    clock.finish(sim::nowNs());
    return true;
}

}  // namespace sitl
