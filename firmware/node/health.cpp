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
    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        busDown = busDown || bxcanBusDown(static_cast<PortCAN_t>(p));
    }
    return busDown || storeFailed || resetByWatchdogRecently(uptimeMs64()) ? UAVCAN_PROTOCOL_NODESTATUS_HEALTH_WARNING
                                                                          : UAVCAN_PROTOCOL_NODESTATUS_HEALTH_OK;
}
