#include "platform/core.hpp"

[[noreturn]] void coreFatalStop(const char*, int)
{
    // BKPT #1 halts under a debugger; without one it escalates to the hard fault, which stops for good.
    __asm volatile("bkpt #1");
    for (;;) {
    }
}

void coreRelax() {}
