#include "sitl/mcast_datagram.hpp"

#include <cstring>

namespace sitl {
namespace {

constexpr uint16_t kFlagCanFd = 1U << 0;
constexpr uint32_t kIdExtended = 1U << 31;
constexpr uint32_t kIdMask = 0x1FFFFFFFU;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

uint16_t crc16Ccitt(const uint8_t* bytes, std::size_t n)
{
    uint32_t crc = 0xFFFFU;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint32_t>(bytes[i]) << 8U;
        for (int b = 0; b < 8; ++b) {
            crc = (crc & 0x8000U) != 0 ? ((crc << 1U) ^ 0x1021U) & 0xFFFFU : (crc << 1U) & 0xFFFFU;
        }
    }
    return static_cast<uint16_t>(crc);
}

std::size_t encodeDatagram(const sim::CanFrame& frame, uint8_t (&out)[kDatagramMax])
{
    const uint8_t n = frame.dataBytes();
    const uint32_t id = (frame.id & kIdMask) | (frame.extended ? kIdExtended : 0U);
    put16(out, kDatagramMagic);
    put16(out + 4, 0);
    for (int i = 0; i < 4; ++i) {
        out[6 + i] = static_cast<uint8_t>(id >> (8 * i));
    }
    std::memcpy(out + kDatagramHeader, frame.data, n);
    const std::size_t size = kDatagramHeader + n;
    put16(out + 2, crc16Ccitt(out + 4, size - 4));
    return size;
}

const char* decodeDatagram(const uint8_t* bytes, std::size_t size, sim::CanFrame* frame)
{
    if (size < kDatagramHeader) {
        return "short datagram";
    }
    if (size > kDatagramMax) {
        return "oversized datagram";
    }
    if (le16(bytes) != kDatagramMagic) {
        return "wrong magic";
    }
    if (le16(bytes + 2) != crc16Ccitt(bytes + 4, size - 4)) {
        return "wrong CRC";
    }
    const uint16_t flags = le16(bytes + 4);
    if ((flags & kFlagCanFd) != 0) {
        return "CAN FD frame";
    }
    if (flags != 0) {
        return "unknown flags";
    }
    const uint32_t id = le32(bytes + 6);
    const bool extended = (id & kIdExtended) != 0;
    // Bits 29 and 30 mean nothing here; a standard identifier has 11 bits.
    if ((id & ~(kIdExtended | kIdMask)) != 0 || (!extended && id > 0x7FFU)) {
        return "invalid identifier";
    }
    const std::size_t n = size - kDatagramHeader;
    if (n > 8) {
        return "DLC above 8";
    }
    *frame = sim::CanFrame{};
    frame->id = id & kIdMask;
    frame->extended = extended;
    frame->dlc = static_cast<uint8_t>(n);
    std::memcpy(frame->data, bytes + kDatagramHeader, n);
    return nullptr;
}

}  // namespace sitl
