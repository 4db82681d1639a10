#pragma once
// Node identity: dynamic node-ID allocation for the ports that start without a node ID, the 16-byte unique
// ID, the mode each port reports, and the GetNodeInfo answer. All of it runs on the main task.

#include <cstdint>

#include "firmware/drivers/bxcan.hpp"
#include "firmware/node/ports.hpp"
#include "firmware/xport/xport.hpp"

// Seeds the request timing's random generator from the chip's unique ID, as at power-on.
void InitDynNodeAlloc();

// One step of the port's allocation, called on every pass while the port has no node ID. While it waits
// for the next request it pumps the port itself (responses reach onDynNodeRx through its receive step).
// Returns true once, in the call that finds the node ID set, after copying it to port.NodeID.
bool DynAllocNodeID(Port& port);

// Every received allocation broadcast on the port. Ignored once the port has a node ID.
void onDynNodeRx(Port& port, XportRxTransfer* transfer);

// A GetNodeInfo request on the port: answered on the same port.
void onGetNodeInfoRx(Port& port, XportRxTransfer* transfer);

// The mode the port reports in GetNodeInfo (ports start in initialisation mode, 1).
void SetNodeMode(Port& port, uint8_t Mode);
