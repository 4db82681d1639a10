#pragma once
// The few peripheral-library calls the firmware names (clock enables and clock query, pin set-up, the
// USART line set-up, interrupt controller, SysTick, unique ID, watchdog reset), with the vendor
// libraries' names and argument conventions. No vendor library is used: the calls are written here (as
// inline register code) or in platform/stm32f4/periph.cpp over the register blocks, which makes them
// identical on the real and the simulated chip.
// Included by chip.hpp after the register blocks and instances.

#include <cstdint>

// ---------------------------------------------------------------------------------------------------------
// Common enumerations
enum FunctionalState { DISABLE = 0, ENABLE = 1 };
enum ErrorStatus { SUCCESS = 0, ERROR = 1 };
enum BitAction { Bit_RESET = 0, Bit_SET = 1 };

// ---------------------------------------------------------------------------------------------------------
// RCC
struct RCC_ClocksTypeDef {
    uint32_t SYSCLK_Frequency;
    uint32_t HCLK_Frequency;
    uint32_t PCLK1_Frequency;
    uint32_t PCLK2_Frequency;
};

// Fills the bus clocks in Hz, computed from the RCC registers (8 MHz crystal, 16 MHz internal oscillator).
void RCC_GetClocksFreq(RCC_ClocksTypeDef* RCC_Clocks);

inline constexpr uint32_t HSI_VALUE = 16000000U;
inline constexpr uint32_t HSE_VALUE = 8000000U;  // the node's crystal
// The chip's computation behind RCC_GetClocksFreq: the clocks that RCC_CFGR and RCC_PLLCFGR select.
RCC_ClocksTypeDef rccClocksFromRegisters(uint32_t cfgr, uint32_t pllcfgr);

void RCC_AHB1PeriphClockCmd(uint32_t RCC_AHB1Periph, FunctionalState NewState);
void RCC_APB1PeriphClockCmd(uint32_t RCC_APB1Periph, FunctionalState NewState);
void RCC_APB2PeriphClockCmd(uint32_t RCC_APB2Periph, FunctionalState NewState);
void RCC_AHB1PeriphResetCmd(uint32_t RCC_AHB1Periph, FunctionalState NewState);
void RCC_APB1PeriphResetCmd(uint32_t RCC_APB1Periph, FunctionalState NewState);

// Low-layer spellings of the same enables.
inline constexpr uint32_t LL_AHB1_GRP1_PERIPH_GPIOA = RCC_AHB1Periph_GPIOA;
inline constexpr uint32_t LL_AHB1_GRP1_PERIPH_GPIOB = RCC_AHB1Periph_GPIOB;
inline constexpr uint32_t LL_AHB1_GRP1_PERIPH_GPIOC = RCC_AHB1Periph_GPIOC;
inline constexpr uint32_t LL_AHB1_GRP1_PERIPH_GPIOD = RCC_AHB1Periph_GPIOD;
inline constexpr uint32_t LL_AHB1_GRP1_PERIPH_GPIOE = RCC_AHB1Periph_GPIOE;
inline constexpr uint32_t LL_AHB1_GRP1_PERIPH_GPIOH = RCC_AHB1Periph_GPIOH;
inline constexpr uint32_t LL_APB1_GRP1_PERIPH_TIM2 = RCC_APB1Periph_TIM2;
inline constexpr uint32_t LL_APB1_GRP1_PERIPH_TIM5 = RCC_APB1Periph_TIM5;
inline constexpr uint32_t LL_APB1_GRP1_PERIPH_USART2 = RCC_APB1Periph_USART2;
inline constexpr uint32_t LL_APB1_GRP1_PERIPH_CAN1 = RCC_APB1Periph_CAN1;
inline constexpr uint32_t LL_APB1_GRP1_PERIPH_CAN2 = RCC_APB1Periph_CAN2;
inline constexpr uint32_t LL_APB1_GRP1_PERIPH_CAN3 = RCC_APB1Periph_CAN3;
inline constexpr uint32_t LL_APB1_GRP1_PERIPH_PWR = RCC_APB1Periph_PWR;
inline constexpr uint32_t LL_APB2_GRP1_PERIPH_SYSCFG = RCC_APB2Periph_SYSCFG;
inline void LL_AHB1_GRP1_EnableClock(uint32_t Periphs) { RCC_AHB1PeriphClockCmd(Periphs, ENABLE); }
inline void LL_APB1_GRP1_EnableClock(uint32_t Periphs) { RCC_APB1PeriphClockCmd(Periphs, ENABLE); }
inline void LL_APB2_GRP1_EnableClock(uint32_t Periphs) { RCC_APB2PeriphClockCmd(Periphs, ENABLE); }

