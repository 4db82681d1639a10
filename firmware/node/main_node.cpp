#include "firmware/node/main_node.hpp"

#include <cstring>
#include <new>

#include "firmware/board/gpio.hpp"
#include "firmware/board/system_stm32f4xx.hpp"
#include "firmware/drivers/CAN.hpp"
#include "firmware/drivers/NVM.hpp"
#include "firmware/drivers/PWM.hpp"
#include "firmware/drivers/serial.hpp"
#include "firmware/drivers/watchdog.hpp"
#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"
#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"
#include "firmware/dsdl/uavcan/equipment/actuator/ArrayCommand.hpp"
#include "firmware/dsdl/uavcan/equipment/esc/RawCommand.hpp"
#include "firmware/dsdl/uavcan/protocol/GetNodeInfo.hpp"
#include "firmware/dsdl/uavcan/protocol/GetTransportStats.hpp"
#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"
#include "firmware/dsdl/uavcan/protocol/Panic.hpp"
#include "firmware/dsdl/uavcan/protocol/RestartNode.hpp"
#include "firmware/dsdl/uavcan/protocol/dynamic_node_id/Allocation.hpp"
#include "firmware/dsdl/uavcan/protocol/file/BeginFirmwareUpdate.hpp"
#include "firmware/dsdl/uavcan/protocol/param/ExecuteOpcode.hpp"
#include "firmware/dsdl/uavcan/protocol/param/GetSet.hpp"
#include "firmware/node/datatypes.hpp"
#include "platform/interface/core.hpp"

// ---------------------------------------------------------------------------------------------------------
// Acceptance and dispatch

static_assert(MSG_FILT_COUNT <= BXCAN_NUM_ACCEPTANCE_FILTERS, "one filter bank per row");

// Every row names its transfer kind: a service is served only as a request to this node, so that a stray
// response (or a response to a request of another node of ours) is never answered, which two such nodes
// would do to each other for ever; messages are taken as broadcasts only.
constexpr Msg_Filt_t Msg_Filt[MSG_FILT_COUNT] = {
    {UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_SIGNATURE, UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID,
     XportTransferTypeBroadcast},
    {UAVCAN_PROTOCOL_NODESTATUS_SIGNATURE, UAVCAN_PROTOCOL_NODESTATUS_ID, XportTransferTypeBroadcast},
    {UAVCAN_PROTOCOL_GETNODEINFO_SIGNATURE, UAVCAN_PROTOCOL_GETNODEINFO_ID, XportTransferTypeRequest},
    {QON_ZB5_IGNORECANPORT_SIGNATURE, QON_ZB5_IGNORECANPORT_ID, XportTransferTypeBroadcast},
    {UAVCAN_PROTOCOL_PARAM_GETSET_SIGNATURE, UAVCAN_PROTOCOL_PARAM_GETSET_ID, XportTransferTypeRequest},
    {QON_ZB5_USEFLIGHTCONTROLLER_SIGNATURE, QON_ZB5_USEFLIGHTCONTROLLER_ID, XportTransferTypeBroadcast},
    {UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_SIGNATURE, UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID, XportTransferTypeBroadcast},
    {UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_SIGNATURE, UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID,
     XportTransferTypeBroadcast},
    // Panic's ID is also RestartNode's, as a service.
    {UAVCAN_PROTOCOL_PANIC_SIGNATURE, UAVCAN_PROTOCOL_PANIC_ID, XportTransferTypeBroadcast},
    // Their IDs are also message IDs of other types.
    {UAVCAN_PROTOCOL_GETTRANSPORTSTATS_SIGNATURE, UAVCAN_PROTOCOL_GETTRANSPORTSTATS_ID, XportTransferTypeRequest},
    {UAVCAN_PROTOCOL_RESTARTNODE_SIGNATURE, UAVCAN_PROTOCOL_RESTARTNODE_ID, XportTransferTypeRequest},
    {UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_SIGNATURE, UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_ID, XportTransferTypeRequest},
    {UAVCAN_PROTOCOL_GETDATATYPEINFO_SIGNATURE, UAVCAN_PROTOCOL_GETDATATYPEINFO_ID, XportTransferTypeRequest},
    {UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_SIGNATURE, UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_ID,
     XportTransferTypeRequest},
};

