// Actuator commands as the node decodes them (top level, commands as tail array), and nested (prefix).
#include <cmath>

#include "firmware/dsdl/uavcan/equipment/actuator/ArrayCommand.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

void fuzzdsdl::decodeOnce(const Input& in, uint16_t payload_len)
{
    constexpr uint8_t MAX = UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_COMMANDS_MAX_LENGTH;
    Arena arena(UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_DYN_ARR_BUF_SIZE);
    Fenced<uavcan_equipment_actuator_ArrayCommand> f;
    const int32_t r = uavcan_equipment_actuator_ArrayCommand_decode_internal(in.transfer(), payload_len, &f.rec,
                                                                             arena.cursor(), 0);
    f.checkIntact();
    arena.checkIntact();
    check(*arena.cursor() == arena.begin());  // whole records are placed, the cursor stays
    check(r < 0 ? r == -XPORT_ERROR_INTERNAL : r <= in.bits());
    check(f.rec.commands.len <= MAX);
    check(f.rec.commands.len == 0 ||
          arena.holds(f.rec.commands.data, f.rec.commands.len * sizeof(uavcan_equipment_actuator_Command)));
    if (payload_len != 0) {
        const int32_t on_wire = in.bits() / 32;
        check(r == 32 * f.rec.commands.len);
        check(f.rec.commands.len == (on_wire < MAX ? on_wire : MAX));
    }
    for (uint8_t c = 0; c < f.rec.commands.len; ++c) {
        const float v = f.rec.commands.data[c].command_value;
        check(std::isnan(v) || std::fabs(v) <= 65504.0F || std::isinf(v));
    }

    Fenced<uavcan_equipment_actuator_ArrayCommand> g;
    check(uavcan_equipment_actuator_ArrayCommand_decode_internal(in.transfer(), payload_len, &g.rec, nullptr, 0) == r);
    g.checkIntact();
    check(g.rec.commands.len == f.rec.commands.len && g.rec.commands.data == nullptr);
}
