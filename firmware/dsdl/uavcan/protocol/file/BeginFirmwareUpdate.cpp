#include "firmware/dsdl/uavcan/protocol/file/BeginFirmwareUpdate.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t SOURCE_NODE_ID_BITS = 8;
constexpr uint8_t MESSAGE_LENGTH_BITS = 7;
constexpr uint8_t MESSAGE_MAX = UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_OPTIONAL_ERROR_MESSAGE_MAX_LENGTH;
static_assert(dsdlUnsignedMax<MESSAGE_LENGTH_BITS>() >= MESSAGE_MAX);
static_assert((SOURCE_NODE_ID_BITS + 8 * UAVCAN_PROTOCOL_FILE_PATH_MAX_SIZE + 7) / 8 ==
              UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_REQUEST_MAX_SIZE);
static_assert((8 + MESSAGE_LENGTH_BITS + 8 * MESSAGE_MAX + 7) / 8 ==
              UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_MAX_SIZE);

}  // namespace

int32_t uavcan_protocol_file_BeginFirmwareUpdateRequest_decode_internal(
    const XportRxTransfer* transfer, uint16_t payload_len, uavcan_protocol_file_BeginFirmwareUpdateRequest* dest,
    uint8_t** dyn_arr_buf, int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    dest->image_file_remote_path.path.len = 0;
    const int32_t result = dsdlDecodeField<SOURCE_NODE_ID_BITS>(transfer, offset, &dest->source_node_id);
    if (result < 0) {
        return result;
    }
    return uavcan_protocol_file_Path_decode_internal(transfer, payload_len, &dest->image_file_remote_path, dyn_arr_buf,
                                                     offset + SOURCE_NODE_ID_BITS);
}

int32_t uavcan_protocol_file_BeginFirmwareUpdateRequest_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                               uavcan_protocol_file_BeginFirmwareUpdateRequest* dest,
                                                               uint8_t** dyn_arr_buf)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    *dest = {};
    return uavcan_protocol_file_BeginFirmwareUpdateRequest_decode_internal(transfer, payload_len, dest, dyn_arr_buf,
                                                                           0);
}

uint32_t uavcan_protocol_file_BeginFirmwareUpdateResponse_encode_internal(
    uavcan_protocol_file_BeginFirmwareUpdateResponse* source, void* msg_buf, uint32_t offset, uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = dsdlEncodeField<8>(msg_buf, offset, source->error);
    return dsdlEncodeLastArray<MESSAGE_LENGTH_BITS, 8>(msg_buf, offset, root_item, MESSAGE_MAX,
                                                       &source->optional_error_message.len,
                                                       source->optional_error_message.data);
}

uint32_t uavcan_protocol_file_BeginFirmwareUpdateResponse_encode(
    uavcan_protocol_file_BeginFirmwareUpdateResponse* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_file_BeginFirmwareUpdateResponse_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
