#pragma once
// A register of the simulated chip: a word (or byte) that lives in a host object laid out exactly like
// the real block, whose reads and writes go through the model that owns the block. Reading converts to
// the value, `=`, `|=`, `&=`, `^=` write; nothing else, so firmware cannot do anything here that it
// could not do on the chip.

#include <cstdint>

namespace sim {
// Routed to the model that owns the address; a register no model claims behaves as plain storage.
uint32_t regRead(const void* reg, unsigned width);
void regWrite(void* reg, uint32_t value, unsigned width);
}  // namespace sim

template <typename T>
class HwReg {
public:
    constexpr HwReg() = default;
    HwReg(const HwReg&) = delete;
    // A register copied to itself is read and written back, as on the chip.
    HwReg& operator=(const HwReg& other) { return *this = static_cast<T>(other); }  // NOLINT(cert-oop54-cpp)

    // Inlined even into firmware built without optimisation: every register access goes through here.
    [[gnu::always_inline]] operator T() const { return static_cast<T>(sim::regRead(this, sizeof(T))); }
    [[gnu::always_inline]] HwReg& operator=(T v)
    {
        sim::regWrite(this, v, sizeof(T));
        return *this;
    }
    HwReg& operator|=(T v) { return *this = static_cast<T>(static_cast<T>(*this) | v); }
    HwReg& operator&=(T v) { return *this = static_cast<T>(static_cast<T>(*this) & v); }
    HwReg& operator^=(T v) { return *this = static_cast<T>(static_cast<T>(*this) ^ v); }

    // Model and test side: the stored value, without any side effect.
    T peek() const { return value_; }
    void poke(T v) { value_ = v; }

private:
    T value_ = 0;
};

using HwReg32 = HwReg<uint32_t>;
using HwReg16 = HwReg<uint16_t>;
using HwReg8 = HwReg<uint8_t>;
static_assert(sizeof(HwReg32) == 4 && sizeof(HwReg16) == 2 && sizeof(HwReg8) == 1);
