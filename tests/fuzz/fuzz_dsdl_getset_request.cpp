// The GetSet request in its root form, as the parameter server decodes it: a nested value (whose string
// carries its prefix) and the name as tail array, both in one arena.
#include "firmware/dsdl/uavcan/protocol/param/GetSet.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

void fuzzdsdl::decodeOnce(const Input& in, uint16_t payload_len)
{
    Arena arena(UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE);
    Fenced<uavcan_protocol_param_GetSetRequest> f;
    const int32_t r = uavcan_protocol_param_GetSetRequest_decode(in.transfer(), payload_len, &f.rec, arena.cursor());
    f.checkIntact();
    arena.checkIntact();
    check(r < 0 ? r == -XPORT_ERROR_INTERNAL : r <= in.bits());
    check(f.rec.index < 8192);
    check(f.rec.name.len <= UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_NAME_MAX_LENGTH);
    check(f.rec.name.len == 0 || arena.holds(f.rec.name.data, f.rec.name.len));
    if (f.rec.value.union_tag == UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE) {
        const auto& s = f.rec.value.string_value;
        check(s.len <= UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE_MAX_LENGTH);
        check(s.len == 0 || arena.holds(s.data, s.len));
        check(f.rec.name.len == 0 || f.rec.name.data == s.data + s.len);  // the name follows the string
    }

    Fenced<uavcan_protocol_param_GetSetRequest> g;
    check(uavcan_protocol_param_GetSetRequest_decode(in.transfer(), payload_len, &g.rec, nullptr) == r);
    g.checkIntact();
    check(g.rec.index == f.rec.index && g.rec.value.union_tag == f.rec.value.union_tag &&
          g.rec.name.len == f.rec.name.len && g.rec.name.data == nullptr);
}
