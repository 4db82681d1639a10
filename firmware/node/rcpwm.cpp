#include "firmware/node/rcpwm.hpp"

#include <cmath>
#include <cstring>

#include "firmware/dsdl/uavcan/equipment/actuator/ArrayCommand.hpp"
#include "firmware/dsdl/uavcan/equipment/esc/RawCommand.hpp"
#include "firmware/dsdl/uavcan/protocol/Panic.hpp"
#include "firmware/node/params.hpp"
#include "firmware/node/ports.hpp"

namespace {

static_assert(ESC_LOOKUP_LEN == UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH);
static_assert(Var_CAN2PWM_CHStart + NUM_PWM <= Var_CAN2PWM_ACTStart);
static_assert(Var_CAN2PWM_ACTStart + NUM_PWM <= Var_Last);
static_assert(ESC_COMMAND_TIMEOUT_MS > 250 + 50, "a failover must not drop a pulse");

// The parameter table admits output numbers 0..16 for both kinds of output.
constexpr int64_t kMaxOutputNumber = ACT_LOOKUP_LEN - 1;
static_assert(kMaxOutputNumber <= ESC_LOOKUP_LEN);

constexpr float kMinLevel = -1.0F;
constexpr float kMaxLevel = 1.0F;
constexpr float kNoPulse = -1.0F;
// 1500 us, what a servo output holds until its own command comes.
constexpr float kNeutralLevel = static_cast<float>(RCPWM_NEUTRAL_uS - RCPWM_MIN_uS) / static_cast<float>(RCPWM_RANGE_uS);

}  // namespace

inline bool Rcpwm::isEscOutput(uint8_t i) const { return parameters_[Var_CAN2PWM_ACTStart + i].val != 0; }

// All six outputs from their state: an ESC output no command has set (or whose command timed out) gets no
// pulse, every other output its level.
inline void Rcpwm::writeOutputs()
{
    float levels[NUM_PWM];
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        levels[i] = isEscOutput(i) && !commanded[i] ? kNoPulse : Level[i];
    }
    rcpwmUpdate(levels);
}

inline void Rcpwm::applyArrayCommand(const XportRxTransfer* transfer)
{
    uavcan_equipment_actuator_Command commands[UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_COMMANDS_MAX_LENGTH];
    uint8_t* arena = reinterpret_cast<uint8_t*>(commands);
    uavcan_equipment_actuator_ArrayCommand msg{};
    // A short payload still yields the whole commands before its end; those are applied.
    (void)uavcan_equipment_actuator_ArrayCommand_decode_internal(transfer, transfer->payload_len, &msg, &arena, 0);
    for (uint8_t c = 0; c < msg.commands.len; ++c) {
        const uavcan_equipment_actuator_Command& cmd = commands[c];
        if (cmd.command_type != UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_COMMAND_TYPE_UNITLESS ||
            cmd.actuator_id >= ACT_LOOKUP_LEN || std::isnan(cmd.command_value)) {
            continue;
        }
        const int8_t idx = ActLookup[cmd.actuator_id];
        if (idx >= 0) {
            Level[idx] = LIMIT(cmd.command_value, kMinLevel, kMaxLevel);
        }
    }
}

inline void Rcpwm::applyRawCommand(const XportRxTransfer* transfer)
{
    int16_t raw[UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH];
    uint8_t* arena = reinterpret_cast<uint8_t*>(raw);
    uavcan_equipment_esc_RawCommand msg{};
    (void)uavcan_equipment_esc_RawCommand_decode_internal(transfer, transfer->payload_len, &msg, &arena, 0);
    const uint32_t now = getUptime();
    for (uint8_t k = 0; k < msg.cmd.len; ++k) {
        const int8_t idx = EscLookup[k];
        if (idx >= 0) {
            const int32_t value = LIMIT<int32_t>(raw[k], ESC_RAWCOMMAND_MIN_VALUE, ESC_RAWCOMMAND_MAX_VALUE);
            Level[idx] = static_cast<float>(value - ESC_RAWCOMMAND_MIN_VALUE) / static_cast<float>(ESC_RAWCOMMAND_RANGE);
            commanded[idx] = true;
            commandTick[idx] = now;
        }
    }
}

