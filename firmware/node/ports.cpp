#include "firmware/node/ports.hpp"

#include "firmware/board/kernel.hpp"
#include "platform/interface/core.hpp"

namespace {

// As often as the transport asks to be swept of transfers that never completed.
constexpr auto kCleanupPeriodMs = static_cast<uint32_t>(XPORT_RECOMMENDED_STALE_TRANSFER_CLEANUP_INTERVAL_USEC / 1000U);

}  // namespace

Port& portOf(const XportInstance* ins) { return *static_cast<Port*>(ins->user_reference); }

void noteDuplicateNodeId(Port& port)
{
    port.duplicate_heard = true;
    port.duplicate_heard_at = getUptime();
}

bool duplicateNodeIdHeard(const Port& port)
{
    return port.duplicate_heard && getUptime() - port.duplicate_heard_at < DUPLICATE_NODE_ID_HOLD_MS;
}

void InitPort(Port& port, PortCAN_t index, CanPort& can, Node* node)
{
    // Field by field: the pool is left to the transport's own initialisation, and no copy of a whole
    // port (over 3 KB) goes through the start-up's small stack.
    port.index = index;
    port.can = &can;
    port.node = node;
    port.xport = {};  // until the port's bring-up initialises it: no queue, no pool
    port.NodeID = XPORT_BROADCAST_NODE_ID;
    port.NodeValid = false;
    port.tx = {};
    port.spin_time = 0;
    port.nodestatus_transfer_id = 0;
    port.log_transfer_id = 0;
    port.alloc = {};
    port.node_mode = UAVCAN_PROTOCOL_NODESTATUS_MODE_INITIALIZATION;
    port.vis = {};
    port.duplicate_heard = false;
}

uint32_t getUptime() { return osKernelSysTick(); }

uint64_t uptimeMs64() { return osKernelSysTick64(); }

uint64_t uptimeUsec() { return uptimeMs64() * 1000U; }

uint32_t uptimeSec()
{
    // In 32-bit steps: a 64-bit division would bring in a library routine of its own. 2^32 ms are
    // 4294967 s and 296 ms.
    const uint64_t ms = uptimeMs64();
    const auto wraps = static_cast<uint32_t>(ms >> 32);
    const auto count = static_cast<uint32_t>(ms);
    return wraps * 4294967U + count / 1000U + (wraps * 296U + count % 1000U) / 1000U;
}

void sendXport(Port& port)
{
    XportInstance* const ins = &port.xport;
    TxWatchdog& tx = port.tx;
    const uint32_t tnow = getUptime();

    if (tnow - tx.CleanUp > kCleanupPeriodMs) {
        tx.CleanUp = tnow;
        xportCleanupStaleTransfers(ins, uptimeUsec());
    }

    // A head frame no mailbox would take for a second (bus off, nobody acknowledging): drop the whole
    // queue rather than let it fill the pool that reception needs too.
    if (tx.txbusy != 0 && tnow - tx.TxStart > MAXTXMS) {
        while (xportPeekTxQueue(ins) != nullptr) {
            xportPopTxQueue(ins);
        }
        xportCleanupStaleTransfers(ins, uptimeUsec());
        tx.txbusy = 0;
    }

    const XportCANFrame* const txf = xportPeekTxQueue(ins);
    if (txf == nullptr) {
        return;
    }
    const int tx_res = port.can->transmit(*txf);
    if (tx_res > 0) {
        tx.txbusy = 0;
        xportPopTxQueue(ins);
    } else if (tx_res == 0) {
        if (tx.txbusy == 0) {
            tx.TxStart = getUptime();
            tx.txbusy = 1;
        }
    } else {
        coreBreakpoint();  // the transport never builds a frame the driver refuses
    }
}

void receiveXport(Port& port)
{
    XportCANFrame rx_frame;  // filled when a frame is there; not cleared on every pass for nothing
    if (port.can->receive(rx_frame) > 0) {
        xportHandleRxFrame(&port.xport, &rx_frame, uptimeUsec());
    }
}
