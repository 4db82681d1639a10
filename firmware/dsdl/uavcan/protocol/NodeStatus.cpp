#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint32_t NODESTATUS_BITS = 32 + 2 + 3 + 3 + 16;
static_assert((NODESTATUS_BITS + 7) / 8 == UAVCAN_PROTOCOL_NODESTATUS_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_NodeStatus_encode_internal(uavcan_protocol_NodeStatus* source, void* msg_buf,
                                                    uint32_t offset, uint8_t /*root_item*/)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    source->health = XPORT_INTERNAL_SATURATE_UNSIGNED(source->health, static_cast<uint8_t>(dsdlUnsignedMax<2>()));
    source->mode = XPORT_INTERNAL_SATURATE_UNSIGNED(source->mode, static_cast<uint8_t>(dsdlUnsignedMax<3>()));
    source->sub_mode = XPORT_INTERNAL_SATURATE_UNSIGNED(source->sub_mode, static_cast<uint8_t>(dsdlUnsignedMax<3>()));

    offset = dsdlEncodeField<32>(msg_buf, offset, source->uptime_sec);
    offset = dsdlEncodeField<2>(msg_buf, offset, source->health);
    offset = dsdlEncodeField<3>(msg_buf, offset, source->mode);
    offset = dsdlEncodeField<3>(msg_buf, offset, source->sub_mode);
    offset = dsdlEncodeField<16>(msg_buf, offset, source->vendor_specific_status_code);
    return offset;
}

uint32_t uavcan_protocol_NodeStatus_encode(uavcan_protocol_NodeStatus* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_NodeStatus_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
