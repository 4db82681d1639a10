#include "firmware/dsdl/uavcan/protocol/param/Value.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t TAG_BITS = 3;
constexpr uint8_t MEMBER_COUNT = 5;
static_assert(MEMBER_COUNT <= dsdlUnsignedMax<TAG_BITS>() + 1);

constexpr uint8_t STRING_LENGTH_BITS = 8;
static_assert(dsdlUnsignedMax<STRING_LENGTH_BITS>() >= UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE_MAX_LENGTH);

// The widest member is the string with its prefix.
constexpr uint32_t VALUE_BITS = TAG_BITS + STRING_LENGTH_BITS + UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE_MAX_LENGTH * 8;
static_assert(VALUE_BITS == 1035);
static_assert((VALUE_BITS + 7) / 8 == UAVCAN_PROTOCOL_PARAM_VALUE_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_param_Value_encode_internal(uavcan_protocol_param_Value* source, void* msg_buf,
                                                     uint32_t offset, uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    const uint8_t tag = source->union_tag;
    XPORT_ASSERT(tag < MEMBER_COUNT);

    offset = dsdlEncodeField<TAG_BITS>(msg_buf, offset, tag);
    switch (tag) {
    case UAVCAN_PROTOCOL_PARAM_VALUE_EMPTY:
        offset = uavcan_protocol_param_Empty_encode_internal(&source->empty, msg_buf, offset, root_item);
        break;
    case UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE:
        offset = dsdlEncodeField<64>(msg_buf, offset, source->integer_value);
        break;
    case UAVCAN_PROTOCOL_PARAM_VALUE_REAL_VALUE:
        offset = dsdlEncodeField<32>(msg_buf, offset, source->real_value);
        break;
    case UAVCAN_PROTOCOL_PARAM_VALUE_BOOLEAN_VALUE:
        offset = dsdlEncodeField<8>(msg_buf, offset, source->boolean_value);
        break;
    default:  // UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE
        source->string_value.len = XPORT_INTERNAL_SATURATE_UNSIGNED(
            source->string_value.len, UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE_MAX_LENGTH);
        if (root_item == 0) {
            offset = dsdlEncodeField<STRING_LENGTH_BITS>(msg_buf, offset, source->string_value.len);
        }
        offset = dsdlEncodeIntArray<8>(msg_buf, offset, source->string_value.data, source->string_value.len);
        break;
    }
    return offset;
}

uint32_t uavcan_protocol_param_Value_encode(uavcan_protocol_param_Value* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_param_Value_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}

int32_t uavcan_protocol_param_Value_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                    uavcan_protocol_param_Value* dest, uint8_t** dyn_arr_buf,
                                                    int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    uint8_t tag = 0;
    int32_t result = dsdlDecodeField<TAG_BITS>(transfer, offset, &tag);
    if (result < 0) {
        return result;
    }
    offset += TAG_BITS;
    dest->union_tag = static_cast<uavcan_protocol_param_Value_type_t>(tag);

    switch (tag) {
    case UAVCAN_PROTOCOL_PARAM_VALUE_EMPTY:
        return uavcan_protocol_param_Empty_decode_internal(transfer, 0, &dest->empty, dyn_arr_buf, offset);
    case UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE:
        result = dsdlDecodeField<64, true>(transfer, offset, &dest->integer_value);
        return (result < 0) ? result : offset + 64;
    case UAVCAN_PROTOCOL_PARAM_VALUE_REAL_VALUE:
        result = dsdlDecodeField<32>(transfer, offset, &dest->real_value);
        return (result < 0) ? result : offset + 32;
    case UAVCAN_PROTOCOL_PARAM_VALUE_BOOLEAN_VALUE:
        result = dsdlDecodeField<8>(transfer, offset, &dest->boolean_value);
        return (result < 0) ? result : offset + 8;
    case UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE: {
        dest->string_value.len = 0;
        uint8_t count = 0;
        if (payload_len != 0) {
            count = dsdlTailArrayLength(payload_len, offset, 8, UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE_MAX_LENGTH);
        } else {
            result = dsdlDecodeArrayLength<STRING_LENGTH_BITS>(
                transfer, offset, UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE_MAX_LENGTH, &count);
            if (result < 0) {
                return result;
            }
            offset += STRING_LENGTH_BITS;
        }
        return dsdlDecodeIntArray<8, false>(transfer, offset, count, &dest->string_value.len,
                                            &dest->string_value.data, dyn_arr_buf);
    }
    default:
        // No member of that number in this version of the type: nothing more can be read reliably.
        return offset;
    }
}
