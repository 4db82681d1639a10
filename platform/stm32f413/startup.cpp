// Reset path and vector table of the STM32F413 image. The table sits at the start of the image
// (0x08020000), where SystemInit points VTOR.

#include <cstdint>

#include "firmware/board/stm32f4xx_it.hpp"
#include "firmware/board/system_stm32f4xx.hpp"
#include "firmware/drivers/bxcan.hpp"
#include "firmware/drivers/serial.hpp"

extern "C" {
extern uint32_t _estack;
extern uint32_t _sidata;
extern uint32_t _sdata;
extern uint32_t _edata;
extern uint32_t _sbss;
extern uint32_t _ebss;

void __libc_init_array();
// The image links without the C start files; the static constructors need these two to exist.
void _init() {}
void _fini() {}

[[noreturn]] void Reset_Handler();
[[noreturn]] void Default_Handler();
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

using Vector = void (*)();
constexpr unsigned kVectorCount = 16 + 102;  // core exceptions, then IRQ 0..101

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

// The table the core reads: initial stack, core exceptions, then IRQ 0..101 (472 bytes).
extern __attribute__((section(".isr_vector"), used)) const Vector g_pfnVectors[kVectorCount] = {
    reinterpret_cast<Vector>(&_estack),
    Reset_Handler,
    NMI_Handler,
    HardFault_Handler,
    MemManage_Handler,
    BusFault_Handler,
    UsageFault_Handler,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    SVC_Handler,
    DebugMon_Handler,
    nullptr,
    PendSV_Handler,
    SysTick_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    CAN1_RX0_IRQHandler,  // IRQ 20
    CAN1_RX1_IRQHandler,  // IRQ 21
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    USART2_IRQHandler,  // IRQ 38
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    CAN2_RX0_IRQHandler,  // IRQ 64
    CAN2_RX1_IRQHandler,  // IRQ 65
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    CAN3_RX0_IRQHandler,  // IRQ 75
    CAN3_RX1_IRQHandler,  // IRQ 76
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
    Default_Handler,
};
static_assert(sizeof(g_pfnVectors) == 472);

}
