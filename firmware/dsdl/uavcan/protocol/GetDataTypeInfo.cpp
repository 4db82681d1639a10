#include "firmware/dsdl/uavcan/protocol/GetDataTypeInfo.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

// Every field lies on a byte boundary: the scalars are their bytes, least significant first, and the
// names are read and written as bytes.
namespace {

constexpr uint16_t REQUEST_HEAD_BYTES = 3;    // id, kind
constexpr uint16_t RESPONSE_HEAD_BYTES = 12;  // signature, id, kind, flags
static_assert(REQUEST_HEAD_BYTES + UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME_MAX_LENGTH ==
              UAVCAN_PROTOCOL_GETDATATYPEINFO_REQUEST_MAX_SIZE);
static_assert(RESPONSE_HEAD_BYTES + UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME_MAX_LENGTH ==
              UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_MAX_SIZE);

}  // namespace

int32_t uavcan_protocol_GetDataTypeInfoRequest_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                      uavcan_protocol_GetDataTypeInfoRequest* dest,
                                                      uint8_t** dyn_arr_buf)
{
    if (dest == nullptr || transfer == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    *dest = {};
    uint8_t head[REQUEST_HEAD_BYTES];
    if (xportReadPayloadBytes(transfer, 0, REQUEST_HEAD_BYTES, head) != REQUEST_HEAD_BYTES) {
        return -XPORT_ERROR_INTERNAL;
    }
    dest->id = static_cast<uint16_t>(head[0] | (head[1] << 8));
    dest->kind = head[2];
    // The tail the length claims, of which the payload holds what it has.
    const uint8_t claimed = dsdlTailArrayLength(payload_len, 8 * REQUEST_HEAD_BYTES, 8,
                                                UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME_MAX_LENGTH);
    const uint16_t held = static_cast<uint16_t>(transfer->payload_len - REQUEST_HEAD_BYTES);
    dest->name.len = static_cast<uint8_t>(claimed < held ? claimed : held);
    if (dyn_arr_buf != nullptr) {
        dest->name.data = *dyn_arr_buf;
        (void)xportReadPayloadBytes(transfer, REQUEST_HEAD_BYTES, dest->name.len, *dyn_arr_buf);
        *dyn_arr_buf += dest->name.len;
    }
    return 8 * (REQUEST_HEAD_BYTES + dest->name.len);
}

uint32_t uavcan_protocol_GetDataTypeInfoResponse_encode(uavcan_protocol_GetDataTypeInfoResponse* source,
                                                        void* msg_buf)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    source->name.len =
        XPORT_INTERNAL_SATURATE_UNSIGNED(source->name.len, UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME_MAX_LENGTH);
    uint8_t* const out = static_cast<uint8_t*>(msg_buf);
    for (unsigned i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(source->signature >> (8U * i));
    }
    out[8] = static_cast<uint8_t>(source->id);
    out[9] = static_cast<uint8_t>(source->id >> 8);
    out[10] = source->kind;
    out[11] = source->flags;
    return dsdlEncodeIntArray<8>(out, 8 * RESPONSE_HEAD_BYTES, source->name.data, source->name.len) / 8U;
}
