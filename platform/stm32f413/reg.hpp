#pragma once
// A hardware register of the real chip: one volatile word (or byte) at its documented address.
// Wrapped rather than a bare `volatile uint32_t` so that `|=` and `&=` are plain read-modify-write
// on every compiler (clang deprecates compound assignment to volatile in C++20) and so that the firmware
// sees exactly the same operations as with the simulator's registers.

#include <cstdint>

template <typename T>
class HwReg {
public:
    HwReg() = default;
    HwReg(const HwReg&) = delete;
    // A register copied to itself is read and written back, as the hardware expects of such a statement.
    HwReg& operator=(const HwReg& other) { value_ = other.value_; return *this; }  // NOLINT(cert-oop54-cpp)

    operator T() const { return value_; }
    HwReg& operator=(T v) { value_ = v; return *this; }
    HwReg& operator|=(T v) { value_ = static_cast<T>(value_ | v); return *this; }
    HwReg& operator&=(T v) { value_ = static_cast<T>(value_ & v); return *this; }
    HwReg& operator^=(T v) { value_ = static_cast<T>(value_ ^ v); return *this; }

private:
    volatile T value_;
};

using HwReg32 = HwReg<uint32_t>;
using HwReg16 = HwReg<uint16_t>;
using HwReg8 = HwReg<uint8_t>;
static_assert(sizeof(HwReg32) == 4 && sizeof(HwReg16) == 2 && sizeof(HwReg8) == 1);