// ---------------------------------------------------------------------------------------------------------
// GPIO, standard-library style
inline constexpr uint16_t GPIO_Pin_0 = 0x0001U;
inline constexpr uint16_t GPIO_Pin_1 = 0x0002U;
inline constexpr uint16_t GPIO_Pin_2 = 0x0004U;
inline constexpr uint16_t GPIO_Pin_3 = 0x0008U;
inline constexpr uint16_t GPIO_Pin_4 = 0x0010U;
inline constexpr uint16_t GPIO_Pin_5 = 0x0020U;
inline constexpr uint16_t GPIO_Pin_6 = 0x0040U;
inline constexpr uint16_t GPIO_Pin_7 = 0x0080U;
inline constexpr uint16_t GPIO_Pin_8 = 0x0100U;
inline constexpr uint16_t GPIO_Pin_9 = 0x0200U;
inline constexpr uint16_t GPIO_Pin_10 = 0x0400U;
inline constexpr uint16_t GPIO_Pin_11 = 0x0800U;
inline constexpr uint16_t GPIO_Pin_12 = 0x1000U;
inline constexpr uint16_t GPIO_Pin_13 = 0x2000U;
inline constexpr uint16_t GPIO_Pin_14 = 0x4000U;
inline constexpr uint16_t GPIO_Pin_15 = 0x8000U;
inline constexpr uint16_t GPIO_Pin_All = 0xFFFFU;

inline constexpr uint8_t GPIO_PinSource0 = 0;
inline constexpr uint8_t GPIO_PinSource1 = 1;
inline constexpr uint8_t GPIO_PinSource2 = 2;
inline constexpr uint8_t GPIO_PinSource3 = 3;
inline constexpr uint8_t GPIO_PinSource4 = 4;
inline constexpr uint8_t GPIO_PinSource5 = 5;
inline constexpr uint8_t GPIO_PinSource6 = 6;
inline constexpr uint8_t GPIO_PinSource7 = 7;
inline constexpr uint8_t GPIO_PinSource8 = 8;
inline constexpr uint8_t GPIO_PinSource9 = 9;
inline constexpr uint8_t GPIO_PinSource10 = 10;
inline constexpr uint8_t GPIO_PinSource11 = 11;
inline constexpr uint8_t GPIO_PinSource12 = 12;
inline constexpr uint8_t GPIO_PinSource13 = 13;
inline constexpr uint8_t GPIO_PinSource14 = 14;
inline constexpr uint8_t GPIO_PinSource15 = 15;

// Alternate functions of the pins the node uses.
inline constexpr uint8_t GPIO_AF_TIM2 = 1;
inline constexpr uint8_t GPIO_AF_TIM5 = 2;
inline constexpr uint8_t GPIO_AF_USART2 = 7;
inline constexpr uint8_t GPIO_AF_CAN1 = 9;
inline constexpr uint8_t GPIO_AF_CAN2 = 9;
inline constexpr uint8_t GPIO_AF11_CAN3 = 11;

