// The independent watchdog: a 12-bit down-counter clocked by the LSI through a prescaler. KR takes the keys
// (0xCCCC starts it, for good; 0xAAAA reloads the counter from RLR; 0x5555 opens PR and RLR to writes until
// another key comes); a write of PR or RLR reaches the LSI domain five LSI periods later, SR's PVU or RVU
// showing it on its way; when the counter reaches zero it resets the chip (RCC_CSR.IWDGRSTF). The LSI runs
// at its typical 32 kHz.
#include "platform/sim/internal.hpp"

namespace sim {

namespace {

constexpr uint64_t kNsPerSecond = 1000000000U;
constexpr uint64_t kLsiPeriodNs = kNsPerSecond / LSI_TYPICAL_HZ;
constexpr uint64_t kUpdateNs = 5U * kLsiPeriodNs;
constexpr uint32_t kRlrReset = IWDG_RLR_MAX;

class IwdgModel final : public Peripheral, public Timed {
public:
    IwdgModel() : Peripheral("IWDG", &registers.iwdg, sizeof(IWDG_TypeDef)) { registerTimed(this); }

    uint32_t read(uint32_t offset, unsigned width) override
    {
        settle(nowNs());
        if (offset == offsetof(IWDG_TypeDef, SR)) {
            return (pendingPr_ ? IWDG_SR_PVU : 0U) | (pendingRlr_ ? IWDG_SR_RVU : 0U);
        }
        if (offset == offsetof(IWDG_TypeDef, KR)) {
            return 0;  // write-only
        }
        return stored(offset, width);
    }

    void write(uint32_t offset, uint32_t value, unsigned) override
    {
        const uint64_t now = nowNs();
        settle(now);
        if (offset == offsetof(IWDG_TypeDef, KR)) {
            key(value & 0xFFFFU, now);
            return;
        }
        if (!writable_ || (offset != offsetof(IWDG_TypeDef, PR) && offset != offsetof(IWDG_TypeDef, RLR))) {
            return;  // protected, or read-only
        }
        const bool isPr = offset == offsetof(IWDG_TypeDef, PR);
        store(offset, value & (isPr ? 7U : IWDG_RLR_MAX), 4);
        (isPr ? pendingPr_ : pendingRlr_) = true;
        (isPr ? prDueNs_ : rlrDueNs_) = now + kUpdateNs;
    }

    void reset() override
    {
        clearBlock();
        registers.iwdg.RLR.poke(kRlrReset);
        running_ = false;
        expired_ = false;
        writable_ = false;
        pendingPr_ = pendingRlr_ = false;
        pr_ = 0;
        rlr_ = kRlrReset;
        counter_ = kRlrReset;
        countedFromNs_ = 0;
    }

    uint64_t nextEventNs() const override
    {
        uint64_t next = !running_ ? UINT64_MAX : expired_ ? countedFromNs_ : expiryNs();
        if (pendingPr_ && prDueNs_ < next) {
            next = prDueNs_;
        }
        if (pendingRlr_ && rlrDueNs_ < next) {
            next = rlrDueNs_;
        }
        return next;
    }

    void runEvents(uint64_t now) override
    {
        settle(now);
        if (expired_) {
            expired_ = false;
            running_ = false;  // the chip resets; the watchdog starts stopped
            requestChipReset(RCC_CSR_IWDGRSTF);
            flashHoldUntilPowerCycle();
        }
    }

    bool running() const { return running_; }

private:
    uint64_t tickNs() const { return (uint64_t{4} << (pr_ > IWDG_PR_MAX ? IWDG_PR_MAX : pr_)) * kLsiPeriodNs; }
    // The counter reaches zero, and resets the chip, one tick after it shows 1.
    uint64_t expiryNs() const { return countedFromNs_ + (uint64_t{counter_} + 1U) * tickNs(); }

    // Counts down to `at`, whole ticks only.
    void count(uint64_t at)
    {
        if (!running_ || at <= countedFromNs_) {
            return;
        }
        const uint64_t ticks = (at - countedFromNs_) / tickNs();
        expired_ = expired_ || ticks > counter_;
        counter_ = expired_ ? 0U : counter_ - static_cast<uint32_t>(ticks);
        countedFromNs_ += ticks * tickNs();
    }

    // Updates of PR and RLR that have reached the LSI domain by `now` take effect.
    void settle(uint64_t now)
    {
        if (pendingPr_ && prDueNs_ <= now) {
            count(prDueNs_);
            pendingPr_ = false;
            pr_ = registers.iwdg.PR.peek();
        }
        if (pendingRlr_ && rlrDueNs_ <= now) {
            pendingRlr_ = false;
            rlr_ = registers.iwdg.RLR.peek();
        }
        count(now);
    }

    void key(uint32_t value, uint64_t now)
    {
        writable_ = value == IWDG_KEY_WRITE_ACCESS;
        if (value == IWDG_KEY_ENABLE && !running_) {
            running_ = true;
            reload(now);
        } else if (value == IWDG_KEY_RELOAD && running_) {
            reload(now);
        }
    }

    void reload(uint64_t now)
    {
        counter_ = rlr_;
        countedFromNs_ = now;
    }

    bool running_ = false;
    bool expired_ = false;
    bool writable_ = false;
    bool pendingPr_ = false;
    bool pendingRlr_ = false;
    uint64_t prDueNs_ = 0;
    uint64_t rlrDueNs_ = 0;
    uint32_t pr_ = 0;
    uint32_t rlr_ = kRlrReset;
    uint32_t counter_ = kRlrReset;
    uint64_t countedFromNs_ = 0;  // the counter's value is counter_ from then on, less the ticks since
};

IwdgModel& iwdg()
{
    static IwdgModel model;
    return model;
}

}  // namespace

Peripheral& iwdgModel() { return iwdg(); }
bool iwdgRunning() { return iwdg().running(); }

}  // namespace sim
