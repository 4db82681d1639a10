#include "sitl/pins.hpp"

#include <algorithm>
#include <vector>

#include "firmware/board/gpio.hpp"

namespace sitl {

const BoardLine kBoardLines[kBoardLineCount] = {
    {"led1", LED1_GPIO_PORT, 0},    {"led2", LED2_GPIO_PORT, 1},    {"led3", LED3_GPIO_PORT, 2},
    {"can1en", CANEN_GPIO_PORT, 8}, {"can2en", CANEN_GPIO_PORT, 9}, {"can3en", CANEN_GPIO_PORT, 10},
};

namespace {

std::vector<PinListener*>& listeners()
{
    static std::vector<PinListener*> all;
    return all;
}

void onGpioChange(const GPIO_TypeDef* port, unsigned pin, bool level, uint64_t ns)
{
    for (unsigned line = 0; line < kBoardLineCount; ++line) {
        if (kBoardLines[line].port == port && kBoardLines[line].pin == pin) {
            for (PinListener* l : listeners()) {
                l->onLine(line, level, ns);
            }
        }
    }
}

void onPwmChange(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    for (PinListener* l : listeners()) {
        l->onPwm(output, now, ns);
    }
}

}  // namespace

bool boardLineLevel(unsigned line) { return sim::gpioOutput(kBoardLines[line].port, kBoardLines[line].pin); }

void addPinListener(PinListener* listener)
{
    listeners().push_back(listener);
    sim::setGpioObserver(onGpioChange);
    sim::setPwmObserver(onPwmChange);
}

void removePinListener(PinListener* listener)
{
    auto& all = listeners();
    all.erase(std::remove(all.begin(), all.end(), listener), all.end());
    if (all.empty()) {
        sim::setGpioObserver(nullptr);
        sim::setPwmObserver(nullptr);
    }
}

}  // namespace sitl
