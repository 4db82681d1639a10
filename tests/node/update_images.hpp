#pragma once
// What the update tests know of images and of the update's services: the descriptor's fields in an image's
// bytes, image B (A with another commit, its CRC filled again), the two services' IDs and signatures.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "firmware/board/app_descriptor.hpp"
#include "firmware/board/crc64we.hpp"
#include "sitl/bus_transfers.hpp"

namespace update {

inline constexpr uint32_t kBeginUpdateId = bus::kBeginFirmwareUpdateId;
inline constexpr uint64_t kBeginUpdateSignature = bus::kBeginFirmwareUpdateSignature;
inline constexpr uint32_t kReadId = bus::kFileReadId;
inline constexpr uint64_t kReadSignature = bus::kFileReadSignature;
inline constexpr std::size_t kReadChunk = 256;  // bytes a Read answer carries, fewer ending the file
inline constexpr uint32_t kCommitAt = APP_DESCRIPTOR_OFFSET + offsetof(AppInfo_t, vcs_commit);
inline constexpr uint32_t kCrcAt = APP_DESCRIPTOR_OFFSET + offsetof(AppInfo_t, image_crc);
inline constexpr uint32_t kCommitOfB = 0xB0B0B0B0U;

inline std::vector<uint8_t> readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline uint64_t le(const std::vector<uint8_t>& bytes, std::size_t at, unsigned n)
{
    uint64_t v = 0;
    for (unsigned i = n; i-- > 0;) {
        v = (v << 8) | bytes.at(at + i);
    }
    return v;
}

inline void putLe(std::vector<uint8_t>& bytes, std::size_t at, uint64_t v, unsigned n)
{
    for (unsigned i = 0; i < n; ++i) {
        bytes.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
    }
}

// The descriptor's CRC filled again, as the post-link step fills it.
inline void refillCrc(std::vector<uint8_t>& image)
{
    putLe(image, kCrcAt, 0, 8);
    putLe(image, kCrcAt, crc64weFinal(crc64weAdd(CRC64WE_INITIAL, image.data(), image.size())), 8);
}

// Image B: A with another commit and its CRC filled again.
inline std::vector<uint8_t> imageB(std::vector<uint8_t> a)
{
    putLe(a, kCommitAt, kCommitOfB, 4);
    refillCrc(a);
    return a;
}

}  // namespace update
