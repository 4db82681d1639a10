#include "firmware/dsdl/uavcan/protocol/dynamic_node_id/Allocation.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t UNIQUE_ID_LENGTH_BITS = 5;
static_assert(dsdlUnsignedMax<UNIQUE_ID_LENGTH_BITS>() >= UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_UNIQUE_ID_MAX_LENGTH);

constexpr uint32_t ALLOCATION_BITS =
    7 + 1 + UNIQUE_ID_LENGTH_BITS + UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_UNIQUE_ID_MAX_LENGTH * 8;
static_assert(ALLOCATION_BITS == 141);
static_assert((ALLOCATION_BITS + 7) / 8 == UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_dynamic_node_id_Allocation_encode_internal(
    uavcan_protocol_dynamic_node_id_Allocation* source, void* msg_buf, uint32_t offset, uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    source->node_id = XPORT_INTERNAL_SATURATE_UNSIGNED(source->node_id, static_cast<uint8_t>(dsdlUnsignedMax<7>()));
    source->unique_id.len = XPORT_INTERNAL_SATURATE_UNSIGNED(
        source->unique_id.len, UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_UNIQUE_ID_MAX_LENGTH);

    offset = dsdlEncodeField<7>(msg_buf, offset, source->node_id);
    offset = dsdlEncodeField<1>(msg_buf, offset, source->first_part_of_unique_id);
    if (root_item == 0) {
        offset = dsdlEncodeField<UNIQUE_ID_LENGTH_BITS>(msg_buf, offset, source->unique_id.len);
    }
    offset = dsdlEncodeIntArray<8>(msg_buf, offset, source->unique_id.data, source->unique_id.len);
    return offset;
}

uint32_t uavcan_protocol_dynamic_node_id_Allocation_encode(uavcan_protocol_dynamic_node_id_Allocation* source,
                                                           void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_dynamic_node_id_Allocation_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}

int32_t uavcan_protocol_dynamic_node_id_Allocation_decode_internal(const XportRxTransfer* transfer,
                                                                   uint16_t payload_len,
                                                                   uavcan_protocol_dynamic_node_id_Allocation* dest,
                                                                   uint8_t** dyn_arr_buf, int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    int32_t result = dsdlDecodeField<7>(transfer, offset, &dest->node_id);
    if (result < 0) {
        return result;
    }
    offset += 7;
    result = dsdlDecodeField<1>(transfer, offset, &dest->first_part_of_unique_id);
    if (result < 0) {
        return result;
    }
    offset += 1;

    // The array never claims elements that were not stored, whatever happens below.
    dest->unique_id.len = 0;
    uint8_t count = 0;
    if (payload_len != 0) {
        count = dsdlTailArrayLength(payload_len, offset, 8, UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_UNIQUE_ID_MAX_LENGTH);
    } else {
        result = dsdlDecodeArrayLength<UNIQUE_ID_LENGTH_BITS>(
            transfer, offset, UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_UNIQUE_ID_MAX_LENGTH, &count);
        if (result < 0) {
            return result;
        }
        offset += UNIQUE_ID_LENGTH_BITS;
    }
    return dsdlDecodeIntArray<8, false>(transfer, offset, count, &dest->unique_id.len, &dest->unique_id.data,
                                        dyn_arr_buf);
}
