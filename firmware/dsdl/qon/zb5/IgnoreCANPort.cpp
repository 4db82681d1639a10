#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint32_t IGNORECANPORT_BITS = 8 + QON_ZB5_IGNORECANPORT_IGNORECANPORT_LENGTH;
static_assert(IGNORECANPORT_BITS == 11);
static_assert((IGNORECANPORT_BITS + 7) / 8 == QON_ZB5_IGNORECANPORT_MAX_SIZE);

}  // namespace

uint32_t qon_zb5_IgnoreCANPort_encode_internal(qon_zb5_IgnoreCANPort* source, void* msg_buf, uint32_t offset,
                                               uint8_t /*root_item*/)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = dsdlEncodeField<8>(msg_buf, offset, source->NodeID);
    for (const bool ignore : source->IgnoreCANPort) {
        offset = dsdlEncodeField<1>(msg_buf, offset, static_cast<uint8_t>(ignore ? 1U : 0U));
    }
    return offset;
}

uint32_t qon_zb5_IgnoreCANPort_encode(qon_zb5_IgnoreCANPort* source, void* msg_buf)
{
    const uint32_t bits = qon_zb5_IgnoreCANPort_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}

int32_t qon_zb5_IgnoreCANPort_decode_internal(const XportRxTransfer* transfer, uint16_t /*payload_len*/,
                                              qon_zb5_IgnoreCANPort* dest, uint8_t** /*dyn_arr_buf*/, int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    int32_t result = dsdlDecodeField<8>(transfer, offset, &dest->NodeID);
    if (result < 0) {
        return result;
    }
    for (int32_t c = 0; c < QON_ZB5_IGNORECANPORT_IGNORECANPORT_LENGTH; ++c) {
        result = dsdlDecodeField<1>(transfer, offset + 8 + c, &dest->IgnoreCANPort[c]);
        if (result < 0) {
            return result;
        }
    }
    return offset + 8 + QON_ZB5_IGNORECANPORT_IGNORECANPORT_LENGTH;
}

int32_t qon_zb5_IgnoreCANPort_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                     qon_zb5_IgnoreCANPort* dest, uint8_t** dyn_arr_buf)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    *dest = {};
    return qon_zb5_IgnoreCANPort_decode_internal(transfer, payload_len, dest, dyn_arr_buf, 0);
}
