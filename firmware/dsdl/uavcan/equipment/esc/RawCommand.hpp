#pragma once
// uavcan.equipment.esc.RawCommand: raw ESC set-points, one per ESC index.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint16_t UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID = 1030;
inline constexpr char UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_NAME[] = "uavcan.equipment.esc.RawCommand";
inline constexpr uint64_t UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_SIGNATURE = 0x217F5C87D7EC951DULL;
inline constexpr uint16_t UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_MAX_SIZE = ((285 + 7) / 8);

inline constexpr uint8_t UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH = 20;

// Bytes of dynamic-array arena one decode may fill: int16 values, aligned for them.
inline constexpr uint16_t UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_DYN_ARR_BUF_SIZE =
    UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH * sizeof(int16_t);

struct uavcan_equipment_esc_RawCommand {
    struct {
        uint8_t len;
        int16_t* data;  // 14-bit signed on the wire
    } cmd;
};

// A non-zero payload_len marks the top-level decode: the values then fill the payload's remaining whole
// 14-bit elements, at most 20. Values go to the arena (*dyn_arr_buf, aligned for int16, advanced past
// them); a null dyn_arr_buf only checks them.
int32_t uavcan_equipment_esc_RawCommand_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                        uavcan_equipment_esc_RawCommand* dest, uint8_t** dyn_arr_buf,
                                                        int32_t offset);
