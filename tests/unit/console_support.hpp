#pragma once
// The USART2 console as the driver tests use it: the console driver started on a fresh line, and what it
// wrote, read once the last byte has left the line.

#include <cstdint>
#include <string>

#include "firmware/drivers/serial.hpp"
#include "platform/sim/sim.hpp"

namespace consoletest {

// A waiting write returns with its last byte still on the line; this lets it, and some 40 more at
// 230400 Bd, go out.
inline constexpr uint64_t kDrainUs = 2000;

// The console driver from its load-time state, on a line that has sent nothing yet. False when
// InitSerial fails.
inline bool startConsole()
{
    serialColdReset();
    const bool started = InitSerial();
    sim::advanceUs(100);
    sim::usart2ClearSent();
    return started;
}

// Everything written to the console so far.
inline std::string console()
{
    sim::advanceUs(kDrainUs);
    return sim::usart2Sent();
}

inline void clearConsole()
{
    sim::advanceUs(kDrainUs);
    sim::usart2ClearSent();
}

}  // namespace consoletest
