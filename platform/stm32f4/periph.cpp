// The peripheral-library calls, written once over the register blocks; the same code drives the real
// registers on the chip and the models in the simulator.
#include "chip.hpp"

namespace {

void setOrClear(HwReg32& reg, uint32_t mask, FunctionalState state)
{
    if (state != DISABLE) {
        reg |= mask;
    } else {
        reg &= ~mask;
    }
}

// Replaces the `width`-bit field of pin `pin` in a register with one field per pin.
void setPinField(HwReg32& reg, uint32_t pin, uint32_t width, uint32_t value)
{
    const uint32_t shift = pin * width;
    const uint32_t mask = ((1U << width) - 1U) << shift;
    reg = (reg & ~mask) | ((value << shift) & mask);
}

uint32_t busDivider(uint32_t code, uint32_t first, const uint32_t* table)
{
    return code < first ? 1U : table[code - first];
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
RCC_ClocksTypeDef rccClocksFromRegisters(uint32_t cfgr, uint32_t pllcfgr)
{
    static constexpr uint32_t kAhbDividers[8] = {2, 4, 8, 16, 64, 128, 256, 512};
    static constexpr uint32_t kApbDividers[4] = {2, 4, 8, 16};

    uint32_t sysclk = HSI_VALUE;
    switch ((cfgr & RCC_CFGR_SWS) >> RCC_CFGR_SWS_Pos) {
    case RCC_CFGR_SW_HSE:
        sysclk = HSE_VALUE;
        break;
    case RCC_CFGR_SW_PLL: {
        const uint32_t source = (pllcfgr & RCC_PLLCFGR_PLLSRC) != 0U ? HSE_VALUE : HSI_VALUE;
        const uint32_t m = (pllcfgr & RCC_PLLCFGR_PLLM) >> RCC_PLLCFGR_PLLM_Pos;
        const uint32_t n = (pllcfgr & RCC_PLLCFGR_PLLN) >> RCC_PLLCFGR_PLLN_Pos;
        const uint32_t p = (((pllcfgr & RCC_PLLCFGR_PLLP) >> RCC_PLLCFGR_PLLP_Pos) + 1U) * 2U;
        // The VCO input is a whole number of kHz for every legal M; stay in 32 bits on the chip.
        sysclk = m == 0U ? 0U : (source / m) * n / p;
        break;
    }
    default:
        break;
    }
    RCC_ClocksTypeDef clocks{};
    clocks.SYSCLK_Frequency = sysclk;
    clocks.HCLK_Frequency = sysclk / busDivider((cfgr & RCC_CFGR_HPRE) >> RCC_CFGR_HPRE_Pos, 8, kAhbDividers);
    clocks.PCLK1_Frequency =
        clocks.HCLK_Frequency / busDivider((cfgr & RCC_CFGR_PPRE1) >> RCC_CFGR_PPRE1_Pos, 4, kApbDividers);
    clocks.PCLK2_Frequency =
        clocks.HCLK_Frequency / busDivider((cfgr & RCC_CFGR_PPRE2) >> RCC_CFGR_PPRE2_Pos, 4, kApbDividers);
    return clocks;
}

void RCC_GetClocksFreq(RCC_ClocksTypeDef* RCC_Clocks)
{
    *RCC_Clocks = rccClocksFromRegisters(RCC->CFGR, RCC->PLLCFGR);
}

void RCC_AHB1PeriphClockCmd(uint32_t RCC_AHB1Periph, FunctionalState NewState)
{
    setOrClear(RCC->AHB1ENR, RCC_AHB1Periph, NewState);
}

void RCC_APB1PeriphClockCmd(uint32_t RCC_APB1Periph, FunctionalState NewState)
{
    setOrClear(RCC->APB1ENR, RCC_APB1Periph, NewState);
}

void RCC_APB2PeriphClockCmd(uint32_t RCC_APB2Periph, FunctionalState NewState)
{
    setOrClear(RCC->APB2ENR, RCC_APB2Periph, NewState);
}

void RCC_AHB1PeriphResetCmd(uint32_t RCC_AHB1Periph, FunctionalState NewState)
{
    setOrClear(RCC->AHB1RSTR, RCC_AHB1Periph, NewState);
}

void RCC_APB1PeriphResetCmd(uint32_t RCC_APB1Periph, FunctionalState NewState)
{
    setOrClear(RCC->APB1RSTR, RCC_APB1Periph, NewState);
}

// ---------------------------------------------------------------------------------------------------------
void GPIO_Init(GPIO_TypeDef* GPIOx, GPIO_InitTypeDef* GPIO_InitStruct)
{
    for (uint32_t pin = 0; pin < GPIO_PINS; ++pin) {
        if ((GPIO_InitStruct->GPIO_Pin & (1U << pin)) == 0U) {
            continue;
        }
        setPinField(GPIOx->MODER, pin, 2, static_cast<uint32_t>(GPIO_InitStruct->GPIO_Mode));
        if (GPIO_InitStruct->GPIO_Mode == GPIO_Mode_OUT || GPIO_InitStruct->GPIO_Mode == GPIO_Mode_AF) {
            setPinField(GPIOx->OSPEEDR, pin, 2, static_cast<uint32_t>(GPIO_InitStruct->GPIO_Speed));
            setPinField(GPIOx->OTYPER, pin, 1, static_cast<uint32_t>(GPIO_InitStruct->GPIO_OType));
        }
        setPinField(GPIOx->PUPDR, pin, 2, static_cast<uint32_t>(GPIO_InitStruct->GPIO_PuPd));
    }
}

void GPIO_PinAFConfig(GPIO_TypeDef* GPIOx, uint16_t GPIO_PinSource, uint8_t GPIO_AF)
{
    const uint32_t pin = GPIO_PinSource & 0xFU;
    setPinField(GPIOx->AFR[pin >> 3], pin & 7U, 4, GPIO_AF);
}

ErrorStatus LL_GPIO_Init(GPIO_TypeDef* GPIOx, LL_GPIO_InitTypeDef* GPIO_InitStruct)
{
    for (uint32_t pin = 0; pin < GPIO_PINS; ++pin) {
        if ((GPIO_InitStruct->Pin & (1U << pin)) == 0U) {
            continue;
        }
        const uint32_t mode = GPIO_InitStruct->Mode;
        if (mode == LL_GPIO_MODE_OUTPUT || mode == LL_GPIO_MODE_ALTERNATE) {
            setPinField(GPIOx->OSPEEDR, pin, 2, GPIO_InitStruct->Speed);
            setPinField(GPIOx->OTYPER, pin, 1, GPIO_InitStruct->OutputType);
        }
        setPinField(GPIOx->PUPDR, pin, 2, GPIO_InitStruct->Pull);
        if (mode == LL_GPIO_MODE_ALTERNATE) {
            setPinField(GPIOx->AFR[pin >> 3], pin & 7U, 4, GPIO_InitStruct->Alternate);
        }
        setPinField(GPIOx->MODER, pin, 2, mode);
    }
    return SUCCESS;
}

// ---------------------------------------------------------------------------------------------------------
ErrorStatus LL_USART_Init(USART_TypeDef* USARTx, LL_USART_InitTypeDef* USART_InitStruct)
{
    if ((USARTx->CR1 & USART_CR1_UE) != 0U) {
        return ERROR;
    }
    USARTx->CR1 = (USARTx->CR1 & ~(USART_CR1_M | USART_CR1_PCE | USART_CR1_PS | USART_CR1_TE | USART_CR1_RE |
                                    USART_CR1_OVER8)) |
                  USART_InitStruct->DataWidth | USART_InitStruct->Parity | USART_InitStruct->TransferDirection |
                  USART_InitStruct->OverSampling;
    USARTx->CR2 = (USARTx->CR2 & ~USART_CR2_STOP) | USART_InitStruct->StopBits;
    USARTx->CR3 = (USARTx->CR3 & ~(USART_CR3_RTSE | USART_CR3_CTSE)) | USART_InitStruct->HardwareFlowControl;

    // USART2 is on APB1; the node has no other USART.
    RCC_ClocksTypeDef clocks{};
    RCC_GetClocksFreq(&clocks);
    const uint32_t baud = USART_InitStruct->BaudRate;
    if (baud == 0U) {
        return ERROR;
    }
    // In units of 1/16 (or 1/8 with OVER8) of the divider, rounded: pclk / baud.
    const uint32_t div = (clocks.PCLK1_Frequency + baud / 2U) / baud;
    if (USART_InitStruct->OverSampling == LL_USART_OVERSAMPLING_8) {
        USARTx->BRR = ((div >> 3) << 4) | (div & 7U);
    } else {
        USARTx->BRR = div & 0xFFFFU;
    }
    return SUCCESS;
}

// ---------------------------------------------------------------------------------------------------------
namespace {

// Each channel has one byte of CCMR1 (channels 1, 2) or CCMR2 (3, 4) and one nibble of CCER.
constexpr uint32_t kCcmrChannelMask = 0xFFU;  // CCxS, OCxFE, OCxPE, OCxM, OCxCE
constexpr uint32_t kCcmrOcPe = TIM_CCMR1_OC1PE;
constexpr uint32_t kCcerChannelMask = TIM_CCER_CC1E | TIM_CCER_CC1P | (1U << 3);  // CCxE, CCxP, CCxNP

HwReg32& ccmrOf(TIM_TypeDef* TIMx, uint32_t channel) { return channel <= 2U ? TIMx->CCMR1 : TIMx->CCMR2; }
uint32_t ccmrShift(uint32_t channel) { return (channel & 1U) != 0U ? 0U : 8U; }
uint32_t ccerShift(uint32_t channel) { return 4U * (channel - 1U); }

HwReg32& ccrOf(TIM_TypeDef* TIMx, uint32_t channel)
{
    switch (channel) {
    case 1: return TIMx->CCR1;
    case 2: return TIMx->CCR2;
    case 3: return TIMx->CCR3;
    default: return TIMx->CCR4;
    }
}

void ocInit(TIM_TypeDef* TIMx, uint32_t channel, const TIM_OCInitTypeDef* init)
{
    const uint32_t ccerMask = kCcerChannelMask << ccerShift(channel);
    TIMx->CCER &= ~(TIM_CCER_CC1E << ccerShift(channel));  // the channel is off while it changes
    // Output (CCxS 0), the mode; the preload and the fast/clear enables are left as they are.
    const uint32_t shift = ccmrShift(channel);
    const uint32_t keep = (kCcmrOcPe | (1U << 2) | (1U << 7)) << shift;
    HwReg32& ccmr = ccmrOf(TIMx, channel);
    ccmr = (ccmr & ~((kCcmrChannelMask << shift) & ~keep)) | ((init->TIM_OCMode & TIM_CCMR1_OC1M) << shift);
    ccrOf(TIMx, channel) = init->TIM_Pulse;
    const uint32_t ccer = ((init->TIM_OCPolarity & TIM_CCER_CC1P) | (init->TIM_OutputState & TIM_CCER_CC1E))
                          << ccerShift(channel);
    TIMx->CCER = (TIMx->CCER & ~ccerMask) | ccer;
}

void ocPreload(TIM_TypeDef* TIMx, uint32_t channel, uint16_t TIM_OCPreload)
{
    HwReg32& ccmr = ccmrOf(TIMx, channel);
    const uint32_t bit = kCcmrOcPe << ccmrShift(channel);
    ccmr = (ccmr & ~bit) | ((TIM_OCPreload & kCcmrOcPe) << ccmrShift(channel));
}

}  // namespace

void TIM_TimeBaseInit(TIM_TypeDef* TIMx, TIM_TimeBaseInitTypeDef* TIM_TimeBaseInitStruct)
{
    const uint32_t mode = TIM_TimeBaseInitStruct->TIM_CounterMode & (TIM_CR1_DIR | TIM_CR1_CMS);
    const uint32_t ckd = TIM_TimeBaseInitStruct->TIM_ClockDivision & TIM_CR1_CKD;
    TIMx->CR1 = (TIMx->CR1 & ~(TIM_CR1_DIR | TIM_CR1_CMS | TIM_CR1_CKD)) | mode | ckd;
    TIMx->ARR = TIM_TimeBaseInitStruct->TIM_Period;
    TIMx->PSC = TIM_TimeBaseInitStruct->TIM_Prescaler;
    TIMx->EGR = TIM_EGR_UG;
}

void TIM_OC1Init(TIM_TypeDef* TIMx, TIM_OCInitTypeDef* TIM_OCInitStruct) { ocInit(TIMx, 1, TIM_OCInitStruct); }
void TIM_OC2Init(TIM_TypeDef* TIMx, TIM_OCInitTypeDef* TIM_OCInitStruct) { ocInit(TIMx, 2, TIM_OCInitStruct); }
void TIM_OC3Init(TIM_TypeDef* TIMx, TIM_OCInitTypeDef* TIM_OCInitStruct) { ocInit(TIMx, 3, TIM_OCInitStruct); }
void TIM_OC4Init(TIM_TypeDef* TIMx, TIM_OCInitTypeDef* TIM_OCInitStruct) { ocInit(TIMx, 4, TIM_OCInitStruct); }

void TIM_OC1PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload) { ocPreload(TIMx, 1, TIM_OCPreload); }
void TIM_OC2PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload) { ocPreload(TIMx, 2, TIM_OCPreload); }
void TIM_OC3PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload) { ocPreload(TIMx, 3, TIM_OCPreload); }
void TIM_OC4PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload) { ocPreload(TIMx, 4, TIM_OCPreload); }

