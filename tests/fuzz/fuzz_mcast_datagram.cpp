// Any bytes as a received datagram: a frame comes out only when the datagram is whole and valid, and it
// then encodes back to the very same bytes.
#include <cstdlib>
#include <cstring>

#include "sitl/mcast_datagram.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sim::CanFrame frame;
    if (sitl::decodeDatagram(data, size, &frame) != nullptr) {
        return 0;
    }
    uint8_t again[sitl::kDatagramMax];
    if (frame.dlc > 8 || sitl::encodeDatagram(frame, again) != size || std::memcmp(again, data, size) != 0) {
        std::abort();
    }
    return 0;
}
