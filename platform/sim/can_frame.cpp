// CAN frames: construction, the arbitration key, and a frame's exact length on the wire (its CRC and
// stuff bits computed eight bits at a time).
#include <algorithm>
#include <array>
#include <cstring>

#include "platform/sim/can_model.hpp"

namespace sim {

// Frames
bool CanFrame::operator==(const CanFrame& other) const
{
    return id == other.id && extended == other.extended && remote == other.remote && dlc == other.dlc &&
           (remote || std::memcmp(data, other.data, dataBytes()) == 0);
}

CanFrame CanFrame::standard(uint32_t id, std::initializer_list<uint8_t> bytes)
{
    CanFrame f;
    f.id = id & 0x7FFU;
    f.dlc = static_cast<uint8_t>(std::min<std::size_t>(bytes.size(), 8U));
    std::copy_n(bytes.begin(), f.dlc, f.data);
    return f;
}

CanFrame CanFrame::extendedFrame(uint32_t id, std::initializer_list<uint8_t> bytes)
{
    CanFrame f = standard(0, bytes);
    f.id = id & 0x1FFFFFFFU;
    f.extended = true;
    return f;
}

CanFrame CanFrame::remoteFrame(uint32_t id, bool extended, uint8_t dlc)
{
    CanFrame f;
    f.id = id & (extended ? 0x1FFFFFFFU : 0x7FFU);
    f.extended = extended;
    f.remote = true;
    f.dlc = static_cast<uint8_t>(dlc & 0xFU);
    return f;
}

uint64_t canArbitrationKey(const CanFrame& f)
{
    // 11 base bits, then (standard) RTR, IDE=0 or (extended) SRR=1, IDE=1, 18 bits, RTR. 0 is dominant.
    uint64_t key = 0;
    if (f.extended) {
        key = (static_cast<uint64_t>(f.id >> 18) << 21) | (1ULL << 20) | (1ULL << 19) |
              (static_cast<uint64_t>(f.id & 0x3FFFFU) << 1) | (f.remote ? 1U : 0U);
    } else {
        key = (static_cast<uint64_t>(f.id & 0x7FFU) << 21) | (f.remote ? (1ULL << 20) : 0U);
    }
    return key;
}

namespace {

// A frame's bits, the first one most significant (at most 118 from SOF to the end of the CRC).
struct BitString {
    unsigned __int128 bits = 0;
    unsigned count = 0;
    void put(uint32_t value, unsigned width)
    {
        bits = (bits << width) | (value & ((1U << width) - 1U));
        count += width;
    }
    // `width` (at most 8) bits from bit `from` on.
    uint32_t take(unsigned from, unsigned width) const
    {
        return static_cast<uint32_t>(bits >> (count - from - width)) & ((1U << width) - 1U);
    }
};

// Every frame on a virtual bus is measured: the CRC and the stuffing walk the bits eight at a time.
constexpr uint32_t kCrcPolynomial = 0x4599U;

constexpr uint32_t crcStep(uint32_t crc, uint32_t bit)
{
    const uint32_t next = bit ^ ((crc >> 14) & 1U);
    crc = (crc << 1) & 0x7FFFU;
    return next != 0U ? crc ^ kCrcPolynomial : crc;
}

// The CRC register after eight bits, by its top eight bits xor those eight bits.
constexpr std::array<uint16_t, 256> kCrcAfterByte = [] {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256U; ++i) {
        uint32_t crc = i << 7;
        for (int b = 0; b < 8; ++b) {
            crc = crcStep(crc, 0);
        }
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}();

// Stuffing state: the last bit on the wire << 2 | the number of equal bits ending there - 1 (1..4: the
// fifth is followed by a stuff bit of the other value, which starts a new run).
constexpr unsigned stuffStep(unsigned state, uint32_t bit, unsigned* stuffBits)
{
    const unsigned last = state >> 2;
    const unsigned run = (state & 3U) + 1U;
    if (bit != last) {
        return bit << 2;
    }
    if (run + 1U < 5U) {
        return (last << 2) | run;
    }
    ++*stuffBits;
    return (last ^ 1U) << 2;
}

// By state and byte: the stuff bits the byte brings << 3 | the state after it.
constexpr std::array<std::array<uint8_t, 256>, 8> kStuffAfterByte = [] {
    std::array<std::array<uint8_t, 256>, 8> table{};
    for (unsigned state = 0; state < 8U; ++state) {
        for (uint32_t byte = 0; byte < 256U; ++byte) {
            unsigned stuffBits = 0;
            unsigned after = state;
            for (unsigned b = 8; b-- > 0;) {
                after = stuffStep(after, (byte >> b) & 1U, &stuffBits);
            }
            table[state][byte] = static_cast<uint8_t>((stuffBits << 3) | after);
        }
    }
    return table;
}();

// Bits from SOF to the end of the CRC sequence, before stuffing.
BitString frameBits(const CanFrame& f)
{
    BitString w;
    w.put(0, 1);  // SOF
    if (f.extended) {
        w.put(f.id >> 18, 11);
        w.put(1, 1);  // SRR
        w.put(1, 1);  // IDE
        w.put(f.id & 0x3FFFFU, 18);
        w.put(f.remote ? 1U : 0U, 1);
        w.put(0, 2);  // r1, r0
    } else {
        w.put(f.id & 0x7FFU, 11);
        w.put(f.remote ? 1U : 0U, 1);
        w.put(0, 2);  // IDE, r0
    }
    w.put(f.dlc & 0xFU, 4);
    if (!f.remote) {
        for (unsigned i = 0; i < f.dataBytes(); ++i) {
            w.put(f.data[i], 8);
        }
    }
    uint32_t crc = 0;
    const unsigned lead = w.count % 8U;
    for (unsigned i = 0; i < lead; ++i) {
        crc = crcStep(crc, w.take(i, 1));
    }
    for (unsigned i = lead; i < w.count; i += 8U) {
        crc = ((crc << 8) ^ kCrcAfterByte[((crc >> 7) ^ w.take(i, 8)) & 0xFFU]) & 0x7FFFU;
    }
    w.put(crc, 15);
    return w;
}

}  // namespace

namespace can {

unsigned stuffedLength(const CanFrame& f)
{
    const BitString w = frameBits(f);
    unsigned stuffBits = 0;
    unsigned state = 0;  // after SOF: a dominant bit, a run of one
    const unsigned lead = 1U + (w.count - 1U) % 8U;
    for (unsigned i = 1; i < lead; ++i) {
        state = stuffStep(state, w.take(i, 1), &stuffBits);
    }
    for (unsigned i = lead; i < w.count; i += 8U) {
        const uint8_t after = kStuffAfterByte[state][w.take(i, 8)];
        stuffBits += after >> 3;
        state = after & 7U;
    }
    return w.count + stuffBits;
}

}  // namespace can

unsigned canFrameBits(const CanFrame& frame) { return can::stuffedLength(frame) + can::kTailBits; }

}  // namespace sim
