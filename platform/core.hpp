#pragma once
// Core services that every chip provides to the firmware: the fatal stop behind every failed assertion,
// the relax hook that busy-waits call, and the few core instructions the firmware needs.

// Stops the node for good. On the chip: breakpoint trap, then the fault path. In the simulator: the file
// and line on stderr, then abort().
[[noreturn]] void coreFatalStop(const char* file, int line);

// Called from every busy-wait loop. A no-op on the chip; in the simulator it lets pending simulated
// interrupts and peripheral models run, so the condition being waited for can come true. In the simulator
// each call also lets one microsecond of virtual time pass, as spinning does on the chip.
void coreRelax();

// Breakpoint instruction. On the chip it halts under a debugger and otherwise escalates to the hard
// fault; the simulator treats it as a fatal stop.
void coreBreakpoint();

// One no-operation instruction (a pause in uncalibrated delay loops).
void coreNop();

// Mask / unmask all interrupts with configurable priority (PRIMASK). The simulator dispatches nothing
// while they are masked.
void coreDisableInterrupts();
void coreEnableInterrupts();
