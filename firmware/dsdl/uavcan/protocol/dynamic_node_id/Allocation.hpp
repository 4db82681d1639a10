#pragma once
// uavcan.protocol.dynamic_node_id.Allocation: requests of an anonymous node and the allocator's answers.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint16_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID = 1;
inline constexpr char UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_NAME[] = "uavcan.protocol.dynamic_node_id.Allocation";
inline constexpr uint64_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_SIGNATURE = 0x0B2A812620A11D40ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_SIZE = ((141 + 7) / 8);

inline constexpr uint16_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_REQUEST_PERIOD_MS = 1000;
inline constexpr uint16_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MIN_REQUEST_PERIOD_MS = 600;
inline constexpr uint16_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_FOLLOWUP_DELAY_MS = 400;
inline constexpr uint16_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MIN_FOLLOWUP_DELAY_MS = 0;
inline constexpr uint16_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_FOLLOWUP_TIMEOUT_MS = 500;
inline constexpr uint8_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_LENGTH_OF_UNIQUE_ID_IN_REQUEST = 6;
inline constexpr uint8_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ANY_NODE_ID = 0;

inline constexpr uint8_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_UNIQUE_ID_MAX_LENGTH = 16;

// Bytes of dynamic-array arena one decode may fill.
inline constexpr uint16_t UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_DYN_ARR_BUF_SIZE =
    UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_UNIQUE_ID_MAX_LENGTH;

struct uavcan_protocol_dynamic_node_id_Allocation {
    uint8_t node_id;  // 7 bits on the wire
    bool first_part_of_unique_id;
    struct {
        uint8_t len;
        uint8_t* data;
    } unique_id;
};

// Encoders limit node_id to 127 and unique_id.len to 16 and leave the limited values in *source. At the
// root the unique ID goes without its 5-bit length prefix.
uint32_t uavcan_protocol_dynamic_node_id_Allocation_encode(uavcan_protocol_dynamic_node_id_Allocation* source,
                                                           void* msg_buf);
uint32_t uavcan_protocol_dynamic_node_id_Allocation_encode_internal(
    uavcan_protocol_dynamic_node_id_Allocation* source, void* msg_buf, uint32_t offset, uint8_t root_item);

// A non-zero payload_len marks the top-level decode: the unique ID then takes the payload's remaining whole
// bytes, at most 16 (the returned offset is the one after the bytes taken). Unique-ID bytes go to the arena
// (*dyn_arr_buf, at least ..._DYN_ARR_BUF_SIZE bytes); a null dyn_arr_buf only checks them.
int32_t uavcan_protocol_dynamic_node_id_Allocation_decode_internal(const XportRxTransfer* transfer,
                                                                   uint16_t payload_len,
                                                                   uavcan_protocol_dynamic_node_id_Allocation* dest,
                                                                   uint8_t** dyn_arr_buf, int32_t offset);
