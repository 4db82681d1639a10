#include "firmware/node/health.hpp"

#include "firmware/drivers/bxcan.hpp"
#include "firmware/drivers/watchdog.hpp"
#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"
#include "firmware/node/ports.hpp"

namespace {

bool storeFailed;
bool storeDown;
bool storedValuesReplaced;

}  // namespace

void InitHealth()
{
    storeFailed = false;
    storeDown = false;
    storedValuesReplaced = false;
}

void healthStoreResult(bool ok) { storeFailed = !ok; }

void healthStoreStart(bool started, bool valuesReplaced)
{
    storeDown = !started;
    storedValuesReplaced = valuesReplaced;
}

uint8_t nodeHealth()
{
    if (storeDown) {
        return UAVCAN_PROTOCOL_NODESTATUS_HEALTH_ERROR;
    }
    bool busDown = false;
    bool duplicateNodeId = false;
    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        busDown = busDown || bxcanBusDown(static_cast<PortCAN_t>(p));
        duplicateNodeId = duplicateNodeId || duplicateNodeIdHeard(nodePort(static_cast<PortCAN_t>(p)));
    }
    const bool warn = busDown || duplicateNodeId || storeFailed || storedValuesReplaced ||
                      resetByWatchdogRecently(uptimeMs64());
    return warn ? UAVCAN_PROTOCOL_NODESTATUS_HEALTH_WARNING : UAVCAN_PROTOCOL_NODESTATUS_HEALTH_OK;
}