void TIM_Cmd(TIM_TypeDef* TIMx, FunctionalState NewState) { setOrClear(TIMx->CR1, TIM_CR1_CEN, NewState); }

// ---------------------------------------------------------------------------------------------------------
namespace {
uint32_t irqWord(IRQn_Type IRQn) { return static_cast<uint32_t>(IRQn) >> 5; }
uint32_t irqBit(IRQn_Type IRQn) { return 1U << (static_cast<uint32_t>(IRQn) & 31U); }
}  // namespace

void NVIC_EnableIRQ(IRQn_Type IRQn)
{
    if (IRQn >= 0) {
        NVIC->ISER[irqWord(IRQn)] = irqBit(IRQn);
    }
}

void NVIC_DisableIRQ(IRQn_Type IRQn)
{
    if (IRQn >= 0) {
        NVIC->ICER[irqWord(IRQn)] = irqBit(IRQn);
    }
}

uint32_t NVIC_GetEnableIRQ(IRQn_Type IRQn)
{
    return IRQn >= 0 && (NVIC->ISER[irqWord(IRQn)] & irqBit(IRQn)) != 0U ? 1U : 0U;
}

void NVIC_SetPendingIRQ(IRQn_Type IRQn)
{
    if (IRQn >= 0) {
        NVIC->ISPR[irqWord(IRQn)] = irqBit(IRQn);
    }
}

