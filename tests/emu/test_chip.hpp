#pragma once
// A small stand-in for the chip around the emulated core: an interrupt controller for IRQ 0..31 and
// SysTick (enable, pending and priority registers, VTOR), a SysTick timer counting the core's cycles,
// plain registers for the peripherals the programs touch, and a log of every bus access.

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/emu/bus.hpp"

namespace emu_test {

struct Access {
    bool write;
    uint32_t addr;
    unsigned width;
    uint32_t value;
    bool operator==(const Access&) const = default;
};

class TestChip final : public emu::Bus, public emu::InterruptSource {
public:
    static constexpr unsigned kSysTick = 15;
    static constexpr unsigned kFirstIrq = 16;

    std::vector<Access> log;
    std::vector<unsigned> acknowledged;
    uint32_t flashAcr = 0;

    bool read(uint32_t addr, unsigned width, uint32_t* value) override
    {
        const std::optional<uint32_t> v = readRegister(addr);
        if (!v) {
            return false;
        }
        const unsigned shift = (addr & 3U) * 8U;
        *value = width == 4U ? *v : (*v >> shift) & ((1U << (8U * width)) - 1U);
        if (addr < kScs) {
            log.push_back({false, addr, width, *value});
        }
        return true;
    }

    bool write(uint32_t addr, unsigned width, uint32_t value) override
    {
        if (addr < kScs) {
            log.push_back({true, addr, width, value});
        }
        if (addr - 0x08000000U < 0x100000U) {
            return true;  // the flash interface would program it; nothing here does
        }
        if (addr - kPeripherals < 0x100U || addr == kFlashAcrAddr) {
            uint32_t& r = addr == kFlashAcrAddr ? flashAcr : peripheral_[addr & ~3U];
            const unsigned shift = (addr & 3U) * 8U;
            const uint32_t mask = width == 4U ? ~0U : ((1U << (8U * width)) - 1U) << shift;
            r = (r & ~mask) | ((value << shift) & mask);
            return true;
        }
        if (addr == kIser0) {
            enabled_ |= value;
        } else if (addr == kIspr0) {
            pending_ |= value;
        } else if (addr - kIpr < 32U) {
            for (unsigned i = 0; i < width; ++i) {
                priority_[addr - kIpr + i] = static_cast<uint8_t>(value >> (8U * i));
            }
        } else if (addr == kVtor) {
            vtor_ = value;
        } else if (addr == kCpacr) {
            cpacr_ = value;
        } else if (addr == kSysTickCtrl) {
            sysTickCtrl_ = value & 7U;
        } else if (addr == kSysTickLoad) {
            sysTickLoad_ = value & 0xFFFFFFU;
        } else if (addr == kSysTickVal) {
            sysTickLeft_ = 0;
        } else {
            return false;
        }
        return true;
    }

    // SysTick on the processor clock: it pends its exception every LOAD + 1 cycles.
    void advanceTo(uint64_t cycles)
    {
        uint64_t elapsed = cycles - lastCycles_;
        lastCycles_ = cycles;
        if ((sysTickCtrl_ & 1U) == 0U) {
            return;
        }
        const uint64_t period = uint64_t{sysTickLoad_} + 1U;
        uint64_t left = sysTickLeft_ == 0U ? period : sysTickLeft_;
        while (elapsed >= left) {
            elapsed -= left;
            left = period;
            if ((sysTickCtrl_ & 2U) != 0U) {
                sysTickPending_ = true;
            }
        }
        sysTickLeft_ = left - elapsed;
    }

    // Pending state changes only at bus accesses and in advanceTo, which tests call between runs.
    std::optional<emu::PendingException> highestPending(uint64_t* quietUntil) override
    {
        if (!sysTickPending_ && (enabled_ & pending_) == 0U) {
            *quietUntil = UINT64_MAX;
            return std::nullopt;
        }
        std::optional<emu::PendingException> best;
        if (sysTickPending_) {
            best = emu::PendingException{kSysTick, sysTickPriority_};
        }
        const uint32_t ready = enabled_ & pending_;
        for (unsigned irq = 0; irq < 32U; ++irq) {
            if ((ready & (1U << irq)) != 0U && (!best || priority_[irq] < best->priority)) {
                best = emu::PendingException{kFirstIrq + irq, priority_[irq]};
            }
        }
        return best;
    }

    void acknowledge(unsigned number) override
    {
        acknowledged.push_back(number);
        if (number == kSysTick) {
            sysTickPending_ = false;
        } else {
            pending_ &= ~(1U << (number - kFirstIrq));
        }
    }

    void completed(unsigned) override {}

private:
    static constexpr uint32_t kPeripherals = 0x40000000U;
    static constexpr uint32_t kFlashAcrAddr = 0x40023C00U;
    static constexpr uint32_t kUniqueId = 0x1FFF7A10U;
    static constexpr uint32_t kScs = 0xE000E000U;
    static constexpr uint32_t kSysTickCtrl = 0xE000E010U;
    static constexpr uint32_t kSysTickLoad = 0xE000E014U;
    static constexpr uint32_t kSysTickVal = 0xE000E018U;
    static constexpr uint32_t kIser0 = 0xE000E100U;
    static constexpr uint32_t kIspr0 = 0xE000E200U;
    static constexpr uint32_t kIpr = 0xE000E400U;
    static constexpr uint32_t kVtor = 0xE000ED08U;
    static constexpr uint32_t kCpacr = 0xE000ED88U;

    std::optional<uint32_t> readRegister(uint32_t addr)
    {
        const uint32_t word = addr & ~3U;
        if (word - kPeripherals < 0x100U) {
            return peripheral_[word];
        }
        switch (word) {
        case kFlashAcrAddr: return flashAcr;
        case kUniqueId: return 0x12345678U;
        case kVtor: return vtor_;
        case kCpacr: return cpacr_;
        case kIser0: return enabled_;
        case kIspr0: return pending_;
        default: return std::nullopt;
        }
    }

    std::map<uint32_t, uint32_t> peripheral_;
    uint32_t enabled_ = 0;
    uint32_t pending_ = 0;
    uint8_t priority_[32] = {};
    int sysTickPriority_ = 0xF0;
    uint32_t vtor_ = 0x08000000U;  // where a bootloader leaves it for an image at the start of flash
    uint32_t cpacr_ = 0;
    uint32_t sysTickCtrl_ = 0;
    uint32_t sysTickLoad_ = 0;
    uint64_t sysTickLeft_ = 0;  // cycles to the next zero; 0 reloads first
    uint64_t lastCycles_ = 0;
    bool sysTickPending_ = false;
};

}  // namespace emu_test