// What the node takes is what GetDataTypeInfo says it knows.
constexpr bool everyAcceptedTypeListed()
{
    for (const Msg_Filt_t& row : Msg_Filt) {
        const uint8_t kind = row.transfer_type == XportTransferTypeRequest ? UAVCAN_PROTOCOL_DATATYPEKIND_SERVICE
                                                                           : UAVCAN_PROTOCOL_DATATYPEKIND_MESSAGE;
        if (!dataTypeListed(row.data_type_id, kind, row.out_data_type_signature)) {
            return false;
        }
    }
    return true;
}
static_assert(everyAcceptedTypeListed(), "a type the node accepts needs its row in DATA_TYPES");

bool shouldAcceptTransfer(const XportInstance* ins, uint64_t* out_data_type_signature, uint16_t data_type_id,
                          XportTransferType transfer_type, uint8_t source_node_id)
{
    const uint8_t own_id = xportGetLocalNodeID(ins);
    if (own_id == XPORT_BROADCAST_NODE_ID) {
        // Without a node ID the port listens to the allocation traffic only.
        if (transfer_type == XportTransferTypeBroadcast &&
            data_type_id == UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID) {
            *out_data_type_signature = UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_SIGNATURE;
            return true;
        }
        return false;
    }
    if (source_node_id == own_id) {
        // A controller never receives its own frames: another node uses our ID. Nothing it sends is taken.
        noteDuplicateNodeId(portOf(ins));
        return false;
    }
    for (const Msg_Filt_t& row : Msg_Filt) {
        if (row.data_type_id == data_type_id && row.transfer_type == transfer_type) {
            *out_data_type_signature = row.out_data_type_signature;
            return true;
        }
    }
    return false;
}

inline void Node::onRequestReceived(Port& port, XportRxTransfer* transfer)
{
    switch (transfer->data_type_id) {
    case UAVCAN_PROTOCOL_GETNODEINFO_ID:
        identity.onGetNodeInfoRx(port, transfer, health.nodeHealth());
        break;
    case UAVCAN_PROTOCOL_PARAM_GETSET_ID:
        if (paramserver.getsetHandleXport(&port.xport, transfer)) {
            rcpwm.updateLookups();
        }
        break;
    case UAVCAN_PROTOCOL_GETTRANSPORTSTATS_ID:
        services.transportStatsHandleXport(port, transfer);
        break;
    case UAVCAN_PROTOCOL_RESTARTNODE_ID:
        // A restart stops every output for 100 ms and more: not while a flight controller drives them.
        services.restartHandleXport(port, transfer, fcselect.getActiveFCPort() < 0);
        break;
    case UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_ID:
        services.opcodeHandleXport(&port.xport, transfer);
        break;
    case UAVCAN_PROTOCOL_GETDATATYPEINFO_ID:
        services.dataTypeInfoHandleXport(port, transfer);
        break;
    case UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_ID:
        // An update stops the outputs for seconds: never on a vehicle whose flight controller drives them.
        services.updateHandleXport(port, transfer, fcselect.getActiveFCPort() < 0);
        break;
    default:
        break;
    }
}

inline void Node::onMessageReceived(Port& port, XportRxTransfer* transfer)
{
    switch (transfer->data_type_id) {
    case UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID:
        identity.onDynNodeRx(port, transfer);
        break;
    case UAVCAN_PROTOCOL_PANIC_ID:
        if (!port.vis.IgnoreCanPort) {
            rcpwm.panicHandleXport();
        }
        break;
    case QON_ZB5_IGNORECANPORT_ID:
        fcselect.ignoreHandleXport(port, transfer);  // heard on an ignored port too, so that it can be released
        break;
    case UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID:
    case UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID:
        if (fcselect.commandGateXport(port)) {
            rcpwm.rawcmdHandleXport(transfer);
        }
        break;
    case QON_ZB5_USEFLIGHTCONTROLLER_ID:
        if (fcselect.voteHandleXport(port, transfer)) {
            rcpwm.DisablePWM();
        }
        break;
    default:
        break;  // NodeStatus of other nodes
    }
}

void onTransferReceived(XportInstance* ins, XportRxTransfer* transfer)
{
    Port& port = portOf(ins);
    port.node->onTransferReceived(port, transfer);
}

void Node::onTransferReceived(Port& port, XportRxTransfer* transfer)
{
    // Acceptance has let through only requests and broadcasts, each of the types that come so; the node
    // asks nothing, so no response is for it.
    if (transfer->transfer_type == XportTransferTypeRequest) {
        onRequestReceived(port, transfer);
    } else if (transfer->transfer_type == XportTransferTypeBroadcast) {
        onMessageReceived(port, transfer);
    }
}

