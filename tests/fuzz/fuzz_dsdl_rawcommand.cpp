// ESC raw commands as the node decodes them (top level, values as tail array), and nested (prefix).
#include "firmware/dsdl/uavcan/equipment/esc/RawCommand.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

void fuzzdsdl::decodeOnce(const Input& in, uint16_t payload_len)
{
    constexpr uint8_t MAX = UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH;
    Arena arena(UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_DYN_ARR_BUF_SIZE);
    Fenced<uavcan_equipment_esc_RawCommand> f;
    const int32_t r =
        uavcan_equipment_esc_RawCommand_decode_internal(in.transfer(), payload_len, &f.rec, arena.cursor(), 0);
    f.checkIntact();
    arena.checkIntact();
    check(r < 0 ? r == -XPORT_ERROR_INTERNAL : r <= in.bits());
    check(f.rec.cmd.len <= MAX);
    check(f.rec.cmd.len == 0 || arena.holds(f.rec.cmd.data, f.rec.cmd.len * sizeof(int16_t)));
    check(*arena.cursor() == arena.begin() + f.rec.cmd.len * sizeof(int16_t));
    for (uint8_t k = 0; k < f.rec.cmd.len; ++k) {
        check(f.rec.cmd.data[k] >= -8192 && f.rec.cmd.data[k] <= 8191);
    }
    if (payload_len != 0) {
        const int32_t on_wire = in.bits() / 14;
        check(r == 14 * f.rec.cmd.len);
        check(f.rec.cmd.len == (on_wire < MAX ? on_wire : MAX));
    }

    Fenced<uavcan_equipment_esc_RawCommand> g;
    check(uavcan_equipment_esc_RawCommand_decode_internal(in.transfer(), payload_len, &g.rec, nullptr, 0) == r);
    g.checkIntact();
    check(g.rec.cmd.len == f.rec.cmd.len && g.rec.cmd.data == nullptr);
}
