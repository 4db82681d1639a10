#pragma once
// An SLCAN (LAWICEL ASCII) adapter as the host sees it over a serial line: commands end in '\r', are
// acknowledged with '\r' and refused with BEL. S0..S8 (speed; the virtual bus keeps its own rate), O, C,
// F, V, N, t/T (a frame to send); r/R (remote frames) are refused. Frames from the bus go to the host as
// tiiildd..\r or Tiiiiiiiildd..\r while the channel is open.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/sim/sim.hpp"

namespace sitl {

// The longest valid line: 'T', 8 identifier digits, the length, 8 data bytes.
inline constexpr std::size_t kSlcanMaxLine = 1 + 8 + 1 + 16;

class SlcanAdapter {
public:
    struct Output {
        std::string reply;                 // to the host
        std::vector<sim::CanFrame> frames;  // to the bus
        std::vector<const char*> dropped;  // one phrase per refused line
        bool closed = false;                // a C: what the host has not read yet is not for it
    };

    // Takes bytes from the host in any pieces.
    void feed(const char* bytes, std::size_t n, Output* out);
    // The line that shows the host a frame from the bus; empty while the channel is closed.
    std::string frameLine(const sim::CanFrame& frame) const;
    bool isOpen() const { return open_; }
    // As after power-up: closed, no partial line (the host went away).
    void reset();

private:
    void line(Output* out);

    std::string line_;
    bool overlong_ = false;
    bool open_ = false;
};

}  // namespace sitl
