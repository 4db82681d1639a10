#pragma once
// Flight-controller selection on the three ports: which ports carry actuator commands (visibility, and
// its broadcast), which port's commands drive the outputs (the vote), and which ports to ignore. Main task
// only: the handlers run inside the receive pumps, the periodic steps in the loop; nothing is locked.

#include <cstdint>

#include "firmware/drivers/bxcan.hpp"
#include "firmware/xport/xport.hpp"

inline constexpr uint32_t CHECKFC_PERIOD_mS = 50;  // voter ageing
inline constexpr uint32_t VIS_CHECK_MS = 50;       // visibility check
inline constexpr uint32_t VS_TIMEOUT_MS = 100;     // a port whose last command is this old is not visible
inline constexpr uint32_t VIS_PUB_MS = 100;        // visibility broadcast, per port

// The elected port whose commands drive the outputs; -1 for none.
extern int8_t ActiveFCPort;
// Per port: an actuator or ESC command arrived within the visibility timeout, and the tick of the last.
extern bool PixVisibility[PortCANLast];
extern uint32_t RxFCTick[PortCANLast];
// Per port: flight-controller traffic there (commands, votes, the visibility broadcast) is ignored.
extern bool IgnoreCanPort[PortCANLast];

// ArrayCommand and RawCommand: to the outputs when they come from the elected port; from any port that is
// not ignored they mark the port visible.
void commandGateXport(XportRxTransfer* transfer, PortCAN_t Port);
// UseFlightController: one vote into the voter; the result is the elected port. No port: outputs off.
void voteHandleXport(XportRxTransfer* transfer, PortCAN_t Port);
// IgnoreCANPort: addressed by this node's ID on the receiving port, it replaces all three ignore flags.
// Heard on ignored ports too, so that a port can be released.
void ignoreHandleXport(XportRxTransfer* transfer, PortCAN_t Port);

// Loop steps, each returning at once until its period has passed (periods hold across the tick wrap).
void UpdateVisibility();
void PublishVisibility(PortCAN_t Port);
// Drops votes not repeated for 250 ms; while no port is elected, keeps the outputs off.
void UpdateFCList();
