#pragma once
// Core services that every chip provides to the firmware: the fatal stop behind every failed assertion,
// the relax hook that busy-waits call, a delay in microseconds, and the few core instructions the firmware
// needs.

#include <cstdint>

// Stops the node for good, after the fatal-stop hook. On the chip: breakpoint trap, then the fault path. In
// the simulator: the file and line on stderr, then abort().
[[noreturn]] void coreFatalStop(const char* file, int line);

// Called from every busy-wait loop that does not pause in coreDelayUs. A no-op on the chip; in the
// simulator it lets pending simulated interrupts and peripheral models run, so the condition being waited
// for can come true. In the simulator each call also lets one microsecond of virtual time pass, as
// spinning does on the chip.
void coreRelax();

// The step a fatal stop takes before it halts, so that a stopped node leaves its outputs safe. Run by
// coreFatalStop and coreBreakpoint (and so by the fault handlers, which end in it); none set, nothing.
// Its function must touch only registers: it runs in any state.
void coreSetFatalStopHook(void (*hook)());

// Breakpoint instruction, after the fatal-stop hook. On the chip it halts under a debugger and otherwise
// escalates to the hard fault; the simulator treats it as a fatal stop.
void coreBreakpoint();

// Waits at least us microseconds. On the chip a busy loop calibrated from the core clock (longer while
// interrupts take the core); in the simulator that much virtual time passes, interrupts serviced as they
// come due, as coreRelax does for one microsecond.
void coreDelayUs(uint32_t us);

// Requests the system reset (AIRCR.SYSRESETREQ). On the chip it does not return: the core waits for the
// reset to take it. In the simulator the request is recorded (sim::systemResetRequested) and the call
// returns; whoever runs the task then runs no further pass.
void coreSystemReset();

// Starts the image whose vector table is at `vector_table`, as a reset would: SysTick stopped, VTOR, the
// main stack pointer and the reset vector from that table, interrupts unmasked. The bootloader's
// last step. The simulator has no second image to run: a fatal stop.
[[noreturn]] void coreStartImage(uint32_t vector_table);

// Mask / unmask all interrupts with configurable priority (PRIMASK). The simulator dispatches nothing
// while they are masked.
void coreDisableInterrupts();
void coreEnableInterrupts();

// Hands the processor to the kernel's one task. On the chip it runs entry(argument) on the task's own
// stack and never comes back. The simulator records the task and returns control to whoever powered the
// chip on, which from then on runs the task one pass at a time.
[[noreturn]] void coreStartTask(void (*entry)(const void*), const void* argument, void* stack_top);
