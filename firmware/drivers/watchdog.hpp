#pragma once
// The independent watchdog, clocked by the LSI (32 kHz typical, 17 to 47 kHz over parts and temperature):
// once started it cannot be stopped, and a main loop that stops refreshing it has the chip reset. Its
// period is short enough that a hung node's outputs stop within about 250 ms even on the slowest LSI, and
// long enough for the longest pass with margin; an erase, which stalls the chip for up to two seconds, runs
// under a longer one. Also what reset the chip, read once at start-up.

#include <cstdint>

// 125 ms at 32 kHz: 85 ms on the fastest LSI, 235 ms on the slowest.
inline constexpr uint32_t kWatchdogPrescaler = 1U;  // /8: 0.25 ms per count
inline constexpr uint32_t kWatchdogReload = 499U;
// 4.1 s at 32 kHz, 2.8 s on the fastest LSI: above a 128 KB erase's 2 s maximum.
inline constexpr uint32_t kWatchdogErasePrescaler = 4U;  // /64: 2 ms per count
inline constexpr uint32_t kWatchdogEraseReload = 2047U;
// How long after a reset by the watchdog the node reports it (health WARNING).
inline constexpr uint32_t kWatchdogWarningMs = 60000U;

enum class ResetCause : uint8_t { PowerOn, Pin, Software, Watchdog, WindowWatchdog, LowPower };

// Reads and clears the reset flags (so that the next start sees only its own reset), then starts the
// watchdog with its normal period. Call first thing at start-up; from then on the main loop must refresh it.
void watchdogStart();
// The same without reading or clearing the flags: the bootloader's, which leaves them to the application.
void watchdogStartKeepingCause();
void watchdogRefresh();
// Around an operation that stalls the chip for seconds (a sector erase): the long period, then the normal
// one again, each counted from the call. Nothing while the watchdog has not been started.
void watchdogLengthen();
void watchdogRestore();

// What reset the chip before this start (read by watchdogStart), and its name for the console.
ResetCause resetCause();
const char* resetCauseName(ResetCause cause);
// Writes "reset cause: NAME" on the console, unless the chip just powered on. After InitSerial.
void reportResetCause();
// A reset by the watchdog, less than kWatchdogWarningMs of uptime ago. The uptime in 64 bits: the 32-bit
// tick would say "recently" again for a minute after its wrap.
bool resetByWatchdogRecently(uint64_t uptimeMs);
