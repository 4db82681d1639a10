#pragma once
// --vcd FILE: the node's pins as a Value Change Dump (IEEE 1364) for GTKWave, PulseView or sigrok-cli:
// pwm0..pwm5 as the pulse trains the pins carry (high for the pulse width at the start of every frame),
// led1..led3 and can1en..can3en as levels. Every PWM edge is drawn where the timer's counts put it, rounded
// to the dump's time step only, so that no rounding adds up over a long run.

#include <cstdint>
#include <ostream>
#include <string>

#include "sitl/pins.hpp"

namespace sitl {

// 1 us: a viewer that samples the dump at its time step (PulseView, sigrok-cli) holds a minute of it in
// some 120 MB, while every width the node commands, a whole number of microseconds, stays exact.
inline constexpr uint64_t kVcdStepNs = 1000;
// The step a timescale names ("1us", "100ns", "10ns", "1ns"); 0 for any other.
uint64_t vcdStepNs(const std::string& timescale);

class Vcd final : private PinListener {
public:
    // Writes the header and every signal's level at time 0.
    explicit Vcd(std::ostream* out, uint64_t stepNs = kVcdStepNs);
    ~Vcd();
    Vcd(const Vcd&) = delete;
    Vcd& operator=(const Vcd&) = delete;

    // Writes the pulse edges up to virtual time ns and flushes: called as the run goes on.
    void advanceTo(uint64_t ns);

private:
    static constexpr unsigned kSignals = sim::kPwmOutputs + kBoardLineCount;
    struct Train {
        sim::PwmOutput timer;
        int64_t frameTick = 0;  // the tick its frame under way began at (before the origin: negative)
        uint64_t nextEdgeNs = UINT64_MAX;  // none: the level holds
        bool level = false;
    };

    void onLine(unsigned line, bool level, uint64_t ns) override;
    void onPwm(unsigned output, const sim::PwmOutput& now, uint64_t ns) override;
    void start(unsigned output, const sim::PwmOutput& now, uint64_t ns);
    void emitEdgesBefore(uint64_t ns);
    void change(unsigned signal, bool level, uint64_t ns);
    void writeStep();

    std::ostream* out_;
    uint64_t stepNs_;
    Train trains_[sim::kPwmOutputs];
    // The step being built: a signal that changes and changes back within it shows no pulse there.
    uint64_t step_ = 0;
    uint64_t stampedStep_ = 0;  // the last time written: #0 with the header
    bool written_[kSignals] = {};
    bool pending_[kSignals] = {};
};

}  // namespace sitl
