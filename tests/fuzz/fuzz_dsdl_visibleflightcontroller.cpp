// Visibility reports, decoded in the internal and the root form. The type has no dynamic array, so the
// payload length given changes nothing.
#include "firmware/dsdl/qon/zb5/VisibleFlightController.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

void fuzzdsdl::decodeOnce(const Input& in, uint16_t payload_len)
{
    const int32_t expected = (in.len() >= QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE) ? 67 : -XPORT_ERROR_INTERNAL;

    Fenced<qon_zb5_VisibleFlightController> f;
    check(qon_zb5_VisibleFlightController_decode_internal(in.transfer(), payload_len, &f.rec, nullptr, 0) == expected);
    f.checkIntact();

    Fenced<qon_zb5_VisibleFlightController> g;
    check(qon_zb5_VisibleFlightController_decode(in.transfer(), payload_len, &g.rec, nullptr) == expected);
    g.checkIntact();
    if (expected > 0) {
        const uint8_t* const data = in.transfer()->payload_head;
        uint8_t back[QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE] = {};
        check(qon_zb5_VisibleFlightController_encode(&g.rec, back) == QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE);
        check(std::memcmp(back, data, 8) == 0 && back[8] == (data[8] & 0xE0));
    }
}
