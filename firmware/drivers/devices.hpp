#pragma once
// What the node needs from the hardware below it, each behind a small interface: a CAN port, the
// parameter store and the outputs. The chip's drivers are one implementation of each (BxcanPort, NvmStore,
// BoardOutputs); a test's doubles, or a second node's bus in the same process, are another. The drivers keep
// their per-controller configuration and data; these objects only name which controller they drive.

#include <cstdint>

#include "firmware/xport/xport.hpp"

// Counters of one CAN controller.
struct CanPortStats {
    uint64_t rx_overflow_count;  // +1 per hardware FIFO overrun, +1 per frame the software FIFO had no room for
    uint64_t error_count;        // bus errors seen in ESR.LEC
    uint64_t frames_tx;          // frames placed in a transmit mailbox (one aborted and offered again counts again)
    uint64_t frames_rx;          // frames taken from the hardware receive FIFOs
};

// One CAN bus: frames out and in, whether the controller runs, its counters.
class CanPort {
public:
    // At every visit of the port: true while its controller runs; a bring-up its bus held off goes on here.
    virtual bool joinBus() = 0;
    // 1: taken (pop it from the queue); 0: not now, offer the same frame later; negative: refused.
    virtual int transmit(const XportCANFrame& frame) = 0;
    // A frame taken is still waiting for the bus.
    virtual bool transmitPending() = 0;
    // 1: one frame written to frame; 0: none.
    virtual int receive(XportCANFrame& frame) = 0;
    // Not started, error-passive or bus-off: the bus does not carry the node's frames.
    virtual bool busDown() = 0;
    virtual CanPortStats statistics() = 0;

protected:
    CanPort() = default;
    ~CanPort() = default;
    CanPort(const CanPort&) = default;
    CanPort& operator=(const CanPort&) = default;
};

// The parameters' store: one 16-bit variable per parameter row. A sector erase stalls the whole chip for a
// second or more, so the node says when erasing is allowed.
class Store {
public:
    // Brings the store up (formatting it if it must): true when it is up.
    virtual bool start() = 0;
    // The last start formatted the store.
    virtual bool formatted() = 0;
    // Variable idx into value: true. Missing: value, as given, becomes the stored default: false.
    virtual bool get(uint8_t idx, uint16_t& value) = 0;
    // True when the write is kept.
    virtual bool set(uint8_t idx, uint16_t value) = 0;
    // Empties the store, so that the next start finds no variable: true when done.
    virtual bool erase() = 0;
    virtual void allowErase(bool allowed) = 0;
    virtual bool eraseAllowed() = 0;
    // A write now cannot be kept (the store is down, or it would need an erase that is not allowed).
    virtual bool writeRefused() = 0;
    // Once a millisecond: a slice of the store's own upkeep (the check of its spare page) and, once that
    // is done and eraseNow, the spare's erase if it waits.
    virtual void upkeep(bool eraseNow) = 0;

protected:
    Store() = default;
    ~Store() = default;
    Store(const Store&) = default;
    Store& operator=(const Store&) = default;
};

// The node's pins: the six RC-PWM outputs (by output index, 0..5) and the three LEDs.
class Outputs {
public:
    // Compare value in timer ticks (3 per microsecond); 0 keeps the output low.
    virtual void setCompare(uint8_t output, uint32_t compare) = 0;
    // The output's frame rate: 490 Hz for an ESC, else 50 Hz. A new rate starts where the frame under way
    // ends.
    virtual void setFast(uint8_t output, bool fast) = 0;
    // LED1..LED3 from bits 0..2.
    virtual void setLeds(uint8_t lit) = 0;

protected:
    Outputs() = default;
    ~Outputs() = default;
    Outputs(const Outputs&) = default;
    Outputs& operator=(const Outputs&) = default;
};
