#include "firmware/dsdl/uavcan/protocol/file/Path.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t PATH_LENGTH_BITS = 8;
static_assert(dsdlUnsignedMax<PATH_LENGTH_BITS>() >= UAVCAN_PROTOCOL_FILE_PATH_PATH_MAX_LENGTH);
static_assert((PATH_LENGTH_BITS + 8 * UAVCAN_PROTOCOL_FILE_PATH_PATH_MAX_LENGTH + 7) / 8 ==
              UAVCAN_PROTOCOL_FILE_PATH_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_file_Path_encode_internal(uavcan_protocol_file_Path* source, void* msg_buf, uint32_t offset,
                                                   uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    return dsdlEncodeLastArray<PATH_LENGTH_BITS, 8>(msg_buf, offset, root_item,
                                                    UAVCAN_PROTOCOL_FILE_PATH_PATH_MAX_LENGTH, &source->path.len,
                                                    source->path.data);
}

int32_t uavcan_protocol_file_Path_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                  uavcan_protocol_file_Path* dest, uint8_t** dyn_arr_buf,
                                                  int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    return dsdlDecodeLastArray<PATH_LENGTH_BITS, 8, false>(transfer, payload_len, offset,
                                                           UAVCAN_PROTOCOL_FILE_PATH_PATH_MAX_LENGTH, &dest->path.len,
                                                           &dest->path.data, dyn_arr_buf);
}
