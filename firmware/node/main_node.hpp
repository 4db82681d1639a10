#pragma once
// The node core: start-up, the main loop over the three ports, NodeStatus, the parameter table, and the
// acceptance and dispatch of received transfers.

#include <cstdint>

#include "chip.hpp"
#include "firmware/board/kernel.hpp"
#include "firmware/drivers/bxcan.hpp"
#include "firmware/xport/xport.hpp"

// ---------------------------------------------------------------------------------------------------------
// Parameter table

struct param_t {
    const char* name;
    int64_t val;
    int64_t min;
    int64_t max;
    int64_t defval;
};

enum : uint8_t {
    Var_EEFormat = 0,
    Var_NETID0 = 1,
    Var_NETID1 = 2,
    Var_NETID2 = 3,
    Var_CAN2PWM_CHStart = 4,
    Var_CAN2PWM_ACTStart = 10,
    Var_CAN_TotBlocks = 16,
    Var_CAN_CurrBlocks = 19,
    Var_CAN_PeakBlocks = 22,
    Var_CAN_RXOVF = 25,
    Var_CAN_RXERR = 28,
    Var_Last = 31,
};

extern param_t parameters[Var_Last];

// ---------------------------------------------------------------------------------------------------------
// Acceptance

struct Msg_Filt_t {
    uint16_t data_type_id;
    uint64_t out_data_type_signature;
    int8_t transfer_type;  // an XportTransferType, or -1 for any kind
};

inline constexpr unsigned MSG_FILT_COUNT = 8;
extern const Msg_Filt_t Msg_Filt[MSG_FILT_COUNT];

bool shouldAcceptTransfer(const XportInstance* ins, uint64_t* out_data_type_signature, uint16_t data_type_id,
                          XportTransferType transfer_type, uint8_t source_node_id);
void onTransferReceived(XportInstance* ins, XportRxTransfer* transfer, PortCAN_t Port);
void onTransferReceived0(XportInstance* ins, XportRxTransfer* transfer);
void onTransferReceived1(XportInstance* ins, XportRxTransfer* transfer);
void onTransferReceived2(XportInstance* ins, XportRxTransfer* transfer);

// ---------------------------------------------------------------------------------------------------------
// Start-up and main loop

inline constexpr uint32_t XPORT_SPIN_PERIOD = 1000;  // ms between NodeStatus broadcasts per port
inline constexpr uint8_t CANStrt = 0;
inline constexpr uint8_t CANEnd = 3;

// The node's own 64-bit unique ID (chip UID word 1 above, word 0 XOR word 2 below).
extern uint64_t UniqID;
// One transport instance per port, each with its 96-block pool.
extern XportInstance g_xport[PortCANLast];
// The node ID in use on each port; 0 while the port has none.
extern uint8_t gNodeID[PortCANLast];

extern const osThreadDef_t os_thread_def_Task01;

// Called once by main: brings the node up and starts the kernel. Returns 0 only if the kernel cannot start.
int main_node();

// The task: MainTaskStart once, then MainTaskPass for ever. The simulator drives the two halves itself.
void MainTask(const void* argument);
void MainTaskStart();
void MainTaskPass();

using TXRXFN_t = void (*)(PortCAN_t Port);
void sendXport(PortCAN_t Port);
void receiveXport(PortCAN_t Port);
void spinXport(PortCAN_t Port);
uint32_t getUptime();
void updateLED(int8_t Port);
void gpioSet(GPIO_TypeDef* port, uint16_t pin, uint8_t On);