// ---------------------------------------------------------------------------------------------------------
// The node

Node::Node(const NodeDevices& devices)
    : ports{Port(PortCAN1, *devices.can[PortCAN1], this), Port(PortCAN2, *devices.can[PortCAN2], this),
            Port(PortCAN3, *devices.can[PortCAN3], this)},
      identity(devices.uid),
      health(ports),
      paramserver(parameters, *devices.store, health, ports),
      fcselect(ports, identity.UniqID()),
      rcpwm(parameters, *devices.outputs),
      services(*devices.store, health),
      store_(*devices.store),
      outputs_(*devices.outputs)
{
    std::memcpy(parameters, parameterRows, sizeof parameters);
}

void Node::startTransport(Port& port)
{
    const int64_t stored = parameters[static_cast<unsigned>(Var_NETID0) + port.index].val & 0xFF;
    port.NodeID = stored <= XPORT_MAX_NODE_ID ? static_cast<uint8_t>(stored) : XPORT_BROADCAST_NODE_ID;
    xportInit(&port.xport, port.pool.bytes, sizeof(port.pool.bytes), ::onTransferReceived, shouldAcceptTransfer,
              &port);
    if (port.NodeID != XPORT_BROADCAST_NODE_ID) {
        xportSetLocalNodeID(&port.xport, port.NodeID);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Start-up of the chip's node

const osThreadDef_t os_thread_def_Task01 = {"Task01", MainTask, osPriorityNormal, 0, 1280};

namespace {

constexpr uint16_t kCanEnablePins[PortCANLast] = {CAN1EN_PIN, CAN2EN_PIN, CAN3EN_PIN};

// The one node of the chip, constructed in place at every start: on the chip right after start-up has
// cleared RAM, in the simulator also at every power cycle in the same process, so that nothing of the
// node outlives its power.
alignas(Node) unsigned char nodeStorage[sizeof(Node)];

}  // namespace

Node& runningNode() { return *std::launder(reinterpret_cast<Node*>(nodeStorage)); }

NodeDevices chipNodeDevices()
{
    return {{&bxcanPorts[PortCAN1], &bxcanPorts[PortCAN2], &bxcanPorts[PortCAN3]}, &nvmStore, &boardOutputs,
            chipUniqueId()};
}

int main_node()
{
    Node& node = *new (nodeStorage) Node(chipNodeDevices());
    // Stored values replace the compiled-in ones; a blank store takes the compiled-in ones over.
    const ParameterLoad load = node.paramserver.loadParameters();
    gpioSet(LED1_GPIO_PORT, LED1_PIN, 1);

    BxcanAcceptanceFilterConfiguration filter_configs[MSG_FILT_COUNT];
    for (unsigned i = 0; i < MSG_FILT_COUNT; ++i) {
        // Only the remote-request bit is compared: every data frame passes and the data types are chosen
        // in software, by shouldAcceptTransfer.
        filter_configs[i] = {Msg_Filt[i].data_type_id, XPORT_CAN_FRAME_RTR};
    }

    InitSerial();
    reportResetCause();
    reportParameterLoad(load);
    for (const uint16_t pin : kCanEnablePins) {
        gpioSet(CANEN_GPIO_PORT, pin, 1);
    }
    bxcanColdReset();  // the driver's RAM as at reset, also when the node starts again in-process
    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        CANInit(static_cast<PortCAN_t>(p));
    }
    for (Port& port : node.ports) {
        CANswInit(port.index, filter_configs, MSG_FILT_COUNT);
        node.startTransport(port);
    }
    for (const uint16_t pin : kCanEnablePins) {
        gpioSet(CANEN_GPIO_PORT, pin, 0);
    }
    PWMInit();
    node.rcpwm.rcpwmStart();
    coreSetFatalStopHook(PWMOutputsLow);  // an ESC must not keep the last throttle of a stopped node

    osSysTickStart();
    osThreadId MainTaskHandle = osThreadCreate(&os_thread_def_Task01, nullptr);
    if (MainTaskHandle == nullptr) {
        return 0;
    }
    osKernelStart();
    return 0;
}

// ---------------------------------------------------------------------------------------------------------
// Main loop

namespace {

// The heartbeat: LED3 flashes for the last kHeartbeatFlashMs of every kHeartbeatPeriodMs while the loop runs. LED3
// also shows CAN3 elected; then the flash is dark instead, so neither hides the other.
constexpr uint32_t kHeartbeatPeriodMs = 1000;
constexpr uint32_t kHeartbeatFlashMs = 100;

// An erase stalls the chip, outputs and interrupts included, for a second or more: none starts while a
// flight controller is elected. The store's own erase of its spare page waits until none has been for
// this long: a flight controller that reboots (up to 5 s of silence, of which the vote's timeout takes the
// first 250 ms) finds the node answering when it comes back, and so does a node reset in flight.
constexpr uint32_t kEraseQuietMs = 6000;

}  // namespace

// Once a millisecond: a slice of the spare's blank check, then, after the quiet time, its erase.
[[gnu::always_inline]] inline void Node::storeStep()
{
    const bool elected = fcselect.getActiveFCPort() >= 0;
    const uint32_t now = getUptime();
    if (elected) {
        fc_elected_at = now;
    }
    store_.allowErase(!elected);
    if (now == store_step_at) {
        return;
    }
    store_step_at = now;
    store_.upkeep(now - fc_elected_at >= kEraseQuietMs);
}

void Node::updateLED(int8_t Port)
{
    unsigned val = Port < 0 ? 0U : 1U << Port;
    if (getUptime() % kHeartbeatPeriodMs >= kHeartbeatPeriodMs - kHeartbeatFlashMs) {
        val ^= 1U << PortCAN3;
    }
    outputs_.setLeds(static_cast<uint8_t>(val));
}

void Node::spinXport(Port& port)
{
    // Unsigned difference, so the period holds across the tick wrap.
    if (getUptime() - port.spin_time < XPORT_SPIN_PERIOD) {
        return;
    }
    port.spin_time = getUptime();
    sendNodeStatus(port, health.nodeHealth(), UAVCAN_PROTOCOL_NODESTATUS_MODE_OPERATIONAL, 0);
}

// LED1 is lit from the store's load on, LED3 from here; both go dark with LED2 once the node is up.
void Node::MainTaskStart()
{
    constexpr uint8_t kStartingLeds = 0b101U;
    outputs_.setLeds(kStartingLeds);
    for (Port& port : ports) {
        port.NodeValid = port.NodeID != XPORT_BROADCAST_NODE_ID;
        if (port.NodeValid) {
            SetNodeMode(port, UAVCAN_PROTOCOL_NODESTATUS_MODE_OPERATIONAL);
        }
    }
    rcpwm.updateLookups();
    outputs_.setLeds(0);
    current_port = CANStrt;
    fc_elected_at = getUptime();
    store_step_at = fc_elected_at;
}

// One visit of a port whose controller runs: full service once it has a node ID, the allocation client's
// step until then.
[[gnu::always_inline]] inline void Node::servePort(Port& port)
{
    if (port.NodeValid) {
        sendXport(port);
        receiveXport(port);
        spinXport(port);
        fcselect.UpdateVisibility();
        if (!port.vis.IgnoreCanPort) {
            fcselect.PublishVisibility(port);
        }
        if (fcselect.UpdateFCList()) {
            rcpwm.DisablePWM();
        }
    } else if (identity.DynAllocNodeID(port)) {
        SetNodeMode(port, UAVCAN_PROTOCOL_NODESTATUS_MODE_OPERATIONAL);
        port.NodeValid = true;
    }
}

void Node::MainTaskPass()
{
    watchdogRefresh();
    Port& port = ports[current_port];
    // A port whose controller has not joined its bus yet (a damaged bus holds it off) is neither pumped nor
    // given anything to send; its bring-up goes on at each visit while the other ports serve.
    if (port.can->joinBus()) {
        servePort(port);
    }

    updateLED(fcselect.getActiveFCPort());
    rcpwm.rcpwmPoll();
    services.restartPoll();
    storeStep();
    health.publishLog();

    current_port = static_cast<uint8_t>(current_port + 1U);
    if (current_port >= CANEnd) {
        current_port = CANStrt;
    }
}

void MainTaskStart() { runningNode().MainTaskStart(); }

// Out of line: the simulator watches and holds its entry.
[[gnu::noinline]] void MainTaskPass() { runningNode().MainTaskPass(); }

void MainTask(const void*)
{
    MainTaskStart();
    for (;;) {
        MainTaskPass();
    }
}