enum GPIOMode_TypeDef { GPIO_Mode_IN = 0, GPIO_Mode_OUT = 1, GPIO_Mode_AF = 2, GPIO_Mode_AN = 3 };
enum GPIOOType_TypeDef { GPIO_OType_PP = 0, GPIO_OType_OD = 1 };
enum GPIOSpeed_TypeDef {
    GPIO_Low_Speed = 0,     // 2 MHz grade
    GPIO_Medium_Speed = 1,  // 25 MHz grade
    GPIO_Fast_Speed = 2,    // 50 MHz grade
    GPIO_High_Speed = 3,    // 100 MHz grade
    GPIO_Speed_2MHz = GPIO_Low_Speed,
    GPIO_Speed_25MHz = GPIO_Medium_Speed,
    GPIO_Speed_50MHz = GPIO_Fast_Speed,
    GPIO_Speed_100MHz = GPIO_High_Speed,
};
enum GPIOPuPd_TypeDef { GPIO_PuPd_NOPULL = 0, GPIO_PuPd_UP = 1, GPIO_PuPd_DOWN = 2 };

struct GPIO_InitTypeDef {
    uint32_t GPIO_Pin;  // any combination of GPIO_Pin_x
    GPIOMode_TypeDef GPIO_Mode;
    GPIOSpeed_TypeDef GPIO_Speed;
    GPIOOType_TypeDef GPIO_OType;
    GPIOPuPd_TypeDef GPIO_PuPd;
};

void GPIO_Init(GPIO_TypeDef* GPIOx, GPIO_InitTypeDef* GPIO_InitStruct);
void GPIO_PinAFConfig(GPIO_TypeDef* GPIOx, uint16_t GPIO_PinSource, uint8_t GPIO_AF);

inline void GPIO_SetBits(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) { GPIOx->BSRR = GPIO_Pin; }
inline void GPIO_ResetBits(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) { GPIOx->BSRR = static_cast<uint32_t>(GPIO_Pin) << 16; }
inline void GPIO_WriteBit(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin, BitAction BitVal)
{
    if (BitVal != Bit_RESET) {
        GPIO_SetBits(GPIOx, GPIO_Pin);
    } else {
        GPIO_ResetBits(GPIOx, GPIO_Pin);
    }
}
inline void GPIO_ToggleBits(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) { GPIOx->ODR ^= GPIO_Pin; }
inline uint8_t GPIO_ReadInputDataBit(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin)
{
    return (GPIOx->IDR & GPIO_Pin) != 0U ? 1U : 0U;
}
inline uint8_t GPIO_ReadOutputDataBit(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin)
{
    return (GPIOx->ODR & GPIO_Pin) != 0U ? 1U : 0U;
}