// The rate of each output whose `fast` entry is `esc`: 490 Hz for ESC outputs, 50 Hz for the others.
inline void Rcpwm::requestRates(const bool (&fast)[NUM_PWM], bool esc)
{
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        if (fast[i] == esc) {
            outputs_.setFast(i, esc);
        }
    }
}

inline void Rcpwm::clearLookups()
{
    std::memset(ActLookup, -1, sizeof ActLookup);
    std::memset(EscLookup, -1, sizeof EscLookup);
}

// The loop below sets every level.
// cppcheck-suppress uninitMemberVar
Rcpwm::Rcpwm(const param_t (&parameters)[Var_Last], Outputs& outputs) : parameters_(parameters), outputs_(outputs)
{
    clearLookups();
    for (float& level : Level) {
        level = kNeutralLevel;
    }
}

void Rcpwm::rcpwmStart() { writeOutputs(); }

void Rcpwm::updateLookups()
{
    clearLookups();
    bool fast[NUM_PWM] = {};
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        const int64_t n = parameters_[Var_CAN2PWM_CHStart + i].val;
        if (n < 1 || n > kMaxOutputNumber) {
            continue;  // unassigned; a value outside the table's range is refused the same way
        }
        if (isEscOutput(i)) {
            EscLookup[n - 1] = static_cast<int8_t>(i);
            fast[i] = true;
        } else {
            ActLookup[n] = static_cast<int8_t>(i);
        }
    }
    // Rates raised first, lowered after: a timer whose ESC output moves to another of its channels stays at
    // 490 Hz all along, so each timer's period is written at most once, and only when it changes.
    requestRates(fast, true);
    requestRates(fast, false);
    // An output that has just become an ESC output waits for its command: the width it had as a servo
    // output would be a throttle.
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        if (isEscOutput(i) && !commanded[i]) {
            outputs_.setCompare(i, 0);
        }
    }
}

void Rcpwm::rawcmdHandleXport(XportRxTransfer* transfer)
{
    if (transfer->data_type_id == UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID) {
        applyArrayCommand(transfer);
    } else if (transfer->data_type_id == UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID) {
        applyRawCommand(transfer);
    }
    // Every output is rewritten, also those the message did not address; during Panic none is.
    if (!panicking) {
        writeOutputs();
    }
}

void Rcpwm::rcpwmUpdate(const float* ar)
{
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        // Written so that a NaN fails the test: a float that fits no integer must not be converted.
        uint32_t compare = 0;
        if (ar[i] >= 0.0F) {
            const float level = ar[i] < kMaxLevel ? ar[i] : kMaxLevel;
            compare = uS_to_ticks(static_cast<uint32_t>(level * static_cast<float>(RCPWM_RANGE_uS)) + RCPWM_MIN_uS);
        }
        outputs_.setCompare(i, compare);
    }
}

void Rcpwm::DisablePWM()
{
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        outputs_.setCompare(i, 0);
    }
}

void Rcpwm::panicHandleXport()
{
    const uint32_t now = getUptime();
    const bool inRun = panicMessages > 0 && now - lastPanicTick <= UAVCAN_PROTOCOL_PANIC_MAX_INTERVAL_MS;
    if (!inRun) {
        panicMessages = 0;
    }
    if (panicMessages < UAVCAN_PROTOCOL_PANIC_MIN_MESSAGES) {
        ++panicMessages;  // counted up to the number that stops the outputs; more change nothing
    }
    lastPanicTick = now;
    if (panicMessages >= UAVCAN_PROTOCOL_PANIC_MIN_MESSAGES) {
        panicking = true;
        DisablePWM();
    }
}

void Rcpwm::rcpwmPoll()
{
    const uint32_t now = getUptime();
    if (now - lastCheck < OUTPUT_CHECK_MS) {
        return;
    }
    lastCheck = now;
    if (panicking && now - lastPanicTick > UAVCAN_PROTOCOL_PANIC_MAX_INTERVAL_MS) {
        panicking = false;  // the outputs stay off until the next command
        panicMessages = 0;
    }
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        if (commanded[i] && now - commandTick[i] >= ESC_COMMAND_TIMEOUT_MS) {
            commanded[i] = false;
            if (isEscOutput(i)) {
                outputs_.setCompare(i, 0);
            }
        }
    }
}
