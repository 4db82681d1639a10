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
#include "firmware/dsdl/uavcan/protocol/param/ExecuteOpcode.hpp"
#include "firmware/dsdl/uavcan/protocol/param/GetSet.hpp"
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

const Msg_Filt_t Msg_Filt[MSG_FILT_COUNT] = {
    {UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID, UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_SIGNATURE,
     XportTransferTypeBroadcast},
    {UAVCAN_PROTOCOL_NODESTATUS_ID, UAVCAN_PROTOCOL_NODESTATUS_SIGNATURE, -1},
    {UAVCAN_PROTOCOL_GETNODEINFO_ID, UAVCAN_PROTOCOL_GETNODEINFO_SIGNATURE, -1},
    {QON_ZB5_IGNORECANPORT_ID, QON_ZB5_IGNORECANPORT_SIGNATURE, -1},
    {UAVCAN_PROTOCOL_PARAM_GETSET_ID, UAVCAN_PROTOCOL_PARAM_GETSET_SIGNATURE, -1},
    {QON_ZB5_USEFLIGHTCONTROLLER_ID, QON_ZB5_USEFLIGHTCONTROLLER_SIGNATURE, -1},
    {UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID, UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_SIGNATURE, -1},
    {UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID, UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_SIGNATURE, -1},
    // A message only: its ID is also RestartNode's, as a service.
    {UAVCAN_PROTOCOL_PANIC_ID, UAVCAN_PROTOCOL_PANIC_SIGNATURE, XportTransferTypeBroadcast},
    // Requests only: their IDs are also message IDs of other types.
    {UAVCAN_PROTOCOL_GETTRANSPORTSTATS_ID, UAVCAN_PROTOCOL_GETTRANSPORTSTATS_SIGNATURE, XportTransferTypeRequest},
    {UAVCAN_PROTOCOL_RESTARTNODE_ID, UAVCAN_PROTOCOL_RESTARTNODE_SIGNATURE, XportTransferTypeRequest},
    {UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_ID, UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_SIGNATURE, XportTransferTypeRequest},
};

bool shouldAcceptTransfer(const XportInstance* ins, uint64_t* out_data_type_signature, uint16_t data_type_id,
                          XportTransferType transfer_type, uint8_t)
{
    if (xportGetLocalNodeID(ins) == XPORT_BROADCAST_NODE_ID) {
        // Without a node ID the port listens to the allocation traffic only.
        if (transfer_type == XportTransferTypeBroadcast &&
            data_type_id == UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID) {
            *out_data_type_signature = UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_SIGNATURE;
            return true;
        }
        return false;
    }
    for (const Msg_Filt_t& row : Msg_Filt) {
        if (row.data_type_id == data_type_id && (row.transfer_type < 0 || row.transfer_type == transfer_type)) {
            *out_data_type_signature = row.out_data_type_signature;
            return true;
        }
    }
    return false;
}

