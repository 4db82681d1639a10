#pragma once
// USART2 diagnostic console: text goes through a 1024-byte queue and leaves byte by byte from the
// transmit-complete interrupt; received bytes are kept in a 1024-byte queue that nothing reads yet.

#include <cstddef>
#include <cstdint>

#include "chip.hpp"
#include "firmware/drivers/Que.hpp"

inline constexpr uint16_t TXQLEN = 1024;
inline constexpr uint16_t RXQLEN = 1024;
inline constexpr uint32_t SERIAL_BAUD_RATE = 230400;

extern Q_t TxQ;
extern Q_t RxQ;

// Always true.
bool InitSerial();
// len when the whole text was queued, 0 when it did not fit (nothing queued).
uint16_t SerialTxQ(const uint8_t* Data, uint16_t len);
bool SerialTxQMT();
// As SerialTxQ, but returns only once the transmit queue is empty (the last byte handed to the data
// register, not yet on the wire).
uint16_t SerialTxQWait(const uint8_t* Data, uint16_t len);

// A fixed message to the console, waiting until it is queued; its terminating zero stays behind.
template <std::size_t N>
void consoleText(const char (&text)[N])
{
    SerialTxQWait(reinterpret_cast<const uint8_t*>(text), static_cast<uint16_t>(N - 1U));
}

// The node's log on the buses: a diagnostic waits here until the node sends it (LogMessage). The texts are
// fixed and not copied; at most LOG_QUEUE_LEN wait, and one that finds the queue full is dropped.
inline constexpr uint8_t LOG_INFO = 1;  // the log levels, as LogMessage numbers them
inline constexpr uint8_t LOG_WARNING = 2;
inline constexpr uint8_t LOG_ERROR = 3;
inline constexpr uint8_t LOG_QUEUE_LEN = 8;
struct LogNote {
    uint8_t level;
    const char* source;  // what it is about ("CAN2", "health"), or ""
    const char* text;    // a trailing newline is not sent
};
void logNote(uint8_t level, const char* source, const char* text);
// The oldest waiting, taken off the queue; false when none waits.
bool logTake(LogNote* out);

// A fixed message to the console (as consoleText) that goes into the log too.
void consoleDiagnostic(uint8_t level, const char* source, const char* text);

// Puts the module's RAM back to its load-time value, as a power cycle would.
void serialColdReset();

// Its interrupt handler, USART2_IRQHandler, is declared with all the chip's handlers (chip.hpp).
