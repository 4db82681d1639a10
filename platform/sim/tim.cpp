// TIM2 and TIM5 as PWM generators: a 32-bit up-counter in virtual time (prescaler, auto-reload with or
// without preload, counter read and write, the update event and its software trigger), compare registers
// with their preload (a new value takes effect at the next update event), and per channel the PWM modes,
// forced levels, polarity and enable. What the outside sees is each output pin's frame length and pulse
// width, from the timer channel the pin's alternate function selects; every change is reported at the
// virtual time it happens on the pin.
//
// Not modelled (the node uses none of them, and the model stops when firmware asks for them): down and
// centre-aligned counting, one-pulse mode, disabled update events. Status flags other than the update flag,
// interrupts, DMA, input capture and slave modes are plain storage.
#include "platform/sim/internal.hpp"

namespace sim {

namespace {
CompareObserver g_compareObserver;
}  // namespace

namespace {

constexpr uint64_t kCounterSpan = 1ULL << 32;  // TIM2 and TIM5 count in 32 bits
constexpr unsigned kChannels = 4;
constexpr uint32_t kOcModePwm1 = 6;
constexpr uint32_t kOcModePwm2 = 7;
constexpr uint32_t kOcModeForceLow = 4;
constexpr uint32_t kOcModeForceHigh = 5;

uint32_t timerClockHz()
{
    // APB1 timers run at twice the bus clock when the bus is divided (TIMPRE clear), at HCLK with TIMPRE
    // set and a divider of at most 4.
    const Clocks c = clocks();
    if (c.pclk1 == 0U || c.hclk == 0U) {
        return 0;
    }
    const uint32_t divider = c.hclk / c.pclk1;
    if ((registers.rcc.DCKCFGR.peek() & RCC_DCKCFGR_TIMPRE) != 0U) {
        return divider <= 4U ? c.hclk : 4U * c.pclk1;
    }
    return divider <= 1U ? c.pclk1 : 2U * c.pclk1;
}

class TimModel final : public Peripheral, public Timed {
public:
    TimModel(const char* name, TIM_TypeDef* block, uint32_t enableBit)
        : Peripheral(name, block, sizeof(TIM_TypeDef), apb1Clock(enableBit)), block_(block)
    {
        registerTimed(this);
    }


    uint32_t read(uint32_t offset, unsigned width) override
    {
        if (offset == offsetof(TIM_TypeDef, CNT)) {
            return countAt(nowNs());
        }
        if (offset == offsetof(TIM_TypeDef, EGR)) {
            return 0;  // write-only
        }
        return stored(offset, width);
    }

    void write(uint32_t offset, uint32_t value, unsigned width) override
    {
        const uint64_t now = nowNs();
        if (offset == offsetof(TIM_TypeDef, CR1)) {
            if ((value & (TIM_CR1_DIR | TIM_CR1_CMS | TIM_CR1_OPM | TIM_CR1_UDIS)) != 0U) {
                simFatal("%s: down, centre-aligned and one-pulse counting and UDIS are not modelled", name());
            }
            const bool enable = (value & TIM_CR1_CEN) != 0U;
            if (running_ && !enable) {
                cnt0_ = countAt(now);  // the counter keeps its value while stopped
                running_ = false;
            } else if (!running_ && enable) {
                t0_ = now;
                running_ = true;
            }
            store(offset, value & 0x3FFU, 4);
        } else if (offset == offsetof(TIM_TypeDef, CNT)) {
            rebase(now, value);
        } else if (offset == offsetof(TIM_TypeDef, ARR)) {
            store(offset, value, 4);
            if ((regs().CR1.peek() & TIM_CR1_ARPE) == 0U) {
                rebase(now, countAt(now));
                arr_ = value;  // a counter already past it runs on to the 32-bit wrap, as on the chip
            }
        } else if (offset == offsetof(TIM_TypeDef, PSC)) {
            store(offset, value & 0xFFFFU, 4);  // always preloaded
        } else if (offset >= offsetof(TIM_TypeDef, CCR1) && offset <= offsetof(TIM_TypeDef, CCR4)) {
            store(offset, value, 4);
            const unsigned ch = (offset - static_cast<uint32_t>(offsetof(TIM_TypeDef, CCR1))) / 4U;
            if (g_compareObserver != nullptr) {
                g_compareObserver(&regs(), ch + 1U, value, now);
            }
            if (!comparePreloaded(ch)) {
                ccr_[ch] = value;
            }
        } else if (offset == offsetof(TIM_TypeDef, EGR)) {
            if ((value & TIM_EGR_UG) != 0U) {
                updateEvent(now, true);
            }
        } else if (offset == offsetof(TIM_TypeDef, SR)) {
            regs().SR.poke(regs().SR.peek() & value);  // flags clear when written 0
        } else {
            store(offset, value, width);
        }
        schedule(now);
        refreshPwmOutputs(now);
    }

