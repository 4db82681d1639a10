#include "firmware/bootloader/app_image.hpp"

#include <cstddef>

#include "firmware/board/app_descriptor.hpp"
#include "firmware/board/crc64we.hpp"

namespace {

constexpr uint8_t kMagic[8] = {'A', 'P', 'D', 'e', 's', 'c', '0', '0'};
constexpr uint32_t kCrcAt = APP_DESCRIPTOR_OFFSET + offsetof(AppInfo_t, image_crc);
constexpr uint8_t kZeros[sizeof(uint64_t)] = {};

// A little-endian field of the descriptor, read byte by byte: flash may not hold it aligned for a copy.
template <typename T>
T field(const volatile uint8_t* image, uint32_t at)
{
    T value = 0;
    for (uint32_t i = sizeof(T); i-- > 0;) {
        value = static_cast<T>((value << 8) | image[at + i]);
    }
    return value;
}

}  // namespace

uint32_t appImageSize(const volatile uint8_t* image, uint32_t limit)
{
    constexpr uint32_t kDescriptorEnd = APP_DESCRIPTOR_OFFSET + sizeof(AppInfo_t);
    if (limit < kDescriptorEnd) {
        return 0;
    }
    for (uint32_t i = 0; i < sizeof kMagic; ++i) {
        if (image[APP_DESCRIPTOR_OFFSET + i] != kMagic[i]) {
            return 0;
        }
    }
    const auto size = field<uint32_t>(image, APP_DESCRIPTOR_OFFSET + offsetof(AppInfo_t, image_size));
    if (size < kDescriptorEnd || size > limit) {
        return 0;
    }
    uint64_t crc = crc64weAdd(CRC64WE_INITIAL, image, kCrcAt);
    crc = crc64weAdd(crc, kZeros, sizeof kZeros);
    crc = crc64weAdd(crc, image + kCrcAt + sizeof kZeros, size - kCrcAt - sizeof kZeros);
    return crc64weFinal(crc) == field<uint64_t>(image, kCrcAt) ? size : 0;
}
