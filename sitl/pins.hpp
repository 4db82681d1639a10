#pragma once
// The board's observable pins, for every output that watches them (trace, VCD, status line): the LEDs and
// transceiver enables by name, and the six PWM outputs. The simulator has one observer per kind of pin;
// this hands each change to every listener, in the order they were added.

#include <cstdint>

#include "platform/sim/sim.hpp"

namespace sitl {

struct BoardLine {
    const char* name;  // led1..led3, can1en..can3en
    const GPIO_TypeDef* port;
    unsigned pin;
};
inline constexpr unsigned kBoardLineCount = 6;
extern const BoardLine kBoardLines[kBoardLineCount];

bool boardLineLevel(unsigned line);

class PinListener {
public:
    virtual void onLine(unsigned line, bool level, uint64_t ns) = 0;
    virtual void onPwm(unsigned output, const sim::PwmOutput& now, uint64_t ns) = 0;

protected:
    ~PinListener() = default;
};

void addPinListener(PinListener* listener);
void removePinListener(PinListener* listener);

}  // namespace sitl
