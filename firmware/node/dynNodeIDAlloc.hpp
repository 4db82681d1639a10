#pragma once
// Node identity: dynamic node-ID allocation for the ports that start without a node ID, the 16-byte unique
// ID, the mode each port reports, and the GetNodeInfo answer. All of it runs on the main task.

#include <cstdint>

#include "firmware/drivers/bxcan.hpp"
#include "firmware/node/ports.hpp"
#include "firmware/xport/xport.hpp"

enum DynNodeState_t : uint8_t {
    DynNodeState_WaitStart = 0,
    DynNodeState_WaitReq = 1,
    DynNodeState_Broadast = 2,
    DynNodeState_Complete = 3,
    DynNodeState_Last = 4,
};

// One step of the port's allocation, called on every pass while the port has no node ID. While it waits
// for the next request it pumps the port with TXfn and RXfn (responses reach onDynNodeRx through RXfn).
// Returns true once, in the call that finds the node ID set, after copying it to *PreferredNodeID (which
// is 0 until then, or the node ID asked for).
bool DynAllocNodeID(XportInstance* ins, uint8_t* PreferredNodeID, PortCAN_t Port, TXRXFN_t TXfn, TXRXFN_t RXfn);

// Every received allocation broadcast on the port. Ignored once the port has a node ID.
void onDynNodeRx(XportInstance* ins, XportRxTransfer* transfer, PortCAN_t Port);

// A GetNodeInfo request on the port: answered on the same port.
void onGetNodeInfoRx(XportInstance* ins, XportRxTransfer* transfer, PortCAN_t Port);

// The mode the port reports in GetNodeInfo (ports start in initialisation mode, 1).
void SetNodeMode(PortCAN_t Port, uint8_t Mode);
