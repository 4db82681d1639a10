#pragma once
// The node core: start-up, the main loop over the three ports, NodeStatus, and the acceptance and dispatch
// of received transfers, which tie the node's modules together.

#include <cstdint>

#include "firmware/board/kernel.hpp"
#include "firmware/drivers/bxcan.hpp"
#include "firmware/node/Voters.hpp"
#include "firmware/node/ports.hpp"
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

bool shouldAcceptTransfer(const XportInstance* ins, uint64_t* out_data_type_signature, uint16_t data_type_id,
                          XportTransferType transfer_type, uint8_t source_node_id);
// Every transfer the ports receive; the instance's user reference is its Port.
void onTransferReceived(XportInstance* ins, XportRxTransfer* transfer);

// ---------------------------------------------------------------------------------------------------------
// Start-up and main loop

inline constexpr uint32_t XPORT_SPIN_PERIOD = 1000;  // ms between NodeStatus broadcasts per port
// The ports the main loop visits: all of them. The port count is PortCANLast's; the voter, which is pure
// and includes no driver, states it again and is held to it.
inline constexpr uint8_t CANStrt = PortCAN1;
inline constexpr uint8_t CANEnd = PortCANLast;
static_assert(VoterCANPorts == PortCANLast, "every port is electable");

extern const osThreadDef_t os_thread_def_Task01;

// Called once by main: brings the node up and starts the kernel. Returns 0 only if the kernel cannot start.
int main_node();

// The task: MainTaskStart once, then MainTaskPass for ever. The simulator drives the two halves itself.
void MainTask(const void* argument);
void MainTaskStart();
void MainTaskPass();

// NodeStatus on the port when it is due (every XPORT_SPIN_PERIOD).
void spinXport(Port& port);
// The elected port on LED1..LED3 (none lit: none elected), with the heartbeat on LED3. Every pass.
void updateLED(int8_t Port);
