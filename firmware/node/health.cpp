#include "firmware/node/health.hpp"

#include "firmware/drivers/bxcan.hpp"
#include "firmware/drivers/watchdog.hpp"
#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"
#include "firmware/node/ports.hpp"

namespace {

bool storeFailed;

}  // namespace

void InitHealth() { storeFailed = false; }

void healthStoreResult(bool ok) { storeFailed = !ok; }

uint8_t nodeHealth()
{
    bool busDown = false;
    bool duplicateNodeId = false;
    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        busDown = busDown || bxcanBusDown(static_cast<PortCAN_t>(p));
        duplicateNodeId = duplicateNodeId || duplicateNodeIdHeard(nodePort(static_cast<PortCAN_t>(p)));
    }
    const bool warn = busDown || duplicateNodeId || storeFailed || resetByWatchdogRecently(uptimeMs64());
    return warn ? UAVCAN_PROTOCOL_NODESTATUS_HEALTH_WARNING : UAVCAN_PROTOCOL_NODESTATUS_HEALTH_OK;
}
