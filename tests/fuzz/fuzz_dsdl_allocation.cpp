// The allocation message as the node decodes it (top level, unique ID as tail array), and nested (prefix).
#include "firmware/dsdl/uavcan/protocol/dynamic_node_id/Allocation.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

void fuzzdsdl::decodeOnce(const Input& in, uint16_t payload_len)
{
    constexpr uint8_t MAX = UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_UNIQUE_ID_MAX_LENGTH;
    Arena arena(UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_DYN_ARR_BUF_SIZE);
    Fenced<uavcan_protocol_dynamic_node_id_Allocation> f;
    const int32_t r = uavcan_protocol_dynamic_node_id_Allocation_decode_internal(in.transfer(), payload_len, &f.rec,
                                                                                 arena.cursor(), 0);
    f.checkIntact();
    arena.checkIntact();
    check(f.rec.unique_id.len <= MAX);
    check(f.rec.unique_id.len == 0 || arena.holds(f.rec.unique_id.data, f.rec.unique_id.len));
    check(r < 0 ? r == -XPORT_ERROR_INTERNAL : r <= in.bits());
    if (payload_len != 0 && r >= 0) {
        const int32_t on_wire = (in.bits() - 8) / 8;
        check(f.rec.unique_id.len == (on_wire < MAX ? on_wire : MAX));
        check(r == 8 + 8 * f.rec.unique_id.len);
    }

    // Without an arena: same verdict, same count, nothing stored.
    Fenced<uavcan_protocol_dynamic_node_id_Allocation> g;
    check(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(in.transfer(), payload_len, &g.rec, nullptr, 0) == r);
    g.checkIntact();
    check(g.rec.unique_id.len == f.rec.unique_id.len && g.rec.unique_id.data == nullptr);
}
