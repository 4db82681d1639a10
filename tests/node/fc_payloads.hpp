#pragma once
// Payloads a flight controller sends the node, encoded here from the wire format (independent of the
// firmware's codecs): actuator and ESC commands, the vote, the ignore order, and the node's own
// visibility report for comparison.

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace fc {

inline constexpr uint16_t kArrayCommandId = 1010;
inline constexpr uint64_t kArrayCommandSignature = 0xD8A7486238EC3AF3ULL;
inline constexpr uint16_t kRawCommandId = 1030;
inline constexpr uint64_t kRawCommandSignature = 0x217F5C87D7EC951DULL;
inline constexpr uint16_t kUseFlightControllerId = 20111;
inline constexpr uint64_t kUseFlightControllerSignature = 0xB5B7819BAF5FDD7AULL;
inline constexpr uint16_t kVisibleFlightControllerId = 20112;
inline constexpr uint64_t kVisibleFlightControllerSignature = 0x338F695EA65AE92CULL;
inline constexpr uint16_t kIgnoreCanPortId = 20113;
inline constexpr uint64_t kIgnoreCanPortSignature = 0xA8739EC093192F7FULL;

// Fields packed from the most significant bit of each byte on; a field's value goes least significant
// byte first, and its last, partial byte contributes its low bits.
class Bits {
public:
    Bits& put(unsigned bits, uint64_t value)
    {
        for (unsigned done = 0; done < bits; done += 8) {
            const unsigned n = bits - done < 8 ? bits - done : 8;
            const auto byte = static_cast<uint8_t>(value >> done);
            for (unsigned b = n; b-- > 0;) {
                bit((byte >> b) & 1U);
            }
        }
        return *this;
    }
    std::vector<uint8_t> bytes() const { return bytes_; }

private:
    void bit(unsigned v)
    {
        if (count_ % 8 == 0) {
            bytes_.push_back(0);
        }
        bytes_.back() = static_cast<uint8_t>(bytes_.back() | (v << (7 - count_ % 8)));
        ++count_;
    }
    std::vector<uint8_t> bytes_;
    unsigned count_ = 0;
};

// IEEE half precision of a value that has one (zeros, normals, infinities, NaN).
inline uint16_t half(float x)
{
    if (std::isnan(x)) {
        return 0x7E00;
    }
    const uint16_t sign = std::signbit(x) ? 0x8000 : 0;
    const float a = std::fabs(x);
    if (std::isinf(a) || a >= 65520.0F) {
        return static_cast<uint16_t>(sign | 0x7C00);
    }
    if (a == 0.0F) {
        return sign;
    }
    int e = 0;
    const float m = std::frexp(a, &e);  // a = m * 2^e, m in [0.5, 1)
    const auto mantissa = static_cast<uint16_t>(std::lround((m * 2.0F - 1.0F) * 1024.0F));
    return static_cast<uint16_t>(sign | ((e - 1 + 15) << 10) | mantissa);
}

struct ActuatorCommand {
    uint8_t actuator_id;
    uint8_t command_type;
    float value;
};

// As the last field of the message, the command list has no length prefix.
inline std::vector<uint8_t> arrayCommand(std::initializer_list<ActuatorCommand> commands)
{
    Bits b;
    for (const ActuatorCommand& c : commands) {
        b.put(8, c.actuator_id).put(8, c.command_type).put(16, half(c.value));
    }
    return b.bytes();
}

inline std::vector<uint8_t> arrayCommandHalf(uint8_t actuator_id, uint16_t value_bits)
{
    return Bits().put(8, actuator_id).put(8, 0).put(16, value_bits).bytes();
}

inline std::vector<uint8_t> rawCommand(const std::vector<int>& values)
{
    Bits b;
    for (const int v : values) {
        b.put(14, static_cast<uint64_t>(v) & 0x3FFFU);
    }
    return b.bytes();
}

inline std::vector<uint8_t> useFlightController(uint64_t uniq_id, int use_bus, int this_bus)
{
    return Bits()
        .put(64, uniq_id)
        .put(8, static_cast<uint64_t>(use_bus) & 0xFFU)
        .put(8, static_cast<uint64_t>(this_bus) & 0xFFU)
        .bytes();
}

inline std::vector<uint8_t> ignoreCanPort(uint8_t node_id, bool p0, bool p1, bool p2)
{
    return Bits().put(8, node_id).put(1, p0).put(1, p1).put(1, p2).bytes();
}

inline std::vector<uint8_t> visibleFlightController(uint64_t uniq_id, bool p0, bool p1, bool p2)
{
    return Bits().put(64, uniq_id).put(1, p0).put(1, p1).put(1, p2).bytes();
}

}  // namespace fc
