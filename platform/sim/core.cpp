#include "platform/interface/core.hpp"

#include <cstdio>
#include <cstdlib>

#include "platform/sim/sim.hpp"

namespace {
void (*fatal_stop_hook)();
}  // namespace

void coreSetFatalStopHook(void (*hook)()) { fatal_stop_hook = hook; }

[[noreturn]] void coreFatalStop(const char* file, int line)
{
    if (fatal_stop_hook != nullptr) {
        fatal_stop_hook();
    }
    std::fprintf(stderr, "fatal stop at %s:%d\n", file != nullptr ? file : "?", line);
    std::abort();
}

void coreRelax() { sim::relax(); }

void coreSystemReset() { NVIC_RequestSystemReset(); }  // the SCB model records it

void coreStartImage(uint32_t) { coreFatalStop(__FILE__, __LINE__); }

void coreBreakpoint()
{
    // Without a debugger the breakpoint instruction ends in the hard fault: the node is stopped.
    if (fatal_stop_hook != nullptr) {
        fatal_stop_hook();
    }
    std::fprintf(stderr, "breakpoint instruction executed\n");
    std::abort();
}

void coreDelayUs(uint32_t us) { sim::relaxUs(us); }

void coreDisableInterrupts() { sim::setInterruptsMasked(true); }

void coreEnableInterrupts() { sim::setInterruptsMasked(false); }
