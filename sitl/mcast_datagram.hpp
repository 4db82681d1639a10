#pragma once
// CAN over UDP multicast as flight-controller simulators and DroneCAN tools carry it: one frame per
// datagram to group 239.65.82.N, port 57732. Layout, all little-endian:
//   magic 0x2934 (u16), CRC-16-CCITT over every byte after this field (u16), flags (u16, bit 0 = CAN FD),
//   message ID (u32, bit 31 = extended identifier, bits 0..28 the identifier), data bytes.

#include <cstddef>
#include <cstdint>

#include "platform/sim/sim.hpp"

namespace sitl {

inline constexpr uint16_t kMcastPort = 57732;
inline constexpr uint16_t kDatagramMagic = 0x2934;
inline constexpr std::size_t kDatagramHeader = 10;
// The longest datagram any sender makes (a CAN FD frame); anything longer is not a frame at all.
inline constexpr std::size_t kDatagramMax = kDatagramHeader + 64;

// CRC-16-CCITT: polynomial 0x1021, initial 0xFFFF, not reflected, no final xor.
uint16_t crc16Ccitt(const uint8_t* bytes, std::size_t n);

// Writes the datagram for a classic data frame into out; returns its length.
std::size_t encodeDatagram(const sim::CanFrame& frame, uint8_t (&out)[kDatagramMax]);

// The frame a datagram of `size` bytes carries (only the first kDatagramMax bytes are looked at, so a
// receiver may pass the size of a truncated read): nullptr, or why it is not one a classic controller
// can take, as a short phrase for the drop counts.
const char* decodeDatagram(const uint8_t* bytes, std::size_t size, sim::CanFrame* frame);

}  // namespace sitl
