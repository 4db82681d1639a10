#include "firmware/board/crc64we.hpp"

namespace {

constexpr uint64_t POLYNOMIAL = 0x42F0E1EBA9EA3693ULL;

}  // namespace

// Bit by bit: a few dozen bytes of flash where a table takes 2 KB. The record is checked once a start.
uint64_t crc64weAdd(uint64_t crc, const volatile uint8_t* bytes, std::size_t len)
{
    for (std::size_t i = 0; i < len; ++i) {
        crc ^= static_cast<uint64_t>(bytes[i]) << 56;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & (uint64_t{1} << 63)) != 0 ? (crc << 1) ^ POLYNOMIAL : crc << 1;
        }
    }
    return crc;
}
