// The requests of the standard services, decoded as the node does (root form) and nested: RestartNode and
// param.ExecuteOpcode, which have no dynamic array, so the payload length given changes nothing; and
// GetDataTypeInfo (root form only), whose name is the tail. GetTransportStats has an empty request:
// nothing is decoded, so nothing to fuzz.
#include "firmware/dsdl/uavcan/protocol/GetDataTypeInfo.hpp"
#include "firmware/dsdl/uavcan/protocol/RestartNode.hpp"
#include "firmware/dsdl/uavcan/protocol/param/ExecuteOpcode.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

void fuzzdsdl::decodeOnce(const Input& in, uint16_t payload_len)
{
    const uint8_t* const data = in.transfer()->payload_head;

    Fenced<uavcan_protocol_RestartNodeRequest> r;
    const bool restart_whole = in.len() >= UAVCAN_PROTOCOL_RESTARTNODE_REQUEST_MAX_SIZE;
    check(uavcan_protocol_RestartNodeRequest_decode(in.transfer(), payload_len, &r.rec, nullptr) ==
          (restart_whole ? 40 : -XPORT_ERROR_INTERNAL));
    r.checkIntact();
    if (restart_whole) {
        // 40 bits only, and encoding gives the same bytes back.
        check(r.rec.magic_number >> 40 == 0);
        uint8_t back[UAVCAN_PROTOCOL_RESTARTNODE_REQUEST_MAX_SIZE] = {};
        check(uavcan_protocol_RestartNodeRequest_encode(&r.rec, back) == sizeof back);
        check(std::memcmp(back, data, sizeof back) == 0);
    }

    Fenced<uavcan_protocol_param_ExecuteOpcodeRequest> o;
    const bool opcode_whole = in.len() >= UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_REQUEST_MAX_SIZE;
    check(uavcan_protocol_param_ExecuteOpcodeRequest_decode_internal(in.transfer(), payload_len, &o.rec, nullptr, 0) ==
          (opcode_whole ? 56 : -XPORT_ERROR_INTERNAL));
    o.checkIntact();
    if (opcode_whole) {
        // The argument is sign-extended from 48 bits, and encoding gives the same bytes back.
        check(o.rec.argument >= -(int64_t{1} << 47) && o.rec.argument < (int64_t{1} << 47));
        uint8_t back[UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_REQUEST_MAX_SIZE] = {};
        check(uavcan_protocol_param_ExecuteOpcodeRequest_encode(&o.rec, back) == sizeof back);
        check(std::memcmp(back, data, sizeof back) == 0);
    }

    Fenced<uavcan_protocol_GetDataTypeInfoRequest> t;
    Arena arena(UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME_MAX_LENGTH);
    const int32_t bits = uavcan_protocol_GetDataTypeInfoRequest_decode(in.transfer(), payload_len, &t.rec, arena.cursor());
    t.checkIntact();
    arena.checkIntact();
    check(in.len() < 3 ? bits == -XPORT_ERROR_INTERNAL : bits == 24 + 8 * t.rec.name.len);
    check(t.rec.name.len <= UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME_MAX_LENGTH &&
          (bits < 0 || t.rec.name.len + 3U <= in.len()));
    check(t.rec.name.len == 0 || (arena.holds(t.rec.name.data, t.rec.name.len) &&
                                  std::memcmp(t.rec.name.data, data + 3, t.rec.name.len) == 0));
}