void NVIC_ClearPendingIRQ(IRQn_Type IRQn)
{
    if (IRQn >= 0) {
        NVIC->ICPR[irqWord(IRQn)] = irqBit(IRQn);
    }
}

uint32_t NVIC_GetPendingIRQ(IRQn_Type IRQn)
{
    return IRQn >= 0 && (NVIC->ISPR[irqWord(IRQn)] & irqBit(IRQn)) != 0U ? 1U : 0U;
}

void NVIC_SetPriority(IRQn_Type IRQn, uint32_t priority)
{
    const auto byte = static_cast<uint8_t>((priority << (8U - NVIC_PRIO_BITS)) & 0xFFU);
    if (IRQn >= 0) {
        NVIC->IP[static_cast<uint32_t>(IRQn)] = byte;
    } else {
        // Core exceptions 4..15 have their priority bytes in SHP[0..11].
        SCB->SHP[(static_cast<uint32_t>(IRQn) & 0xFU) - 4U] = byte;
    }
}

uint32_t NVIC_GetPriority(IRQn_Type IRQn)
{
    const uint32_t byte = IRQn >= 0 ? static_cast<uint32_t>(NVIC->IP[static_cast<uint32_t>(IRQn)])
                                    : static_cast<uint32_t>(SCB->SHP[(static_cast<uint32_t>(IRQn) & 0xFU) - 4U]);
    return byte >> (8U - NVIC_PRIO_BITS);
}

