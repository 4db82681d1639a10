#include "firmware/dsdl/uavcan/protocol/param/NumericValue.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t TAG_BITS = 2;
constexpr uint8_t MEMBER_COUNT = 3;
static_assert(MEMBER_COUNT <= dsdlUnsignedMax<TAG_BITS>() + 1);

constexpr uint32_t NUMERICVALUE_BITS = TAG_BITS + 64;  // the widest member is the integer
static_assert((NUMERICVALUE_BITS + 7) / 8 == UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_param_NumericValue_encode_internal(uavcan_protocol_param_NumericValue* source,
                                                            void* msg_buf, uint32_t offset, uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    const uint8_t tag = source->union_tag;
    XPORT_ASSERT(tag < MEMBER_COUNT);

    offset = dsdlEncodeField<TAG_BITS>(msg_buf, offset, tag);
    switch (tag) {
    case UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_EMPTY:
        offset = uavcan_protocol_param_Empty_encode_internal(&source->empty, msg_buf, offset, root_item);
        break;
    case UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_INTEGER_VALUE:
        offset = dsdlEncodeField<64>(msg_buf, offset, source->integer_value);
        break;
    default:  // UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_REAL_VALUE
        offset = dsdlEncodeField<32>(msg_buf, offset, source->real_value);
        break;
    }
    return offset;
}

uint32_t uavcan_protocol_param_NumericValue_encode(uavcan_protocol_param_NumericValue* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_param_NumericValue_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
