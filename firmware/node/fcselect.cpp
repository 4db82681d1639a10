#include "firmware/node/fcselect.hpp"

#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"
#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"
#include "firmware/dsdl/qon/zb5/VisibleFlightController.hpp"

static_assert(QON_ZB5_VISIBLEFLIGHTCONTROLLER_CANPRESENT_LENGTH == PortCANLast);
static_assert(QON_ZB5_IGNORECANPORT_IGNORECANPORT_LENGTH == PortCANLast);

namespace {

// Periodic steps compare unsigned differences, so their periods hold across the 2^32 ms tick wrap.
bool due(uint32_t now, uint32_t last, uint32_t period) { return now - last >= period; }

}  // namespace

bool FcSelect::commandGateXport(Port& port)
{
    if (port.vis.IgnoreCanPort) {
        return false;
    }
    port.vis.RxFCTick = getUptime();
    port.vis.PixVisibility = true;
    return static_cast<int>(port.index) == ActiveFCPort;
}

bool FcSelect::voteHandleXport(Port& port, XportRxTransfer* transfer)
{
    if (port.vis.IgnoreCanPort) {
        return false;
    }
    qon_zb5_UseFlightController vote{};
    if (qon_zb5_UseFlightController_decode_internal(transfer, transfer->payload_len, &vote, nullptr, 0) < 0) {
        return false;  // too short: fields past the end would be made up
    }
    ActiveFCPort = voter_.UpdateVoter(static_cast<int8_t>(port.index), static_cast<uint8_t>(vote.ThisBus),
                               transfer->source_node_id, vote.UseFConBus, static_cast<int64_t>(vote.UniqID),
                               getUptime());
    return ActiveFCPort < 0;
}

void FcSelect::ignoreHandleXport(Port& port, XportRxTransfer* transfer)
{
    qon_zb5_IgnoreCANPort order{};
    if (qon_zb5_IgnoreCANPort_decode_internal(transfer, transfer->payload_len, &order, nullptr, 0) < 0) {
        return;  // too short: the flags would be made up
    }
    if (order.NodeID != port.NodeID) {
        return;
    }
    for (uint8_t p = 0; p < PortCANLast; ++p) {
        ports_[p].vis.IgnoreCanPort = order.IgnoreCANPort[p];
    }
}

void FcSelect::UpdateVisibility()
{
    const uint32_t now = getUptime();
    if (!due(now, visibility_checked, VIS_CHECK_MS)) {
        return;
    }
    visibility_checked = now;
    for (uint8_t p = 0; p < PortCANLast; ++p) {
        Visibility& vis = ports_[p].vis;
        if (vis.PixVisibility && now - vis.RxFCTick >= VS_TIMEOUT_MS) {
            vis.PixVisibility = false;
        }
    }
}

void FcSelect::PublishVisibility(Port& port)
{
    const uint32_t now = getUptime();
    if (!due(now, port.vis.publish_time, VIS_PUB_MS)) {
        return;
    }
    port.vis.publish_time = now;

    qon_zb5_VisibleFlightController report{};
    report.UniqID = uniqId_;
    for (uint8_t p = 0; p < PortCANLast; ++p) {
        report.CANPresent[p] = getPixVisibility(static_cast<PortCAN_t>(p));
    }
    uint8_t buffer[QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE];
    const uint32_t len = qon_zb5_VisibleFlightController_encode(&report, buffer);
    // Not queued (pool exhausted): the next one follows a period later.
    (void)xportBroadcast(&port.xport, QON_ZB5_VISIBLEFLIGHTCONTROLLER_SIGNATURE, QON_ZB5_VISIBLEFLIGHTCONTROLLER_ID,
                         &port.vis.transfer_id, XPORT_TRANSFER_PRIORITY_LOW, buffer, static_cast<uint16_t>(len));
}

bool FcSelect::UpdateFCList()
{
    const uint32_t Now = getUptime();
    if (!due(Now, votes_aged, CHECKFC_PERIOD_mS)) {
        return false;
    }
    votes_aged = Now;
    (void)voter_.UpdateVoterList50mS(&ActiveFCPort, Now);
    // Every period while no port is elected, not only when the election has just been lost.
    return ActiveFCPort < 0;
}