void NVIC_SetPriorityGrouping(uint32_t PriorityGroup)
{
    const uint32_t aircr = SCB->AIRCR & ~(SCB_AIRCR_VECTKEY | SCB_AIRCR_PRIGROUP);
    SCB->AIRCR = aircr | SCB_AIRCR_VECTKEY_WRITE | ((PriorityGroup & 7U) << SCB_AIRCR_PRIGROUP_Pos);
}

uint32_t NVIC_GetPriorityGrouping() { return (SCB->AIRCR & SCB_AIRCR_PRIGROUP) >> SCB_AIRCR_PRIGROUP_Pos; }

void NVIC_RequestSystemReset()
{
    const uint32_t aircr = SCB->AIRCR & SCB_AIRCR_PRIGROUP;
    SCB->AIRCR = aircr | SCB_AIRCR_VECTKEY_WRITE | SCB_AIRCR_SYSRESETREQ;
}

// ---------------------------------------------------------------------------------------------------------
uint32_t SysTick_Config(uint32_t ticks)
{
    if (ticks == 0U || ticks - 1U > SysTick_LOAD_RELOAD_Msk) {
        return 1U;
    }
    SysTick->LOAD = ticks - 1U;
    NVIC_SetPriority(SysTick_IRQn, (1U << NVIC_PRIO_BITS) - 1U);
    SysTick->VAL = 0U;
    SysTick->CTRL = SysTick_CTRL_CLKSOURCE_Msk | SysTick_CTRL_TICKINT_Msk | SysTick_CTRL_ENABLE_Msk;
    return 0U;
}

void LL_Init1msTick(uint32_t HCLKFrequency)
{
    SysTick->LOAD = (HCLKFrequency / 1000U) - 1U;
    SysTick->VAL = 0U;
    SysTick->CTRL = SysTick_CTRL_CLKSOURCE_Msk | SysTick_CTRL_ENABLE_Msk;
}

uint32_t LL_GetUID_Word0() { return UID->W[0]; }
uint32_t LL_GetUID_Word1() { return UID->W[1]; }
uint32_t LL_GetUID_Word2() { return UID->W[2]; }

void WWDG_DeInit()
{
    RCC_APB1PeriphResetCmd(RCC_APB1Periph_WWDG, ENABLE);
    RCC_APB1PeriphResetCmd(RCC_APB1Periph_WWDG, DISABLE);
}
