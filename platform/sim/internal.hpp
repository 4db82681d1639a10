#pragma once
// Inside the simulator: how the models meet the scheduler, the interrupt controller and each other.

#include <cstdint>

#include "platform/sim/model.hpp"
#include "platform/sim/sim.hpp"

namespace sim {

// A model with work scheduled in virtual time (a frame ending on the bus, a character on the line).
class Timed {
public:
    // Earliest pending event, UINT64_MAX if none.
    virtual uint64_t nextEventNs() const = 0;
    // Runs every event due at nowNs (the scheduler calls it at exactly nextEventNs()).
    virtual void runEvents(uint64_t nowNs) = 0;

protected:
    ~Timed() = default;
};
void registerTimed(Timed* timed);

// The level of a peripheral's interrupt line; the interrupt controller dispatches an enabled line while
// its level is high (the source stays raised until the handler clears it, as on the chip).
void setIrqLevel(IRQn_Type irq, bool level);
// SysTick's exception request (edge: latched until dispatched).
void pendSysTick();
// The core stands still until virtual time reaches ns (a fetch from flash while it is busy): model events
// run, no interrupt handler is called, pending requests wait.
void stallCore(uint64_t ns);
void setCoreStalled(bool stalled);
// The chip was reset while the firmware call still runs (the watchdog): nothing reaches the flash any more
// until the power cycle that follows.
void flashHoldUntilPowerCycle();
// A reset other than a power-on (the core's request, the watchdog): the runner acts on the request, and the
// power cycle it makes keeps RCC_CSR's reset flags and adds this one (RCC_CSR_SFTRSTF, RCC_CSR_IWDGRSTF).
void requestChipReset(uint32_t csrFlag);
void setSystemResetRequested();
// Whether the independent watchdog runs (it forces the LSI on).
bool iwdgRunning();
// Clears the interrupt controller's state (part of reset()).
void resetInterruptController();

// The models, created on first use and reset to power-on by reset().
Peripheral& nvicModel();
Peripheral& scbModel();
Peripheral& sysTickModel();
Peripheral& rccModel();
Peripheral& pwrModel();
Peripheral& gpioModel(unsigned index);
Peripheral& usart2Model();
Peripheral& canModel(unsigned index);
Peripheral& timModel(unsigned index);  // 0 TIM2, 1 TIM5
Peripheral& flashInterfaceModel();
Peripheral& flashMemoryModel();
Peripheral& uidModel();
Peripheral& iwdgModel();
void resetCanBuses();
void ensureModels();

// The timers' output pins depend on the GPIO set-up and the clocks: the GPIO and RCC models call this when
// those change, the timers when they do. Reports changed outputs to the observer at `ns`.
void refreshPwmOutputs(uint64_t ns);
// Takes the outputs as they are after a reset as known, without reporting them.
void resetPwmOutputs();

// Clock gating from the RCC model.
inline bool ahb1Enabled(uint32_t mask) { return ahb1Clock(mask).open(); }
inline bool apb1Enabled(uint32_t mask) { return apb1Clock(mask).open(); }

// Splits a multiplication of a time by a frequency so that it does not overflow 64 bits.
inline uint64_t cyclesIn(uint64_t ns, uint64_t hz)
{
    return (ns / 1000000000U) * hz + (ns % 1000000000U) * hz / 1000000000U;
}
// Nanoseconds for `cycles` clock cycles, rounded up.
inline uint64_t nsFor(uint64_t cycles, uint64_t hz)
{
    return (cycles / hz) * 1000000000U + ((cycles % hz) * 1000000000U + hz - 1U) / hz;
}

// Stops the run with a message: a model found the firmware (or a test) doing something impossible.
[[noreturn]] void simFatal(const char* message, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim
