#pragma once
// The node's exception and interrupt handlers, listed once. The image's vector table is built from this
// list (vector_table.cpp), and the simulator dispatches its interrupt lines to the same handlers.

#include "chip.hpp"
#include "firmware/board/stm32f4xx_it.hpp"
#include "firmware/drivers/bxcan.hpp"
#include "firmware/drivers/serial.hpp"
#include "platform/interface/startup.hpp"

inline constexpr InterruptVector kInterruptHandlers[] = {
    {NonMaskableInt_IRQn, NMI_Handler},
    {HardFault_IRQn, HardFault_Handler},
    {MemoryManagement_IRQn, MemManage_Handler},
    {BusFault_IRQn, BusFault_Handler},
    {UsageFault_IRQn, UsageFault_Handler},
    {SVCall_IRQn, SVC_Handler},
    {DebugMonitor_IRQn, DebugMon_Handler},
    {PendSV_IRQn, PendSV_Handler},
    {SysTick_IRQn, SysTick_Handler},
    {CAN1_RX0_IRQn, CAN1_RX0_IRQHandler},
    {CAN1_RX1_IRQn, CAN1_RX1_IRQHandler},
    {USART2_IRQn, USART2_IRQHandler},
    {CAN2_RX0_IRQn, CAN2_RX0_IRQHandler},
    {CAN2_RX1_IRQn, CAN2_RX1_IRQHandler},
    {CAN3_RX0_IRQn, CAN3_RX0_IRQHandler},
    {CAN3_RX1_IRQn, CAN3_RX1_IRQHandler},
};
inline constexpr unsigned kInterruptHandlerCount = sizeof(kInterruptHandlers) / sizeof(kInterruptHandlers[0]);
