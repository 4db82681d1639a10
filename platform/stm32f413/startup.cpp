// Reset path of the STM32F413 image: RAM set-up, the board's SystemInit, static constructors, main. The
// vector table that points here is built in firmware/start/vector_table.cpp.

#include <cstdint>

#include "platform/interface/startup.hpp"

extern "C" {
extern uint32_t _sidata;
extern uint32_t _sdata;
extern uint32_t _edata;
extern uint32_t _sbss;
extern uint32_t _ebss;

void __libc_init_array();
// The image links without the C start files; the static constructors need these two to exist.
void _init() {}
void _fini() {}
}

int main();

namespace {

[[noreturn]] void resetContinue()
{
    const uint32_t* src = &_sidata;
    for (uint32_t* dst = &_sdata; dst < &_edata;) {
        *dst++ = *src++;
    }
    for (uint32_t* dst = &_sbss; dst < &_ebss;) {
        *dst++ = 0;
    }
    SystemInit();
    __libc_init_array();
    main();
    for (;;) {
    }
}

}  // namespace

extern "C" {

// A bootloader may jump here with its own stack: take ours first.
__attribute__((naked)) void Reset_Handler()
{
    __asm volatile(
        "ldr sp, =_estack\n"
        "b %0\n" ::"i"(resetContinue));
}

void Default_Handler()
{
    for (;;) {
    }
}

}
