#pragma once
// The whole node on the simulated chip: power it on through the firmware's own reset path, then run the
// task pass by pass while virtual time moves on. Shared by the SITL program and the node tests.
//
// The firmware's RAM is the host process's: a power-on starts from load-time values only once per
// process. A power cycle is a new process on the same flash (the SITL program with --flash, or a test
// that forks).

#include <cstdint>

#include "sitl/profile.hpp"

namespace sitl {

// Virtual time one pass of the main loop takes on the chip (a few microseconds at 96 MHz).
inline constexpr uint64_t kPassNs = 5000;

// Runs the reset path until the kernel starts the task, then the task's start. The caller resets the
// models first (sim::reset) and sets up what the chip should find at power-on (unique ID, buses, flash).
// Stops the process if the kernel never starts the node's task.
void powerOn();

// One pass of the main loop, then kPassNs of virtual time.
void pass();

// Passes until virtual time reaches t_ns.
void runUntilNs(uint64_t t_ns);

// What --profile reports of the built-in firmware's run: the passes and the receive overflows it counted.
void profile(Profile* out);

}  // namespace sitl
