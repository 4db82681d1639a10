#include "firmware/dsdl/uavcan/equipment/esc/RawCommand.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t CMD_LENGTH_BITS = 5;
constexpr uint8_t CMD_BITS = 14;
static_assert(dsdlUnsignedMax<CMD_LENGTH_BITS>() >= UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH);

constexpr uint32_t RAWCOMMAND_BITS = CMD_LENGTH_BITS + UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH * CMD_BITS;
static_assert(RAWCOMMAND_BITS == 285);
static_assert((RAWCOMMAND_BITS + 7) / 8 == UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_MAX_SIZE);

}  // namespace

int32_t uavcan_equipment_esc_RawCommand_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                        uavcan_equipment_esc_RawCommand* dest, uint8_t** dyn_arr_buf,
                                                        int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    // The array never claims elements that were not stored, whatever happens below.
    dest->cmd.len = 0;
    uint8_t count = 0;
    if (payload_len != 0) {
        count = dsdlTailArrayLength(payload_len, offset, CMD_BITS, UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH);
    } else {
        const int32_t result = dsdlDecodeArrayLength<CMD_LENGTH_BITS>(
            transfer, offset, UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH, &count);
        if (result < 0) {
            return result;
        }
        offset += CMD_LENGTH_BITS;
    }
    return dsdlDecodeIntArray<CMD_BITS, true>(transfer, offset, count, &dest->cmd.len, &dest->cmd.data, dyn_arr_buf);
}
