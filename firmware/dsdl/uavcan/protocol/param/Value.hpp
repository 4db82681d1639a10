#pragma once
// uavcan.protocol.param.Value: the value of a parameter in GetSet (a union).

#include <cstdint>

#include "firmware/dsdl/uavcan/protocol/param/Empty.hpp"
#include "firmware/xport/xport.hpp"

inline constexpr char UAVCAN_PROTOCOL_PARAM_VALUE_NAME[] = "uavcan.protocol.param.Value";
inline constexpr uint64_t UAVCAN_PROTOCOL_PARAM_VALUE_SIGNATURE = 0x29F14BF484727267ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_PARAM_VALUE_MAX_SIZE = ((1035 + 7) / 8);

inline constexpr uint8_t UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE_MAX_LENGTH = 128;

// Bytes of dynamic-array arena one decode may fill.
inline constexpr uint16_t UAVCAN_PROTOCOL_PARAM_VALUE_DYN_ARR_BUF_SIZE = UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE_MAX_LENGTH;

enum uavcan_protocol_param_Value_type_t : uint8_t {
    UAVCAN_PROTOCOL_PARAM_VALUE_EMPTY = 0,
    UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE = 1,
    UAVCAN_PROTOCOL_PARAM_VALUE_REAL_VALUE = 2,
    UAVCAN_PROTOCOL_PARAM_VALUE_BOOLEAN_VALUE = 3,
    UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE = 4,
};

struct uavcan_protocol_param_Value {
    uavcan_protocol_param_Value_type_t union_tag;  // 3 bits on the wire
    union {
        uavcan_protocol_param_Empty empty;
        int64_t integer_value;
        float real_value;
        uint8_t boolean_value;
        struct {
            uint8_t len;
            uint8_t* data;
        } string_value;
    };
};

// The tag must name a member (below 5); any other is a fatal stop. A string longer than 128 bytes is cut to
// 128 (and the record's len with it). Nested, the string carries its 8-bit length prefix.
uint32_t uavcan_protocol_param_Value_encode(uavcan_protocol_param_Value* source, void* msg_buf);
uint32_t uavcan_protocol_param_Value_encode_internal(uavcan_protocol_param_Value* source, void* msg_buf,
                                                     uint32_t offset, uint8_t root_item);

// A tag of 5, 6 or 7 is kept in union_tag and decoding ends right after it, without error. String bytes go
// to the arena, at most 128 (a longer prefix is cut; the returned offset is the one after the bytes taken).
int32_t uavcan_protocol_param_Value_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                    uavcan_protocol_param_Value* dest, uint8_t** dyn_arr_buf,
                                                    int32_t offset);
