#include "firmware/dsdl/uavcan/protocol/Panic.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t REASON_TEXT_LENGTH_BITS = 3;  // enough for 0..7
static_assert(UAVCAN_PROTOCOL_PANIC_REASON_TEXT_MAX_LENGTH < (1U << REASON_TEXT_LENGTH_BITS));
static_assert((REASON_TEXT_LENGTH_BITS + 8 * UAVCAN_PROTOCOL_PANIC_REASON_TEXT_MAX_LENGTH + 7) / 8 ==
              UAVCAN_PROTOCOL_PANIC_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_Panic_encode_internal(uavcan_protocol_Panic* source, void* msg_buf, uint32_t offset,
                                               uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    source->reason_text.len =
        XPORT_INTERNAL_SATURATE_UNSIGNED(source->reason_text.len, UAVCAN_PROTOCOL_PANIC_REASON_TEXT_MAX_LENGTH);
    if (root_item == 0) {
        offset = dsdlEncodeField<REASON_TEXT_LENGTH_BITS>(msg_buf, offset, source->reason_text.len);
    }
    return dsdlEncodeIntArray<8>(msg_buf, offset, source->reason_text.data, source->reason_text.len);
}

uint32_t uavcan_protocol_Panic_encode(uavcan_protocol_Panic* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_Panic_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}

int32_t uavcan_protocol_Panic_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                              uavcan_protocol_Panic* dest, uint8_t** dyn_arr_buf, int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    dest->reason_text.len = 0;
    uint8_t count = 0;
    if (payload_len != 0) {
        count = dsdlTailArrayLength(payload_len, offset, 8, UAVCAN_PROTOCOL_PANIC_REASON_TEXT_MAX_LENGTH);
    } else {
        const int32_t result = dsdlDecodeArrayLength<REASON_TEXT_LENGTH_BITS>(
            transfer, offset, UAVCAN_PROTOCOL_PANIC_REASON_TEXT_MAX_LENGTH, &count);
        if (result < 0) {
            return result;
        }
        offset += REASON_TEXT_LENGTH_BITS;
    }
    return dsdlDecodeIntArray<8, false>(transfer, offset, count, &dest->reason_text.len, &dest->reason_text.data,
                                        dyn_arr_buf);
}

int32_t uavcan_protocol_Panic_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                     uavcan_protocol_Panic* dest, uint8_t** dyn_arr_buf)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    *dest = {};
    return uavcan_protocol_Panic_decode_internal(transfer, payload_len, dest, dyn_arr_buf, 0);
}
