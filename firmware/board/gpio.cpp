#include "firmware/board/gpio.hpp"

void MX_GPIO_Init()
{
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOC, ENABLE);
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOH, ENABLE);
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOB, ENABLE);
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOD, ENABLE);
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOG, ENABLE);
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOA, ENABLE);
    RCC_AHB1PeriphClockCmd(RCC_AHB1Periphs, ENABLE);

    // The output data registers are 0 after the peripheral reset in main, so every line starts low.
    GPIO_InitTypeDef init{};
    init.GPIO_Mode = GPIO_Mode_OUT;
    init.GPIO_OType = GPIO_OType_PP;
    init.GPIO_Speed = GPIO_Fast_Speed;
    init.GPIO_PuPd = GPIO_PuPd_NOPULL;
    constexpr uint16_t kLeds[] = {LED1_PIN, LED2_PIN, LED3_PIN};
    for (const uint16_t led : kLeds) {
        init.GPIO_Pin = led;
        GPIO_Init(LED1_GPIO_PORT, &init);
    }
    init.GPIO_Pin = static_cast<uint16_t>(CAN1EN_PIN | CAN2EN_PIN | CAN3EN_PIN);
    GPIO_Init(CANEN_GPIO_PORT, &init);
}

void gpioSet(GPIO_TypeDef* port, uint16_t pin, uint8_t On)
{
    port->BSRR = On != 0 ? pin : static_cast<uint32_t>(pin) << 16;
}
