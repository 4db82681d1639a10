#include "firmware/node/rcpwm.hpp"

#include <cmath>

#include "firmware/dsdl/uavcan/equipment/actuator/ArrayCommand.hpp"
#include "firmware/dsdl/uavcan/equipment/esc/RawCommand.hpp"
#include "firmware/node/params.hpp"

int8_t ActLookup[ACT_LOOKUP_LEN];
int8_t EscLookup[ESC_LOOKUP_LEN];

namespace {

static_assert(ESC_LOOKUP_LEN == UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH);
static_assert(Var_CAN2PWM_CHStart + NUM_PWM <= Var_CAN2PWM_ACTStart);
static_assert(Var_CAN2PWM_ACTStart + NUM_PWM <= Var_Last);

// The parameter table admits output numbers 0..16 for both kinds of output.
constexpr int64_t kMaxOutputNumber = ACT_LOOKUP_LEN - 1;
static_assert(kMaxOutputNumber <= ESC_LOOKUP_LEN);

constexpr float kMinLevel = -1.0F;
constexpr float kMaxLevel = 1.0F;

// Per output, the last commanded level: 0..1 for ESC outputs, the command value for servo outputs.
float Level[NUM_PWM];

void applyArrayCommand(const XportRxTransfer* transfer)
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
            // Limited, so that pulses stay within 0..2000 us.
            Level[idx] = LIMIT(cmd.command_value, kMinLevel, kMaxLevel);
        }
    }
}

void applyRawCommand(const XportRxTransfer* transfer)
{
    int16_t raw[UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH];
    uint8_t* arena = reinterpret_cast<uint8_t*>(raw);
    uavcan_equipment_esc_RawCommand msg{};
    (void)uavcan_equipment_esc_RawCommand_decode_internal(transfer, transfer->payload_len, &msg, &arena, 0);
    for (uint8_t k = 0; k < msg.cmd.len; ++k) {
        const int8_t idx = EscLookup[k];
        if (idx >= 0) {
            const int32_t value = LIMIT<int32_t>(raw[k], ESC_RAWCOMMAND_MIN_VALUE, ESC_RAWCOMMAND_MAX_VALUE);
            Level[idx] = static_cast<float>(value - ESC_RAWCOMMAND_MIN_VALUE) / static_cast<float>(ESC_RAWCOMMAND_RANGE);
        }
    }
}

void clearLookups()
{
    for (int8_t& entry : ActLookup) {
        entry = -1;
    }
    for (int8_t& entry : EscLookup) {
        entry = -1;
    }
}

}  // namespace

void InitRcpwm()
{
    clearLookups();
    for (float& level : Level) {
        level = 0.0F;
    }
}

void updateLookups()
{
    clearLookups();
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        const PWM_Output_t& out = PWM_Outputs[i];
        PWMSetFreq(out.timer, out.channel, PWM_Freq50Hz);
        const int64_t n = parameters[Var_CAN2PWM_CHStart + i].val;
        if (n < 1 || n > kMaxOutputNumber) {
            continue;  // unassigned; a value outside the table's range is refused the same way
        }
        if (parameters[Var_CAN2PWM_ACTStart + i].val != 0) {
            EscLookup[n - 1] = static_cast<int8_t>(i);
            PWMSetFreq(out.timer, out.channel, PWM_Freq490Hz);
        } else {
            ActLookup[n] = static_cast<int8_t>(i);
        }
    }
}

void rawcmdHandleXport(XportRxTransfer* transfer)
{
    if (transfer->data_type_id == UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID) {
        applyArrayCommand(transfer);
    } else if (transfer->data_type_id == UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID) {
        applyRawCommand(transfer);
    }
    // Every output is rewritten, also those the message did not address.
    rcpwmUpdate(Level);
}

void rcpwmUpdate(const float* ar)
{
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        // Written so that a NaN takes the lower bound: a float that fits no integer must not be converted.
        float level = ar[i] > kMinLevel ? ar[i] : kMinLevel;
        level = level < kMaxLevel ? level : kMaxLevel;
        const auto pulse = static_cast<int32_t>(level * static_cast<float>(RCPWM_RANGE_uS)) +
                           static_cast<int32_t>(RCPWM_MIN_uS);
        TIM_SetCompare(PWM_Outputs[i].timer, PWM_Outputs[i].channel, uS_to_ticks(static_cast<uint32_t>(pulse)));
    }
}

void DisablePWM()
{
    for (const PWM_Output_t& out : PWM_Outputs) {
        TIM_SetCompare(out.timer, out.channel, 0);
    }
}
