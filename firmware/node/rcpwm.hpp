#pragma once
// Actuator and ESC commands to the six RC-PWM outputs, by the driver's output index, and the one place that
// decides what each output does: which output follows which actuator ID or ESC element, and at which frame
// rate, comes from the parameters (updateLookups); commands from the elected flight controller set the
// outputs' levels (rawcmdHandleXport).
//
// An output is an ESC output when its CAN2PWM_ACT_ESC row is set, else a servo output. Each output either
// pulses at its commanded width, or holds the neutral 1500 us (a servo output, from reset until a command
// names it), or emits no pulse:
// - from reset until a command sets it, an ESC output emits no pulse; so does an output a parameter write
//   makes an ESC output, until its command;
// - an ESC output whose RawCommand element has not come for ESC_COMMAND_TIMEOUT_MS emits no pulse until
//   its next command; servo outputs hold their last width;
// - a level below 0 (ArrayCommand -1..0) gives no pulse;
// - with no flight controller elected (DisablePWM) every output stops until the next command;
// - Panic (PANIC_MIN_MESSAGES messages, each within PANIC_MAX_INTERVAL_MS of the one before) stops every
//   output until PANIC_MAX_INTERVAL_MS pass without one; the commands after that drive them again;
// - a fatal stop drives every output low (the driver's PWMOutputsLow, registered by main_node).
// Main task only: nothing here is locked.

#include <cstdint>

#include "firmware/drivers/PWM.hpp"
#include "firmware/drivers/devices.hpp"
#include "firmware/node/params.hpp"
#include "firmware/xport/xport.hpp"

inline constexpr int32_t ESC_RAWCOMMAND_MIN_VALUE = 160;
inline constexpr int32_t ESC_RAWCOMMAND_MAX_VALUE = 8182;
inline constexpr int32_t ESC_RAWCOMMAND_RANGE = ESC_RAWCOMMAND_MAX_VALUE - ESC_RAWCOMMAND_MIN_VALUE;

// Longer than a failover takes (the vote's 250 ms timeout plus the 50 ms election check), so switching to
// the other flight controller never drops a pulse.
inline constexpr uint32_t ESC_COMMAND_TIMEOUT_MS = 500;
inline constexpr uint32_t OUTPUT_CHECK_MS = 10;  // period of the timeout and Panic checks

template <typename T>
constexpr T LIMIT(T a, T min, T max)
{
    return a < min ? min : (a > max ? max : a);
}

inline constexpr uint8_t ACT_LOOKUP_LEN = 17;
inline constexpr uint8_t ESC_LOOKUP_LEN = 20;

// The outputs' state and the commands' handlers. A new Rcpwm has nothing commanded, no Panic and no
// output assigned until updateLookups: the state at power-on.
class Rcpwm {
public:
    // The mapping comes from the parameter table (rows CAN2PWM_CH* and CAN2PWM_ACT_ESC*); the pins are
    // driven through outputs.
    Rcpwm(const param_t (&parameters)[Var_Last], Outputs& outputs);

    // Right after the timers' start: servo outputs start at the neutral 1500 us, ESC outputs without pulse.
    void rcpwmStart();
    // Rebuilds both lookups and the timers' frame rates from the CAN2PWM_CH* and CAN2PWM_ACT_ESC*
    // parameters. Call after every change of those parameters; a timer whose rate stays is not touched, a
    // new rate starts where the frame under way ends. A stored output number outside 1..16 leaves the
    // output unassigned (and at 50 Hz).
    void updateLookups();
    // Applies one ArrayCommand or RawCommand transfer of the elected flight controller to the outputs'
    // levels and rewrites all six outputs (none during Panic).
    void rawcmdHandleXport(XportRxTransfer* transfer);
    // Writes the six compare values from six levels (0..1 maps to 1000..2000 us; above 1 is limited to
    // 2000 us; a level below 0, or NaN, gives no pulse).
    void rcpwmUpdate(const float* ar);
    // No pulses on any output; the levels are kept for the next command.
    void DisablePWM();
    // A uavcan.protocol.Panic message from a port that is not ignored.
    void panicHandleXport();
    // True while Panic holds the outputs off.
    bool rcpwmPanicking() const { return panicking; }
    // Once per pass: ESC command timeouts and the end of Panic, acting every OUTPUT_CHECK_MS.
    void rcpwmPoll();

    // Actuator ID 0..16 and RawCommand element 0..19 to output index; -1 for none.
    int8_t ActLookup[ACT_LOOKUP_LEN];
    int8_t EscLookup[ESC_LOOKUP_LEN];

private:
    bool isEscOutput(uint8_t i) const;
    void writeOutputs();
    void applyArrayCommand(const XportRxTransfer* transfer);
    void applyRawCommand(const XportRxTransfer* transfer);
    void requestRates(const bool (&fast)[NUM_PWM], bool esc);
    void clearLookups();

    const param_t* parameters_;
    Outputs& outputs_;
    // Per output, the last commanded level (0..1 for ESC outputs, the command value for servo outputs),
    // the neutral one until a command sets it.
    float Level[NUM_PWM];
    // Per ESC output: a command set it and has not timed out, and the tick it came at.
    bool commanded[NUM_PWM] = {};
    uint32_t commandTick[NUM_PWM] = {};
    uint8_t panicMessages = 0;  // in the current run of Panic messages
    uint32_t lastPanicTick = 0;
    bool panicking = false;
    uint32_t lastCheck = 0;
};
