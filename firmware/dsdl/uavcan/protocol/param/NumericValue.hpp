#pragma once
// uavcan.protocol.param.NumericValue: the limits of a parameter in a GetSet answer (a union).

#include <cstdint>

#include "firmware/dsdl/uavcan/protocol/param/Empty.hpp"

inline constexpr char UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_NAME[] = "uavcan.protocol.param.NumericValue";
inline constexpr uint64_t UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_SIGNATURE = 0x0DA6D6FEA22E3587ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_MAX_SIZE = ((66 + 7) / 8);

enum uavcan_protocol_param_NumericValue_type_t : uint8_t {
    UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_EMPTY = 0,
    UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_INTEGER_VALUE = 1,
    UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_REAL_VALUE = 2,
};

struct uavcan_protocol_param_NumericValue {
    uavcan_protocol_param_NumericValue_type_t union_tag;  // 2 bits on the wire
    union {
        uavcan_protocol_param_Empty empty;
        int64_t integer_value;
        float real_value;
    };
};

// The tag must name a member (below 3); any other is a fatal stop.
uint32_t uavcan_protocol_param_NumericValue_encode(uavcan_protocol_param_NumericValue* source, void* msg_buf);
uint32_t uavcan_protocol_param_NumericValue_encode_internal(uavcan_protocol_param_NumericValue* source,
                                                            void* msg_buf, uint32_t offset, uint8_t root_item);
