#pragma once
// uavcan.protocol.param.ExecuteOpcode (service): store or erase the node's parameters.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint8_t UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_ID = 10;
inline constexpr char UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_NAME[] = "uavcan.protocol.param.ExecuteOpcode";
inline constexpr uint64_t UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_SIGNATURE = 0x3B131AC5EB69D2CDULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_REQUEST_MAX_SIZE = ((56 + 7) / 8);
inline constexpr uint16_t UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_RESPONSE_MAX_SIZE = ((49 + 7) / 8);

inline constexpr uint8_t UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_REQUEST_OPCODE_SAVE = 0;
inline constexpr uint8_t UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_REQUEST_OPCODE_ERASE = 1;

struct uavcan_protocol_param_ExecuteOpcodeRequest {
    uint8_t opcode;
    int64_t argument;  // 48 bits on the wire
};

struct uavcan_protocol_param_ExecuteOpcodeResponse {
    int64_t argument;  // 48 bits on the wire
    bool ok;
};

// The argument goes out as its low 48 bits (two's complement).
uint32_t uavcan_protocol_param_ExecuteOpcodeRequest_encode(uavcan_protocol_param_ExecuteOpcodeRequest* source,
                                                           void* msg_buf);
uint32_t uavcan_protocol_param_ExecuteOpcodeRequest_encode_internal(
    uavcan_protocol_param_ExecuteOpcodeRequest* source, void* msg_buf, uint32_t offset, uint8_t root_item);

// No dynamic arrays: payload_len and dyn_arr_buf are not used. A payload shorter than 56 bits is an error.
// The argument is sign-extended.
int32_t uavcan_protocol_param_ExecuteOpcodeRequest_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                          uavcan_protocol_param_ExecuteOpcodeRequest* dest,
                                                          uint8_t** dyn_arr_buf);
int32_t uavcan_protocol_param_ExecuteOpcodeRequest_decode_internal(const XportRxTransfer* transfer,
                                                                   uint16_t payload_len,
                                                                   uavcan_protocol_param_ExecuteOpcodeRequest* dest,
                                                                   uint8_t** dyn_arr_buf, int32_t offset);

uint32_t uavcan_protocol_param_ExecuteOpcodeResponse_encode(uavcan_protocol_param_ExecuteOpcodeResponse* source,
                                                            void* msg_buf);
uint32_t uavcan_protocol_param_ExecuteOpcodeResponse_encode_internal(
    uavcan_protocol_param_ExecuteOpcodeResponse* source, void* msg_buf, uint32_t offset, uint8_t root_item);
