#pragma once
// --vcd FILE: the node's pins as a Value Change Dump (IEEE 1364) for GTKWave or PulseView, 1 ns time
// scale: pwm0..pwm5 as the pulse trains the pins carry (high for the pulse width at the start of every
// frame), led1..led3 and can1en..can3en as levels.

#include <cstdint>
#include <ostream>

#include "sitl/pins.hpp"

namespace sitl {

class Vcd final : private PinListener {
public:
    // Writes the header and every signal's level at time 0.
    explicit Vcd(std::ostream* out);
    ~Vcd();
    Vcd(const Vcd&) = delete;
    Vcd& operator=(const Vcd&) = delete;

    // Writes the pulse edges up to virtual time ns and flushes: called as the run goes on.
    void advanceTo(uint64_t ns);

private:
    struct Train {
        uint64_t pulseNs = 0;
        uint64_t periodNs = 0;
        uint64_t frameStartNs = 0;
        uint64_t nextEdgeNs = UINT64_MAX;  // none: the level holds
        bool level = false;
    };

    void onLine(unsigned line, bool level, uint64_t ns) override;
    void onPwm(unsigned output, const sim::PwmOutput& now, uint64_t ns) override;
    void start(unsigned output, const sim::PwmOutput& now, uint64_t ns);
    void emitEdgesBefore(uint64_t ns);
    void change(char id, bool level, uint64_t ns);

    std::ostream* out_;
    Train trains_[sim::kPwmOutputs];
    uint64_t writtenNs_ = 0;
};

}  // namespace sitl
