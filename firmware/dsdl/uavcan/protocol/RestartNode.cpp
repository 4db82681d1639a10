#include "firmware/dsdl/uavcan/protocol/RestartNode.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t MAGIC_NUMBER_BITS = 40;
static_assert(UAVCAN_PROTOCOL_RESTARTNODE_REQUEST_MAGIC_NUMBER <= dsdlUnsignedMax<MAGIC_NUMBER_BITS>());
static_assert((MAGIC_NUMBER_BITS + 7) / 8 == UAVCAN_PROTOCOL_RESTARTNODE_REQUEST_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_RestartNodeRequest_encode_internal(uavcan_protocol_RestartNodeRequest* source,
                                                            void* msg_buf, uint32_t offset, uint8_t /*root_item*/)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    return dsdlEncodeField<MAGIC_NUMBER_BITS>(msg_buf, offset, source->magic_number);
}

uint32_t uavcan_protocol_RestartNodeRequest_encode(uavcan_protocol_RestartNodeRequest* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_RestartNodeRequest_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}

int32_t uavcan_protocol_RestartNodeRequest_decode_internal(const XportRxTransfer* transfer, uint16_t /*payload_len*/,
                                                           uavcan_protocol_RestartNodeRequest* dest,
                                                           uint8_t** /*dyn_arr_buf*/, int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    const int32_t result = dsdlDecodeField<MAGIC_NUMBER_BITS>(transfer, offset, &dest->magic_number);
    return result < 0 ? result : offset + MAGIC_NUMBER_BITS;
}

int32_t uavcan_protocol_RestartNodeRequest_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                  uavcan_protocol_RestartNodeRequest* dest, uint8_t** dyn_arr_buf)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    *dest = {};
    return uavcan_protocol_RestartNodeRequest_decode_internal(transfer, payload_len, dest, dyn_arr_buf, 0);
}

uint32_t uavcan_protocol_RestartNodeResponse_encode_internal(uavcan_protocol_RestartNodeResponse* source,
                                                             void* msg_buf, uint32_t offset, uint8_t /*root_item*/)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    return dsdlEncodeField<1>(msg_buf, offset, static_cast<uint8_t>(source->ok ? 1U : 0U));
}

uint32_t uavcan_protocol_RestartNodeResponse_encode(uavcan_protocol_RestartNodeResponse* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_RestartNodeResponse_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
