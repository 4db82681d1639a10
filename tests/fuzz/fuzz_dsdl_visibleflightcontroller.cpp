// Visibility reports, decoded in the internal and the root form.
#include "firmware/dsdl/qon/zb5/VisibleFlightController.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > UINT16_MAX) {
        return 0;
    }
    const Input in(data, size);
    const int32_t expected = (size >= QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE) ? 67 : -XPORT_ERROR_INTERNAL;

    Fenced<qon_zb5_VisibleFlightController> f;
    check(qon_zb5_VisibleFlightController_decode_internal(in.transfer(), 0, &f.rec, nullptr, 0) == expected);
    f.checkIntact();

    Fenced<qon_zb5_VisibleFlightController> g;
    check(qon_zb5_VisibleFlightController_decode(in.transfer(), in.len(), &g.rec, nullptr) == expected);
    g.checkIntact();
    if (expected > 0) {
        uint8_t back[QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE] = {};
        check(qon_zb5_VisibleFlightController_encode(&g.rec, back) == QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE);
        check(std::memcmp(back, data, 8) == 0 && back[8] == (data[8] & 0xE0));
    }
    return 0;
}
