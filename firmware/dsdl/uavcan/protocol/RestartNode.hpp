#pragma once
// uavcan.protocol.RestartNode (service): restarts the node when the request carries the magic number.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint8_t UAVCAN_PROTOCOL_RESTARTNODE_ID = 5;
inline constexpr char UAVCAN_PROTOCOL_RESTARTNODE_NAME[] = "uavcan.protocol.RestartNode";
inline constexpr uint64_t UAVCAN_PROTOCOL_RESTARTNODE_SIGNATURE = 0x569E05394A3017F0ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_RESTARTNODE_REQUEST_MAX_SIZE = ((40 + 7) / 8);
inline constexpr uint16_t UAVCAN_PROTOCOL_RESTARTNODE_RESPONSE_MAX_SIZE = ((1 + 7) / 8);

inline constexpr uint64_t UAVCAN_PROTOCOL_RESTARTNODE_REQUEST_MAGIC_NUMBER = 0xACCE551B1EULL;

struct uavcan_protocol_RestartNodeRequest {
    uint64_t magic_number;  // 40 bits on the wire
};

struct uavcan_protocol_RestartNodeResponse {
    bool ok;
};

// Writes the low 40 bits of the magic number.
uint32_t uavcan_protocol_RestartNodeRequest_encode(uavcan_protocol_RestartNodeRequest* source, void* msg_buf);
uint32_t uavcan_protocol_RestartNodeRequest_encode_internal(uavcan_protocol_RestartNodeRequest* source,
                                                            void* msg_buf, uint32_t offset, uint8_t root_item);

// No dynamic arrays: payload_len and dyn_arr_buf are not used. A payload shorter than 40 bits is an error.
int32_t uavcan_protocol_RestartNodeRequest_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                  uavcan_protocol_RestartNodeRequest* dest, uint8_t** dyn_arr_buf);
int32_t uavcan_protocol_RestartNodeRequest_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                           uavcan_protocol_RestartNodeRequest* dest,
                                                           uint8_t** dyn_arr_buf, int32_t offset);

uint32_t uavcan_protocol_RestartNodeResponse_encode(uavcan_protocol_RestartNodeResponse* source, void* msg_buf);
uint32_t uavcan_protocol_RestartNodeResponse_encode_internal(uavcan_protocol_RestartNodeResponse* source,
                                                             void* msg_buf, uint32_t offset, uint8_t root_item);
