#include "firmware/dsdl/uavcan/protocol/param/Empty.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

uint32_t uavcan_protocol_param_Empty_encode_internal(uavcan_protocol_param_Empty* /*source*/, void* /*msg_buf*/,
                                                     uint32_t offset, uint8_t /*root_item*/)
{
    return offset;
}

uint32_t uavcan_protocol_param_Empty_encode(uavcan_protocol_param_Empty* source, void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_param_Empty_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}

int32_t uavcan_protocol_param_Empty_decode_internal(const XportRxTransfer* /*transfer*/, uint16_t /*payload_len*/,
                                                    uavcan_protocol_param_Empty* /*dest*/,
                                                    uint8_t** /*dyn_arr_buf*/, int32_t offset)
{
    return offset;
}
