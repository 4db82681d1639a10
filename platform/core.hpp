#pragma once
// Core services that every chip provides to the firmware: the fatal stop behind every failed assertion,
// and the relax hook that busy-waits call.

// Stops the node for good. On the chip: breakpoint trap, then the fault path. In the simulator: the file
// and line on stderr, then abort().
[[noreturn]] void coreFatalStop(const char* file, int line);

// Called from every busy-wait loop. A no-op on the chip; in the simulator it lets pending simulated
// interrupts and peripheral models run, so the condition being waited for can come true.
void coreRelax();
