#pragma once
// RC-PWM outputs on TIM5 (channels 1..4 on PA0..PA3) and TIM2 (channels 1 and 3 on PA5 and PB10). Both
// timers count at 3 MHz; a frame is 50 Hz (servos) or 490 Hz (ESCs) per timer, and compare values are
// timer ticks. Compares and periods are preloaded, so that a new width or rate starts with the next frame.

#include <cstdint>

#include "chip.hpp"
#include "firmware/drivers/devices.hpp"

inline constexpr uint32_t TIMER_PRESCALER = 32;         // 96 MHz timer clock / 32 = 3 ticks per us
inline constexpr uint32_t TIMER_PERIOD50HZ = 60000;     // auto-reload: 60001 ticks, 20000.33 us
inline constexpr uint32_t TIMER_PERIOD490HZ = 6122;     // auto-reload: 6123 ticks, 2041 us
inline constexpr uint32_t RCPWM_PERIOD50HZ_uS = 20000;
inline constexpr uint32_t RCPWM_PERIOD490HZ_uS = 2040;
inline constexpr uint32_t RCPWM_MIN_uS = 1000;
inline constexpr uint32_t RCPWM_NEUTRAL_uS = 1500;
inline constexpr uint32_t RCPWM_RANGE_uS = 1000;
inline constexpr uint32_t TIMXRCC_APB1Periph = RCC_APB1Periph_TIM2 | RCC_APB1Periph_TIM5;

enum PWM_Freq_t : uint8_t { PWM_Freq50Hz = 0, PWM_Freq490Hz = 1, PWM_FreqLast = 2 };

// One output: its timer channel and the pin that channel drives.
struct PWM_Output_t {
    TIM_TypeDef* timer;
    uint8_t channel;  // 1..4
    GPIO_TypeDef* port;
    uint16_t pin;
    uint8_t source;
    uint8_t af;
    const char* name;
};

inline constexpr uint8_t NUM_PWM = 6;
// The six outputs, in the order the node numbers them.
extern const PWM_Output_t PWM_Outputs[NUM_PWM];

// Pulse width to compare value: 3 ticks per microsecond at either frame rate.
inline constexpr uint32_t uS_to_ticks(uint32_t uS) { return uS * TIMER_PERIOD50HZ / RCPWM_PERIOD50HZ_uS; }
static_assert(uS_to_ticks(RCPWM_MIN_uS) == 3000 && uS_to_ticks(RCPWM_MIN_uS + RCPWM_RANGE_uS) == 6000);
// The longest pulse still ends inside the shorter frame.
static_assert(uS_to_ticks(RCPWM_MIN_uS + RCPWM_RANGE_uS) <= TIMER_PERIOD490HZ);

// Clocks, pins, both time bases at 50 Hz, six channels in PWM mode without pulse (compare 0), and both
// timers started. A 1500 us start would be half throttle to an ESC: the node sets each output's start.
void PWMInit();
// Records the rate channel ch (1..4) of TIMx asks for; the timer runs at 490 Hz while any of its channels
// asks for it, else at 50 Hz. A new rate starts where the frame under way ends; a request that leaves the
// timer's rate as it is writes nothing. A channel outside 1..4 changes nothing.
void PWMSetFreq(TIM_TypeDef* TIMx, uint8_t ch, PWM_Freq_t PWM_Freq);
// Every output low from its next frame on (compare 0); the timers are left running as they are. The
// fatal-stop hook: registers only.
void PWMOutputsLow();
// The compare value of channel ch (1..4), in timer ticks; 0 keeps the output low. Other channels: nothing.
void TIM_SetCompare(TIM_TypeDef* TIMx, uint8_t ch, uint32_t Compare);

// The board's outputs as the node drives them: the six RC-PWM outputs and the three LEDs.
class BoardOutputs final : public Outputs {
public:
    void setCompare(uint8_t output, uint32_t compare) override;
    void setFast(uint8_t output, bool fast) override;
    void setLeds(uint8_t lit) override;
};
extern BoardOutputs boardOutputs;
