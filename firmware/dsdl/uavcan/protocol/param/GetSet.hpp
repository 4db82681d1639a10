#pragma once
// uavcan.protocol.param.GetSet (service): read or write one parameter by index or by name.

#include <cstdint>

#include "firmware/dsdl/uavcan/protocol/param/NumericValue.hpp"
#include "firmware/dsdl/uavcan/protocol/param/Value.hpp"
#include "firmware/xport/xport.hpp"

inline constexpr uint8_t UAVCAN_PROTOCOL_PARAM_GETSET_ID = 11;
inline constexpr char UAVCAN_PROTOCOL_PARAM_GETSET_NAME[] = "uavcan.protocol.param.GetSet";
inline constexpr uint64_t UAVCAN_PROTOCOL_PARAM_GETSET_SIGNATURE = 0xA7B622F939D1A4D5ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_MAX_SIZE = ((1791 + 7) / 8);
inline constexpr uint16_t UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_MAX_SIZE = ((2967 + 7) / 8);

inline constexpr uint8_t UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_NAME_MAX_LENGTH = 92;
inline constexpr uint8_t UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_NAME_MAX_LENGTH = 92;

// Bytes of dynamic-array arena one request decode may fill: a string value, then the name after it.
inline constexpr uint16_t UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE =
    UAVCAN_PROTOCOL_PARAM_VALUE_DYN_ARR_BUF_SIZE + UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_NAME_MAX_LENGTH;

struct uavcan_protocol_param_GetSetRequest {
    uint16_t index;  // 13 bits on the wire
    uavcan_protocol_param_Value value;
    struct {
        uint8_t len;
        uint8_t* data;
    } name;
};

struct uavcan_protocol_param_GetSetResponse {
    // 5 void bits on the wire
    uavcan_protocol_param_Value value;
    // 5 void bits
    uavcan_protocol_param_Value default_value;
    // 6 void bits
    uavcan_protocol_param_NumericValue max_value;
    // 6 void bits
    uavcan_protocol_param_NumericValue min_value;
    struct {
        uint8_t len;
        uint8_t* data;
    } name;
};

// The root form clears *dest, then decodes from offset 0. A non-zero payload_len marks the top-level
// decode: the name then takes the payload's remaining whole bytes, at most 92. The value's string and the
// name go to the arena in that order (at least ..._REQUEST_DYN_ARR_BUF_SIZE bytes); a null dyn_arr_buf
// only checks them.
int32_t uavcan_protocol_param_GetSetRequest_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                   uavcan_protocol_param_GetSetRequest* dest, uint8_t** dyn_arr_buf);
int32_t uavcan_protocol_param_GetSetRequest_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                            uavcan_protocol_param_GetSetRequest* dest,
                                                            uint8_t** dyn_arr_buf, int32_t offset);

// Void bits are written as zeros. A name longer than 92 bytes is cut to 92 (and the record's len with it);
// at the root it goes without its 7-bit prefix.
uint32_t uavcan_protocol_param_GetSetResponse_encode(uavcan_protocol_param_GetSetResponse* source, void* msg_buf);
uint32_t uavcan_protocol_param_GetSetResponse_encode_internal(uavcan_protocol_param_GetSetResponse* source,
                                                              void* msg_buf, uint32_t offset, uint8_t root_item);
