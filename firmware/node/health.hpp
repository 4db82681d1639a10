#pragma once
// The node's health as NodeStatus and GetNodeInfo report it, from conditions that hold now:
// - WARNING while one of the buses is down: its controller has not started (its bus keeps it out), or is
//   error-passive or bus-off, which is what its frames going unacknowledged soon makes it; the flight
//   controllers on the other buses see it so;
// - WARNING while the store cannot be written: its last write or format failed (until one succeeds);
// - WARNING for a minute after a reset by the watchdog, so that an integrator sees it happened;
// - OK otherwise.
// ERROR and CRITICAL are not used: none of these stops the node from doing its job on the other buses.
// Main task only.

#include <cstdint>

// The store works, as at power-on.
void InitHealth();
// The outcome of a write to the store (a parameter, a format).
void healthStoreResult(bool ok);
// UAVCAN_PROTOCOL_NODESTATUS_HEALTH_OK or _WARNING.
uint8_t nodeHealth();
