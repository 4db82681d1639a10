#pragma once
// The simulated STM32F413 as the firmware sees it: the same names as on the chip, but the register blocks
// are host objects (same layout) whose reads and writes drive the models of platform/sim.
// Tests and the SITL program drive the models through platform/sim/sim.hpp.

#include <cstdint>

#include "platform/sim/reg.hpp"
#include "platform/stm32f4/bits.hpp"
#include "platform/stm32f4/blocks.hpp"

namespace sim {
// Every register block of the simulated chip; the models own their parts of it.
struct ChipRegisters {
    CAN_TypeDef can[3];
    GPIO_TypeDef gpio[6];  // A, B, C, D, E, H
    RCC_TypeDef rcc;
    USART_TypeDef usart2;
    TIM_TypeDef tim2;
    TIM_TypeDef tim5;
    FLASH_TypeDef flash;
    PWR_TypeDef pwr;
    WWDG_TypeDef wwdg;
    IWDG_TypeDef iwdg;
    SysTick_Type systick;
    NVIC_Type nvic;
    SCB_Type scb;
    UID_TypeDef uid;
    // The modelled flash as the CPU writes it: the application's sectors 5 to 9, then the data sectors.
    HwReg16 flashCells[(FLASH_APP_SIZE + FLASH_DATA_SIZE) / 2U];
};
extern ChipRegisters registers;
// The modelled flash's content, as the CPU reads it: plain memory, as on the chip. [i] is the half-word at
// FLASH_APP_START + 2 i; the data sectors' part of it starts at flashContent.
extern uint16_t flashCellContent[(FLASH_APP_SIZE + FLASH_DATA_SIZE) / 2U];
inline constexpr uint16_t* flashContent = flashCellContent + FLASH_APP_SIZE / 2U;
}  // namespace sim

inline constexpr CAN_TypeDef* CAN1 = &sim::registers.can[0];
inline constexpr CAN_TypeDef* CAN2 = &sim::registers.can[1];
inline constexpr CAN_TypeDef* CAN3 = &sim::registers.can[2];
inline constexpr GPIO_TypeDef* GPIOA = &sim::registers.gpio[0];
inline constexpr GPIO_TypeDef* GPIOB = &sim::registers.gpio[1];
inline constexpr GPIO_TypeDef* GPIOC = &sim::registers.gpio[2];
inline constexpr GPIO_TypeDef* GPIOD = &sim::registers.gpio[3];
inline constexpr GPIO_TypeDef* GPIOE = &sim::registers.gpio[4];
inline constexpr GPIO_TypeDef* GPIOH = &sim::registers.gpio[5];
inline constexpr RCC_TypeDef* RCC = &sim::registers.rcc;
inline constexpr USART_TypeDef* USART2 = &sim::registers.usart2;
inline constexpr TIM_TypeDef* TIM2 = &sim::registers.tim2;
inline constexpr TIM_TypeDef* TIM5 = &sim::registers.tim5;
inline constexpr FLASH_TypeDef* FLASH = &sim::registers.flash;
inline constexpr PWR_TypeDef* PWR = &sim::registers.pwr;
inline constexpr WWDG_TypeDef* WWDG = &sim::registers.wwdg;
inline constexpr IWDG_TypeDef* IWDG = &sim::registers.iwdg;
inline constexpr SysTick_Type* SysTick = &sim::registers.systick;
inline constexpr NVIC_Type* NVIC = &sim::registers.nvic;
inline constexpr SCB_Type* SCB = &sim::registers.scb;
inline constexpr UID_TypeDef* UID = &sim::registers.uid;
// The data sectors as the CPU reads and writes them: [i] is the half-word at FLASH_DATA_START + 2 i.
inline const volatile uint16_t* const FLASH_DataView = sim::flashContent;
inline constexpr HwReg16* FLASH_DataWrite = sim::registers.flashCells + FLASH_APP_SIZE / 2U;
// The application's sectors likewise: [i] is the half-word at FLASH_APP_START + 2 i.
inline const volatile uint16_t* const FLASH_AppView = sim::flashCellContent;
inline constexpr HwReg16* FLASH_AppWrite = sim::registers.flashCells;

#include "platform/interface/periph.hpp"