// GPIO, low-layer style
inline constexpr uint32_t LL_GPIO_PIN_0 = GPIO_Pin_0;
inline constexpr uint32_t LL_GPIO_PIN_1 = GPIO_Pin_1;
inline constexpr uint32_t LL_GPIO_PIN_2 = GPIO_Pin_2;
inline constexpr uint32_t LL_GPIO_PIN_3 = GPIO_Pin_3;
inline constexpr uint32_t LL_GPIO_PIN_4 = GPIO_Pin_4;
inline constexpr uint32_t LL_GPIO_PIN_5 = GPIO_Pin_5;
inline constexpr uint32_t LL_GPIO_PIN_6 = GPIO_Pin_6;
inline constexpr uint32_t LL_GPIO_PIN_7 = GPIO_Pin_7;
inline constexpr uint32_t LL_GPIO_PIN_8 = GPIO_Pin_8;
inline constexpr uint32_t LL_GPIO_PIN_9 = GPIO_Pin_9;
inline constexpr uint32_t LL_GPIO_PIN_10 = GPIO_Pin_10;
inline constexpr uint32_t LL_GPIO_PIN_11 = GPIO_Pin_11;
inline constexpr uint32_t LL_GPIO_PIN_12 = GPIO_Pin_12;
inline constexpr uint32_t LL_GPIO_PIN_13 = GPIO_Pin_13;
inline constexpr uint32_t LL_GPIO_PIN_14 = GPIO_Pin_14;
inline constexpr uint32_t LL_GPIO_PIN_15 = GPIO_Pin_15;
inline constexpr uint32_t LL_GPIO_MODE_INPUT = GPIO_MODER_INPUT;
inline constexpr uint32_t LL_GPIO_MODE_OUTPUT = GPIO_MODER_OUTPUT;
inline constexpr uint32_t LL_GPIO_MODE_ALTERNATE = GPIO_MODER_AF;
inline constexpr uint32_t LL_GPIO_MODE_ANALOG = GPIO_MODER_ANALOG;
inline constexpr uint32_t LL_GPIO_OUTPUT_PUSHPULL = 0;
inline constexpr uint32_t LL_GPIO_OUTPUT_OPENDRAIN = 1;
inline constexpr uint32_t LL_GPIO_SPEED_FREQ_LOW = 0;
inline constexpr uint32_t LL_GPIO_SPEED_FREQ_MEDIUM = 1;
inline constexpr uint32_t LL_GPIO_SPEED_FREQ_HIGH = 2;
inline constexpr uint32_t LL_GPIO_SPEED_FREQ_VERY_HIGH = 3;
inline constexpr uint32_t LL_GPIO_PULL_NO = 0;
inline constexpr uint32_t LL_GPIO_PULL_UP = 1;
inline constexpr uint32_t LL_GPIO_PULL_DOWN = 2;
inline constexpr uint32_t LL_GPIO_AF_0 = 0;
inline constexpr uint32_t LL_GPIO_AF_1 = 1;
inline constexpr uint32_t LL_GPIO_AF_2 = 2;
inline constexpr uint32_t LL_GPIO_AF_7 = 7;
inline constexpr uint32_t LL_GPIO_AF_9 = 9;
inline constexpr uint32_t LL_GPIO_AF_11 = 11;

struct LL_GPIO_InitTypeDef {
    uint32_t Pin;         // any combination of LL_GPIO_PIN_x
    uint32_t Mode;        // LL_GPIO_MODE_*
    uint32_t Speed;       // LL_GPIO_SPEED_FREQ_*
    uint32_t OutputType;  // LL_GPIO_OUTPUT_*
    uint32_t Pull;        // LL_GPIO_PULL_*
    uint32_t Alternate;   // LL_GPIO_AF_*, used in alternate mode only
};

ErrorStatus LL_GPIO_Init(GPIO_TypeDef* GPIOx, LL_GPIO_InitTypeDef* GPIO_InitStruct);
inline void LL_GPIO_SetOutputPin(GPIO_TypeDef* GPIOx, uint32_t PinMask) { GPIOx->BSRR = PinMask & 0xFFFFU; }
inline void LL_GPIO_ResetOutputPin(GPIO_TypeDef* GPIOx, uint32_t PinMask) { GPIOx->BSRR = (PinMask & 0xFFFFU) << 16; }
inline void LL_GPIO_TogglePin(GPIO_TypeDef* GPIOx, uint32_t PinMask) { GPIOx->ODR ^= PinMask; }
inline bool LL_GPIO_IsInputPinSet(GPIO_TypeDef* GPIOx, uint32_t PinMask) { return (GPIOx->IDR & PinMask) == PinMask; }

