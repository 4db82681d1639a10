#pragma once
// uavcan.equipment.actuator.ArrayCommand: set-points for actuators by ID.

#include <cstdint>

#include "firmware/dsdl/uavcan/equipment/actuator/Command.hpp"
#include "firmware/xport/xport.hpp"

inline constexpr uint16_t UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID = 1010;
inline constexpr char UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_NAME[] = "uavcan.equipment.actuator.ArrayCommand";
inline constexpr uint64_t UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_SIGNATURE = 0xD8A7486238EC3AF3ULL;
inline constexpr uint16_t UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_MAX_SIZE = ((484 + 7) / 8);

inline constexpr uint8_t UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_COMMANDS_MAX_LENGTH = 15;

// Bytes of dynamic-array arena one decode may fill: whole command records, aligned for them.
inline constexpr uint16_t UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_DYN_ARR_BUF_SIZE =
    UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_COMMANDS_MAX_LENGTH * sizeof(uavcan_equipment_actuator_Command);

struct uavcan_equipment_actuator_ArrayCommand {
    struct {
        uint8_t len;
        uavcan_equipment_actuator_Command* data;
    } commands;
};

// A non-zero payload_len marks the top-level decode: the commands then fill the payload's remaining whole
// 32-bit elements, at most 15. Element c is decoded into the arena's record c (*dyn_arr_buf must be aligned
// for the record and is not advanced); a null dyn_arr_buf only checks them. Decoding stops at the first
// element that does not decode, and commands.len counts the whole ones before it.
int32_t uavcan_equipment_actuator_ArrayCommand_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                               uavcan_equipment_actuator_ArrayCommand* dest,
                                                               uint8_t** dyn_arr_buf, int32_t offset);
