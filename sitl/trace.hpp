#pragma once
// The node's observable outputs as "MICROS,NAME,VALUE" lines: every output's value at time 0, then one
// line per change, at the virtual time it shows on the pin. Names: pwm0_us..pwm5_us (pulse width in whole
// microseconds, 0 without pulses), pwm0_hz..pwm5_hz (frames per second, rounded; 0 without frames),
// led1..led3, can1en..can3en.

#include <cstdint>
#include <string>

namespace sitl {

// Records from construction (after the models' reset) until destruction; one at a time.
class Trace {
public:
    Trace();
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    void record(const char* name, int64_t value, uint64_t ns);
    std::string text() const { return initial_ + changes_; }

private:
    std::string initial_;
    std::string changes_;
};

}  // namespace sitl
