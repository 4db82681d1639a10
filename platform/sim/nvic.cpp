// The core peripherals of the simulated Cortex-M4: the interrupt controller (enable, pending and
// priority registers, dispatch to the firmware's handlers at safe points), the SCB (priority grouping,
// exception priorities, reset request) and the SysTick timer running from HCLK in virtual time.
#include <bit>
#include <cstdio>

#include "platform/sim/internal.hpp"

namespace sim {

namespace {

constexpr int kLines = DEVICE_IRQ_COUNT;
constexpr int kLineWords = (kLines + 31) / 32;
constexpr int kCoreExceptions = 16;

// The firmware's handlers by exception number, as the chip's vector table holds them; kept across reset().
InterruptHandler g_handlers[kCoreExceptions + kLines];
// Set when a core of its own (the emulated image) takes the exceptions; then the host calls no handler.
bool g_coreTakesExceptions = false;
bool g_coreStalled = false;

// Vector names of the lines the node's peripherals can raise, for the message when one has no handler.
const char* vectorName(int irq)
{
    switch (irq) {
    case SysTick_IRQn: return "SysTick_Handler";
#define STM32F4_IRQ_NAME(name, number) \
    case name##_IRQn: return #name "_IRQHandler";
        STM32F4_INTERRUPT_LINES(STM32F4_IRQ_NAME)
#undef STM32F4_IRQ_NAME
    default: return "an unnamed vector";
    }
}

struct ControllerState {
    bool enabled[kLines];
    bool latched[kLines];  // pending by software (ISPR, STIR) or an edge
    bool level[kLines];    // raised by the peripheral
    uint64_t dispatched[kLines];
    uint32_t requesting[kLineWords];  // lines enabled and pending, a bit each
    bool sysTickPending;
    uint64_t sysTickDispatched;
    bool masked;
    bool inHandler;
    bool resetRequested;
    uint64_t entriesAtThisInstant;
    uint64_t instantNs;
};
ControllerState g_irq{};

// Dispatch more often than this at one instant of virtual time means a handler never clears its source.
constexpr uint64_t kStormLimit = 100000U;

bool linePending(int irq) { return g_irq.latched[irq] || g_irq.level[irq]; }
bool requesting(int irq) { return g_irq.enabled[irq] && linePending(irq); }

// Sets one of a line's flags, keeping the set of lines that request their handler, so that a core
// asking at every instruction block learns "nothing" at once and a dispatch looks at those lines only.
void setFlag(bool (&flags)[kLines], int irq, bool value)
{
    flags[irq] = value;
    const auto line = static_cast<unsigned>(irq);
    const uint32_t bit = 1U << (line % 32U);
    uint32_t& word = g_irq.requesting[line / 32U];
    word = requesting(irq) ? word | bit : word & ~bit;
}

// Whether anything requests its handler: the usual answer, no, is asked between every two passes and,
// by a core of its own, at every instruction block.
bool anyRequest()
{
    uint32_t any = 0;
    for (const uint32_t word : g_irq.requesting) {
        any |= word;
    }
    return any != 0U || g_irq.sysTickPending;
}

// ---------------------------------------------------------------------------------------------------------
class NvicModel final : public Peripheral {
public:
    NvicModel() : Peripheral("NVIC", &registers.nvic, sizeof(NVIC_Type)) {}

    uint32_t read(uint32_t offset, unsigned width) override
    {
        const int group = static_cast<int>(offset / 0x80U);  // ISER, ICER, ISPR, ICPR, IABR at 0x80 strides
        if (offset < 0x280U && width == 4U && (offset % 0x80U) < 0x20U) {
            const int word = static_cast<int>((offset % 0x80U) / 4U);
            uint32_t bits = 0;
            for (int b = 0; b < 32; ++b) {
                const int irq = word * 32 + b;
                if (irq >= kLines) {
                    break;
                }
                bool on = false;
                switch (group) {
                case 0: case 1: on = g_irq.enabled[irq]; break;
                case 2: case 3: on = linePending(irq); break;
                case 4: on = false; break;  // nothing is active between firmware steps
                default: break;
                }
                bits |= on ? (1U << b) : 0U;
            }
            return bits;
        }
        return stored(offset, width);
    }

