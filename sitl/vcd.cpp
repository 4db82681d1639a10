#include "sitl/vcd.hpp"

#include <algorithm>

namespace sitl {
namespace {

// One printable character per signal: the PWM outputs first, then the board lines.
char pwmId(unsigned output) { return static_cast<char>('!' + output); }
char lineId(unsigned line) { return static_cast<char>('!' + sim::kPwmOutputs + line); }

}  // namespace

Vcd::Vcd(std::ostream* out) : out_(out)
{
    *out_ << "$version endpoint-sitl $end\n$timescale 1ns $end\n$scope module endpoint $end\n";
    for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
        *out_ << "$var wire 1 " << pwmId(i) << " pwm" << i << " $end\n";
    }
    for (unsigned line = 0; line < kBoardLineCount; ++line) {
        *out_ << "$var wire 1 " << lineId(line) << ' ' << kBoardLines[line].name << " $end\n";
    }
    *out_ << "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
        start(i, sim::pwmOutput(i), 0);
        *out_ << (trains_[i].level ? '1' : '0') << pwmId(i) << '\n';
    }
    for (unsigned line = 0; line < kBoardLineCount; ++line) {
        *out_ << (boardLineLevel(line) ? '1' : '0') << lineId(line) << '\n';
    }
    *out_ << "$end\n" << std::flush;
    addPinListener(this);
}

Vcd::~Vcd() { removePinListener(this); }

void Vcd::advanceTo(uint64_t ns)
{
    emitEdgesBefore(ns);
    out_->flush();
}

void Vcd::onLine(unsigned line, bool level, uint64_t ns)
{
    emitEdgesBefore(ns);
    change(lineId(line), level, ns);
}

// The train from ns on, in the phase the timer gives it: a change may come mid-frame (a counter stopped
// inside a pulse holds the pin high; started again, it goes on from its count).
void Vcd::onPwm(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    emitEdgesBefore(ns);
    const bool was = trains_[output].level;
    start(output, now, ns);
    if (trains_[output].level != was) {
        change(pwmId(output), trains_[output].level, ns);
    }
}

void Vcd::start(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    Train& t = trains_[output];
    t.pulseNs = now.pulseNs;
    t.periodNs = now.periodNs;
    t.nextEdgeNs = UINT64_MAX;  // none: the level holds
    if (now.periodNs == 0) {
        t.level = now.high;
        return;
    }
    const uint64_t period = now.periodNs;
    const uint64_t into = (ns % period + period - now.phaseNs % period) % period;  // how far into its frame
    t.frameStartNs = ns - into;
    t.level = into < now.pulseNs;  // a pulse as long as the frame: always high
    if (now.pulseNs != 0 && now.pulseNs < period) {
        t.nextEdgeNs = t.frameStartNs + (t.level ? now.pulseNs : period);
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
            next->frameStartNs = at;
            next->nextEdgeNs = at + next->pulseNs;
        } else {
            next->nextEdgeNs = next->frameStartNs + next->periodNs;
        }
        change(pwmId(static_cast<unsigned>(next - trains_)), next->level, at);
    }
}

void Vcd::change(char id, bool level, uint64_t ns)
{
    // A dump's times never go back; a change reported late is shown when it was reported.
    if (ns > writtenNs_) {
        writtenNs_ = ns;
        *out_ << '#' << ns << '\n';
    }
    *out_ << (level ? '1' : '0') << id << '\n';
}

}  // namespace sitl