    void reset() override
    {
        clearBlock();
        running_ = false;
        t0_ = 0;
        cnt0_ = 0;
        psc_ = 0;
        arr_ = 0;
        for (uint32_t& c : ccr_) {
            c = 0;
        }
        scheduledNs_ = UINT64_MAX;
    }

    uint64_t nextEventNs() const override { return scheduledNs_; }

    void runEvents(uint64_t now) override
    {
        while (scheduledNs_ <= now) {
            const uint64_t at = scheduledNs_;
            updateEvent(at, false);
            schedule(at);
            refreshPwmOutputs(at);
        }
    }

    // One channel's waveform as the timer produces it (before the pin's routing).
    PwmOutput channelOutput(unsigned channel) const
    {
        const unsigned ch = channel - 1U;
        const uint32_t ccer = regs().CCER.peek() >> (4U * ch);
        const uint64_t hz = timerClockHz();
        if (!running_ || !clocked() || (ccer & TIM_CCER_CC1E) == 0U || hz == 0U || cnt0_ > arr_) {
            return {};  // stopped, off, or counting past the period towards the wrap: no frames
        }
        const uint32_t ccmr = (ch < 2U ? regs().CCMR1.peek() : regs().CCMR2.peek()) >> (8U * (ch & 1U));
        const uint32_t mode = (ccmr & TIM_CCMR1_OC1M) >> TIM_CCMR1_OC1M_Pos;
        const uint64_t frame = static_cast<uint64_t>(arr_) + 1U;
        const uint64_t compare = ccr_[ch] < frame ? ccr_[ch] : frame;
        uint64_t high = 0;
        switch (mode) {
        case kOcModePwm1: high = compare; break;           // high while the count is below the compare
        case kOcModePwm2: high = frame - compare; break;   // low while below
        case kOcModeForceHigh: high = frame; break;
        case kOcModeForceLow: high = 0; break;
        default: return {};  // frozen and match modes: no pulse train the outputs could carry
        }
        if ((ccer & TIM_CCER_CC1P) != 0U) {
            high = frame - high;  // active low
        }
        return {ticksToNs(high, hz), ticksToNs(frame, hz)};
    }

private:
    TIM_TypeDef& regs() const { return *block_; }

    bool comparePreloaded(unsigned ch) const
    {
        const uint32_t ccmr = ch < 2U ? regs().CCMR1.peek() : regs().CCMR2.peek();
        return (ccmr & (TIM_CCMR1_OC1PE << (8U * (ch & 1U)))) != 0U;
    }

    uint64_t prescale() const { return static_cast<uint64_t>(psc_) + 1U; }

    uint64_t ticksToNs(uint64_t ticks, uint64_t hz) const
    {
        const unsigned __int128 ns = static_cast<unsigned __int128>(ticks) * prescale() * 1000000000U;
        return static_cast<uint64_t>((ns + hz / 2U) / hz);
    }

