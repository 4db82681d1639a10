#include "firmware/dsdl/uavcan/equipment/actuator/Command.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint32_t COMMAND_BITS = 8 + 8 + 16;
static_assert((COMMAND_BITS + 7) / 8 == UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_MAX_SIZE);

}  // namespace

int32_t uavcan_equipment_actuator_Command_decode_internal(const XportRxTransfer* transfer, uint16_t /*payload_len*/,
                                                          uavcan_equipment_actuator_Command* dest,
                                                          uint8_t** /*dyn_arr_buf*/, int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    int32_t result = dsdlDecodeField<8>(transfer, offset, &dest->actuator_id);
    if (result < 0) {
        return result;
    }
    offset += 8;
    result = dsdlDecodeField<8>(transfer, offset, &dest->command_type);
    if (result < 0) {
        return result;
    }
    offset += 8;
    uint16_t half = 0;
    result = dsdlDecodeField<16>(transfer, offset, &half);
    if (result < 0) {
        return result;
    }
    dest->command_value = xportConvertFloat16ToNativeFloat(half);
    return offset + 16;
}
