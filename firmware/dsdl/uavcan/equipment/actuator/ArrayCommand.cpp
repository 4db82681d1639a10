#include "firmware/dsdl/uavcan/equipment/actuator/ArrayCommand.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t COMMANDS_LENGTH_BITS = 4;
constexpr uint32_t COMMAND_BITS = 32;
static_assert(dsdlUnsignedMax<COMMANDS_LENGTH_BITS>() >= UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_COMMANDS_MAX_LENGTH);
static_assert(COMMAND_BITS == UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_MAX_SIZE * 8);

constexpr uint32_t ARRAYCOMMAND_BITS =
    COMMANDS_LENGTH_BITS + UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_COMMANDS_MAX_LENGTH * COMMAND_BITS;
static_assert(ARRAYCOMMAND_BITS == 484);
static_assert((ARRAYCOMMAND_BITS + 7) / 8 == UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_MAX_SIZE);
static_assert(UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_SIGNATURE == 0xD8A7486238EC3AF3ULL);

}  // namespace

int32_t uavcan_equipment_actuator_ArrayCommand_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                               uavcan_equipment_actuator_ArrayCommand* dest,
                                                               uint8_t** dyn_arr_buf, int32_t offset)
{
    if (dest == nullptr) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    // The array never claims elements that were not stored, whatever happens below.
    dest->commands.len = 0;
    uint8_t count = 0;
    if (payload_len != 0) {
        count = dsdlTailArrayLength(payload_len, offset, COMMAND_BITS,
                                    UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_COMMANDS_MAX_LENGTH);
    } else {
        const int32_t result = dsdlDecodeArrayLength<COMMANDS_LENGTH_BITS>(
            transfer, offset, UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_COMMANDS_MAX_LENGTH, &count);
        if (result < 0) {
            return result;
        }
        offset += COMMANDS_LENGTH_BITS;
    }

    if (dyn_arr_buf != nullptr) {
        XPORT_ASSERT(*dyn_arr_buf != nullptr);
        // The caller reads the records in place; a misaligned float would fault on the chip.
        XPORT_ASSERT(reinterpret_cast<uintptr_t>(*dyn_arr_buf) % alignof(uavcan_equipment_actuator_Command) == 0);
        dest->commands.data = reinterpret_cast<uavcan_equipment_actuator_Command*>(*dyn_arr_buf);
    }
    for (uint8_t c = 0; c < count; ++c) {
        // Without an arena each element is still decoded, into scratch, so a short payload is reported.
        uavcan_equipment_actuator_Command scratch{};
        uavcan_equipment_actuator_Command* const element = (dyn_arr_buf != nullptr) ? &dest->commands.data[c] : &scratch;
        const int32_t result =
            uavcan_equipment_actuator_Command_decode_internal(transfer, 0, element, dyn_arr_buf, offset);
        if (result < 0) {
            return result;
        }
        offset = result;
        dest->commands.len = static_cast<uint8_t>(c + 1U);
    }
    return offset;
}
