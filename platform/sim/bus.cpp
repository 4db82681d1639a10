// The simulated chip's register bus: every firmware register access lands here and goes to the model
// that owns the address. Registers no model claims are plain storage.
#include <cstdio>
#include <cstring>

#include "chip.hpp"
#include "platform/sim/internal.hpp"

namespace sim {

ChipRegisters registers;

namespace {

constexpr std::size_t kMaxPeripherals = 32;
Peripheral* g_peripherals[kMaxPeripherals];
std::size_t g_peripheralCount = 0;
Peripheral* g_lastHit = nullptr;

Peripheral* owner(const void* reg)
{
    if (g_lastHit != nullptr && g_lastHit->contains(reg)) {
        return g_lastHit;
    }
    for (std::size_t i = 0; i < g_peripheralCount; ++i) {
        if (g_peripherals[i]->contains(reg)) {
            g_lastHit = g_peripherals[i];
            return g_lastHit;
        }
    }
    return nullptr;
}

void warnUnclocked(Peripheral* p)
{
    // Once per peripheral and process: enough to point at a missing clock enable.
    static const Peripheral* warned[kMaxPeripherals];
    static std::size_t warnedCount = 0;
    for (std::size_t i = 0; i < warnedCount; ++i) {
        if (warned[i] == p) {
            return;
        }
    }
    if (warnedCount < kMaxPeripherals) {
        warned[warnedCount++] = p;
    }
    std::fprintf(stderr, "sim: %s accessed while its clock is off (RCC enable bit clear): access ignored\n",
                 p->name());
}

uint32_t plainRead(const void* reg, unsigned width)
{
    if (width == 1) {
        return static_cast<const HwReg8*>(reg)->peek();
    }
    if (width == 2) {
        return static_cast<const HwReg16*>(reg)->peek();
    }
    return static_cast<const HwReg32*>(reg)->peek();
}

void plainWrite(void* reg, uint32_t value, unsigned width)
{
    if (width == 1) {
        static_cast<HwReg8*>(reg)->poke(static_cast<uint8_t>(value));
    } else if (width == 2) {
        static_cast<HwReg16*>(reg)->poke(static_cast<uint16_t>(value));
    } else {
        static_cast<HwReg32*>(reg)->poke(value);
    }
}

}  // namespace

uint32_t regRead(const void* reg, unsigned width)
{
    ensureModels();
    Peripheral* p = owner(reg);
    if (p == nullptr) {
        return plainRead(reg, width);
    }
    if (!p->clocked()) {
        warnUnclocked(p);
        return 0;
    }
    return p->read(p->offsetOf(reg), width);
}

void regWrite(void* reg, uint32_t value, unsigned width)
{
    ensureModels();
    Peripheral* p = owner(reg);
    if (p == nullptr) {
        plainWrite(reg, value, width);
        return;
    }
    if (!p->clocked()) {
        warnUnclocked(p);
        return;
    }
    p->write(p->offsetOf(reg), value, width);
}

// ---------------------------------------------------------------------------------------------------------
Peripheral::Peripheral(const char* name, void* block, std::size_t size)
    : name_(name), block_(static_cast<unsigned char*>(block)), size_(size)
{
    registerPeripheral(this);
}

void registerPeripheral(Peripheral* peripheral)
{
    if (g_peripheralCount == kMaxPeripherals) {
        simFatal("more than %u peripheral models: raise kMaxPeripherals", static_cast<unsigned>(kMaxPeripherals));
    }
    g_peripherals[g_peripheralCount++] = peripheral;
}

bool Peripheral::contains(const void* address) const
{
    const auto* a = static_cast<const unsigned char*>(address);
    return a >= block_ && a < block_ + size_;
}

uint32_t Peripheral::offsetOf(const void* address) const
{
    return static_cast<uint32_t>(static_cast<const unsigned char*>(address) - block_);
}

uint32_t Peripheral::read(uint32_t offset, unsigned width) { return stored(offset, width); }

void Peripheral::write(uint32_t offset, uint32_t value, unsigned width) { store(offset, value, width); }

uint32_t Peripheral::stored(uint32_t offset, unsigned width) const { return plainRead(block_ + offset, width); }

void Peripheral::store(uint32_t offset, uint32_t value, unsigned width) { plainWrite(block_ + offset, value, width); }

void Peripheral::clearBlock() { std::memset(static_cast<void*>(block_), 0, size_); }

}  // namespace sim
