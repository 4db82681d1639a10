#include "sitl/trace.hpp"

namespace sitl {
namespace {

const char* const kPulseNames[sim::kPwmOutputs] = {"pwm0_us", "pwm1_us", "pwm2_us",
                                                    "pwm3_us", "pwm4_us", "pwm5_us"};
const char* const kRateNames[sim::kPwmOutputs] = {"pwm0_hz", "pwm1_hz", "pwm2_hz", "pwm3_hz", "pwm4_hz", "pwm5_hz"};

}  // namespace

Trace::Trace(std::ostream* sink) : sink_(sink)
{
    for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
        pulseUs_[i] = sim::pwmOutput(i).pulseUs();
        record(kPulseNames[i], pulseUs_[i], 0);
    }
    for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
        rateHz_[i] = sim::pwmOutput(i).frameHz();
        record(kRateNames[i], rateHz_[i], 0);
    }
    for (unsigned line = 0; line < kBoardLineCount; ++line) {
        record(kBoardLines[line].name, boardLineLevel(line) ? 1 : 0, 0);
    }
    addPinListener(this);
}

Trace::~Trace() { removePinListener(this); }

void Trace::onLine(unsigned line, bool level, uint64_t ns) { record(kBoardLines[line].name, level ? 1 : 0, ns); }

// Only what changed in whole units: a compare rewritten with the same width is no change.
void Trace::onPwm(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    if (now.pulseUs() != pulseUs_[output]) {
        pulseUs_[output] = now.pulseUs();
        record(kPulseNames[output], pulseUs_[output], ns);
    }
    if (now.frameHz() != rateHz_[output]) {
        rateHz_[output] = now.frameHz();
        record(kRateNames[output], rateHz_[output], ns);
    }
}

void Trace::record(const char* name, int64_t value, uint64_t ns)
{
    const std::string line = std::to_string(ns / 1000U) + "," + name + "," + std::to_string(value) + "\n";
    if (sink_ == nullptr) {
        text_ += line;
    } else {
        *sink_ << line << std::flush;
    }
}

}  // namespace sitl