    // Counter ticks from the base time to `ns`.
    uint64_t ticksSince(uint64_t ns) const
    {
        const uint64_t hz = timerClockHz();
        return ns <= t0_ || hz == 0U ? 0U : cyclesIn(ns - t0_, hz) / prescale();
    }

    // Ticks from the base to the first update event: the end of the frame, or the 32-bit wrap when the
    // counter is already past the period.
    uint64_t firstUpdateTick() const
    {
        return cnt0_ <= arr_ ? static_cast<uint64_t>(arr_) + 1U - cnt0_ : kCounterSpan - cnt0_;
    }

    uint32_t countAt(uint64_t ns) const
    {
        if (!running_) {
            return cnt0_;
        }
        const uint64_t n = ticksSince(ns);
        const uint64_t first = firstUpdateTick();
        if (n < first) {
            return static_cast<uint32_t>(cnt0_ + n);
        }
        return static_cast<uint32_t>((n - first) % (static_cast<uint64_t>(arr_) + 1U));
    }

    void rebase(uint64_t ns, uint32_t count)
    {
        t0_ = ns;
        cnt0_ = count;
    }

    // The counter restarts at 0 and the preloaded prescaler, period and compares take over. A counter
    // that overflows by itself keeps its base while the count rate and period stay, so that frames keep
    // their exact phase rather than the event times' rounding.
    void updateEvent(uint64_t ns, bool software)
    {
        const uint32_t psc = regs().PSC.peek();
        const uint32_t arr = (regs().CR1.peek() & TIM_CR1_ARPE) != 0U ? regs().ARR.peek() : arr_;
        if (software || psc != psc_ || arr != arr_ || cnt0_ > arr_) {
            rebase(ns, 0);
        }
        psc_ = psc;
        arr_ = arr;
        ccr_[0] = regs().CCR1.peek();
        ccr_[1] = regs().CCR2.peek();
        ccr_[2] = regs().CCR3.peek();
        ccr_[3] = regs().CCR4.peek();
        regs().SR.poke(regs().SR.peek() | TIM_SR_UIF);
    }

    bool preloadPending() const
    {
        if (psc_ != regs().PSC.peek()) {
            return true;
        }
        if ((regs().CR1.peek() & TIM_CR1_ARPE) != 0U && arr_ != regs().ARR.peek()) {
            return true;
        }
        const uint32_t written[kChannels] = {regs().CCR1.peek(), regs().CCR2.peek(), regs().CCR3.peek(),
                                             regs().CCR4.peek()};
        for (unsigned ch = 0; ch < kChannels; ++ch) {
            if (ccr_[ch] != written[ch]) {
                return true;
            }
        }
        return false;
    }

    // An event at the next update is needed while something waits for it: a preloaded value, or the end
    // of a run past the period (where the outputs come back).
    void schedule(uint64_t ns)
    {
        scheduledNs_ = UINT64_MAX;
        const uint64_t hz = timerClockHz();
        if (!running_ || hz == 0U || (!preloadPending() && cnt0_ <= arr_)) {
            return;
        }
        const uint64_t n = ticksSince(ns);
        const uint64_t first = firstUpdateTick();
        const uint64_t frame = static_cast<uint64_t>(arr_) + 1U;
        const uint64_t tick = n < first ? first : first + ((n - first) / frame + 1U) * frame;
        const unsigned __int128 cycles = static_cast<unsigned __int128>(tick) * prescale();
        scheduledNs_ = t0_ + nsFor(static_cast<uint64_t>(cycles), hz);
    }

