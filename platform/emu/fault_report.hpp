#pragma once
// What the core knew when a run stopped at a breakpoint or fault.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu {

struct FaultReport {
    std::string what;  // "bkpt #7", "read of 4 bytes at 0x30000000: nothing mapped", ...
    uint32_t pc = 0;
    std::string function;  // holding pc
    std::array<uint32_t, 16> r{};
    uint32_t xpsr = 0;
    uint32_t msp = 0;
    uint32_t psp = 0;
    uint32_t control = 0;
    uint32_t primask = 0;
    uint32_t basepri = 0;
    // Inside a handler: its exception number and stacked R0-R3, R12, LR, return address, xPSR.
    unsigned exception = 0;
    std::optional<std::array<uint32_t, 8>> frame;
    std::vector<uint32_t> recent;  // addresses of the last instructions run, oldest first

    std::string text() const;
};

}  // namespace emu

namespace emu {
// "0x0800abcd", as addresses appear in messages.
std::string hex(uint32_t value);
}  // namespace emu
