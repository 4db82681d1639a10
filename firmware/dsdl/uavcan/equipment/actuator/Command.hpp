#pragma once
// uavcan.equipment.actuator.Command: one element of an actuator ArrayCommand.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr char UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_NAME[] = "uavcan.equipment.actuator.Command";
inline constexpr uint64_t UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_SIGNATURE = 0x8D9A6A920C1D616CULL;
inline constexpr uint16_t UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_MAX_SIZE = ((32 + 7) / 8);

inline constexpr uint8_t UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_COMMAND_TYPE_UNITLESS = 0;
inline constexpr uint8_t UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_COMMAND_TYPE_POSITION = 1;
inline constexpr uint8_t UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_COMMAND_TYPE_FORCE = 2;
inline constexpr uint8_t UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_COMMAND_TYPE_SPEED = 3;

struct uavcan_equipment_actuator_Command {
    uint8_t actuator_id;
    uint8_t command_type;
    float command_value;  // half precision on the wire
};

int32_t uavcan_equipment_actuator_Command_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                          uavcan_equipment_actuator_Command* dest,
                                                          uint8_t** dyn_arr_buf, int32_t offset);
