#pragma once
// What every chip's reset path and vector table are made of. The board provides the system set-up,
// main and the list of its handlers; the chip provides its reset entry, the handler of unused vectors
// and the initial stack. Either side names the other only through this header.

#include <cstdint>

using InterruptHandler = void (*)();

// One handler and the exception it serves, numbered as IRQn_Type counts them (device interrupts from 0,
// the core's own exceptions negative: SysTick -1 ... NMI -14).
struct InterruptVector {
    int irq;
    InterruptHandler handler;
};

// The board's reset-time set-up (FPU, clock tree back to reset state, vector table offset), called
// before the static constructors and main.
void SystemInit();

extern "C" {
// The chip's reset entry and the handler of every vector the board leaves unused.
[[noreturn]] void Reset_Handler();
[[noreturn]] void Default_Handler();
// Top of the main stack, from the linker script.
extern uint32_t _estack;
}
