#include "platform/interface/core.hpp"

[[noreturn]] void coreFatalStop(const char*, int)
{
    // BKPT #1 halts under a debugger; without one it escalates to the hard fault, which stops for good.
    __asm volatile("bkpt #1");
    for (;;) {
    }
}

void coreRelax() {}

void coreBreakpoint() { __asm volatile("bkpt #0"); }

void coreNop() { __asm volatile("nop"); }

void coreDisableInterrupts() { __asm volatile("cpsid i" ::: "memory"); }

void coreEnableInterrupts() { __asm volatile("cpsie i" ::: "memory"); }
