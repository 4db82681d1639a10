#pragma once
// uavcan.protocol.GetNodeInfo (service): the request is empty; the node answers with its status, versions,
// unique ID and name.

#include <cstdint>

#include "firmware/dsdl/uavcan/protocol/HardwareVersion.hpp"
#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"
#include "firmware/dsdl/uavcan/protocol/SoftwareVersion.hpp"

inline constexpr uint8_t UAVCAN_PROTOCOL_GETNODEINFO_ID = 1;
inline constexpr char UAVCAN_PROTOCOL_GETNODEINFO_NAME[] = "uavcan.protocol.GetNodeInfo";
inline constexpr uint64_t UAVCAN_PROTOCOL_GETNODEINFO_SIGNATURE = 0xEE468A8121C46A9EULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_GETNODEINFO_REQUEST_MAX_SIZE = 0;
inline constexpr uint16_t UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE = ((3015 + 7) / 8);

inline constexpr uint8_t UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_NAME_MAX_LENGTH = 80;

struct uavcan_protocol_GetNodeInfoResponse {
    uavcan_protocol_NodeStatus status;
    uavcan_protocol_SoftwareVersion software_version;
    uavcan_protocol_HardwareVersion hardware_version;
    struct {
        uint8_t len;
        uint8_t* data;
    } name;
};

// The name is the last field: at the root it goes without its 7-bit prefix. A name longer than 80 bytes is
// cut to 80 (and the record's len with it) so the answer always fits its maximum size. The nested status
// is saturated as by its own encoder.
uint32_t uavcan_protocol_GetNodeInfoResponse_encode(uavcan_protocol_GetNodeInfoResponse* source, void* msg_buf);
uint32_t uavcan_protocol_GetNodeInfoResponse_encode_internal(uavcan_protocol_GetNodeInfoResponse* source,
                                                             void* msg_buf, uint32_t offset, uint8_t root_item);
