#pragma once
// uavcan.protocol.param.Empty: the "no value" member of the parameter unions; nothing on the wire.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr char UAVCAN_PROTOCOL_PARAM_EMPTY_NAME[] = "uavcan.protocol.param.Empty";
inline constexpr uint64_t UAVCAN_PROTOCOL_PARAM_EMPTY_SIGNATURE = 0x6C4D0E8EF37361DFULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_PARAM_EMPTY_MAX_SIZE = 0;

struct uavcan_protocol_param_Empty {
    uint8_t empty;  // placeholder, never on the wire
};

uint32_t uavcan_protocol_param_Empty_encode(uavcan_protocol_param_Empty* source, void* msg_buf);
uint32_t uavcan_protocol_param_Empty_encode_internal(uavcan_protocol_param_Empty* source, void* msg_buf,
                                                     uint32_t offset, uint8_t root_item);
int32_t uavcan_protocol_param_Empty_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                    uavcan_protocol_param_Empty* dest, uint8_t** dyn_arr_buf,
                                                    int32_t offset);
