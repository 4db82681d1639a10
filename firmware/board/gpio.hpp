#pragma once
// The board's own lines: three status LEDs and the three CAN transceiver enables, push-pull outputs.

#include "chip.hpp"

// The three LEDs share one port.
inline GPIO_TypeDef* const LED1_GPIO_PORT = GPIOE;
inline GPIO_TypeDef* const LED2_GPIO_PORT = GPIOE;
inline GPIO_TypeDef* const LED3_GPIO_PORT = GPIOE;
inline constexpr uint16_t LED1_PIN = GPIO_Pin_0;
inline constexpr uint16_t LED2_PIN = GPIO_Pin_1;
inline constexpr uint16_t LED3_PIN = GPIO_Pin_2;

inline GPIO_TypeDef* const CANEN_GPIO_PORT = GPIOC;
inline constexpr uint16_t CAN1EN_PIN = GPIO_Pin_8;
inline constexpr uint16_t CAN2EN_PIN = GPIO_Pin_9;
inline constexpr uint16_t CAN3EN_PIN = GPIO_Pin_10;

// Clocks of the ports the board's lines are on.
inline constexpr uint32_t RCC_AHB1Periphs = RCC_AHB1Periph_GPIOE | RCC_AHB1Periph_GPIOC;

void MX_GPIO_Init();
// Drives one line of a port high (On != 0) or low, through the set/reset register: no read-modify-write.
void gpioSet(GPIO_TypeDef* port, uint16_t pin, uint8_t On);

// LED1..LED3 from bits 0..2 of lit, in one write of their port's set/reset register (the main loop shows
// them every pass).
inline void ledsShow(uint8_t lit)
{
    static_assert(LED1_PIN == 1U << 0 && LED2_PIN == 1U << 1 && LED3_PIN == 1U << 2, "bit i is LED i+1");
    constexpr uint32_t kLeds = LED1_PIN | LED2_PIN | LED3_PIN;
    LED1_GPIO_PORT->BSRR = (lit & kLeds) | ((~static_cast<uint32_t>(lit) & kLeds) << 16);
}