    void write(uint32_t offset, uint32_t value, unsigned width) override
    {
        if (offset < 0x200U && width == 4U && (offset % 0x80U) < 0x20U) {
            const int group = static_cast<int>(offset / 0x80U);
            const int word = static_cast<int>((offset % 0x80U) / 4U);
            for (int b = 0; b < 32; ++b) {
                const int irq = word * 32 + b;
                if ((value & (1U << b)) == 0U || irq >= kLines) {
                    continue;
                }
                switch (group) {
                case 0: setFlag(g_irq.enabled, irq, true); break;
                case 1: setFlag(g_irq.enabled, irq, false); break;
                case 2: setFlag(g_irq.latched, irq, true); break;
                case 3: setFlag(g_irq.latched, irq, false); break;
                default: break;
                }
            }
            return;
        }
        if (offset == 0xE00U) {  // STIR
            if (value < static_cast<uint32_t>(kLines)) {
                setFlag(g_irq.latched, static_cast<int>(value), true);
            }
            return;
        }
        if (offset >= 0x300U && offset < 0x300U + 240U) {
            // Only the upper four bits of a priority byte exist.
            const uint32_t mask = width == 1U ? 0xF0U : 0xF0F0F0F0U;
            store(offset, value & mask, width);
            return;
        }
        // IABR and the reserved space: read-only.
    }

    void reset() override { clearBlock(); }
};

class ScbModel final : public Peripheral {
public:
    ScbModel() : Peripheral("SCB", &registers.scb, sizeof(SCB_Type)) {}

    uint32_t read(uint32_t offset, unsigned width) override
    {
        if (offset == offsetof(SCB_Type, AIRCR)) {
            return (0xFA05U << SCB_AIRCR_VECTKEY_Pos) | (stored(offset, 4) & SCB_AIRCR_PRIGROUP);
        }
        return stored(offset, width);
    }

    void write(uint32_t offset, uint32_t value, unsigned width) override
    {
        if (offset == offsetof(SCB_Type, AIRCR)) {
            // Ignored without the key, as on the core.
            if ((value & SCB_AIRCR_VECTKEY) != SCB_AIRCR_VECTKEY_WRITE) {
                return;
            }
            store(offset, value & SCB_AIRCR_PRIGROUP, 4);
            if ((value & SCB_AIRCR_SYSRESETREQ) != 0U) {
                requestChipReset(RCC_CSR_SFTRSTF);
            }
            return;
        }
        if (offset >= offsetof(SCB_Type, SHP) && offset < offsetof(SCB_Type, SHP) + 12U) {
            const uint32_t mask = width == 1U ? 0xF0U : 0xF0F0F0F0U;
            store(offset, value & mask, width);
            return;
        }
        if (offset == offsetof(SCB_Type, CPUID)) {
            return;
        }
        store(offset, value, width);
    }

    void reset() override
    {
        clearBlock();
        registers.scb.CPUID.poke(0x410FC241U);  // Cortex-M4 r0p1
    }
};

// SysTick: a 24-bit down-counter at HCLK (or HCLK/8), reloaded from LOAD when it reaches zero.
class SysTickModel final : public Peripheral, public Timed {
public:
    SysTickModel() : Peripheral("SysTick", &registers.systick, sizeof(SysTick_Type)) { registerTimed(this); }

    uint32_t read(uint32_t offset, unsigned width) override
    {
        catchUp(nowNs());
        if (offset == offsetof(SysTick_Type, CTRL)) {
            const uint32_t v = stored(offset, 4);
            store(offset, v & ~SysTick_CTRL_COUNTFLAG_Msk, 4);  // cleared by reading
            return v;
        }
        if (offset == offsetof(SysTick_Type, VAL)) {
            return currentValue(nowNs());
        }
        return stored(offset, width);
    }

