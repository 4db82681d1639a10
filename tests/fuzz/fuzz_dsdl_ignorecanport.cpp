// Port-ignore orders, decoded as the node does (internal form, offset 0) and by the root form.
#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > UINT16_MAX) {
        return 0;
    }
    const Input in(data, size);
    const int32_t expected = (size >= QON_ZB5_IGNORECANPORT_MAX_SIZE) ? 11 : -XPORT_ERROR_INTERNAL;

    Fenced<qon_zb5_IgnoreCANPort> f;
    check(qon_zb5_IgnoreCANPort_decode_internal(in.transfer(), 0, &f.rec, nullptr, 0) == expected);
    f.checkIntact();

    Fenced<qon_zb5_IgnoreCANPort> g;
    check(qon_zb5_IgnoreCANPort_decode(in.transfer(), in.len(), &g.rec, nullptr) == expected);
    g.checkIntact();
    if (expected > 0) {
        // Flags are stored as true bools, and re-encoding gives back the 11 bits (padding cleared).
        for (const bool b : g.rec.IgnoreCANPort) {
            uint8_t raw = 0;
            std::memcpy(&raw, &b, 1);
            check(raw <= 1);
        }
        uint8_t back[QON_ZB5_IGNORECANPORT_MAX_SIZE] = {};
        check(qon_zb5_IgnoreCANPort_encode(&g.rec, back) == QON_ZB5_IGNORECANPORT_MAX_SIZE);
        check(back[0] == data[0] && back[1] == (data[1] & 0xE0));
    }
    return 0;
}
