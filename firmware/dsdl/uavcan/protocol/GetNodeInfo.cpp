#include "firmware/dsdl/uavcan/protocol/GetNodeInfo.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t NAME_LENGTH_BITS = 7;
static_assert(dsdlUnsignedMax<NAME_LENGTH_BITS>() >= UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_NAME_MAX_LENGTH);

constexpr uint32_t GETNODEINFO_RESPONSE_BITS = UAVCAN_PROTOCOL_NODESTATUS_MAX_SIZE * 8 +
                                               UAVCAN_PROTOCOL_SOFTWAREVERSION_MAX_SIZE * 8 + 2192 +
                                               NAME_LENGTH_BITS +
                                               UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_NAME_MAX_LENGTH * 8;
static_assert(GETNODEINFO_RESPONSE_BITS == 3015);
static_assert((GETNODEINFO_RESPONSE_BITS + 7) / 8 == UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_GetNodeInfoResponse_encode_internal(uavcan_protocol_GetNodeInfoResponse* source,
                                                             void* msg_buf, uint32_t offset, uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = uavcan_protocol_NodeStatus_encode_internal(&source->status, msg_buf, offset, 0);
    offset = uavcan_protocol_SoftwareVersion_encode_internal(&source->software_version, msg_buf, offset, 0);
    offset = uavcan_protocol_HardwareVersion_encode_internal(&source->hardware_version, msg_buf, offset, 0);

    source->name.len =
        XPORT_INTERNAL_SATURATE_UNSIGNED(source->name.len, UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_NAME_MAX_LENGTH);
    if (root_item == 0) {
        offset = dsdlEncodeField<NAME_LENGTH_BITS>(msg_buf, offset, source->name.len);
    }
    offset = dsdlEncodeIntArray<8>(msg_buf, offset, source->name.data, source->name.len);
    return offset;
}

uint32_t uavcan_protocol_GetNodeInfoResponse_encode(uavcan_protocol_GetNodeInfoResponse* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_GetNodeInfoResponse_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
