#include "firmware/dsdl/uavcan/protocol/param/GetSet.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t INDEX_BITS = 13;
constexpr uint8_t NAME_LENGTH_BITS = 7;
static_assert(dsdlUnsignedMax<NAME_LENGTH_BITS>() >= UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_NAME_MAX_LENGTH);
static_assert(dsdlUnsignedMax<NAME_LENGTH_BITS>() >= UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_NAME_MAX_LENGTH);

constexpr uint32_t VALUE_BITS = 1035;
constexpr uint32_t NUMERICVALUE_BITS = 66;
static_assert((VALUE_BITS + 7) / 8 == UAVCAN_PROTOCOL_PARAM_VALUE_MAX_SIZE);
static_assert((NUMERICVALUE_BITS + 7) / 8 == UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_MAX_SIZE);

constexpr uint32_t REQUEST_BITS =
    INDEX_BITS + VALUE_BITS + NAME_LENGTH_BITS + UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_NAME_MAX_LENGTH * 8;
static_assert(REQUEST_BITS == 1791);
static_assert((REQUEST_BITS + 7) / 8 == UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_MAX_SIZE);

constexpr uint32_t RESPONSE_BITS = 5 + VALUE_BITS + 5 + VALUE_BITS + 6 + NUMERICVALUE_BITS + 6 + NUMERICVALUE_BITS +
                                   NAME_LENGTH_BITS + UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_NAME_MAX_LENGTH * 8;
static_assert(RESPONSE_BITS == 2967);
static_assert((RESPONSE_BITS + 7) / 8 == UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_MAX_SIZE);

template <uint8_t Bits>
uint32_t encodeVoid(void* msg_buf, uint32_t offset)
{
    return dsdlEncodeField<Bits>(msg_buf, offset, uint8_t{0});
}

}  // namespace

int32_t uavcan_protocol_param_GetSetRequest_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                            uavcan_protocol_param_GetSetRequest* dest,
                                                            uint8_t** dyn_arr_buf, int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    int32_t result = dsdlDecodeField<INDEX_BITS>(transfer, offset, &dest->index);
    if (result < 0) {
        return result;
    }
    offset += INDEX_BITS;

    // Nested: its string, if any, carries its prefix.
    result = uavcan_protocol_param_Value_decode_internal(transfer, 0, &dest->value, dyn_arr_buf, offset);
    if (result < 0) {
        return result;
    }
    offset = result;

    // The array never claims elements that were not stored, whatever happens below.
    dest->name.len = 0;
    uint8_t count = 0;
    if (payload_len != 0) {
        count = dsdlTailArrayLength(payload_len, offset, 8, UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_NAME_MAX_LENGTH);
    } else {
        result = dsdlDecodeArrayLength<NAME_LENGTH_BITS>(transfer, offset,
                                                          UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_NAME_MAX_LENGTH, &count);
        if (result < 0) {
            return result;
        }
        offset += NAME_LENGTH_BITS;
    }
    return dsdlDecodeIntArray<8, false>(transfer, offset, count, &dest->name.len, &dest->name.data, dyn_arr_buf);
}

int32_t uavcan_protocol_param_GetSetRequest_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                   uavcan_protocol_param_GetSetRequest* dest, uint8_t** dyn_arr_buf)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    *dest = {};
    return uavcan_protocol_param_GetSetRequest_decode_internal(transfer, payload_len, dest, dyn_arr_buf, 0);
}

uint32_t uavcan_protocol_param_GetSetResponse_encode_internal(uavcan_protocol_param_GetSetResponse* source,
                                                              void* msg_buf, uint32_t offset, uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = encodeVoid<5>(msg_buf, offset);
    offset = uavcan_protocol_param_Value_encode_internal(&source->value, msg_buf, offset, 0);
    offset = encodeVoid<5>(msg_buf, offset);
    offset = uavcan_protocol_param_Value_encode_internal(&source->default_value, msg_buf, offset, 0);
    offset = encodeVoid<6>(msg_buf, offset);
    offset = uavcan_protocol_param_NumericValue_encode_internal(&source->max_value, msg_buf, offset, 0);
    offset = encodeVoid<6>(msg_buf, offset);
    offset = uavcan_protocol_param_NumericValue_encode_internal(&source->min_value, msg_buf, offset, 0);

    source->name.len =
        XPORT_INTERNAL_SATURATE_UNSIGNED(source->name.len, UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_NAME_MAX_LENGTH);
    if (root_item == 0) {
        offset = dsdlEncodeField<NAME_LENGTH_BITS>(msg_buf, offset, source->name.len);
    }
    offset = dsdlEncodeIntArray<8>(msg_buf, offset, source->name.data, source->name.len);
    return offset;
}

uint32_t uavcan_protocol_param_GetSetResponse_encode(uavcan_protocol_param_GetSetResponse* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_param_GetSetResponse_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
