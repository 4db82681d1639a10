#pragma once
// Core exception handlers of the node (SysTick's and the peripheral ones are declared with the chip's
// interrupt handlers, in periph.hpp).

extern "C" {
void NMI_Handler();
void HardFault_Handler();
void MemManage_Handler();
void BusFault_Handler();
void UsageFault_Handler();
void SVC_Handler();
void DebugMon_Handler();
void PendSV_Handler();
}
