#include "firmware/node/health.hpp"

#include <cstring>

#include "firmware/drivers/bxcan.hpp"
#include "firmware/drivers/serial.hpp"
#include "firmware/drivers/watchdog.hpp"
#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"
#include "firmware/dsdl/uavcan/protocol/debug/LogMessage.hpp"
#include "firmware/node/ports.hpp"

static_assert(LOG_INFO == UAVCAN_PROTOCOL_DEBUG_LOGLEVEL_INFO && LOG_WARNING == UAVCAN_PROTOCOL_DEBUG_LOGLEVEL_WARNING &&
              LOG_ERROR == UAVCAN_PROTOCOL_DEBUG_LOGLEVEL_ERROR);
// A health's log level is one above it: OK is INFO, WARNING WARNING, ERROR ERROR.
static_assert(UAVCAN_PROTOCOL_NODESTATUS_HEALTH_OK + 1 == LOG_INFO &&
              UAVCAN_PROTOCOL_NODESTATUS_HEALTH_WARNING + 1 == LOG_WARNING &&
              UAVCAN_PROTOCOL_NODESTATUS_HEALTH_ERROR + 1 == LOG_ERROR);

namespace {

constexpr const char* kCauseText[CauseCount] = {"ok",           "store down",       "bus down",      "node ID in use",
                                                "write failed", "value replaced", "watchdog reset"};

uint8_t healthOf(HealthCause cause)
{
    return cause == CauseNone        ? UAVCAN_PROTOCOL_NODESTATUS_HEALTH_OK
           : cause == CauseStoreDown ? UAVCAN_PROTOCOL_NODESTATUS_HEALTH_ERROR
                                     : UAVCAN_PROTOCOL_NODESTATUS_HEALTH_WARNING;
}

bool logsTo(const Port& port) { return port.NodeValid && !port.can->busDown(); }

uint8_t textLength(const char* text)
{
    const std::size_t n = std::strlen(text);
    return static_cast<uint8_t>(n != 0U && text[n - 1U] == '\n' ? n - 1U : n);
}

}  // namespace

Health::Health(Port (&ports)[PortCANLast]) : ports_(ports), logRefilledAt(getUptime()), logCheckedAt(logRefilledAt) {}

inline HealthCause Health::healthCause() const
{
    if (storeDown) {
        return CauseStoreDown;
    }
    bool busDown = false;
    bool duplicateNodeId = false;
    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        busDown = busDown || ports_[p].can->busDown();
        duplicateNodeId = duplicateNodeId || duplicateNodeIdHeard(ports_[p]);
    }
    return busDown                             ? CauseBusDown
           : duplicateNodeId                   ? CauseDuplicateNodeId
           : storeFailed                       ? CauseStoreFailed
           : storedValuesReplaced              ? CauseValuesReplaced
           : resetByWatchdogRecently(uptimeMs64()) ? CauseWatchdogReset
                                               : CauseNone;
}

uint8_t Health::nodeHealth() const { return healthOf(healthCause()); }

void Health::publishLog()
{
    // Once a millisecond: working health out takes some hundreds of cycles, as much as a pass.
    const uint32_t now = getUptime();
    if (now == logCheckedAt) {
        return;
    }
    logCheckedAt = now;
    const HealthCause cause = healthCause();
    if (cause != loggedCause) {
        loggedCause = cause;
        logNote(static_cast<uint8_t>(healthOf(cause) + 1U), "health", kCauseText[cause]);
    }
    if (now - logRefilledAt >= LOG_PERIOD_MS) {
        logRefilledAt = now;
        logTokens = static_cast<uint8_t>(logTokens < LOG_BURST ? logTokens + 1U : LOG_BURST);
    }
    // A note waits while a bus that is up has frames to send: on a healthy bus that is a moment, and a bus
    // that takes no frame is soon down and waited for no more, so that it holds at most one note.
    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        const Port& port = ports_[p];
        if (logsTo(port) && xportPeekTxQueue(&port.xport) != nullptr) {
            return;
        }
    }
    LogNote note{};
    if (logTokens == 0U || !logTake(&note)) {
        return;
    }
    --logTokens;
    uavcan_protocol_debug_LogMessage message{note.level,
                                             {textLength(note.source), reinterpret_cast<const uint8_t*>(note.source)},
                                             {textLength(note.text), reinterpret_cast<const uint8_t*>(note.text)}};
    uint8_t buffer[UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_MAX_SIZE];
    const uint32_t len = uavcan_protocol_debug_LogMessage_encode(&message, buffer);
    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        Port& port = ports_[p];
        if (logsTo(port)) {
            (void)xportBroadcast(&port.xport, UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_SIGNATURE,
                                 UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_ID, &port.log_transfer_id,
                                 XPORT_TRANSFER_PRIORITY_LOW, buffer, static_cast<uint16_t>(len));
        }
    }
}
