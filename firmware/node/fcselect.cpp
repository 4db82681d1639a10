#include "firmware/node/fcselect.hpp"

#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"
#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"
#include "firmware/dsdl/qon/zb5/VisibleFlightController.hpp"
#include "firmware/node/Voters.hpp"
#include "firmware/node/ports.hpp"

static_assert(QON_ZB5_VISIBLEFLIGHTCONTROLLER_CANPRESENT_LENGTH == PortCANLast);
static_assert(QON_ZB5_IGNORECANPORT_IGNORECANPORT_LENGTH == PortCANLast);

namespace {

int8_t ActiveFCPort = -1;
bool PixVisibility[PortCANLast];
uint32_t RxFCTick[PortCANLast];  // per port, the tick of the last command
bool IgnoreCanPort[PortCANLast];

// Periodic steps compare unsigned differences, so their periods hold across the 2^32 ms tick wrap.
bool due(uint32_t now, uint32_t last, uint32_t period) { return now - last >= period; }

}  // namespace

int8_t getActiveFCPort() { return ActiveFCPort; }
bool getPixVisibility(PortCAN_t Port) { return PixVisibility[Port]; }
bool getIgnoreCanPort(PortCAN_t Port) { return IgnoreCanPort[Port]; }

bool commandGateXport(PortCAN_t Port)
{
    if (IgnoreCanPort[Port]) {
        return false;
    }
    RxFCTick[Port] = getUptime();
    PixVisibility[Port] = true;
    return static_cast<int>(Port) == ActiveFCPort;
}

bool voteHandleXport(XportRxTransfer* transfer, PortCAN_t Port)
{
    if (IgnoreCanPort[Port]) {
        return false;
    }
    qon_zb5_UseFlightController vote{};
    if (qon_zb5_UseFlightController_decode_internal(transfer, transfer->payload_len, &vote, nullptr, 0) < 0) {
        return false;  // too short: fields past the end would be made up
    }
    ActiveFCPort = UpdateVoter(static_cast<int8_t>(Port), static_cast<uint8_t>(vote.ThisBus), vote.UseFConBus,
                               static_cast<int64_t>(vote.UniqID), getUptime());
    return ActiveFCPort < 0;
}

void ignoreHandleXport(XportRxTransfer* transfer, PortCAN_t Port)
{
    qon_zb5_IgnoreCANPort order{};
    if (qon_zb5_IgnoreCANPort_decode_internal(transfer, transfer->payload_len, &order, nullptr, 0) < 0) {
        return;  // too short: the flags would be made up
    }
    if (order.NodeID != gNodeID[Port]) {
        return;
    }
    for (uint8_t p = 0; p < PortCANLast; ++p) {
        IgnoreCanPort[p] = order.IgnoreCANPort[p];
    }
}

void UpdateVisibility()
{
    static uint32_t last;
    const uint32_t now = getUptime();
    if (!due(now, last, VIS_CHECK_MS)) {
        return;
    }
    last = now;
    for (uint8_t p = 0; p < PortCANLast; ++p) {
        if (PixVisibility[p] && now - RxFCTick[p] >= VS_TIMEOUT_MS) {
            PixVisibility[p] = false;
        }
    }
}

void PublishVisibility(PortCAN_t Port)
{
    static uint32_t publish_time[PortCANLast];
    static uint8_t transfer_id[PortCANLast];
    const uint32_t now = getUptime();
    if (!due(now, publish_time[Port], VIS_PUB_MS)) {
        return;
    }
    publish_time[Port] = now;

    qon_zb5_VisibleFlightController report{};
    report.UniqID = UniqID;
    for (uint8_t p = 0; p < PortCANLast; ++p) {
        report.CANPresent[p] = PixVisibility[p];
    }
    uint8_t buffer[QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE];
    const uint32_t len = qon_zb5_VisibleFlightController_encode(&report, buffer);
    // Not queued (pool exhausted): the next one follows a period later.
    (void)xportBroadcast(&g_xport[Port], QON_ZB5_VISIBLEFLIGHTCONTROLLER_SIGNATURE, QON_ZB5_VISIBLEFLIGHTCONTROLLER_ID,
                         &transfer_id[Port], XPORT_TRANSFER_PRIORITY_LOW, buffer, static_cast<uint16_t>(len));
}

bool UpdateFCList()
{
    static uint32_t Last;
    const uint32_t Now = getUptime();
    if (!due(Now, Last, CHECKFC_PERIOD_mS)) {
        return false;
    }
    Last = Now;
    (void)UpdateVoterList50mS(&ActiveFCPort, Now);
    // Every period while no port is elected, not only when the election has just been lost.
    return ActiveFCPort < 0;
}
