// Any payload as an actuator command, a vote or an ignore order, on any port and with any port elected: no
// crash, no read past the payload, every output's pulse stays within 0..2000 us, and the elected port is a
// port or none. The first input byte picks the message, the port, the elected port and the mapping; the
// node reaches that state through its own dispatch, as from the bus.
#include <cstdlib>
#include <optional>

#include "firmware/drivers/PWM.hpp"
#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"
#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"
#include "firmware/dsdl/uavcan/equipment/actuator/ArrayCommand.hpp"
#include "firmware/dsdl/uavcan/equipment/esc/RawCommand.hpp"
#include "firmware/node/main_node.hpp"
#include "platform/sim/sim.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

namespace {

constexpr uint16_t kDataTypes[4] = {UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID, UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID,
                                    QON_ZB5_USEFLIGHTCONTROLLER_ID, QON_ZB5_IGNORECANPORT_ID};
constexpr uint64_t kVoter = 0xF0F0F0F0F0F0F0F0ULL;

std::optional<Node> node;

void start()
{
    sim::reset();
    sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOA | RCC_AHB1Periph_GPIOB, ENABLE);
    PWMInit();
    node.emplace(chipNodeDevices());
    for (Port& port : node->ports) {
        node->startTransport(port);  // the compiled-in node IDs, 110..112
    }
}

// One broadcast of the data type with the payload given, received on the port.
void receive(PortCAN_t port, uint16_t data_type_id, const uint8_t* payload, std::size_t len)
{
    const Input in(payload, len);
    XportRxTransfer transfer = *in.transfer();
    transfer.data_type_id = data_type_id;
    transfer.transfer_type = XportTransferTypeBroadcast;
    onTransferReceived(&node->ports[port].xport, &transfer);
}

// No port ignored, and only the elected port's vote held: `elected` (or none, -1).
void elect(int8_t elected)
{
    qon_zb5_IgnoreCANPort order{};
    order.NodeID = node->ports[PortCAN1].NodeID;
    uint8_t order_bytes[QON_ZB5_IGNORECANPORT_MAX_SIZE] = {};
    receive(PortCAN1, QON_ZB5_IGNORECANPORT_ID, order_bytes, qon_zb5_IgnoreCANPort_encode(&order, order_bytes));

    node->fcselect = FcSelect(node->ports, node->identity.UniqID());  // no votes held
    const auto port = static_cast<PortCAN_t>(elected < 0 ? PortCAN1 : elected);
    qon_zb5_UseFlightController vote{kVoter, elected, static_cast<int8_t>(port)};
    uint8_t vote_bytes[QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE] = {};
    receive(port, QON_ZB5_USEFLIGHTCONTROLLER_ID, vote_bytes, qon_zb5_UseFlightController_encode(&vote, vote_bytes));
    check(node->fcselect.getActiveFCPort() == elected);
}

uint32_t compare(const PWM_Output_t& out)
{
    switch (out.channel) {
    case 1: return out.timer->CCR1;
    case 2: return out.timer->CCR2;
    case 3: return out.timer->CCR3;
    default: return out.timer->CCR4;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool started = false;
    if (!started) {
        start();
        started = true;
    }
    if (size == 0 || size > UINT16_MAX) {
        return 0;
    }
    const uint8_t select = data[0];
    const auto port = static_cast<PortCAN_t>((select >> 2) % PortCANLast);
    // A mapping from the selector too, including output numbers beyond the lookups.
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        node->parameters[Var_CAN2PWM_CHStart + i].val = static_cast<int64_t>((select >> 4) + i * 3U) - 2;
        node->parameters[Var_CAN2PWM_ACTStart + i].val = (select >> (i % 4U)) & 1U;
    }
    node->rcpwm.updateLookups();
    elect(static_cast<int8_t>(((select >> 6) % 4U) - 1U));

    receive(port, kDataTypes[select & 3U], data + 1, size - 1);

    check(node->fcselect.getActiveFCPort() >= -1 && node->fcselect.getActiveFCPort() < PortCANLast);
    for (const PWM_Output_t& out : PWM_Outputs) {
        check(compare(out) <= uS_to_ticks(RCPWM_MIN_uS + RCPWM_RANGE_uS));
    }
    return 0;
}
