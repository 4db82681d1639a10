#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint32_t USEFLIGHTCONTROLLER_BITS = 64 + 8 + 8;
static_assert((USEFLIGHTCONTROLLER_BITS + 7) / 8 == QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE);

}  // namespace

uint32_t qon_zb5_UseFlightController_encode_internal(qon_zb5_UseFlightController* source, void* msg_buf,
                                                     uint32_t offset, uint8_t /*root_item*/)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = dsdlEncodeField<64>(msg_buf, offset, source->UniqID);
    offset = dsdlEncodeField<8>(msg_buf, offset, source->UseFConBus);
    offset = dsdlEncodeField<8>(msg_buf, offset, source->ThisBus);
    return offset;
}

uint32_t qon_zb5_UseFlightController_encode(qon_zb5_UseFlightController* source, void* msg_buf)
{
    const uint32_t bits = qon_zb5_UseFlightController_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}

int32_t qon_zb5_UseFlightController_decode_internal(const XportRxTransfer* transfer, uint16_t /*payload_len*/,
                                                    qon_zb5_UseFlightController* dest, uint8_t** /*dyn_arr_buf*/,
                                                    int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    int32_t result = dsdlDecodeField<64>(transfer, offset, &dest->UniqID);
    if (result < 0) {
        return result;
    }
    result = dsdlDecodeField<8, true>(transfer, offset + 64, &dest->UseFConBus);
    if (result < 0) {
        return result;
    }
    result = dsdlDecodeField<8, true>(transfer, offset + 72, &dest->ThisBus);
    if (result < 0) {
        return result;
    }
    return offset + 80;
}

int32_t qon_zb5_UseFlightController_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                           qon_zb5_UseFlightController* dest, uint8_t** dyn_arr_buf)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    *dest = {};
    return qon_zb5_UseFlightController_decode_internal(transfer, payload_len, dest, dyn_arr_buf, 0);
}
