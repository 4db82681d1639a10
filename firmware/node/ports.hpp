#pragma once
// One CAN bus as the node sees it: a Port gathers everything the node keeps per bus (its transport and
// pool, node ID, transmit watchdog, NodeStatus timing, allocation client, mode, visibility),
// and the node holds one per bus. A reception reaches its Port through the transport's user reference, and
// the node through its Port.
// The port's own pumps live here too, so that the allocation client can run them while it waits.

#include <cstdint>

#include "firmware/drivers/CAN.hpp"
#include "firmware/drivers/bxcan.hpp"
#include "firmware/drivers/devices.hpp"
#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"
#include "firmware/xport/xport.hpp"

enum DynNodeState_t : uint8_t {
    DynNodeState_WaitStart = 0,
    DynNodeState_WaitReq = 1,
    DynNodeState_Broadast = 2,
};

// Transmit watchdog: a head frame no mailbox takes for MAXTXMS flushes the queue.
struct TxWatchdog {
    uint32_t txbusy;
    uint32_t TxStart;  // tick of the first refusal of the waiting head frame
    uint32_t CleanUp;  // tick of the last stale-transfer cleanup
};

// The dynamic node-ID allocation client, while the port has no node ID.
struct DynNodeAlloc {
    DynNodeState_t DynNodeState;
    uint32_t send_next_node_id_allocation_request_at;
    uint8_t node_id_allocation_unique_id_offset;  // unique-ID bytes the allocator has confirmed
    uint8_t node_id_allocation_transfer_id;
};

// Flight-controller traffic on the port.
struct Visibility {
    bool PixVisibility;  // a command arrived within VS_TIMEOUT_MS
    uint32_t RxFCTick;   // tick of the last command
    bool IgnoreCanPort;  // flight-controller traffic here is ignored
    uint32_t publish_time;  // tick of the last visibility broadcast
    uint8_t transfer_id;    // of the visibility broadcast
};

class Node;
struct Port;

// The port in its power-on state (no node ID, nothing pending) on the controller given. Its transport is
// initialised by the port's bring-up.
void InitPort(Port& port, PortCAN_t index, CanPort& can, Node* node);

struct Port {
    // Zeroed, as a program's static ports start, until InitPort.
    // cppcheck-suppress uninitMemberVar
    Port() = default;
    // InitPort sets every field; the pool is left to the transport's initialisation.
    // cppcheck-suppress uninitMemberVar
    Port(PortCAN_t bus, CanPort& controller, Node* owner) { InitPort(*this, bus, controller, owner); }

    PortCAN_t index;
    CanPort* can;  // the bus's controller
    Node* node;    // the node the port serves; null in a program with ports of its own (the bootloader)
    XportInstance xport;
    CANXportPool_t pool;
    uint8_t NodeID;  // in use; XPORT_BROADCAST_NODE_ID while the port has none
    bool NodeValid;  // full service; set once, kept until reset
    TxWatchdog tx;
    uint32_t spin_time;  // tick of the last NodeStatus
    uint8_t nodestatus_transfer_id;
    uint8_t log_transfer_id;  // of LogMessage
    DynNodeAlloc alloc;
    uint8_t node_mode;    // reported in GetNodeInfo
    Visibility vis;
    bool duplicate_heard;          // another node has sent with this port's node ID...
    uint32_t duplicate_heard_at;   // ...last at this tick
};

// The port a reception belongs to.
Port& portOf(const XportInstance* ins);

// Another node sends with the port's own node ID: what it sends is ignored, and health says so while it
// lasts: until DUPLICATE_NODE_ID_HOLD_MS after its last frame, more than two NodeStatus periods, so that a
// node that only publishes NodeStatus keeps it on even when one of them is lost.
void noteDuplicateNodeId(Port& port);
bool duplicateNodeIdHeard(const Port& port);
inline constexpr uint32_t DUPLICATE_NODE_ID_HOLD_MS = 3000;

// Milliseconds since start-up: the kernel's tick, which wraps after 2^32 ms (49.7 days). For periods, as
// unsigned differences.
uint32_t getUptime();
// Since start-up, never wrapping: milliseconds; microseconds, the transport's timestamps; whole seconds,
// the uptime reported (a uint32 lasts 136 years). Other nodes take a falling uptime for a restart.
uint64_t uptimeMs64();
uint64_t uptimeUsec();
uint32_t uptimeSec();

inline constexpr uint32_t MAXTXMS = 1000;  // a head frame refused this long flushes the queue

// The port's transmit step: the stale-transfer cleanup once a second, the flush of a queue blocked for
// MAXTXMS, and at most one frame into a transmit mailbox.
void sendXport(Port& port);
// The port's receive step: at most one frame from the driver's software FIFO into the transport.
void receiveXport(Port& port);

// One NodeStatus on the port, now: the node's and the bootloader's, each with its own health and mode.
// Inline: each image has one caller.
[[gnu::always_inline]] inline void sendNodeStatus(Port& port, uint8_t health, uint8_t mode,
                                                  uint16_t vendor_specific_status_code)
{
    uavcan_protocol_NodeStatus status{};
    status.uptime_sec = uptimeSec();
    status.health = health;
    status.mode = mode;
    status.vendor_specific_status_code = vendor_specific_status_code;
    uint8_t buffer[UAVCAN_PROTOCOL_NODESTATUS_MAX_SIZE];
    const uint32_t len = uavcan_protocol_NodeStatus_encode(&status, buffer);
    (void)xportBroadcast(&port.xport, UAVCAN_PROTOCOL_NODESTATUS_SIGNATURE, UAVCAN_PROTOCOL_NODESTATUS_ID,
                         &port.nodestatus_transfer_id, XPORT_TRANSFER_PRIORITY_LOW, buffer, static_cast<uint16_t>(len));
}
