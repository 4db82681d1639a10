#include "firmware/dsdl/uavcan/protocol/param/ExecuteOpcode.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t OPCODE_BITS = 8;
constexpr uint8_t ARGUMENT_BITS = 48;
static_assert((OPCODE_BITS + ARGUMENT_BITS + 7) / 8 == UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_REQUEST_MAX_SIZE);
static_assert((ARGUMENT_BITS + 1 + 7) / 8 == UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_RESPONSE_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_param_ExecuteOpcodeRequest_encode_internal(
    uavcan_protocol_param_ExecuteOpcodeRequest* source, void* msg_buf, uint32_t offset, uint8_t /*root_item*/)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = dsdlEncodeField<OPCODE_BITS>(msg_buf, offset, source->opcode);
    return dsdlEncodeField<ARGUMENT_BITS>(msg_buf, offset, source->argument);
}

uint32_t uavcan_protocol_param_ExecuteOpcodeRequest_encode(uavcan_protocol_param_ExecuteOpcodeRequest* source,
                                                           void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_param_ExecuteOpcodeRequest_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}

int32_t uavcan_protocol_param_ExecuteOpcodeRequest_decode_internal(const XportRxTransfer* transfer,
                                                                   uint16_t /*payload_len*/,
                                                                   uavcan_protocol_param_ExecuteOpcodeRequest* dest,
                                                                   uint8_t** /*dyn_arr_buf*/, int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    int32_t result = dsdlDecodeField<OPCODE_BITS>(transfer, offset, &dest->opcode);
    if (result < 0) {
        return result;
    }
    result = dsdlDecodeField<ARGUMENT_BITS, true>(transfer, offset + OPCODE_BITS, &dest->argument);
    return result < 0 ? result : offset + OPCODE_BITS + ARGUMENT_BITS;
}

int32_t uavcan_protocol_param_ExecuteOpcodeRequest_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                          uavcan_protocol_param_ExecuteOpcodeRequest* dest,
                                                          uint8_t** dyn_arr_buf)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    *dest = {};
    return uavcan_protocol_param_ExecuteOpcodeRequest_decode_internal(transfer, payload_len, dest, dyn_arr_buf, 0);
}

uint32_t uavcan_protocol_param_ExecuteOpcodeResponse_encode_internal(
    uavcan_protocol_param_ExecuteOpcodeResponse* source, void* msg_buf, uint32_t offset, uint8_t /*root_item*/)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = dsdlEncodeField<ARGUMENT_BITS>(msg_buf, offset, source->argument);
    return dsdlEncodeField<1>(msg_buf, offset, static_cast<uint8_t>(source->ok ? 1U : 0U));
}

uint32_t uavcan_protocol_param_ExecuteOpcodeResponse_encode(uavcan_protocol_param_ExecuteOpcodeResponse* source,
                                                            void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_param_ExecuteOpcodeResponse_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
