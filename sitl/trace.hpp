#pragma once
// The node's observable outputs as "MICROS,NAME,VALUE" lines: every output's value at time 0, then one
// line per change, at the virtual time it shows on the pin. Names: pwm0_us..pwm5_us (pulse width in whole
// microseconds, 0 without pulses), pwm0_hz..pwm5_hz (frames per second, rounded; 0 without frames),
// led1..led3, can1en..can3en.

#include <cstdint>
#include <ostream>
#include <string>

#include "sitl/pins.hpp"

namespace sitl {

// Records from construction (after the models' reset) until destruction; one at a time. With a sink,
// each line is written and flushed as it happens (a file can be followed while the node runs); without,
// the lines are kept for text().
class Trace final : private PinListener {
public:
    explicit Trace(std::ostream* sink = nullptr);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    std::string text() const { return text_; }

private:
    void onLine(unsigned line, bool level, uint64_t ns) override;
    void onPwm(unsigned output, const sim::PwmOutput& now, uint64_t ns) override;
    void record(const char* name, int64_t value, uint64_t ns);

    std::ostream* sink_;
    std::string text_;
    // What the trace last said per output: whole microseconds of pulse (0: none) and frames per second.
    uint32_t pulseUs_[sim::kPwmOutputs] = {};
    uint32_t rateHz_[sim::kPwmOutputs] = {};
};

}  // namespace sitl
