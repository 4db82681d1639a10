#include "firmware/node/main_node.hpp"

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
#include "firmware/node/dynNodeIDAlloc.hpp"
#include "firmware/node/fcselect.hpp"
#include "firmware/node/health.hpp"
#include "firmware/node/paramserver.hpp"
#include "firmware/node/params.hpp"
#include "firmware/node/ports.hpp"
#include "firmware/node/rcpwm.hpp"
#include "firmware/node/services.hpp"
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

namespace {

void onRequestReceived(Port& port, XportRxTransfer* transfer)
{
    switch (transfer->data_type_id) {
    case UAVCAN_PROTOCOL_GETNODEINFO_ID:
        onGetNodeInfoRx(port, transfer);
        break;
    case UAVCAN_PROTOCOL_PARAM_GETSET_ID:
        if (getsetHandleXport(&port.xport, transfer)) {
            updateLookups();
        }
        break;
    case UAVCAN_PROTOCOL_GETTRANSPORTSTATS_ID:
        transportStatsHandleXport(port, transfer);
        break;
    case UAVCAN_PROTOCOL_RESTARTNODE_ID:
        // A restart stops every output for 100 ms and more: not while a flight controller drives them.
        restartHandleXport(port, transfer, getActiveFCPort() < 0);
        break;
    case UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_ID:
        opcodeHandleXport(&port.xport, transfer);
        break;
    case UAVCAN_PROTOCOL_GETDATATYPEINFO_ID:
        dataTypeInfoHandleXport(port, transfer);
        break;
    case UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_ID:
        // An update stops the outputs for seconds: never on a vehicle whose flight controller drives them.
        updateHandleXport(port, transfer, getActiveFCPort() < 0);
        break;
    default:
        break;
    }
}

void onMessageReceived(Port& port, XportRxTransfer* transfer)
{
    switch (transfer->data_type_id) {
    case UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID:
        onDynNodeRx(port, transfer);
        break;
    case UAVCAN_PROTOCOL_PANIC_ID:
        if (!port.vis.IgnoreCanPort) {
            panicHandleXport();
        }
        break;
    case QON_ZB5_IGNORECANPORT_ID:
        ignoreHandleXport(port, transfer);  // heard on an ignored port too, so that it can be released
        break;
    case UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID:
    case UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID:
        if (commandGateXport(port)) {
            rawcmdHandleXport(transfer);
        }
        break;
    case QON_ZB5_USEFLIGHTCONTROLLER_ID:
        if (voteHandleXport(port, transfer)) {
            DisablePWM();
        }
        break;
    default:
        break;  // NodeStatus of other nodes
    }
}

}  // namespace

