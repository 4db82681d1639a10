#include "firmware/drivers/PWM.hpp"

namespace {

constexpr uint8_t kChannels = 4;
constexpr uint8_t kTimers = 2;  // row 0 TIM5, row 1 TIM2

// Per timer and channel (column 0 unused): the channel last asked for 490 Hz.
bool TIMx490Hz[kTimers][kChannels + 1];

struct PwmPin {
    GPIO_TypeDef* port;
    uint16_t pin;
    uint8_t source;
    uint8_t af;
};

// Set-up order of the pins: TIM2's, then TIM5's.
const PwmPin kPins[] = {
    {GPIOA, GPIO_Pin_5, GPIO_PinSource5, GPIO_AF_TIM2}, {GPIOB, GPIO_Pin_10, GPIO_PinSource10, GPIO_AF_TIM2},
    {GPIOA, GPIO_Pin_0, GPIO_PinSource0, GPIO_AF_TIM5}, {GPIOA, GPIO_Pin_1, GPIO_PinSource1, GPIO_AF_TIM5},
    {GPIOA, GPIO_Pin_2, GPIO_PinSource2, GPIO_AF_TIM5}, {GPIOA, GPIO_Pin_3, GPIO_PinSource3, GPIO_AF_TIM5},
};

void timeBase50Hz(TIM_TypeDef* TIMx)
{
    TIM_TimeBaseInitTypeDef base{};
    base.TIM_Prescaler = TIMER_PRESCALER - 1U;
    base.TIM_CounterMode = TIM_CounterMode_Up;
    base.TIM_Period = TIMER_PERIOD50HZ;
    base.TIM_ClockDivision = TIM_CKD_DIV1;
    TIM_TimeBaseInit(TIMx, &base);
}

}  // namespace

void PWMInit()
{
    RCC_APB1PeriphClockCmd(TIMXRCC_APB1Periph, ENABLE);

    for (const PwmPin& p : kPins) {
        GPIO_PinAFConfig(p.port, p.source, p.af);
    }
    GPIO_InitTypeDef pin{};
    pin.GPIO_Mode = GPIO_Mode_AF;
    pin.GPIO_OType = GPIO_OType_PP;
    pin.GPIO_Speed = GPIO_High_Speed;
    pin.GPIO_PuPd = GPIO_PuPd_NOPULL;
    for (const PwmPin& p : kPins) {
        pin.GPIO_Pin = p.pin;
        GPIO_Init(p.port, &pin);
    }

    timeBase50Hz(TIM5);
    timeBase50Hz(TIM2);

    TIM_OCInitTypeDef oc{};
    oc.TIM_OCMode = TIM_OCMode_PWM1;
    oc.TIM_OutputState = TIM_OutputState_Enable;
    oc.TIM_Pulse = uS_to_ticks(RCPWM_NEUTRAL_uS);
    oc.TIM_OCPolarity = TIM_OCPolarity_High;
    TIM_OC1Init(TIM2, &oc);
    TIM_OC3Init(TIM2, &oc);
    TIM_OC1Init(TIM5, &oc);
    TIM_OC2Init(TIM5, &oc);
    TIM_OC3Init(TIM5, &oc);
    TIM_OC4Init(TIM5, &oc);

    TIM_OC1PreloadConfig(TIM2, TIM_OCPreload_Enable);
    TIM_OC3PreloadConfig(TIM2, TIM_OCPreload_Enable);
    TIM_OC1PreloadConfig(TIM5, TIM_OCPreload_Enable);
    TIM_OC2PreloadConfig(TIM5, TIM_OCPreload_Enable);
    TIM_OC3PreloadConfig(TIM5, TIM_OCPreload_Enable);
    TIM_OC4PreloadConfig(TIM5, TIM_OCPreload_Enable);

    TIM_Cmd(TIM5, ENABLE);
    TIM_Cmd(TIM2, ENABLE);
}

void PWMSetFreq(TIM_TypeDef* TIMx, uint8_t ch, PWM_Freq_t PWM_Freq)
{
    if (ch < 1U || ch > kChannels) {
        return;
    }
    bool (&row)[kChannels + 1] = TIMx490Hz[TIMx == TIM5 ? 0 : 1];
    row[ch] = PWM_Freq != PWM_Freq50Hz;

    bool fast = false;
    for (uint8_t c = 1; c <= kChannels; ++c) {
        fast = fast || row[c];
    }
    const uint32_t period = fast ? TIMER_PERIOD490HZ : TIMER_PERIOD50HZ;

    TIM_Cmd(TIMx, DISABLE);
    TIM_SetAutoreload(TIMx, period);
    // The period is not preloaded: a counter already past the new one would count on to the 32-bit wrap,
    // some 24 minutes without a pulse. Start a new frame instead (the output is low there anyway).
    if (TIM_GetCounter(TIMx) > period) {
        TIM_SetCounter(TIMx, 0);
    }
    TIM_Cmd(TIMx, ENABLE);
}

void TIM_SetCompare(TIM_TypeDef* TIMx, uint8_t ch, uint32_t Compare)
{
    switch (ch) {
    case 1: TIMx->CCR1 = Compare; break;
    case 2: TIMx->CCR2 = Compare; break;
    case 3: TIMx->CCR3 = Compare; break;
    case 4: TIMx->CCR4 = Compare; break;
    default: break;
    }
}
