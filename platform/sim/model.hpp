#pragma once
// Inside the simulator: the base of every peripheral model. A model owns one register block of
// sim::registers; register reads and writes of the firmware arrive here by offset.

#include <cstddef>
#include <cstdint>

#include "chip.hpp"

namespace sim {

// The enable bit of a peripheral's bus clock in the RCC; none for the core's own peripherals.
struct ClockGate {
    const HwReg32* enable = nullptr;
    uint32_t mask = 0;
    bool open() const { return enable == nullptr || (enable->peek() & mask) == mask; }
};
inline ClockGate ahb1Clock(uint32_t mask) { return {&registers.rcc.AHB1ENR, mask}; }
inline ClockGate apb1Clock(uint32_t mask) { return {&registers.rcc.APB1ENR, mask}; }

class Peripheral {
public:
    Peripheral(const char* name, void* block, std::size_t size, ClockGate clock = {});
    Peripheral(const Peripheral&) = delete;
    Peripheral& operator=(const Peripheral&) = delete;

    const char* name() const { return name_; }

    // Firmware access at a byte offset of the block. The defaults behave as plain storage.
    virtual uint32_t read(uint32_t offset, unsigned width);
    virtual void write(uint32_t offset, uint32_t value, unsigned width);

    // False while the peripheral's bus clock is off: then reads give 0 and writes are lost, as on the chip.
    bool clocked() const { return clock_.open(); }

    // Back to the power-on state.
    virtual void reset() = 0;

    uint32_t offsetOf(const void* address) const
    {
        return static_cast<uint32_t>(static_cast<const unsigned char*>(address) - block_);
    }

protected:
    ~Peripheral() = default;

    uint32_t stored(uint32_t offset, unsigned width) const;
    void store(uint32_t offset, uint32_t value, unsigned width);
    // Zeroes the whole block (raw storage, no side effects).
    void clearBlock();

private:
    const char* name_;
    unsigned char* block_;
    std::size_t size_;
    ClockGate clock_;
};

// Registered at construction: from then on the register router sends the block's accesses to it.
void registerPeripheral(Peripheral* peripheral, const void* block, std::size_t size);

}  // namespace sim