// ---------------------------------------------------------------------------------------------------------
// USART, low-layer style
inline constexpr uint32_t LL_USART_DATAWIDTH_8B = 0;
inline constexpr uint32_t LL_USART_DATAWIDTH_9B = USART_CR1_M;
inline constexpr uint32_t LL_USART_STOPBITS_0_5 = 1U << USART_CR2_STOP_Pos;
inline constexpr uint32_t LL_USART_STOPBITS_1 = 0;
inline constexpr uint32_t LL_USART_STOPBITS_1_5 = 3U << USART_CR2_STOP_Pos;
inline constexpr uint32_t LL_USART_STOPBITS_2 = 2U << USART_CR2_STOP_Pos;
inline constexpr uint32_t LL_USART_PARITY_NONE = 0;
inline constexpr uint32_t LL_USART_PARITY_EVEN = USART_CR1_PCE;
inline constexpr uint32_t LL_USART_PARITY_ODD = USART_CR1_PCE | USART_CR1_PS;
inline constexpr uint32_t LL_USART_DIRECTION_NONE = 0;
inline constexpr uint32_t LL_USART_DIRECTION_RX = USART_CR1_RE;
inline constexpr uint32_t LL_USART_DIRECTION_TX = USART_CR1_TE;
inline constexpr uint32_t LL_USART_DIRECTION_TX_RX = USART_CR1_TE | USART_CR1_RE;
inline constexpr uint32_t LL_USART_HWCONTROL_NONE = 0;
inline constexpr uint32_t LL_USART_HWCONTROL_RTS = USART_CR3_RTSE;
inline constexpr uint32_t LL_USART_HWCONTROL_CTS = USART_CR3_CTSE;
inline constexpr uint32_t LL_USART_HWCONTROL_RTS_CTS = USART_CR3_RTSE | USART_CR3_CTSE;
inline constexpr uint32_t LL_USART_OVERSAMPLING_16 = 0;
inline constexpr uint32_t LL_USART_OVERSAMPLING_8 = USART_CR1_OVER8;

struct LL_USART_InitTypeDef {
    uint32_t BaudRate;
    uint32_t DataWidth;
    uint32_t StopBits;
    uint32_t Parity;
    uint32_t TransferDirection;
    uint32_t HardwareFlowControl;
    uint32_t OverSampling;
};

// Line settings and baud rate (from the APB clock of the USART). Refused (ERROR) while the USART is
// enabled (UE set), as the settings may only change with the USART off.
ErrorStatus LL_USART_Init(USART_TypeDef* USARTx, LL_USART_InitTypeDef* USART_InitStruct);

inline void LL_USART_ConfigAsyncMode(USART_TypeDef* USARTx)
{
    USARTx->CR2 &= ~(USART_CR2_LINEN | USART_CR2_CLKEN);
    USARTx->CR3 &= ~(USART_CR3_SCEN | USART_CR3_IREN | USART_CR3_HDSEL);
}
inline void LL_USART_Enable(USART_TypeDef* USARTx) { USARTx->CR1 |= USART_CR1_UE; }
inline void LL_USART_Disable(USART_TypeDef* USARTx) { USARTx->CR1 &= ~USART_CR1_UE; }
inline bool LL_USART_IsEnabled(USART_TypeDef* USARTx) { return (USARTx->CR1 & USART_CR1_UE) != 0U; }
inline void LL_USART_EnableIT_RXNE(USART_TypeDef* USARTx) { USARTx->CR1 |= USART_CR1_RXNEIE; }
inline void LL_USART_EnableIT_TC(USART_TypeDef* USARTx) { USARTx->CR1 |= USART_CR1_TCIE; }
inline void LL_USART_EnableIT_TXE(USART_TypeDef* USARTx) { USARTx->CR1 |= USART_CR1_TXEIE; }
inline void LL_USART_DisableIT_RXNE(USART_TypeDef* USARTx) { USARTx->CR1 &= ~USART_CR1_RXNEIE; }
inline void LL_USART_DisableIT_TC(USART_TypeDef* USARTx) { USARTx->CR1 &= ~USART_CR1_TCIE; }
inline void LL_USART_DisableIT_TXE(USART_TypeDef* USARTx) { USARTx->CR1 &= ~USART_CR1_TXEIE; }
inline bool LL_USART_IsEnabledIT_RXNE(USART_TypeDef* USARTx) { return (USARTx->CR1 & USART_CR1_RXNEIE) != 0U; }
inline bool LL_USART_IsEnabledIT_TC(USART_TypeDef* USARTx) { return (USARTx->CR1 & USART_CR1_TCIE) != 0U; }
inline bool LL_USART_IsEnabledIT_TXE(USART_TypeDef* USARTx) { return (USARTx->CR1 & USART_CR1_TXEIE) != 0U; }
inline bool LL_USART_IsActiveFlag_RXNE(USART_TypeDef* USARTx) { return (USARTx->SR & USART_SR_RXNE) != 0U; }
inline bool LL_USART_IsActiveFlag_TC(USART_TypeDef* USARTx) { return (USARTx->SR & USART_SR_TC) != 0U; }
inline bool LL_USART_IsActiveFlag_TXE(USART_TypeDef* USARTx) { return (USARTx->SR & USART_SR_TXE) != 0U; }
inline bool LL_USART_IsActiveFlag_ORE(USART_TypeDef* USARTx) { return (USARTx->SR & USART_SR_ORE) != 0U; }
// RXNE and TC clear when 0 is written to them; writing 1 to the other status bits changes nothing.
inline void LL_USART_ClearFlag_RXNE(USART_TypeDef* USARTx) { USARTx->SR = ~USART_SR_RXNE; }
inline void LL_USART_ClearFlag_TC(USART_TypeDef* USARTx) { USARTx->SR = ~USART_SR_TC; }
inline uint8_t LL_USART_ReceiveData8(USART_TypeDef* USARTx) { return static_cast<uint8_t>(USARTx->DR & 0xFFU); }
inline void LL_USART_TransmitData8(USART_TypeDef* USARTx, uint8_t Value) { USARTx->DR = Value; }

