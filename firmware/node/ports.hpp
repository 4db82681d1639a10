#pragma once
// What every node module shares about the three ports: their transport instances, the node ID in use on
// each, the node's own 64-bit unique ID, and the millisecond uptime all periods are measured in.

#include <cstdint>

#include "firmware/drivers/bxcan.hpp"
#include "firmware/xport/xport.hpp"

// One transport instance per port, each with its 96-block pool.
extern XportInstance g_xport[PortCANLast];
// The node ID in use on each port; 0 while the port has none.
extern uint8_t gNodeID[PortCANLast];
// The node's own 64-bit unique ID (chip UID word 1 above, word 0 XOR word 2 below).
extern uint64_t UniqID;

// Milliseconds since start-up: the kernel's tick, which wraps after 2^32 ms.
uint32_t getUptime();

// A step that pumps one port (transmit or receive).
using TXRXFN_t = void (*)(PortCAN_t Port);
