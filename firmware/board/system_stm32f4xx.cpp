#include "firmware/board/system_stm32f4xx.hpp"

#include "chip.hpp"

uint32_t SystemCoreClock = HSI_VALUE;

void SystemInit()
{
    SCB->CPACR |= (0xFU << 20);  // full access to the FPU (CP10, CP11)

    // Back to the internal oscillator with the PLL off, whatever the bootloader left running.
    RCC->CR |= RCC_CR_HSION;
    RCC->CFGR = 0;
    RCC->CR &= ~(RCC_CR_HSEON | RCC_CR_CSSON | RCC_CR_PLLON);
    RCC->PLLCFGR = RCC_PLLCFGR_RESET;
    RCC->CR &= ~RCC_CR_HSEBYP;
    RCC->CIR = 0;

    SCB->VTOR = FLASH_BASE + VECT_TAB_OFFSET;
}
