#pragma once
// The STM32F413 as the firmware sees it: register blocks at their documented addresses, bit names,
// interrupt numbers and the few peripheral-library calls. The simulator's chip.hpp declares the same
// names over models.
//
// Instances are macros over the address, as the vendor headers have them: an address made from an integer
// is not a constant expression, and an `inline T* const` made from one is a variable in RAM that start-up
// code fills (one guarded constructor per source that uses it) and every access loads first. A table of
// them, `CAN_TypeDef* const table[] = {CAN1, CAN2, CAN3};`, is still folded into flash.

#include <cstdint>

#include "platform/stm32f413/reg.hpp"
#include "platform/stm32f4/bits.hpp"
#include "platform/stm32f4/blocks.hpp"

// NOLINTBEGIN(performance-no-int-to-ptr): register blocks and the data sectors live at fixed addresses
#define CAN1 (reinterpret_cast<CAN_TypeDef*>(CAN1_BASE))
#define CAN2 (reinterpret_cast<CAN_TypeDef*>(CAN2_BASE))
#define CAN3 (reinterpret_cast<CAN_TypeDef*>(CAN3_BASE))
#define GPIOA (reinterpret_cast<GPIO_TypeDef*>(GPIOA_BASE))
#define GPIOB (reinterpret_cast<GPIO_TypeDef*>(GPIOB_BASE))
#define GPIOC (reinterpret_cast<GPIO_TypeDef*>(GPIOC_BASE))
#define GPIOD (reinterpret_cast<GPIO_TypeDef*>(GPIOD_BASE))
#define GPIOE (reinterpret_cast<GPIO_TypeDef*>(GPIOE_BASE))
#define GPIOH (reinterpret_cast<GPIO_TypeDef*>(GPIOH_BASE))
#define RCC (reinterpret_cast<RCC_TypeDef*>(RCC_BASE))
#define USART2 (reinterpret_cast<USART_TypeDef*>(USART2_BASE))
#define TIM2 (reinterpret_cast<TIM_TypeDef*>(TIM2_BASE))
#define TIM5 (reinterpret_cast<TIM_TypeDef*>(TIM5_BASE))
#define FLASH (reinterpret_cast<FLASH_TypeDef*>(FLASH_R_BASE))
#define PWR (reinterpret_cast<PWR_TypeDef*>(PWR_BASE))
#define WWDG (reinterpret_cast<WWDG_TypeDef*>(WWDG_BASE))
#define IWDG (reinterpret_cast<IWDG_TypeDef*>(IWDG_BASE))
#define SysTick (reinterpret_cast<SysTick_Type*>(SysTick_BASE))
#define NVIC (reinterpret_cast<NVIC_Type*>(NVIC_BASE))
#define SCB (reinterpret_cast<SCB_Type*>(SCB_BASE))
#define UID (reinterpret_cast<UID_TypeDef*>(UID_BASE))
// The data sectors as the CPU reads and writes them: [i] is the half-word at FLASH_DATA_START + 2 i.
#define FLASH_DataView (reinterpret_cast<const volatile uint16_t*>(FLASH_DATA_START))
#define FLASH_DataWrite (reinterpret_cast<HwReg16*>(FLASH_DATA_START))
// The application's sectors likewise: [i] is the half-word at FLASH_APP_START + 2 i.
#define FLASH_AppView (reinterpret_cast<const volatile uint16_t*>(FLASH_APP_START))
#define FLASH_AppWrite (reinterpret_cast<HwReg16*>(FLASH_APP_START))
// NOLINTEND(performance-no-int-to-ptr)

#include "platform/interface/periph.hpp"
