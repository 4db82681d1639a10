// The entry of every decoder target: the input as a received payload, decoded as the top-level type (the
// payload's length given) and as a nested one (no length), by the target's decodeOnce.
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > UINT16_MAX) {
        return 0;
    }
    const Input in(data, size);
    decodeOnce(in, in.len());
    decodeOnce(in, 0);
    return 0;
}
