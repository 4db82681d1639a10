#include "firmware/board/system_stm32f4xx.hpp"

#include "chip.hpp"
#include "platform/interface/core.hpp"

uint32_t SystemCoreClock = HSI_VALUE;

void SystemInit()
{
    SCB->CPACR |= (0xFU << 20);  // full access to the FPU (CP10, CP11)

    // Back to the internal oscillator with the PLL off, whatever the bootloader left running.
    RCC->CR |= RCC_CR_HSION;
    while ((RCC->CR & RCC_CR_HSIRDY) == 0U) {
        coreRelax();
    }
    RCC->CFGR = 0;
    // The PLL cannot be switched off while it still clocks the core.
    while ((RCC->CFGR & RCC_CFGR_SWS) != 0U) {
        coreRelax();
    }
    RCC->CR &= ~(RCC_CR_HSEON | RCC_CR_CSSON | RCC_CR_PLLON);
    RCC->PLLCFGR = RCC_PLLCFGR_RESET;
    RCC->CR &= ~RCC_CR_HSEBYP;
    RCC->CIR = 0;
    SystemCoreClock = HSI_VALUE;

    SCB->VTOR = FLASH_BASE + VECT_TAB_OFFSET;
}