    void write(uint32_t offset, uint32_t value, unsigned width) override
    {
        const uint64_t now = nowNs();
        catchUp(now);
        if (offset == offsetof(SysTick_Type, CTRL)) {
            const uint32_t old = stored(offset, 4);
            const uint32_t kept = old & SysTick_CTRL_COUNTFLAG_Msk;
            const uint32_t v = (value & (SysTick_CTRL_ENABLE_Msk | SysTick_CTRL_TICKINT_Msk |
                                         SysTick_CTRL_CLKSOURCE_Msk)) | kept;
            const uint32_t count = currentValue(now);
            store(offset, v, 4);
            anchor(now, count);
        } else if (offset == offsetof(SysTick_Type, LOAD)) {
            store(offset, value & SysTick_LOAD_RELOAD_Msk, 4);
        } else if (offset == offsetof(SysTick_Type, VAL)) {
            // Any write clears the counter and COUNTFLAG.
            registers.systick.CTRL.poke(registers.systick.CTRL.peek() & ~SysTick_CTRL_COUNTFLAG_Msk);
            anchor(now, 0);
        } else if (offset == offsetof(SysTick_Type, CALIB)) {
            // read-only
        } else {
            store(offset, value, width);
        }
    }

    void reset() override
    {
        clearBlock();
        registers.systick.CALIB.poke(0x40000000U | (kNodeClocks.hclk / 8U / 100U));  // SKEW, 10 ms at HCLK/8
        anchor(0, 0);
    }

    uint64_t nextEventNs() const override
    {
        if (!running()) {
            return UINT64_MAX;
        }
        return nextZeroNs_;
    }

    void runEvents(uint64_t nowNs) override { catchUp(nowNs); }

private:
    bool running() const { return (registers.systick.CTRL.peek() & SysTick_CTRL_ENABLE_Msk) != 0U; }
    uint64_t hz() const
    {
        const uint64_t hclk = clocks().hclk;
        return (registers.systick.CTRL.peek() & SysTick_CTRL_CLKSOURCE_Msk) != 0U ? hclk : hclk / 8U;
    }
    uint32_t reload() const { return registers.systick.LOAD.peek() & SysTick_LOAD_RELOAD_Msk; }

    // The counter holds `count` at time `at`; a count of 0 reloads at the next cycle.
    void anchor(uint64_t at, uint32_t count)
    {
        anchorNs_ = at;
        anchorCount_ = count;
        const uint64_t cyclesToZero = count == 0U ? static_cast<uint64_t>(reload()) + 1U : count;
        nextZeroNs_ = running() && hz() != 0U ? at + nsFor(cyclesToZero, hz()) : UINT64_MAX;
        if (running() && reload() == 0U && count == 0U) {
            nextZeroNs_ = UINT64_MAX;  // LOAD 0: the counter stops at zero
        }
    }

    uint32_t currentValue(uint64_t now) const
    {
        if (!running() || hz() == 0U) {
            return anchorCount_;
        }
        const uint64_t elapsed = cyclesIn(now - anchorNs_, hz());
        const uint64_t period = static_cast<uint64_t>(reload()) + 1U;
        if (anchorCount_ != 0U && elapsed <= anchorCount_) {
            return static_cast<uint32_t>(anchorCount_ - elapsed);
        }
        const uint64_t sinceFirstZero = anchorCount_ == 0U ? elapsed : elapsed - anchorCount_;
        const uint64_t phase = sinceFirstZero % period;
        return phase == 0U ? 0U : static_cast<uint32_t>(period - phase);
    }

    // Every zero crossing up to `now` sets COUNTFLAG and, with TICKINT, requests the exception; the
    // counter reloads at the next cycle and reaches zero again LOAD + 1 cycles after the last zero.
    void catchUp(uint64_t now)
    {
        while (running() && nextZeroNs_ <= now) {
            registers.systick.CTRL.poke(registers.systick.CTRL.peek() | SysTick_CTRL_COUNTFLAG_Msk);
            if ((registers.systick.CTRL.peek() & SysTick_CTRL_TICKINT_Msk) != 0U) {
                pendSysTick();
            }
            anchor(nextZeroNs_, 0);
        }
    }

