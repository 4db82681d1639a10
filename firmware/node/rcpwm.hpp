#pragma once
// Actuator and ESC commands to the six RC-PWM outputs, by the driver's output index: which output follows
// which actuator ID or ESC element, and at which frame rate, comes from the parameters (updateLookups);
// commands from the elected flight controller set the outputs' levels (rawcmdHandleXport); DisablePWM
// stops every pulse.
// Main task only: nothing here is locked.

#include <cstdint>

#include "firmware/drivers/PWM.hpp"
#include "firmware/xport/xport.hpp"

inline constexpr int32_t ESC_RAWCOMMAND_MIN_VALUE = 160;
inline constexpr int32_t ESC_RAWCOMMAND_MAX_VALUE = 8182;
inline constexpr int32_t ESC_RAWCOMMAND_RANGE = ESC_RAWCOMMAND_MAX_VALUE - ESC_RAWCOMMAND_MIN_VALUE;

template <typename T>
constexpr T LIMIT(T a, T min, T max)
{
    return a < min ? min : (a > max ? max : a);
}

// Actuator ID 0..16 and RawCommand element 0..19 to output index; -1 for none.
inline constexpr uint8_t ACT_LOOKUP_LEN = 17;
inline constexpr uint8_t ESC_LOOKUP_LEN = 20;
extern int8_t ActLookup[ACT_LOOKUP_LEN];
extern int8_t EscLookup[ESC_LOOKUP_LEN];

// The commanded levels and both lookups back to their power-on state (nothing commanded, no output
// assigned until updateLookups).
void InitRcpwm();
// Rebuilds both lookups and the timers' frame rates from the CAN2PWM_CH* and CAN2PWM_ACT_ESC* parameters.
// Call after every change of those parameters. A stored output number outside 1..16 leaves the output
// unassigned (and at 50 Hz).
void updateLookups();
// Applies one ArrayCommand or RawCommand transfer to the outputs' levels and rewrites all six outputs.
void rawcmdHandleXport(XportRxTransfer* transfer);
// Writes the six compare values from six levels (-1.0..1.0 maps to 0..2000 us; outside that range the
// level is limited, and a NaN level gives no pulse).
void rcpwmUpdate(const float* ar);
// No pulses on any output; the levels are kept for the next command.
void DisablePWM();
