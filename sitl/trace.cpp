#include "sitl/trace.hpp"

#include "firmware/board/gpio.hpp"
#include "platform/sim/sim.hpp"

namespace sitl {
namespace {

struct BoardLine {
    const char* name;
    GPIO_TypeDef* port;
    unsigned pin;
};

const BoardLine kBoardLines[] = {
    {"led1", LED1_GPIO_PORT, 0},    {"led2", LED2_GPIO_PORT, 1},    {"led3", LED3_GPIO_PORT, 2},
    {"can1en", CANEN_GPIO_PORT, 8}, {"can2en", CANEN_GPIO_PORT, 9}, {"can3en", CANEN_GPIO_PORT, 10},
};

const char* const kPwmNames[] = {"pwm0_us", "pwm1_us", "pwm2_us", "pwm3_us", "pwm4_us", "pwm5_us",
                                 "pwm0_hz", "pwm1_hz", "pwm2_hz", "pwm3_hz", "pwm4_hz", "pwm5_hz"};

Trace* active;

void appendLine(std::string* text, uint64_t ns, const char* name, int64_t value)
{
    *text += std::to_string(ns / 1000U) + "," + name + "," + std::to_string(value) + "\n";
}

void onGpioChange(const GPIO_TypeDef* port, unsigned pin, bool level, uint64_t ns)
{
    for (const BoardLine& line : kBoardLines) {
        if (line.port == port && line.pin == pin) {
            active->record(line.name, level ? 1 : 0, ns);
        }
    }
}

}  // namespace

Trace::Trace()
{
    active = this;
    // No timer runs before the firmware starts one: no pulses.
    for (const char* name : kPwmNames) {
        appendLine(&initial_, 0, name, 0);
    }
    for (const BoardLine& line : kBoardLines) {
        appendLine(&initial_, 0, line.name, sim::gpioOutput(line.port, line.pin) ? 1 : 0);
    }
    sim::setGpioObserver(onGpioChange);
}

Trace::~Trace()
{
    sim::setGpioObserver(nullptr);
    active = nullptr;
}

void Trace::record(const char* name, int64_t value, uint64_t ns) { appendLine(&changes_, ns, name, value); }

}  // namespace sitl