// ---------------------------------------------------------------------------------------------------------
// General-purpose timers, standard-library style: time base, output compare, counter on/off, period.
// The values of the constants are the register fields they end up in.
inline constexpr uint16_t TIM_CounterMode_Up = 0x0000U;
inline constexpr uint16_t TIM_CKD_DIV1 = 0x0000U;
inline constexpr uint16_t TIM_CKD_DIV2 = 0x0100U;
inline constexpr uint16_t TIM_CKD_DIV4 = 0x0200U;
inline constexpr uint16_t TIM_OCMode_Timing = 0x0000U;
inline constexpr uint16_t TIM_OCMode_Active = 0x0010U;
inline constexpr uint16_t TIM_OCMode_Inactive = 0x0020U;
inline constexpr uint16_t TIM_OCMode_Toggle = 0x0030U;
inline constexpr uint16_t TIM_OCMode_PWM1 = 0x0060U;
inline constexpr uint16_t TIM_OCMode_PWM2 = 0x0070U;
inline constexpr uint16_t TIM_OutputState_Disable = 0x0000U;
inline constexpr uint16_t TIM_OutputState_Enable = 0x0001U;
inline constexpr uint16_t TIM_OCPolarity_High = 0x0000U;
inline constexpr uint16_t TIM_OCPolarity_Low = 0x0002U;
inline constexpr uint16_t TIM_OCPreload_Disable = 0x0000U;
inline constexpr uint16_t TIM_OCPreload_Enable = 0x0008U;

struct TIM_TimeBaseInitTypeDef {
    uint16_t TIM_Prescaler;      // the counter clock is the timer clock / (TIM_Prescaler + 1)
    uint16_t TIM_CounterMode;    // TIM_CounterMode_Up (the only mode the node uses)
    uint32_t TIM_Period;         // auto-reload value: a frame is TIM_Period + 1 counts
    uint16_t TIM_ClockDivision;  // TIM_CKD_*
};

struct TIM_OCInitTypeDef {
    uint16_t TIM_OCMode;       // TIM_OCMode_*
    uint16_t TIM_OutputState;  // TIM_OutputState_*
    uint32_t TIM_Pulse;        // compare value
    uint16_t TIM_OCPolarity;   // TIM_OCPolarity_*
};

