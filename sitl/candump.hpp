#pragma once
// Frames in the candump log format: "(SECONDS.MICROS) canN IDHEX#DATAHEX", one per line. An 8-digit
// identifier is a 29-bit extended frame, a 3-digit one a standard frame.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/sim.hpp"

namespace sitl {

struct LoggedFrame {
    uint64_t time_us;
    unsigned port;  // can0 = 0 ...
    sim::CanFrame frame;
};

// Parses a whole log. On a malformed line returns false with the line number and reason in *error.
bool parseCandump(const std::string& text, std::vector<LoggedFrame>* out, std::string* error);
// A log to replay: as parseCandump, and a line stamped before the line above is refused too (its frame
// would reach the bus after frames logged later).
bool parseScript(const std::string& text, std::vector<LoggedFrame>* out, std::string* error);

std::string formatCandump(const LoggedFrame& logged);

}  // namespace sitl
