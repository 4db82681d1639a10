// Flight-controller votes, decoded as the node does (internal form, offset 0) and by the root form.
#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > UINT16_MAX) {
        return 0;
    }
    const Input in(data, size);
    const int32_t expected = (size >= QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE) ? 80 : -XPORT_ERROR_INTERNAL;

    Fenced<qon_zb5_UseFlightController> f;
    check(qon_zb5_UseFlightController_decode_internal(in.transfer(), 0, &f.rec, nullptr, 0) == expected);
    f.checkIntact();

    Fenced<qon_zb5_UseFlightController> g;
    check(qon_zb5_UseFlightController_decode(in.transfer(), in.len(), &g.rec, nullptr) == expected);
    g.checkIntact();
    if (expected > 0) {
        uint8_t back[QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE] = {};
        check(qon_zb5_UseFlightController_encode(&g.rec, back) == QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE);
        check(std::memcmp(back, data, sizeof(back)) == 0);
    }
    return 0;
}