void onTransferReceived(XportInstance* ins, XportRxTransfer* transfer)
{
    Port& port = portOf(ins);
    // Data type ID 1 is two types: the allocation message and the GetNodeInfo service.
    if (transfer->transfer_type == XportTransferTypeBroadcast &&
        transfer->data_type_id == UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID) {
        onDynNodeRx(port, transfer);
        return;
    }
    // Data type ID 5 is two types too: Panic and the RestartNode service.
    if (transfer->transfer_type == XportTransferTypeBroadcast && transfer->data_type_id == UAVCAN_PROTOCOL_PANIC_ID) {
        if (!port.vis.IgnoreCanPort) {
            panicHandleXport();
        }
        return;
    }
    if (transfer->transfer_type == XportTransferTypeRequest &&
        transfer->data_type_id == UAVCAN_PROTOCOL_GETNODEINFO_ID) {
        onGetNodeInfoRx(port, transfer);
        return;
    }
    if (transfer->transfer_type == XportTransferTypeRequest) {
        switch (transfer->data_type_id) {
        case UAVCAN_PROTOCOL_GETTRANSPORTSTATS_ID:
            transportStatsHandleXport(port, transfer);
            return;
        case UAVCAN_PROTOCOL_RESTARTNODE_ID:
            restartHandleXport(port, transfer);
            return;
        case UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_ID:
            opcodeHandleXport(ins, transfer);
            return;
        default:
            break;
        }
    }
    // The rest by data type alone, whatever the transfer kind; anything unhandled is dropped.
    switch (transfer->data_type_id) {
    case UAVCAN_PROTOCOL_PARAM_GETSET_ID:
        if (getsetHandleXport(ins, transfer)) {
            updateLookups();
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
        break;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Start-up

const osThreadDef_t os_thread_def_Task01 = {"Task01", MainTask, osPriorityNormal, 0, 1280};

namespace {

osThreadId MainTaskHandle;

constexpr uint16_t kCanEnablePins[PortCANLast] = {CAN1EN_PIN, CAN2EN_PIN, CAN3EN_PIN};
constexpr uint8_t kSysTickLowestPriority = 0xF0;

// The node ID a port starts with: the stored one if the transport can use it, else none, so that the
// port obtains one by allocation instead of stopping the node at the transport's range check.
uint8_t configuredNodeId(PortCAN_t index)
{
    const int64_t stored = parameters[static_cast<unsigned>(Var_NETID0) + index].val & 0xFF;
    return stored <= XPORT_MAX_NODE_ID ? static_cast<uint8_t>(stored) : XPORT_BROADCAST_NODE_ID;
}

void startSysTick()
{
    const uint32_t reload = SystemCoreClock / configTICK_RATE_HZ - 1U;
    if (reload > 0xFFFFFFU) {
        return;
    }
    SysTick->LOAD = reload;
    SCB->SHP[11] = kSysTickLowestPriority;
    SysTick->VAL = 0;
    SysTick->CTRL = SysTick_CTRL_CLKSOURCE_Msk | SysTick_CTRL_TICKINT_Msk | SysTick_CTRL_ENABLE_Msk;
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
    InitNVM();
    for (uint8_t i = Var_EEFormat; i < Var_Last; ++i) {
        // A row written long ago on a full page is found after a walk of the whole page, some 6 ms on
        // the chip: all of them together would outlast the watchdog's period.
        watchdogRefresh();
        NVMGet(i, &parameters[i].val, sizeof(parameters[i].val));
    }
    gpioSet(LED1_GPIO_PORT, LED1_PIN, 1);

    BxcanAcceptanceFilterConfiguration filter_configs[MSG_FILT_COUNT];
    for (unsigned i = 0; i < MSG_FILT_COUNT; ++i) {
        // Only the remote-request bit is compared: every data frame passes and the data types are chosen
        // in software, by shouldAcceptTransfer.
        filter_configs[i] = {Msg_Filt[i].data_type_id, XPORT_CAN_FRAME_RTR};
    }

    InitSerial();
    reportResetCause();
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

    startSysTick();
    MainTaskHandle = osThreadCreate(&os_thread_def_Task01, nullptr);
    osKernelStart();
    return 0;
}

// ---------------------------------------------------------------------------------------------------------
// Main loop

namespace {

uint8_t current_port = CANStrt;

constexpr uint32_t kHeartbeatPasses = 10000;
uint32_t del;
bool tog;

// An erase stalls the chip, outputs and interrupts included, for a second or more: none starts while a
// flight controller is elected. The store's own erase of its spare page waits until none has been for
// this long, so that a node reset in flight (by the watchdog, say) gets its votes back and drives its
// outputs again before it would erase.
constexpr uint32_t kEraseQuietMs = 2000;
constexpr uint32_t kEraseCheckMs = 100;  // whether the spare waits for its erase reads the flash: not every pass
uint32_t fc_elected_at;
uint32_t erase_checked_at;

void storeStep()
{
    const bool elected = getActiveFCPort() >= 0;
    const uint32_t now = getUptime();
    if (elected) {
        fc_elected_at = now;
    }
    NVMAllowErase(!elected);
    if (now - fc_elected_at >= kEraseQuietMs && now - erase_checked_at >= kEraseCheckMs) {
        erase_checked_at = now;
        (void)NVMEraseStep();
    }
}

}  // namespace

void updateLED(int8_t Port)
{
    const unsigned val = Port < 0 ? 0U : 1U << Port;
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

    uavcan_protocol_NodeStatus status{};
    status.uptime_sec = getUptime() / 1000U;
    status.health = nodeHealth();
    status.mode = UAVCAN_PROTOCOL_NODESTATUS_MODE_OPERATIONAL;
    uint8_t buffer[UAVCAN_PROTOCOL_NODESTATUS_MAX_SIZE];
    const uint32_t len = uavcan_protocol_NodeStatus_encode(&status, buffer);
    xportBroadcast(&port.xport, UAVCAN_PROTOCOL_NODESTATUS_SIGNATURE, UAVCAN_PROTOCOL_NODESTATUS_ID,
                   &port.nodestatus_transfer_id, XPORT_TRANSFER_PRIORITY_LOW, buffer, static_cast<uint16_t>(len));
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
    del = 0;
    tog = false;
    fc_elected_at = getUptime();
    erase_checked_at = fc_elected_at;
}

void MainTaskPass()
{
    watchdogRefresh();
    Port& port = nodePort(static_cast<PortCAN_t>(current_port));
    if (!bxcanRetryInit(port.index)) {
        // Its controller has not joined the bus yet (a damaged bus holds it off): nothing is pumped into
        // it and nothing is queued for it; the bring-up goes on at each visit and the other ports serve.
    } else if (port.NodeValid) {
        sendXport(port);
        receiveXport(port);
        spinXport(port);
        updateLED(getActiveFCPort());
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

    rcpwmPoll();
    restartPoll();
    storeStep();

    current_port = static_cast<uint8_t>(current_port + 1U);
    if (current_port >= CANEnd) {
        current_port = CANStrt;
    }

    // Heartbeat: LED3 changes level every 10000 passes.
    if (++del >= kHeartbeatPasses) {
        gpioSet(LED3_GPIO_PORT, LED3_PIN, tog ? 1 : 0);
        tog = !tog;
        del = 0;
    }
}

void MainTask(const void*)
{
    MainTaskStart();
    for (;;) {
        MainTaskPass();
    }
}
