#include "firmware/start/main.hpp"

#include "chip.hpp"
#include "firmware/board/app_descriptor.hpp"
#include "firmware/board/gpio.hpp"
#include "firmware/board/kernel.hpp"
#include "firmware/board/system_stm32f4xx.hpp"
#include "firmware/drivers/watchdog.hpp"
#include "firmware/node/main_node.hpp"
#include "platform/interface/core.hpp"

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
