#pragma once
// Core clock bookkeeping and the reset-time clock and vector-table set-up.

#include <cstdint>

#include "chip.hpp"
#include "platform/interface/startup.hpp"  // SystemInit

// The application's vector table sits behind the 128 KB bootloader.
inline constexpr uint32_t VECT_TAB_OFFSET = 0x00020000U;

// Core clock in Hz, as SystemClock_Config left it.
extern uint32_t SystemCoreClock;

// The clock tree the node runs on: 96 MHz from the crystal through the PLL, APB1 at 48 MHz, flash wait
// states, prefetch and caches, the 1 ms SysTick reload. Waits for the crystal and the PLL without a limit.
void SystemClock_Config();