    uint64_t anchorNs_ = 0;
    uint32_t anchorCount_ = 0;
    uint64_t nextZeroNs_ = UINT64_MAX;
};

int priorityOf(int irq)
{
    if (irq < 0) {
        return registers.scb.SHP[(static_cast<uint32_t>(irq) & 0xFU) - 4U].peek() >> 4;
    }
    return registers.nvic.IP[irq].peek() >> 4;
}

}  // namespace

Peripheral& nvicModel()
{
    static NvicModel model;
    return model;
}

Peripheral& scbModel()
{
    static ScbModel model;
    return model;
}

Peripheral& sysTickModel()
{
    static SysTickModel model;
    return model;
}

void setIrqLevel(IRQn_Type irq, bool level)
{
    if (irq >= 0 && irq < kLines) {
        setFlag(g_irq.level, irq, level);
    }
}

void pendSysTick() { g_irq.sysTickPending = true; }

void resetInterruptController()
{
    g_irq = ControllerState{};
}

void setInterruptsMasked(bool masked)
{
    g_irq.masked = masked;
}

bool irqEnabled(IRQn_Type irq) { return irq >= 0 && irq < kLines && g_irq.enabled[irq]; }

bool irqPending(IRQn_Type irq)
{
    if (irq == SysTick_IRQn) {
        return g_irq.sysTickPending;
    }
    return irq >= 0 && irq < kLines && linePending(irq);
}

uint64_t irqDispatchCount(IRQn_Type irq)
{
    if (irq == SysTick_IRQn) {
        return g_irq.sysTickDispatched;
    }
    return irq >= 0 && irq < kLines ? g_irq.dispatched[irq] : 0U;
}

bool systemResetRequested() { return g_irq.resetRequested; }
void setSystemResetRequested() { g_irq.resetRequested = true; }

void setInterruptHandlers(const InterruptVector* vectors, std::size_t count)
{
    for (InterruptHandler& h : g_handlers) {
        h = nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const int exception = vectors[i].irq + kCoreExceptions;
        if (exception < 2 || exception >= kCoreExceptions + kLines) {
            simFatal("handler listed for exception %d, which the chip does not have", exception);
        }
        g_handlers[exception] = vectors[i].handler;
    }
}

bool pendingException(ExceptionRequest* out)
{
    if (!anyRequest()) {
        return false;
    }
    // The most urgent pending request: lowest priority value, then lowest exception number.
    int best = kLines;  // none
    int bestPriority = 1 << 8;
    if (g_irq.sysTickPending) {
        best = SysTick_IRQn;
        bestPriority = priorityOf(SysTick_IRQn);
    }
    for (int w = 0; w < kLineWords; ++w) {
        for (uint32_t rest = g_irq.requesting[w]; rest != 0U; rest &= rest - 1U) {
            const int irq = w * 32 + std::countr_zero(rest);
            if (priorityOf(irq) < bestPriority) {
                best = irq;
                bestPriority = priorityOf(irq);
            }
        }
    }
    if (best == kLines) {
        return false;
    }
    *out = {best, static_cast<uint8_t>(bestPriority << 4)};
    return true;
}

void acknowledgeException(int irq)
{
    if (g_irq.instantNs != nowNs()) {
        g_irq.instantNs = nowNs();
        g_irq.entriesAtThisInstant = 0;
    }
    if (++g_irq.entriesAtThisInstant > kStormLimit) {
        simFatal("interrupt %d entered %llu times without time passing: its handler never clears the request", irq,
                 static_cast<unsigned long long>(kStormLimit));
    }
    if (irq == SysTick_IRQn) {
        g_irq.sysTickPending = false;
        ++g_irq.sysTickDispatched;
    } else if (irq >= 0 && irq < kLines) {
        setFlag(g_irq.latched, irq, false);  // a raised level stays until its source clears it
        ++g_irq.dispatched[irq];
    }
}

void setCoreTakesExceptions(bool core) { g_coreTakesExceptions = core; }
void setCoreStalled(bool stalled) { g_coreStalled = stalled; }

void serviceInterrupts()
{
    if (g_coreTakesExceptions || g_coreStalled || g_irq.inHandler || g_irq.masked) {
        return;  // handlers do not nest here; the node's handlers share one priority anyway
    }
    if (!anyRequest()) {
        return;
    }
    ExceptionRequest request{};
    while (pendingException(&request)) {
        const InterruptHandler handler = g_handlers[request.irq + kCoreExceptions];
        if (handler == nullptr) {
            // On the chip the default handler would spin: the node is dead.
            simFatal("interrupt %d dispatched to %s, but no such handler is installed", request.irq,
                     vectorName(request.irq));
        }
        acknowledgeException(request.irq);
        g_irq.inHandler = true;
        handler();
        g_irq.inHandler = false;
    }
}

}  // namespace sim
