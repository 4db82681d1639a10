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

const char* const kPulseNames[sim::kPwmOutputs] = {"pwm0_us", "pwm1_us", "pwm2_us",
                                                    "pwm3_us", "pwm4_us", "pwm5_us"};
const char* const kRateNames[sim::kPwmOutputs] = {"pwm0_hz", "pwm1_hz", "pwm2_hz", "pwm3_hz", "pwm4_hz", "pwm5_hz"};

Trace* active;
// What the trace last said per output: whole microseconds of pulse (0: none) and frames per second.
uint32_t g_pulseUs[sim::kPwmOutputs];
uint32_t g_rateHz[sim::kPwmOutputs];

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

// Only what changed in whole units: a compare rewritten with the same width is no change.
void onPwmChange(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    if (now.pulseUs() != g_pulseUs[output]) {
        g_pulseUs[output] = now.pulseUs();
        active->record(kPulseNames[output], g_pulseUs[output], ns);
    }
    if (now.frameHz() != g_rateHz[output]) {
        g_rateHz[output] = now.frameHz();
        active->record(kRateNames[output], g_rateHz[output], ns);
    }
}

}  // namespace

Trace::Trace()
{
    active = this;
    for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
        g_pulseUs[i] = sim::pwmOutput(i).pulseUs();
        appendLine(&initial_, 0, kPulseNames[i], g_pulseUs[i]);
    }
    for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
        g_rateHz[i] = sim::pwmOutput(i).frameHz();
        appendLine(&initial_, 0, kRateNames[i], g_rateHz[i]);
    }
    for (const BoardLine& line : kBoardLines) {
        appendLine(&initial_, 0, line.name, sim::gpioOutput(line.port, line.pin) ? 1 : 0);
    }
    sim::setGpioObserver(onGpioChange);
    sim::setPwmObserver(onPwmChange);
}

Trace::~Trace()
{
    sim::setGpioObserver(nullptr);
    sim::setPwmObserver(nullptr);
    active = nullptr;
}

void Trace::record(const char* name, int64_t value, uint64_t ns) { appendLine(&changes_, ns, name, value); }

}  // namespace sitl
