#include "firmware/board/main.hpp"

#include "chip.hpp"
#include "firmware/board/app_descriptor.hpp"
#include "firmware/board/gpio.hpp"
#include "firmware/board/kernel.hpp"
#include "firmware/board/system_stm32f4xx.hpp"
#include "firmware/drivers/watchdog.hpp"
#include "firmware/node/main_node.hpp"
#include "platform/interface/core.hpp"

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

int main()
{
    watchdogStart();  // first: a start-up that hangs is reset too

    // Every peripheral the reset registers name, and none of their reserved bits.
    RCC->AHB1RSTR = RCC_AHB1RSTR_ALL;
    RCC->AHB2RSTR = RCC_AHB2RSTR_ALL;
    RCC->AHB3RSTR = RCC_AHB3RSTR_ALL;
    RCC->AHB1RSTR = 0;
    RCC->AHB2RSTR = 0;
    RCC->AHB3RSTR = 0;

    RCC->APB2ENR |= RCC_APB2Periph_SYSCFG;
    RCC->APB1ENR |= RCC_APB1Periph_PWR;
    NVIC_SetPriorityGrouping(NVIC_PRIORITYGROUP_4);

    SystemClock_Config();
    app_descriptor_Init();
    WWDG_DeInit();
    MX_GPIO_Init();
    GPIO_ResetBits(LED1_GPIO_PORT, LED1_PIN);
    GPIO_ResetBits(LED2_GPIO_PORT, LED2_PIN);
    GPIO_ResetBits(LED3_GPIO_PORT, LED3_PIN);

    osKernelInitialize();
    main_node();

    for (;;) {
        // Only reached when the kernel could not start.
    }
}

extern "C" void assert_failed(uint8_t*, uint32_t) { coreBreakpoint(); }