    TIM_TypeDef* block_;
    bool running_ = false;
    uint64_t t0_ = 0;     // base time ...
    uint32_t cnt0_ = 0;   // ... and the count at it
    uint32_t psc_ = 0;    // values in force (the registers hold the preloaded ones)
    uint32_t arr_ = 0;
    uint32_t ccr_[kChannels] = {};
    uint64_t scheduledNs_ = UINT64_MAX;
};

TimModel& tim2()
{
    static TimModel model("TIM2", &registers.tim2, RCC_APB1Periph_TIM2);
    return model;
}

TimModel& tim5()
{
    static TimModel model("TIM5", &registers.tim5, RCC_APB1Periph_TIM5);
    return model;
}

// The node's six outputs, in output-index order.
struct OutputPin {
    GPIO_TypeDef* port;
    unsigned pin;
    TimModel& (*timer)();
    unsigned channel;
    uint32_t alternate;
};
const OutputPin kOutputPins[kPwmOutputs] = {
    {GPIOA, 0, tim5, 1, GPIO_AF_TIM5}, {GPIOA, 1, tim5, 2, GPIO_AF_TIM5}, {GPIOA, 2, tim5, 3, GPIO_AF_TIM5},
    {GPIOA, 3, tim5, 4, GPIO_AF_TIM5}, {GPIOA, 5, tim2, 1, GPIO_AF_TIM2}, {GPIOB, 10, tim2, 3, GPIO_AF_TIM2},
};

PwmOutput g_reported[kPwmOutputs];
PwmObserver g_pwmObserver;

// Firmware between two safe points takes no time, so a state it leaves within one instant (a timer
// stopped and restarted to change its period) never shows on a pin. Changes are therefore compared and
// reported at the next safe point, with the time they happened.
class PwmPins final : public Timed {
public:
    PwmPins() { registerTimed(this); }

    void mark(uint64_t ns)
    {
        if (!dirty_) {
            dirty_ = true;
            dirtyNs_ = ns;
        }
    }
    void clear() { dirty_ = false; }

    uint64_t nextEventNs() const override { return dirty_ ? dirtyNs_ : UINT64_MAX; }
    void runEvents(uint64_t) override
    {
        dirty_ = false;
        report(dirtyNs_);
    }

private:
    static void report(uint64_t ns);

    bool dirty_ = false;
    uint64_t dirtyNs_ = 0;
};

PwmPins& pins()
{
    static PwmPins model;
    return model;
}

PwmOutput computeOutput(unsigned output)
{
    const OutputPin& p = kOutputPins[output];
    const uint32_t gpioEnable = p.port == GPIOA ? RCC_AHB1Periph_GPIOA : RCC_AHB1Periph_GPIOB;
    if (!ahb1Enabled(gpioEnable) || gpioMode(p.port, p.pin) != GPIO_MODER_AF ||
        gpioAlternate(p.port, p.pin) != p.alternate) {
        return {};  // the pin is not the timer channel's
    }
    return p.timer().channelOutput(p.channel);
}

}  // namespace

Peripheral& timModel(unsigned index)
{
    if (index == 0U) {
        return tim2();
    }
    return tim5();
}

void refreshPwmOutputs(uint64_t ns) { pins().mark(ns); }

void PwmPins::report(uint64_t ns)
{
    for (unsigned i = 0; i < kPwmOutputs; ++i) {
        const PwmOutput now = computeOutput(i);
        if (!(now == g_reported[i])) {
            g_reported[i] = now;
            if (g_pwmObserver != nullptr) {
                g_pwmObserver(i, now, ns);
            }
        }
    }
}

void resetPwmOutputs()
{
    pins().clear();
    for (unsigned i = 0; i < kPwmOutputs; ++i) {
        g_reported[i] = computeOutput(i);
    }
}

uint32_t PwmOutput::pulseUs() const { return periodNs == 0U ? 0U : static_cast<uint32_t>((pulseNs + 500U) / 1000U); }

uint32_t PwmOutput::frameHz() const
{
    return periodNs == 0U ? 0U : static_cast<uint32_t>((1000000000ULL + periodNs / 2U) / periodNs);
}

PwmOutput pwmOutput(unsigned output)
{
    ensureModels();
    if (output >= kPwmOutputs) {
        simFatal("there is no PWM output %u", output);
    }
    return computeOutput(output);
}

void setPwmObserver(PwmObserver observer) { g_pwmObserver = observer; }
void setCompareObserver(CompareObserver observer) { g_compareObserver = observer; }

}  // namespace sim