void onTransferReceived(XportInstance* ins, XportRxTransfer* transfer)
{
    // Acceptance has let through only requests and broadcasts, each of the types that come so; the node
    // asks nothing, so no response is for it.
    Port& port = portOf(ins);
    if (transfer->transfer_type == XportTransferTypeRequest) {
        onRequestReceived(port, transfer);
    } else if (transfer->transfer_type == XportTransferTypeBroadcast) {
        onMessageReceived(port, transfer);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Start-up

const osThreadDef_t os_thread_def_Task01 = {"Task01", MainTask, osPriorityNormal, 0, 1280};

namespace {

osThreadId MainTaskHandle;

constexpr uint16_t kCanEnablePins[PortCANLast] = {CAN1EN_PIN, CAN2EN_PIN, CAN3EN_PIN};

// The node ID a port starts with: the stored one if the transport can use it, else none, so that the
// port obtains one by allocation instead of stopping the node at the transport's range check.
uint8_t configuredNodeId(PortCAN_t index)
{
    const int64_t stored = parameters[static_cast<unsigned>(Var_NETID0) + index].val & 0xFF;
    return stored <= XPORT_MAX_NODE_ID ? static_cast<uint8_t>(stored) : XPORT_BROADCAST_NODE_ID;
}

// Every module of the node back to its power-on state: on the chip start-up has just done that from
// .data and .bss, but a simulated power cycle runs the firmware again in the same process.
void initNodeState()
{
    InitParameters();
    InitPorts();
    InitFCSelect();
    InitRcpwm();
    InitServices();
    InitDynNodeAlloc();
    InitHealth();
}

}  // namespace

int main_node()
{
    initNodeState();
    // Stored values replace the compiled-in ones; a blank store takes the compiled-in ones over.
    const ParameterLoad load = loadParameters();
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
    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        Port& port = nodePort(static_cast<PortCAN_t>(p));
        port.NodeID = configuredNodeId(port.index);
        CANswInit(port.index, &port.xport, port.pool.bytes, sizeof(port.pool.bytes), onTransferReceived,
                  shouldAcceptTransfer, &port, port.NodeID, filter_configs, MSG_FILT_COUNT);
    }
    for (const uint16_t pin : kCanEnablePins) {
        gpioSet(CANEN_GPIO_PORT, pin, 0);
    }
    PWMInit();
    rcpwmStart();
    coreSetFatalStopHook(PWMOutputsLow);  // an ESC must not keep the last throttle of a stopped node

    osSysTickStart();
    MainTaskHandle = osThreadCreate(&os_thread_def_Task01, nullptr);
    osKernelStart();
    return 0;
}

// ---------------------------------------------------------------------------------------------------------
// Main loop

namespace {

uint8_t current_port = CANStrt;

// The heartbeat: LED3 flashes for the last kHeartbeatFlashMs of every kHeartbeatPeriodMs while the loop runs. LED3
// also shows CAN3 elected; then the flash is dark instead, so neither hides the other.
constexpr uint32_t kHeartbeatPeriodMs = 1000;
constexpr uint32_t kHeartbeatFlashMs = 100;

// An erase stalls the chip, outputs and interrupts included, for a second or more: none starts while a
// flight controller is elected. The store's own erase of its spare page waits until none has been for
// this long: a flight controller that reboots (up to 5 s of silence, of which the vote's timeout takes the
// first 250 ms) finds the node answering when it comes back, and so does a node reset in flight.
constexpr uint32_t kEraseQuietMs = 6000;
uint32_t fc_elected_at;
uint32_t store_step_at;

// Once a millisecond: a slice of the spare's blank check, then, after the quiet time, its erase.
void storeStep()
{
    const bool elected = getActiveFCPort() >= 0;
    const uint32_t now = getUptime();
    if (elected) {
        fc_elected_at = now;
    }
    NVMAllowErase(!elected);
    if (now == store_step_at) {
        return;
    }
    store_step_at = now;
    if (NVMCheckStep() && now - fc_elected_at >= kEraseQuietMs) {
        (void)NVMEraseStep();
    }
}

}  // namespace

void updateLED(int8_t Port)
{
    unsigned val = Port < 0 ? 0U : 1U << Port;
    if (getUptime() % kHeartbeatPeriodMs >= kHeartbeatPeriodMs - kHeartbeatFlashMs) {
        val ^= 1U << PortCAN3;
    }
    gpioSet(LED1_GPIO_PORT, LED1_PIN, static_cast<uint8_t>(val & 1U));
    gpioSet(LED2_GPIO_PORT, LED2_PIN, static_cast<uint8_t>((val >> 1) & 1U));
    gpioSet(LED3_GPIO_PORT, LED3_PIN, static_cast<uint8_t>((val >> 2) & 1U));
}

void spinXport(Port& port)
{
    // Unsigned difference, so the period holds across the tick wrap.
    if (getUptime() - port.spin_time < XPORT_SPIN_PERIOD) {
        return;
    }
    port.spin_time = getUptime();
    sendNodeStatus(port, nodeHealth(), UAVCAN_PROTOCOL_NODESTATUS_MODE_OPERATIONAL, 0);
}

void MainTaskStart()
{
    gpioSet(LED3_GPIO_PORT, LED3_PIN, 1);
    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        Port& port = nodePort(static_cast<PortCAN_t>(p));
        port.NodeValid = port.NodeID != XPORT_BROADCAST_NODE_ID;
        if (port.NodeValid) {
            SetNodeMode(port, UAVCAN_PROTOCOL_NODESTATUS_MODE_OPERATIONAL);
        }
    }
    UniqID = (static_cast<uint64_t>(LL_GetUID_Word1()) << 32) | (LL_GetUID_Word0() ^ LL_GetUID_Word2());
    updateLookups();
    gpioSet(LED1_GPIO_PORT, LED1_PIN, 0);
    gpioSet(LED2_GPIO_PORT, LED2_PIN, 0);
    gpioSet(LED3_GPIO_PORT, LED3_PIN, 0);
    current_port = CANStrt;
    fc_elected_at = getUptime();
    store_step_at = fc_elected_at;
}

namespace {

// One visit of a port whose controller runs: full service once it has a node ID, the allocation client's
// step until then.
void servePort(Port& port)
{
    if (port.NodeValid) {
        sendXport(port);
        receiveXport(port);
        spinXport(port);
        UpdateVisibility();
        if (!port.vis.IgnoreCanPort) {
            PublishVisibility(port);
        }
        if (UpdateFCList()) {
            DisablePWM();
        }
    } else if (DynAllocNodeID(port)) {
        SetNodeMode(port, UAVCAN_PROTOCOL_NODESTATUS_MODE_OPERATIONAL);
        port.NodeValid = true;
    }
}

}  // namespace

void MainTaskPass()
{
    watchdogRefresh();
    Port& port = nodePort(static_cast<PortCAN_t>(current_port));
    // A port whose controller has not joined its bus yet (a damaged bus holds it off) is neither pumped nor
    // given anything to send; its bring-up goes on at each visit while the other ports serve.
    if (bxcanRetryInit(port.index)) {
        servePort(port);
    }

    updateLED(getActiveFCPort());
    rcpwmPoll();
    restartPoll();
    storeStep();
    publishLog();

    current_port = static_cast<uint8_t>(current_port + 1U);
    if (current_port >= CANEnd) {
        current_port = CANStrt;
    }
}

void MainTask(const void*)
{
    MainTaskStart();
    for (;;) {
        MainTaskPass();
    }
}
