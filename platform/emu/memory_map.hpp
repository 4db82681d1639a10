#pragma once
// The STM32F413's address map as the emulated core sees it.

#include <cstdint>

namespace emu {

constexpr uint32_t kFlashBase = 0x08000000U;
constexpr uint32_t kFlashSize = 1024U * 1024U;
constexpr uint32_t kRamBase = 0x20000000U;
constexpr uint32_t kRamSize = 320U * 1024U;

// Served by the bus.
constexpr uint32_t kSystemMemoryBase = 0x1FFF0000U;  // unique ID at 0x1FFF7A10
constexpr uint32_t kSystemMemorySize = 0x10000U;
constexpr uint32_t kPeripheralBase = 0x40000000U;
constexpr uint32_t kPeripheralSize = 0x20000000U;
constexpr uint32_t kScsBase = 0xE000E000U;  // NVIC, SCB, SysTick
constexpr uint32_t kScsSize = 0x1000U;

constexpr uint32_t kVtor = 0xE000ED08U;

// What the bus serves (flash and RAM the core holds itself).
constexpr bool isBusAddress(uint32_t a)
{
    return a - kSystemMemoryBase < kSystemMemorySize || a - kPeripheralBase < kPeripheralSize || a - kScsBase < kScsSize;
}

constexpr bool inFlash(uint32_t a) { return a - kFlashBase < kFlashSize; }
constexpr bool inRam(uint32_t a, uint32_t size) { return a - kRamBase < kRamSize && size <= kRamBase + kRamSize - a; }

}  // namespace emu
