// The simulator's heart: virtual time, the scheduler that runs model events in time order, power-on
// reset of every model, the relax hook, and the chip-specific peripheral-library calls.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/sim/internal.hpp"
#include "platform/sim/sim_flash.hpp"

namespace sim {

namespace {

constexpr std::size_t kMaxTimed = 16;
Timed* g_timed[kMaxTimed];
std::size_t g_timedCount = 0;

uint64_t g_nowNs = 0;
uint32_t g_uid[3] = {0x00200041U, 0x31345105U, 0x39383337U};

constexpr uint64_t kDefaultRelaxLimit = 20000000U;  // 20 s of spinning
uint64_t g_relaxLimit = kDefaultRelaxLimit;
uint64_t g_relaxCalls = 0;
int g_advanceDepth = 0;

uint64_t nextEvent()
{
    uint64_t next = UINT64_MAX;
    for (std::size_t i = 0; i < g_timedCount; ++i) {
        const uint64_t t = g_timed[i]->nextEventNs();
        if (t < next) {
            next = t;
        }
    }
    return next;
}

void advanceTo(uint64_t targetNs)
{
    ensureModels();
    ++g_advanceDepth;
    serviceInterrupts();
    for (;;) {
        const uint64_t next = nextEvent();
        if (next > targetNs) {
            break;
        }
        if (next > g_nowNs) {
            g_nowNs = next;
        }
        for (std::size_t i = 0; i < g_timedCount; ++i) {
            if (g_timed[i]->nextEventNs() <= g_nowNs) {
                g_timed[i]->runEvents(g_nowNs);
            }
        }
        serviceInterrupts();
    }
    if (targetNs > g_nowNs) {
        g_nowNs = targetNs;
    }
    serviceInterrupts();
    --g_advanceDepth;
}

}  // namespace

void registerTimed(Timed* timed)
{
    if (g_timedCount == kMaxTimed) {
        simFatal("more than %u timed models: raise kMaxTimed", static_cast<unsigned>(kMaxTimed));
    }
    g_timed[g_timedCount++] = timed;
}

void ensureModels()
{
    static const bool created = [] {
        nvicModel();
        scbModel();
        sysTickModel();
        rccModel();
        pwrModel();
        for (unsigned i = 0; i < 6; ++i) {
            gpioModel(i);
        }
        usart2Model();
        for (unsigned i = 0; i < 3; ++i) {
            canModel(i);
        }
        timModel(0);
        timModel(1);
        flashInterfaceModel();
        flashMemoryModel();
        uidModel();
        iwdgModel();
        return true;
    }();
    (void)created;
}

void reset()
{
    ensureModels();
    g_nowNs = 0;
    g_relaxLimit = kDefaultRelaxLimit;
    g_relaxCalls = 0;
    resetCanBuses();
    usart2ClearSent();  // what left the serial line, like the buses' logs, outlives a power cycle
    powerCycle();
    registers.rcc.CSR.poke(RCC_CSR_POWER_ON);  // whatever reset was requested before
}

void powerCycle()
{
    ensureModels();
    resetInterruptController();
    nvicModel().reset();
    scbModel().reset();
    sysTickModel().reset();
    rccModel().reset();
    pwrModel().reset();
    for (unsigned i = 0; i < 6; ++i) {
        gpioModel(i).reset();
    }
    usart2Model().reset();
    for (unsigned i = 0; i < 3; ++i) {
        canModel(i).reset();
    }
    timModel(0).reset();
    timModel(1).reset();
    iwdgModel().reset();
    resetPwmOutputs();
    flashPowerCycle();  // flash keeps its content through a power-on; its interface starts locked
    resetInterruptController();  // models may have raised lines while resetting
}

uint64_t nowNs() { return g_nowNs; }
uint64_t nextEventNs() { return nextEvent(); }
uint64_t nowUs() { return g_nowNs / 1000U; }

void advanceNs(uint64_t ns)
{
    if (g_advanceDepth == 0) {
        g_relaxCalls = 0;  // time driven from outside: whatever spins is not stuck
    }
    advanceTo(g_nowNs + ns);
}

void advanceUs(uint64_t us) { advanceNs(us * 1000U); }

void advanceQuietNs(uint64_t ns) { g_nowNs += ns; }

void relax() { relaxUs(1); }

void relaxUs(uint64_t us)
{
    if (g_relaxCalls + us > g_relaxLimit) {
        simFatal("a busy-wait spun %llu us of virtual time without the awaited condition: "
                 "is a model missing its clock, or a switch set that makes it never respond?",
                 static_cast<unsigned long long>(g_relaxCalls));
    }
    g_relaxCalls += us;
    advanceTo(g_nowNs + us * 1000U);
}

void setRelaxLimit(uint64_t us) { g_relaxLimit = us; }

void stallCore(uint64_t ns)
{
    if (ns > g_nowNs) {
        setCoreStalled(true);
        advanceTo(ns);
        setCoreStalled(false);
    }
}


void setUniqueId(uint32_t word0, uint32_t word1, uint32_t word2)
{
    g_uid[0] = word0;
    g_uid[1] = word1;
    g_uid[2] = word2;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose; the format attribute has the compiler check it
[[noreturn]] void simFatal(const char* message, ...)
{
    std::fprintf(stderr, "sim: ");
    va_list args;
    va_start(args, message);
    std::vfprintf(stderr, message, args);
    va_end(args);
    std::fprintf(stderr, " (at t=%llu ns)\n", static_cast<unsigned long long>(g_nowNs));
    std::abort();
}

namespace {

// The unique ID in system memory: read-only, the same through every reset.
class UidModel final : public Peripheral {
public:
    UidModel() : Peripheral("unique ID", &registers.uid, sizeof(UID_TypeDef)) {}
    uint32_t read(uint32_t offset, unsigned width) override
    {
        const uint32_t word = g_uid[offset / 4U] >> (8U * (offset % 4U));
        return width == 4U ? word : word & ((1U << (8U * width)) - 1U);
    }
    void write(uint32_t offset, uint32_t, unsigned) override
    {
        simFatal("write to the unique ID at offset %u: system memory is read-only", offset);
    }
    void reset() override {}
};

}  // namespace

Peripheral& uidModel()
{
    static UidModel model;
    return model;
}

// Power-on state before main(): a program (or test) that never calls reset() still starts from a chip
// as it comes out of reset.
namespace {
const bool g_poweredOn = [] {
    reset();
    return true;
}();
}  // namespace

}  // namespace sim