// Counter mode, clock division, period and prescaler, then an update event so that the prescaler (and
// any preloaded value) is in force at once and the counter starts from 0.
void TIM_TimeBaseInit(TIM_TypeDef* TIMx, TIM_TimeBaseInitTypeDef* TIM_TimeBaseInitStruct);
// One channel as an output: mode, polarity, enable and the compare value, with the channel off while
// it changes.
void TIM_OC1Init(TIM_TypeDef* TIMx, TIM_OCInitTypeDef* TIM_OCInitStruct);
void TIM_OC2Init(TIM_TypeDef* TIMx, TIM_OCInitTypeDef* TIM_OCInitStruct);
void TIM_OC3Init(TIM_TypeDef* TIMx, TIM_OCInitTypeDef* TIM_OCInitStruct);
void TIM_OC4Init(TIM_TypeDef* TIMx, TIM_OCInitTypeDef* TIM_OCInitStruct);
// With the preload on, a new compare value takes effect at the next update event (the next frame).
void TIM_OC1PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload);
void TIM_OC2PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload);
void TIM_OC3PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload);
void TIM_OC4PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload);
void TIM_Cmd(TIM_TypeDef* TIMx, FunctionalState NewState);
inline void TIM_SetAutoreload(TIM_TypeDef* TIMx, uint32_t Autoreload) { TIMx->ARR = Autoreload; }
inline void TIM_SetCounter(TIM_TypeDef* TIMx, uint32_t Counter) { TIMx->CNT = Counter; }
inline uint32_t TIM_GetCounter(TIM_TypeDef* TIMx) { return TIMx->CNT; }

// ---------------------------------------------------------------------------------------------------------
// Interrupt controller (CMSIS names). Priorities are 0 (most urgent) .. 15.
inline constexpr uint32_t NVIC_PRIORITYGROUP_0 = 7;  // 0 bits pre-emption, 4 bits sub-priority
inline constexpr uint32_t NVIC_PRIORITYGROUP_1 = 6;
inline constexpr uint32_t NVIC_PRIORITYGROUP_2 = 5;
inline constexpr uint32_t NVIC_PRIORITYGROUP_3 = 4;
inline constexpr uint32_t NVIC_PRIORITYGROUP_4 = 3;  // 4 bits pre-emption, 0 bits sub-priority

void NVIC_EnableIRQ(IRQn_Type IRQn);
void NVIC_DisableIRQ(IRQn_Type IRQn);
uint32_t NVIC_GetEnableIRQ(IRQn_Type IRQn);
void NVIC_SetPendingIRQ(IRQn_Type IRQn);
void NVIC_ClearPendingIRQ(IRQn_Type IRQn);
uint32_t NVIC_GetPendingIRQ(IRQn_Type IRQn);
void NVIC_SetPriority(IRQn_Type IRQn, uint32_t priority);  // also for SysTick_IRQn and the other faults
uint32_t NVIC_GetPriority(IRQn_Type IRQn);
void NVIC_SetPriorityGrouping(uint32_t PriorityGroup);
uint32_t NVIC_GetPriorityGrouping();
// Writes SYSRESETREQ with the key into AIRCR, keeping the priority grouping.
void NVIC_RequestSystemReset();

// ---------------------------------------------------------------------------------------------------------
// SysTick
// Period of `ticks` core clocks, interrupt on, lowest priority; 1 if ticks does not fit the counter.
uint32_t SysTick_Config(uint32_t ticks);
// 1 ms period from the given core clock, counter on, interrupt off.
void LL_Init1msTick(uint32_t HCLKFrequency);

// ---------------------------------------------------------------------------------------------------------
// Unique device ID (96 bits) and the window watchdog
uint32_t LL_GetUID_Word0();
uint32_t LL_GetUID_Word1();
uint32_t LL_GetUID_Word2();

// Puts the window watchdog back to its reset state (disabled) through its RCC reset bit.
void WWDG_DeInit();

// ---------------------------------------------------------------------------------------------------------
// Interrupt handlers that the firmware defines. Declared here with C linkage so that every definition in a
// file that includes chip.hpp gets the name the vector table (and the simulator's interrupt controller)
// uses.
extern "C" {
void SysTick_Handler();
#define STM32F4_IRQ_HANDLER(name, number) void name##_IRQHandler();
STM32F4_INTERRUPT_LINES(STM32F4_IRQ_HANDLER)
#undef STM32F4_IRQ_HANDLER
}
