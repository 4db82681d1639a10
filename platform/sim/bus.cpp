// The simulated chip's register bus: every firmware register access lands here and goes to the model
// that owns the address. Registers no model claims are plain storage.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "chip.hpp"
#include "platform/sim/internal.hpp"

namespace sim {

ChipRegisters registers;

namespace {

constexpr std::size_t kMaxPeripherals = 32;
Peripheral* g_peripherals[kMaxPeripherals];
std::size_t g_peripheralCount = 0;
std::function<std::string()> g_locator;

// Every firmware register access looks up its model: one table entry per word of the register blocks,
// 1 + the model's index in g_peripherals, 0 where no model claims the word.
constexpr std::size_t kRegisterWords = sizeof(ChipRegisters) / 4U;
uint8_t g_ownerOfWord[kRegisterWords];
static_assert(kMaxPeripherals < 256U);

Peripheral* owner(const void* reg)
{
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(reg) - reinterpret_cast<std::uintptr_t>(&registers);
    if (offset >= sizeof(ChipRegisters)) {
        return nullptr;  // not a register of the chip (a test's own HwReg)
    }
    const uint8_t slot = g_ownerOfWord[offset / 4U];
    return slot == 0U ? nullptr : g_peripherals[slot - 1U];
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
    const std::string where = g_locator ? " " + g_locator() : std::string();
    std::fprintf(stderr, "sim: %s accessed while its clock is off (RCC enable bit clear)%s: access ignored\n",
                 p->name(), where.c_str());
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

namespace {

// Accesses off the usual path: before the models exist (nothing is claimed yet), to registers no model
// claims, and while a peripheral's clock is off.
[[gnu::noinline]] uint32_t readOffPath(const void* reg, unsigned width)
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

[[gnu::noinline]] void writeOffPath(void* reg, uint32_t value, unsigned width)
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

}  // namespace

uint32_t regRead(const void* reg, unsigned width)
{
    Peripheral* p = owner(reg);
    if (p == nullptr || !p->clocked()) [[unlikely]] {
        return readOffPath(reg, width);
    }
    return p->read(p->offsetOf(reg), width);
}

void regWrite(void* reg, uint32_t value, unsigned width)
{
    Peripheral* p = owner(reg);
    if (p == nullptr || !p->clocked()) [[unlikely]] {
        writeOffPath(reg, value, width);
        return;
    }
    p->write(p->offsetOf(reg), value, width);
}

// ---------------------------------------------------------------------------------------------------------
namespace {

// The bus peripherals modelled, from TIM2 up to the flash interface, each on 1 KB pages of its own.
constexpr uint32_t kPeripheralBase = TIM2_BASE;
constexpr uint32_t kPeripheralPage = 0x400U;
constexpr uint32_t kPeripheralPages = (FLASH_R_BASE - kPeripheralBase) / kPeripheralPage + 1U;

// Where each block of the simulated chip sits in the chip's address map.
struct Region {
    uint32_t base;
    void* block;
    uint32_t size;
};

const Region* regionAt(uint32_t address, unsigned width)
{
    static const Region kRegions[] = {
        {TIM2_BASE, &registers.tim2, sizeof(TIM_TypeDef)},
        {TIM5_BASE, &registers.tim5, sizeof(TIM_TypeDef)},
        {WWDG_BASE, &registers.wwdg, sizeof(WWDG_TypeDef)},
        {IWDG_BASE, &registers.iwdg, sizeof(IWDG_TypeDef)},
        {USART2_BASE, &registers.usart2, sizeof(USART_TypeDef)},
        {CAN1_BASE, &registers.can[0], sizeof(CAN_TypeDef)},
        {CAN2_BASE, &registers.can[1], sizeof(CAN_TypeDef)},
        {CAN3_BASE, &registers.can[2], sizeof(CAN_TypeDef)},
        {PWR_BASE, &registers.pwr, sizeof(PWR_TypeDef)},
        {GPIOA_BASE, &registers.gpio[0], sizeof(GPIO_TypeDef)},
        {GPIOB_BASE, &registers.gpio[1], sizeof(GPIO_TypeDef)},
        {GPIOC_BASE, &registers.gpio[2], sizeof(GPIO_TypeDef)},
        {GPIOD_BASE, &registers.gpio[3], sizeof(GPIO_TypeDef)},
        {GPIOE_BASE, &registers.gpio[4], sizeof(GPIO_TypeDef)},
        {GPIOH_BASE, &registers.gpio[5], sizeof(GPIO_TypeDef)},
        {RCC_BASE, &registers.rcc, sizeof(RCC_TypeDef)},
        {FLASH_R_BASE, &registers.flash, sizeof(FLASH_TypeDef)},
        {UID_BASE, &registers.uid, sizeof(UID_TypeDef)},
        {SysTick_BASE, &registers.systick, sizeof(SysTick_Type)},
        // Before the NVIC, whose block spans the SCB's addresses on its way to STIR at 0xE000EF00.
        {SCB_BASE, &registers.scb, sizeof(SCB_Type)},
        {NVIC_BASE, &registers.nvic, sizeof(NVIC_Type)},
        {FLASH_APP_START, registers.flashCells, sizeof(registers.flashCells)},
    };
    if (width != 1U && width != 2U && width != 4U) {
        return nullptr;
    }
    if (address % width != 0U) {
        return nullptr;  // device registers take aligned accesses only
    }
    const auto holds = [address, width](const Region& r) { return address >= r.base && address - r.base <= r.size - width; };
    // The buses' peripherals each start a 1 KB page of their own: found by the page, not searched.
    static const auto kByPage = [] {
        std::array<const Region*, kPeripheralPages> byPage{};
        for (const Region& r : kRegions) {
            if (r.base - kPeripheralBase < kPeripheralPages * kPeripheralPage) {
                byPage[(r.base - kPeripheralBase) / kPeripheralPage] = &r;
            }
        }
        return byPage;
    }();
    if (address - kPeripheralBase < kPeripheralPages * kPeripheralPage) {
        const Region* r = kByPage[(address - kPeripheralBase) / kPeripheralPage];
        return r != nullptr && holds(*r) ? r : nullptr;
    }
    for (const Region& r : kRegions) {
        if (holds(r)) {
            return &r;
        }
    }
    return nullptr;
}

void* hostRegister(const Region& r, uint32_t address)
{
    return static_cast<unsigned char*>(r.block) + (address - r.base);
}

}  // namespace

void setAccessLocator(std::function<std::string()> locator) { g_locator = std::move(locator); }

bool busRead(uint32_t address, unsigned width, uint32_t* value)
{
    const Region* r = regionAt(address, width);
    if (r == nullptr) {
        return false;
    }
    *value = regRead(hostRegister(*r, address), width);
    return true;
}

bool busWrite(uint32_t address, unsigned width, uint32_t value)
{
    const Region* r = regionAt(address, width);
    if (r == nullptr) {
        return false;
    }
    regWrite(hostRegister(*r, address), value, width);
    return true;
}

// ---------------------------------------------------------------------------------------------------------
Peripheral::Peripheral(const char* name, void* block, std::size_t size, ClockGate clock)
    : name_(name), block_(static_cast<unsigned char*>(block)), size_(size), clock_(clock)
{
    registerPeripheral(this, block, size);
}

void registerPeripheral(Peripheral* peripheral, const void* block, std::size_t size)
{
    if (g_peripheralCount == kMaxPeripherals) {
        simFatal("more than %u peripheral models: raise kMaxPeripherals", static_cast<unsigned>(kMaxPeripherals));
    }
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(block) - reinterpret_cast<std::uintptr_t>(&registers);
    if (offset % 4U != 0U || size % 4U != 0U || offset > sizeof(ChipRegisters) || size > sizeof(ChipRegisters) - offset) {
        simFatal("%s: a model owns whole words of sim::registers", peripheral->name());
    }
    g_peripherals[g_peripheralCount++] = peripheral;
    std::fill_n(g_ownerOfWord + offset / 4U, size / 4U, static_cast<uint8_t>(g_peripheralCount));
}

uint32_t Peripheral::read(uint32_t offset, unsigned width) { return stored(offset, width); }

void Peripheral::write(uint32_t offset, uint32_t value, unsigned width) { store(offset, value, width); }

uint32_t Peripheral::stored(uint32_t offset, unsigned width) const { return plainRead(block_ + offset, width); }

void Peripheral::store(uint32_t offset, uint32_t value, unsigned width) { plainWrite(block_ + offset, value, width); }

void Peripheral::clearBlock() { std::memset(static_cast<void*>(block_), 0, size_); }

}  // namespace sim
