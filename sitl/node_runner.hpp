#pragma once
// The whole node on the simulated chip: power it on through the firmware's own reset path, then run the
// task pass by pass while virtual time moves on. Shared by the SITL program and the node tests.
//
// The firmware's RAM is the host process's. Every firmware module puts its state back to its reset value
// in its own start path, as the chip's start-up does from .data and .bss, so the node can be powered on
// again in the same process: after a system reset the firmware requests, or by a test.

#include <cstdint>

#include "sitl/profile.hpp"

namespace sitl {

// Virtual time one pass of the main loop takes on the chip (a few microseconds at 96 MHz).
inline constexpr uint64_t kPassNs = 5000;

// Runs the reset path until the kernel starts the task, then the task's start. The caller resets the
// models first (sim::reset, or sim::powerCycle to keep flash, time and buses) and sets up what the chip
// should find at power-on (unique ID, buses, flash). Stops the process if the kernel never starts the
// node's task.
void powerOn();

// One pass of the main loop, then kPassNs of virtual time. Once the firmware has requested the system
// reset, or while it hangs, the task runs no further pass: only time moves on, interrupts taken.
void pass();

// From virtual time t_ns on, the main loop makes no progress while interrupts go on, until the chip is
// reset (a task that hangs).
void hangFromNs(uint64_t t_ns);

// Passes until virtual time reaches t_ns; a system reset the firmware requests powers the node on again
// on the same flash at that virtual time.
void runUntilNs(uint64_t t_ns);

// What --profile reports of the built-in firmware's run: the passes and the receive overflows it counted.
void profile(Profile* out);

}  // namespace sitl
