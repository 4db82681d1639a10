#pragma once
// CRC-64-WE (polynomial 0x42F0E1EBA9EA3693, initial value and final xor all ones, no reflection): the
// application descriptor's image check, and the check value of the boot hand-off record.

#include <cstddef>
#include <cstdint>

inline constexpr uint64_t CRC64WE_INITIAL = ~uint64_t{0};

// Adds bytes to a running CRC (start at CRC64WE_INITIAL); the result of a whole message is crc64weFinal of
// the last value.
uint64_t crc64weAdd(uint64_t crc, const volatile uint8_t* bytes, std::size_t len);

constexpr uint64_t crc64weFinal(uint64_t crc) { return ~crc; }
