#include "firmware/dsdl/uavcan/protocol/file/Read.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t OFFSET_BITS = 40;
constexpr uint8_t ERROR_BITS = 16;
constexpr uint8_t DATA_LENGTH_BITS = 9;
constexpr uint16_t DATA_MAX = UAVCAN_PROTOCOL_FILE_READ_RESPONSE_DATA_MAX_LENGTH;
static_assert(dsdlUnsignedMax<DATA_LENGTH_BITS>() >= DATA_MAX);
static_assert((OFFSET_BITS + 8 * UAVCAN_PROTOCOL_FILE_PATH_MAX_SIZE + 7) / 8 ==
              UAVCAN_PROTOCOL_FILE_READ_REQUEST_MAX_SIZE);
static_assert((ERROR_BITS + DATA_LENGTH_BITS + 8 * DATA_MAX + 7) / 8 == UAVCAN_PROTOCOL_FILE_READ_RESPONSE_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_file_ReadRequest_encode_internal(uavcan_protocol_file_ReadRequest* source, void* msg_buf,
                                                          uint32_t offset, uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = dsdlEncodeField<OFFSET_BITS>(msg_buf, offset, source->offset);
    return uavcan_protocol_file_Path_encode_internal(&source->path, msg_buf, offset, root_item);
}

uint32_t uavcan_protocol_file_ReadRequest_encode(uavcan_protocol_file_ReadRequest* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_file_ReadRequest_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}

int32_t uavcan_protocol_file_ReadResponse_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                          uavcan_protocol_file_ReadResponse* dest,
                                                          uint8_t** dyn_arr_buf, int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    dest->data.len = 0;
    const int32_t result = dsdlDecodeField<ERROR_BITS, true>(transfer, offset, &dest->error);
    if (result < 0) {
        return result;
    }
    return dsdlDecodeLastArray<DATA_LENGTH_BITS, 8, false>(transfer, payload_len, offset + ERROR_BITS, DATA_MAX,
                                                           &dest->data.len, &dest->data.data, dyn_arr_buf);
}

int32_t uavcan_protocol_file_ReadResponse_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                 uavcan_protocol_file_ReadResponse* dest, uint8_t** dyn_arr_buf)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    *dest = {};
    return uavcan_protocol_file_ReadResponse_decode_internal(transfer, payload_len, dest, dyn_arr_buf, 0);
}
