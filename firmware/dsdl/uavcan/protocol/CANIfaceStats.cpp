#include "firmware/dsdl/uavcan/protocol/CANIfaceStats.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t COUNTER_BITS = 48;
static_assert((3 * COUNTER_BITS + 7) / 8 == UAVCAN_PROTOCOL_CANIFACESTATS_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_CANIfaceStats_encode_internal(uavcan_protocol_CANIfaceStats* source, void* msg_buf,
                                                       uint32_t offset, uint8_t /*root_item*/)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = dsdlEncodeField<COUNTER_BITS>(msg_buf, offset, source->frames_tx);
    offset = dsdlEncodeField<COUNTER_BITS>(msg_buf, offset, source->frames_rx);
    return dsdlEncodeField<COUNTER_BITS>(msg_buf, offset, source->errors);
}

uint32_t uavcan_protocol_CANIfaceStats_encode(uavcan_protocol_CANIfaceStats* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_CANIfaceStats_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
