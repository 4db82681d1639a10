#pragma once
// The node core: the Node, which owns everything the node keeps (its ports, its parameter table and the
// modules over them) and ties them together in the main loop over the three ports, NodeStatus, and the
// acceptance and dispatch of received transfers; and the chip's start-up, which constructs the one Node
// over the chip's drivers.

#include <cstdint>

#include "firmware/board/kernel.hpp"
#include "firmware/drivers/bxcan.hpp"
#include "firmware/drivers/devices.hpp"
#include "firmware/node/Voters.hpp"
#include "firmware/node/dynNodeIDAlloc.hpp"
#include "firmware/node/fcselect.hpp"
#include "firmware/node/health.hpp"
#include "firmware/node/paramserver.hpp"
#include "firmware/node/params.hpp"
#include "firmware/node/ports.hpp"
#include "firmware/node/rcpwm.hpp"
#include "firmware/node/services.hpp"
#include "firmware/xport/xport.hpp"

// ---------------------------------------------------------------------------------------------------------
// Acceptance

// The signature first: a row packs into 16 bytes rather than 24.
struct Msg_Filt_t {
    uint64_t out_data_type_signature;
    uint16_t data_type_id;
    XportTransferType transfer_type;
};

inline constexpr unsigned MSG_FILT_COUNT = 14;
extern const Msg_Filt_t Msg_Filt[MSG_FILT_COUNT];  // each type's row in DATA_TYPES too (datatypes.hpp)

// The transport's callbacks; the instance's user reference is its Port.
bool shouldAcceptTransfer(const XportInstance* ins, uint64_t* out_data_type_signature, uint16_t data_type_id,
                          XportTransferType transfer_type, uint8_t source_node_id);
// Every transfer the ports receive, to the port's node.
void onTransferReceived(XportInstance* ins, XportRxTransfer* transfer);

// ---------------------------------------------------------------------------------------------------------
// Start-up and main loop

inline constexpr uint32_t XPORT_SPIN_PERIOD = 1000;  // ms between NodeStatus broadcasts per port
// The ports the main loop visits: all of them. The port count is PortCANLast's; the voter, which is pure
// and includes no driver, states it again and is held to it.
inline constexpr uint8_t CANStrt = PortCAN1;
inline constexpr uint8_t CANEnd = PortCANLast;
static_assert(VoterCANPorts == PortCANLast, "every port is electable");

// What a node is built on: a CAN port per bus, the store, the outputs, and the chip's unique ID.
struct NodeDevices {
    CanPort* can[PortCANLast];
    Store* store;
    Outputs* outputs;
    UniqueIdWords uid;
};

// One node. Constructing it is its power-on: every part in its reset state, nothing sent, nothing driven.
// Then, in this order: paramserver.loadParameters(), startTransport() for each port (once its controller
// is set up), rcpwm.rcpwmStart() (once the timers run), MainTaskStart(), and MainTaskPass() for ever.
class Node {
public:
    explicit Node(const NodeDevices& devices);
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // The port's transport, with the node ID the parameters give: the stored one if the transport can use
    // it, else none, so that the port obtains one by allocation instead of stopping the node at the
    // transport's range check.
    void startTransport(Port& port);
    void MainTaskStart();
    void MainTaskPass();

    // NodeStatus on the port when it is due (every XPORT_SPIN_PERIOD).
    void spinXport(Port& port);
    // The elected port on LED1..LED3 (none lit: none elected), with the heartbeat on LED3. Every pass.
    void updateLED(int8_t Port);
    // A transfer the port's acceptance let through.
    void onTransferReceived(Port& port, XportRxTransfer* transfer);

    Port ports[PortCANLast];
    param_t parameters[Var_Last];
    NodeIdentity identity;
    Health health;
    ParamServer paramserver;
    FcSelect fcselect;
    Rcpwm rcpwm;
    Services services;

private:
    void onRequestReceived(Port& port, XportRxTransfer* transfer);
    void onMessageReceived(Port& port, XportRxTransfer* transfer);
    void servePort(Port& port);
    void storeStep();

    Store& store_;
    Outputs& outputs_;
    uint8_t current_port = CANStrt;
    uint32_t fc_elected_at = 0;
    uint32_t store_step_at = 0;
};

// The chip's node, which main_node constructs at every start.
Node& runningNode();
// What the chip's node is built on: its drivers and its unique ID.
NodeDevices chipNodeDevices();

extern const osThreadDef_t os_thread_def_Task01;

// Called once by main: constructs and brings up the chip's node and starts the kernel. Returns 0 only if
// the kernel cannot start.
int main_node();

// The task: MainTaskStart once, then MainTaskPass for ever, on the chip's node. The simulator drives the
// two halves itself, and watches MainTaskPass's entry.
void MainTask(const void* argument);
void MainTaskStart();
void MainTaskPass();
