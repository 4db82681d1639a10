#include "firmware/dsdl/uavcan/protocol/SoftwareVersion.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint32_t SOFTWAREVERSION_BITS = 8 + 8 + 8 + 32 + 64;
static_assert((SOFTWAREVERSION_BITS + 7) / 8 == UAVCAN_PROTOCOL_SOFTWAREVERSION_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_SoftwareVersion_encode_internal(uavcan_protocol_SoftwareVersion* source, void* msg_buf,
                                                         uint32_t offset, uint8_t /*root_item*/)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = dsdlEncodeField<8>(msg_buf, offset, source->major);
    offset = dsdlEncodeField<8>(msg_buf, offset, source->minor);
    offset = dsdlEncodeField<8>(msg_buf, offset, source->optional_field_flags);
    offset = dsdlEncodeField<32>(msg_buf, offset, source->vcs_commit);
    offset = dsdlEncodeField<64>(msg_buf, offset, source->image_crc);
    return offset;
}

uint32_t uavcan_protocol_SoftwareVersion_encode(uavcan_protocol_SoftwareVersion* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_SoftwareVersion_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
