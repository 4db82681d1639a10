#include "firmware/dsdl/uavcan/protocol/HardwareVersion.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint32_t HARDWAREVERSION_BITS =
    8 + 8 + UAVCAN_PROTOCOL_HARDWAREVERSION_UNIQUE_ID_LENGTH * 8 +
    8 + UAVCAN_PROTOCOL_HARDWAREVERSION_CERTIFICATE_OF_AUTHENTICITY_MAX_LENGTH * 8;
static_assert(HARDWAREVERSION_BITS == 2192);
static_assert((HARDWAREVERSION_BITS + 7) / 8 == UAVCAN_PROTOCOL_HARDWAREVERSION_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_HardwareVersion_encode_internal(uavcan_protocol_HardwareVersion* source, void* msg_buf,
                                                         uint32_t offset, uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = dsdlEncodeField<8>(msg_buf, offset, source->major);
    offset = dsdlEncodeField<8>(msg_buf, offset, source->minor);
    offset = dsdlEncodeIntArray<8>(msg_buf, offset, source->unique_id, UAVCAN_PROTOCOL_HARDWAREVERSION_UNIQUE_ID_LENGTH);

    // The 8-bit prefix holds any uint8 count, and 255 is the maximum: nothing to limit here.
    if (root_item == 0) {
        offset = dsdlEncodeField<8>(msg_buf, offset, source->certificate_of_authenticity.len);
    }
    offset = dsdlEncodeIntArray<8>(msg_buf, offset, source->certificate_of_authenticity.data,
                                   source->certificate_of_authenticity.len);
    return offset;
}

uint32_t uavcan_protocol_HardwareVersion_encode(uavcan_protocol_HardwareVersion* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_HardwareVersion_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
