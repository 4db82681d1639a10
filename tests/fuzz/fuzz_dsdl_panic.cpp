// The Panic message as decoded at the top level (reason text as tail array) and nested (3-bit prefix).
#include "firmware/dsdl/uavcan/protocol/Panic.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

void fuzzdsdl::decodeOnce(const Input& in, uint16_t payload_len)
{
    constexpr uint8_t MAX = UAVCAN_PROTOCOL_PANIC_REASON_TEXT_MAX_LENGTH;
    Arena arena(UAVCAN_PROTOCOL_PANIC_DYN_ARR_BUF_SIZE);
    Fenced<uavcan_protocol_Panic> f;
    const int32_t r = uavcan_protocol_Panic_decode_internal(in.transfer(), payload_len, &f.rec, arena.cursor(), 0);
    f.checkIntact();
    arena.checkIntact();
    check(f.rec.reason_text.len <= MAX);
    check(f.rec.reason_text.len == 0 || arena.holds(f.rec.reason_text.data, f.rec.reason_text.len));
    check(r < 0 ? r == -XPORT_ERROR_INTERNAL : r <= in.bits());
    if (payload_len != 0) {
        const int32_t on_wire = in.bits() / 8;
        check(r == 8 * f.rec.reason_text.len && f.rec.reason_text.len == (on_wire < MAX ? on_wire : MAX));
    }
}
