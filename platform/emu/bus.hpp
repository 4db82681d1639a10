#pragma once
// What the emulated core asks of the chip around it: the memory-mapped peripherals (bus) and the
// interrupt controller (which exception to take next). The peripheral models implement both.

#include <cstdint>
#include <optional>

namespace emu {

// Peripheral space 0x40000000-0x5FFFFFFF, system memory 0x1FFF0000-0x1FFFFFFF, the system control space
// 0xE000E000-0xE000EFFF, and writes into flash (the flash interface programs it). Width is 1, 2 or 4
// bytes. False means nothing answers at that address: the run stops with a fault.
struct Bus {
    virtual bool read(uint32_t addr, unsigned width, uint32_t* value) = 0;
    virtual bool write(uint32_t addr, unsigned width, uint32_t value) = 0;

protected:
    ~Bus() = default;
};

// An exception the core may take: its number (2..15 for the system exceptions, 16 + n for IRQ n) and
// its group priority as the priority registers hold it (0x00 most urgent; sub-priority bits cleared).
struct PendingException {
    unsigned number;
    int priority;
};

struct InterruptSource {
    // The most urgent exception that is enabled and pending, if any. With none, the source may promise
    // that none becomes pending before the core's cycle count reaches `*quietUntil` (which the core sets
    // to 0 before asking) unless the core accesses the bus or takes or returns from an exception: the
    // core does not ask again at block boundaries before then. It asks again after every bus access.
    virtual std::optional<PendingException> highestPending(uint64_t* quietUntil) = 0;
    // The core took it: it is no longer pending but active.
    virtual void acknowledge(unsigned number) = 0;
    // Its handler returned: it is no longer active (a level still raised pends it again).
    virtual void completed(unsigned number) = 0;

protected:
    ~InterruptSource() = default;
};

}  // namespace emu
