#pragma once
// uavcan.protocol.GetDataTypeInfo (service): what a node knows of a data type, asked by ID and kind or by
// full name; the kind is uavcan.protocol.DataTypeKind.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint8_t UAVCAN_PROTOCOL_GETDATATYPEINFO_ID = 2;
inline constexpr char UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME[] = "uavcan.protocol.GetDataTypeInfo";
inline constexpr uint64_t UAVCAN_PROTOCOL_GETDATATYPEINFO_SIGNATURE = 0x1B283338A7BED2D8ULL;
inline constexpr uint8_t UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME_MAX_LENGTH = 80;
inline constexpr uint16_t UAVCAN_PROTOCOL_GETDATATYPEINFO_REQUEST_MAX_SIZE = 2 + 1 + 80;
inline constexpr uint16_t UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_MAX_SIZE = 8 + 2 + 1 + 1 + 80;

inline constexpr uint8_t UAVCAN_PROTOCOL_DATATYPEKIND_SERVICE = 0;
inline constexpr uint8_t UAVCAN_PROTOCOL_DATATYPEKIND_MESSAGE = 1;

inline constexpr uint8_t UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_FLAG_KNOWN = 1;
inline constexpr uint8_t UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_FLAG_SUBSCRIBED = 2;
inline constexpr uint8_t UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_FLAG_PUBLISHING = 4;
inline constexpr uint8_t UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_FLAG_SERVING = 8;

struct uavcan_protocol_GetDataTypeInfoRequest {
    uint16_t id;
    uint8_t kind;
    struct {
        uint8_t len;
        uint8_t* data;
    } name;
};

struct uavcan_protocol_GetDataTypeInfoResponse {
    uint64_t signature;
    uint16_t id;
    uint8_t kind;
    uint8_t flags;
    struct {
        uint8_t len;
        const uint8_t* data;
    } name;
};

// The top-level form: clears *dest; the name, the tail, takes the payload's remaining bytes, at most 80,
// into the arena (at least ..._NAME_MAX_LENGTH bytes; null: only checked). A payload shorter than the ID
// and the kind is an error.
int32_t uavcan_protocol_GetDataTypeInfoRequest_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                      uavcan_protocol_GetDataTypeInfoRequest* dest,
                                                      uint8_t** dyn_arr_buf);

// A name beyond 80 bytes is cut (and so stored back).
uint32_t uavcan_protocol_GetDataTypeInfoResponse_encode(uavcan_protocol_GetDataTypeInfoResponse* source,
                                                        void* msg_buf);
