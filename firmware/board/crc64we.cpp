#include "firmware/board/crc64we.hpp"

namespace {

constexpr uint64_t POLYNOMIAL = 0x42F0E1EBA9EA3693ULL;

// The CRC of each 4-bit value in the top nibble: 128 bytes of flash where a byte-wide table takes 2 KB,
// and a quarter of the bit-by-bit loop's steps (the bootloader checks a whole image at every start).
constexpr auto nibbleTable()
{
    struct Table {
        uint64_t entry[16];
    } table{};
    for (uint64_t n = 0; n < 16; ++n) {
        uint64_t crc = n << 60;
        for (int bit = 0; bit < 4; ++bit) {
            crc = (crc & (uint64_t{1} << 63)) != 0 ? (crc << 1) ^ POLYNOMIAL : crc << 1;
        }
        table.entry[n] = crc;
    }
    return table;
}

constexpr auto kNibbleTable = nibbleTable();

}  // namespace

uint64_t crc64weAdd(uint64_t crc, const volatile uint8_t* bytes, std::size_t len)
{
    for (std::size_t i = 0; i < len; ++i) {
        const uint8_t byte = bytes[i];
        crc = (crc << 4) ^ kNibbleTable.entry[(crc >> 60) ^ (byte >> 4U)];
        crc = (crc << 4) ^ kNibbleTable.entry[(crc >> 60) ^ (byte & 0x0FU)];
    }
    return crc;
}
