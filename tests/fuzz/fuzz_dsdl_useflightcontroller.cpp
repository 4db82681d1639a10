// Flight-controller votes, decoded as the node does (internal form, offset 0) and by the root form. The
// type has no dynamic array, so the payload length given changes nothing.
#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

void fuzzdsdl::decodeOnce(const Input& in, uint16_t payload_len)
{
    const int32_t expected = (in.len() >= QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE) ? 80 : -XPORT_ERROR_INTERNAL;

    Fenced<qon_zb5_UseFlightController> f;
    check(qon_zb5_UseFlightController_decode_internal(in.transfer(), payload_len, &f.rec, nullptr, 0) == expected);
    f.checkIntact();

    Fenced<qon_zb5_UseFlightController> g;
    check(qon_zb5_UseFlightController_decode(in.transfer(), payload_len, &g.rec, nullptr) == expected);
    g.checkIntact();
    if (expected > 0) {
        uint8_t back[QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE] = {};
        check(qon_zb5_UseFlightController_encode(&g.rec, back) == QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE);
        check(std::memcmp(back, in.transfer()->payload_head, sizeof(back)) == 0);
    }
}
