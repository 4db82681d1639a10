// Port-ignore orders, decoded as the node does (internal form, offset 0) and by the root form. The type
// has no dynamic array, so the payload length given changes nothing.
#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

void fuzzdsdl::decodeOnce(const Input& in, uint16_t payload_len)
{
    const int32_t expected = (in.len() >= QON_ZB5_IGNORECANPORT_MAX_SIZE) ? 11 : -XPORT_ERROR_INTERNAL;

    Fenced<qon_zb5_IgnoreCANPort> f;
    check(qon_zb5_IgnoreCANPort_decode_internal(in.transfer(), payload_len, &f.rec, nullptr, 0) == expected);
    f.checkIntact();

    Fenced<qon_zb5_IgnoreCANPort> g;
    check(qon_zb5_IgnoreCANPort_decode(in.transfer(), payload_len, &g.rec, nullptr) == expected);
    g.checkIntact();
    if (expected > 0) {
        // Flags are stored as true bools, and re-encoding gives back the 11 bits (padding cleared).
        for (const bool b : g.rec.IgnoreCANPort) {
            uint8_t raw = 0;
            std::memcpy(&raw, &b, 1);
            check(raw <= 1);
        }
        const uint8_t* const data = in.transfer()->payload_head;
        uint8_t back[QON_ZB5_IGNORECANPORT_MAX_SIZE] = {};
        check(qon_zb5_IgnoreCANPort_encode(&g.rec, back) == QON_ZB5_IGNORECANPORT_MAX_SIZE);
        check(back[0] == data[0] && back[1] == (data[1] & 0xE0));
    }
}
