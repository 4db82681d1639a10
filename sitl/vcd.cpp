#include "sitl/vcd.hpp"

#include <algorithm>

namespace sitl {
namespace {

// One printable character per signal: the PWM outputs first, then the board lines.
char signalId(unsigned signal) { return static_cast<char>('!' + signal); }

struct Timescale {
    const char* name;
    uint64_t stepNs;
};
constexpr Timescale kTimescales[] = {{"1us", 1000}, {"100ns", 100}, {"10ns", 10}, {"1ns", 1}};

}  // namespace

uint64_t vcdStepNs(const std::string& timescale)
{
    for (const Timescale& t : kTimescales) {
        if (timescale == t.name) {
            return t.stepNs;
        }
    }
    return 0;
}

Vcd::Vcd(std::ostream* out, uint64_t stepNs) : out_(out), stepNs_(stepNs)
{
    const auto scale = std::find_if(std::begin(kTimescales), std::end(kTimescales),
                                    [stepNs](const Timescale& t) { return t.stepNs == stepNs; });
    *out_ << "$version endpoint-sitl $end\n$timescale " << scale->name << " $end\n$scope module endpoint $end\n";
    for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
        *out_ << "$var wire 1 " << signalId(i) << " pwm" << i << " $end\n";
    }
    for (unsigned line = 0; line < kBoardLineCount; ++line) {
        *out_ << "$var wire 1 " << signalId(sim::kPwmOutputs + line) << ' ' << kBoardLines[line].name << " $end\n";
    }
    *out_ << "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    for (unsigned signal = 0; signal < kSignals; ++signal) {
        if (signal < sim::kPwmOutputs) {
            start(signal, sim::pwmOutput(signal), 0);
            written_[signal] = trains_[signal].level;
        } else {
            written_[signal] = boardLineLevel(signal - sim::kPwmOutputs);
        }
        pending_[signal] = written_[signal];
        *out_ << (written_[signal] ? '1' : '0') << signalId(signal) << '\n';
    }
    *out_ << "$end\n" << std::flush;
    addPinListener(this);
}

Vcd::~Vcd()
{
    removePinListener(this);
    writeStep();
    out_->flush();
}

void Vcd::advanceTo(uint64_t ns)
{
    emitEdgesBefore(ns);
    const uint64_t step = (ns + stepNs_ / 2) / stepNs_;
    if (step > step_) {
        writeStep();  // nothing more can fall into it
        step_ = step;
    }
    out_->flush();
}

void Vcd::onLine(unsigned line, bool level, uint64_t ns)
{
    emitEdgesBefore(ns);
    change(sim::kPwmOutputs + line, level, ns);
}

// The train from ns on, in the phase the timer gives it: a change may come mid-frame (a counter stopped
// inside a pulse holds the pin high; started again, it goes on from its count).
void Vcd::onPwm(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    emitEdgesBefore(ns);
    const bool was = trains_[output].level;
    start(output, now, ns);
    if (trains_[output].level != was) {
        change(output, trains_[output].level, ns);
    }
}

void Vcd::start(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    Train& t = trains_[output];
    t.timer = now;
    t.nextEdgeNs = UINT64_MAX;
    if (now.periodNs == 0) {
        t.level = now.high;
        return;
    }
    const auto tick = static_cast<int64_t>(now.ticksAt(ns));
    const auto first = static_cast<int64_t>(now.firstTick);
    const auto frame = static_cast<int64_t>(now.frameTicks);
    t.frameTick = tick < first ? first - frame : first + (tick - first) / frame * frame;
    const auto high = static_cast<int64_t>(now.highTicks);
    t.level = tick - t.frameTick < high;  // a pulse as long as the frame: always high
    if (high != 0 && high < frame) {
        t.nextEdgeNs = now.tickNs(static_cast<uint64_t>(t.frameTick + (t.level ? high : frame)));
    }
}

// Every edge of the trains before ns, in time order across the outputs.
void Vcd::emitEdgesBefore(uint64_t ns)
{
    for (;;) {
        Train* next = std::min_element(std::begin(trains_), std::end(trains_), [](const Train& a, const Train& b) {
            return a.nextEdgeNs < b.nextEdgeNs;
        });
        if (next->nextEdgeNs >= ns) {
            return;
        }
        const uint64_t at = next->nextEdgeNs;
        next->level = !next->level;
        if (next->level) {
            next->frameTick += static_cast<int64_t>(next->timer.frameTicks);
            next->nextEdgeNs = next->timer.tickNs(static_cast<uint64_t>(next->frameTick) + next->timer.highTicks);
        } else {
            next->nextEdgeNs = next->timer.tickNs(static_cast<uint64_t>(next->frameTick) + next->timer.frameTicks);
        }
        change(static_cast<unsigned>(next - trains_), next->level, at);
    }
}

void Vcd::change(unsigned signal, bool level, uint64_t ns)
{
    // A dump's times never go back; a change reported late is shown when it was reported.
    const uint64_t step = std::max((ns + stepNs_ / 2) / stepNs_, step_);
    if (step > step_) {
        writeStep();
        step_ = step;
    }
    pending_[signal] = level;
}

void Vcd::writeStep()
{
    for (unsigned signal = 0; signal < kSignals; ++signal) {
        if (pending_[signal] != written_[signal]) {
            if (step_ != stampedStep_) {
                *out_ << '#' << step_ << '\n';
                stampedStep_ = step_;
            }
            written_[signal] = pending_[signal];
            *out_ << (written_[signal] ? '1' : '0') << signalId(signal) << '\n';
        }
    }
}

}  // namespace sitl
