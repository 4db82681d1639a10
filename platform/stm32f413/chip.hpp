#pragma once
// The STM32F413 as the firmware sees it: register blocks at their documented addresses, bit names,
// interrupt numbers and the few peripheral-library calls. The simulator's chip.hpp declares the same
// names over models.
//
// Instances are constant pointers (not constexpr: an address made from an integer is not a constant
// expression), so tables of them are `CAN_TypeDef* const table[] = {CAN1, CAN2, CAN3};`.

#include <cstdint>

#include "platform/stm32f413/reg.hpp"
#include "platform/stm32f4/bits.hpp"
#include "platform/stm32f4/blocks.hpp"

// A plain reinterpret_cast in the initialiser: compilers fold it into the constant, so no start-up code.
// NOLINTBEGIN(performance-no-int-to-ptr): register blocks and the data sectors live at fixed addresses
inline CAN_TypeDef* const CAN1 = reinterpret_cast<CAN_TypeDef*>(CAN1_BASE);
inline CAN_TypeDef* const CAN2 = reinterpret_cast<CAN_TypeDef*>(CAN2_BASE);
inline CAN_TypeDef* const CAN3 = reinterpret_cast<CAN_TypeDef*>(CAN3_BASE);
inline GPIO_TypeDef* const GPIOA = reinterpret_cast<GPIO_TypeDef*>(GPIOA_BASE);
inline GPIO_TypeDef* const GPIOB = reinterpret_cast<GPIO_TypeDef*>(GPIOB_BASE);
inline GPIO_TypeDef* const GPIOC = reinterpret_cast<GPIO_TypeDef*>(GPIOC_BASE);
inline GPIO_TypeDef* const GPIOD = reinterpret_cast<GPIO_TypeDef*>(GPIOD_BASE);
inline GPIO_TypeDef* const GPIOE = reinterpret_cast<GPIO_TypeDef*>(GPIOE_BASE);
inline GPIO_TypeDef* const GPIOH = reinterpret_cast<GPIO_TypeDef*>(GPIOH_BASE);
inline RCC_TypeDef* const RCC = reinterpret_cast<RCC_TypeDef*>(RCC_BASE);
inline USART_TypeDef* const USART2 = reinterpret_cast<USART_TypeDef*>(USART2_BASE);
inline TIM_TypeDef* const TIM2 = reinterpret_cast<TIM_TypeDef*>(TIM2_BASE);
inline TIM_TypeDef* const TIM5 = reinterpret_cast<TIM_TypeDef*>(TIM5_BASE);
inline FLASH_TypeDef* const FLASH = reinterpret_cast<FLASH_TypeDef*>(FLASH_R_BASE);
inline PWR_TypeDef* const PWR = reinterpret_cast<PWR_TypeDef*>(PWR_BASE);
inline WWDG_TypeDef* const WWDG = reinterpret_cast<WWDG_TypeDef*>(WWDG_BASE);
inline IWDG_TypeDef* const IWDG = reinterpret_cast<IWDG_TypeDef*>(IWDG_BASE);
inline SysTick_Type* const SysTick = reinterpret_cast<SysTick_Type*>(SysTick_BASE);
inline NVIC_Type* const NVIC = reinterpret_cast<NVIC_Type*>(NVIC_BASE);
inline SCB_Type* const SCB = reinterpret_cast<SCB_Type*>(SCB_BASE);
inline UID_TypeDef* const UID = reinterpret_cast<UID_TypeDef*>(UID_BASE);
// The data sectors as the CPU reads and writes them: [i] is the half-word at FLASH_DATA_START + 2 i.
inline const volatile uint16_t* const FLASH_DataView = reinterpret_cast<const volatile uint16_t*>(FLASH_DATA_START);
inline HwReg16* const FLASH_DataWrite = reinterpret_cast<HwReg16*>(FLASH_DATA_START);
// NOLINTEND(performance-no-int-to-ptr)

#include "platform/interface/periph.hpp"
