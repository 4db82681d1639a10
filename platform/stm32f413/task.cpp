#include "platform/interface/core.hpp"

// entry in r0, argument in r1, stack_top in r2. Naked, because nothing may be read from the main stack
// once the task's stack is in use.
__attribute__((naked)) void coreStartTask(void (*)(const void*), const void*, void*)
{
    __asm volatile(
        "msr psp, r2\n"
        "movs r3, #2\n"  // thread mode runs on the process stack
        "msr control, r3\n"
        "isb\n"
        "mov r3, r0\n"
        "mov r0, r1\n"
        "blx r3\n"
        "1: b 1b\n");
}
