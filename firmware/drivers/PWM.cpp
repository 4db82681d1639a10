#include "firmware/drivers/PWM.hpp"

#include "firmware/board/gpio.hpp"

const PWM_Output_t PWM_Outputs[NUM_PWM] = {
    {TIM5, 1, GPIOA, GPIO_Pin_0, GPIO_PinSource0, GPIO_AF_TIM5, "TIM5_CH1_PA0"},
    {TIM5, 2, GPIOA, GPIO_Pin_1, GPIO_PinSource1, GPIO_AF_TIM5, "TIM5_CH2_PA1"},
    {TIM5, 3, GPIOA, GPIO_Pin_2, GPIO_PinSource2, GPIO_AF_TIM5, "TIM5_CH3_PA2"},
    {TIM5, 4, GPIOA, GPIO_Pin_3, GPIO_PinSource3, GPIO_AF_TIM5, "TIM5_CH4_PA3"},
    {TIM2, 1, GPIOA, GPIO_Pin_5, GPIO_PinSource5, GPIO_AF_TIM2, "TIM2_CH1_PA5"},
    {TIM2, 3, GPIOB, GPIO_Pin_10, GPIO_PinSource10, GPIO_AF_TIM2, "TIM2_CH3_PB10"},
};

namespace {

constexpr uint8_t kChannels = 4;
constexpr uint8_t kTimers = 2;  // row 0 TIM5, row 1 TIM2

// Per timer and channel (column 0 unused): the channel last asked for 490 Hz.
bool TIMx490Hz[kTimers][kChannels + 1];

// The period preloaded (ARPE): a new one takes over at the end of the frame under way, so that a change of
// rate neither cuts nor stretches a frame or its pulse. The time base's update event loads the first one.
void timeBase50Hz(TIM_TypeDef* TIMx)
{
    TIMx->CR1 |= TIM_CR1_ARPE;
    TIM_TimeBaseInitTypeDef base{};
    base.TIM_Prescaler = TIMER_PRESCALER - 1U;
    base.TIM_CounterMode = TIM_CounterMode_Up;
    base.TIM_Period = TIMER_PERIOD50HZ;
    base.TIM_ClockDivision = TIM_CKD_DIV1;
    TIM_TimeBaseInit(TIMx, &base);
}

// The output's channel in PWM mode, its compare preloaded.
void channelInit(const PWM_Output_t& out, TIM_OCInitTypeDef* oc)
{
    switch (out.channel) {
    case 1:
        TIM_OC1Init(out.timer, oc);
        TIM_OC1PreloadConfig(out.timer, TIM_OCPreload_Enable);
        break;
    case 2:
        TIM_OC2Init(out.timer, oc);
        TIM_OC2PreloadConfig(out.timer, TIM_OCPreload_Enable);
        break;
    case 3:
        TIM_OC3Init(out.timer, oc);
        TIM_OC3PreloadConfig(out.timer, TIM_OCPreload_Enable);
        break;
    default:
        TIM_OC4Init(out.timer, oc);
        TIM_OC4PreloadConfig(out.timer, TIM_OCPreload_Enable);
        break;
    }
}

}  // namespace

void PWMInit()
{
    for (auto& row : TIMx490Hz) {
        for (bool& channel : row) {
            channel = false;  // every timer starts at 50 Hz
        }
    }
    RCC_APB1PeriphClockCmd(TIMXRCC_APB1Periph, ENABLE);

    for (const PWM_Output_t& out : PWM_Outputs) {
        GPIO_PinAFConfig(out.port, out.source, out.af);
    }
    GPIO_InitTypeDef pin{};
    pin.GPIO_Mode = GPIO_Mode_AF;
    pin.GPIO_OType = GPIO_OType_PP;
    pin.GPIO_Speed = GPIO_High_Speed;
    pin.GPIO_PuPd = GPIO_PuPd_NOPULL;
    for (const PWM_Output_t& out : PWM_Outputs) {
        pin.GPIO_Pin = out.pin;
        GPIO_Init(out.port, &pin);
    }

    timeBase50Hz(TIM5);
    timeBase50Hz(TIM2);

    TIM_OCInitTypeDef oc{};
    oc.TIM_OCMode = TIM_OCMode_PWM1;
    oc.TIM_OutputState = TIM_OutputState_Enable;
    oc.TIM_Pulse = 0;  // no pulse until the node says what each output drives
    oc.TIM_OCPolarity = TIM_OCPolarity_High;
    for (const PWM_Output_t& out : PWM_Outputs) {
        channelInit(out, &oc);
    }

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
    // The counter runs on untouched: the preloaded period takes over where the frame under way ends.
    if (TIMx->ARR != period) {
        TIM_SetAutoreload(TIMx, period);
    }
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

void PWMOutputsLow()
{
    for (const PWM_Output_t& out : PWM_Outputs) {
        TIM_SetCompare(out.timer, out.channel, 0);
    }
}

constinit BoardOutputs boardOutputs;

void BoardOutputs::setCompare(uint8_t output, uint32_t compare)
{
    TIM_SetCompare(PWM_Outputs[output].timer, PWM_Outputs[output].channel, compare);
}

void BoardOutputs::setFast(uint8_t output, bool fast)
{
    PWMSetFreq(PWM_Outputs[output].timer, PWM_Outputs[output].channel, fast ? PWM_Freq490Hz : PWM_Freq50Hz);
}

void BoardOutputs::setLeds(uint8_t lit) { ledsShow(lit); }
