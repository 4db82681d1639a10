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

namespace {

constexpr uint32_t kCoreClockHz = 96000000U;
constexpr uint32_t kFlashLatency = 3;           // wait states at 96 MHz and 3.3 V
constexpr uint32_t kVoltageScale1 = 3U << PWR_CR_VOS_Pos;
constexpr uint32_t kPllM = 8;                   // 8 MHz crystal / 8 = 1 MHz into the VCO
constexpr uint32_t kPllN = 384;                 // VCO at 384 MHz
constexpr uint32_t kPllPField = 1;              // P = 4: 96 MHz

void waitUntil(HwReg32& reg, uint32_t mask, uint32_t value)
{
    // No time-out: without a working crystal there is nothing better to do than wait.
    while ((reg & mask) != value) {
        coreRelax();
    }
}

}  // namespace

void SystemClock_Config()
{
    // Wait states for 96 MHz first, with prefetch and both caches: without them every fetch waits.
    FLASH->ACR = (FLASH->ACR & ~FLASH_ACR_LATENCY) | kFlashLatency | FLASH_ACR_PRFTEN | FLASH_ACR_ICEN | FLASH_ACR_DCEN;
    RCC->APB1ENR |= RCC_APB1Periph_PWR;  // the regulator's scale below is set through PWR
    PWR->CR = (PWR->CR & ~PWR_CR_VOS) | kVoltageScale1;

    RCC->CR |= RCC_CR_HSEON;
    waitUntil(RCC->CR, RCC_CR_HSERDY, RCC_CR_HSERDY);

    const uint32_t pll_fields = RCC_PLLCFGR_PLLM | RCC_PLLCFGR_PLLN | RCC_PLLCFGR_PLLP | RCC_PLLCFGR_PLLSRC;
    RCC->PLLCFGR = (RCC->PLLCFGR & ~pll_fields) | (kPllM << RCC_PLLCFGR_PLLM_Pos) |
                   (kPllN << RCC_PLLCFGR_PLLN_Pos) | (kPllPField << RCC_PLLCFGR_PLLP_Pos) | RCC_PLLCFGR_PLLSRC;
    RCC->CR |= RCC_CR_PLLON;
    waitUntil(RCC->CR, RCC_CR_PLLRDY, RCC_CR_PLLRDY);
    // The regulator reaches Scale 1 once the PLL runs; only then may the core take 96 MHz.
    waitUntil(PWR->CSR, PWR_CSR_VOSRDY, PWR_CSR_VOSRDY);

    // AHB at 96 MHz, APB1 at 48 MHz (the CAN controllers' clock), APB2 at 96 MHz.
    RCC->CFGR = (RCC->CFGR & ~(RCC_CFGR_HPRE | RCC_CFGR_PPRE1 | RCC_CFGR_PPRE2)) | RCC_CFGR_PPRE1_DIV2;
    RCC->CFGR = (RCC->CFGR & ~RCC_CFGR_SW) | RCC_CFGR_SW_PLL;
    waitUntil(RCC->CFGR, RCC_CFGR_SWS, RCC_CFGR_SWS_PLL);

    LL_Init1msTick(kCoreClockHz);
    SysTick->CTRL |= SysTick_CTRL_CLKSOURCE_Msk;
    SystemCoreClock = kCoreClockHz;

    RCC->DCKCFGR &= ~RCC_DCKCFGR_TIMPRE;
}
