// The ARMv7-M exception model and the special registers: entry (stacking, EXC_RETURN, vector
// fetch), return (unstacking by EXC_RETURN), tail-chaining, and the execution priority.
#include <algorithm>
#include <cstring>

#include "platform/emu/core.hpp"
#include "platform/emu/memory_map.hpp"

namespace emu {

namespace {

constexpr uint32_t kControlSpsel = 1U << 1;
constexpr uint32_t kControlFpca = 1U << 2;
constexpr uint32_t kControlNpriv = 1U << 0;
constexpr uint32_t kXpsrAlignBit = 1U << 9;
constexpr uint32_t kXpsrThumb = 1U << 24;
constexpr uint32_t kXpsrApsr = 0xF80F0000U;  // N Z C V Q and GE
constexpr uint32_t kIpsrMask = 0x1FFU;
constexpr uint32_t kExcReturnNoFp = 1U << 4;

constexpr uint32_t kBasicFrame = 0x20;
constexpr uint32_t kFpFrame = 0x68;  // + S0-S15, FPSCR, a reserved word
constexpr unsigned kFpWords = 16;

// Cortex-M4 latencies. With lazy FP stacking (FPCCR.LSPEN, set at reset) an FP frame only reserves room
// for the FP state; storing it, and loading it back at the return, costs kFpStackCycles each, and only
// once the handler has run an FP instruction.
constexpr uint32_t kEntryCycles = 12;
constexpr uint32_t kReturnCycles = 10;
constexpr uint32_t kTailChainCycles = 6;
constexpr uint32_t kFpStackCycles = 17;

constexpr int kThreadPriority = 256;  // below every configurable priority

// MRS/MSR's SYSm numbers.
constexpr unsigned kSysmMsp = 8;
constexpr unsigned kSysmPsp = 9;
constexpr unsigned kSysmPrimask = 16;
constexpr unsigned kSysmBasepri = 17;
constexpr unsigned kSysmBasepriMax = 18;
constexpr unsigned kSysmFaultmask = 19;
constexpr unsigned kSysmControl = 20;

}  // namespace

uint32_t Core::xpsr() const
{
    const uint32_t it = regs_.itState;
    return (regs_.apsr() & kXpsrApsr) | kXpsrThumb | (it & 3U) << 25 | (it >> 2) << 10 |
           (active_.empty() ? 0U : active_.back().number);
}

uint32_t Core::Specials::readSpecial(unsigned sysm)
{
    Core& c = *core;
    switch (sysm) {
    case kSysmMsp: return c.msp();
    case kSysmPsp: return c.psp();
    case kSysmPrimask: return c.primask_;
    case kSysmBasepri:
    case kSysmBasepriMax: return c.basepri_;
    case kSysmFaultmask: return c.faultmask_;
    case kSysmControl: return c.control();
    default: return sysm < 8U && (sysm & 1U) != 0U ? c.xpsr() & kIpsrMask : 0U;  // the IPSR views
    }
}

void Core::Specials::writeSpecial(unsigned sysm, uint32_t value)
{
    Core& c = *core;
    c.askAtNextBlock();  // a mask lowered may let a pending exception in
    switch (sysm) {
    case kSysmMsp: c.setSp(false, value & ~3U); return;
    case kSysmPsp: c.setSp(true, value & ~3U); return;
    case kSysmPrimask: c.primask_ = value & 1U; return;
    case kSysmBasepri: c.basepri_ = value & 0xFFU; return;
    case kSysmBasepriMax:
        if ((value & 0xFFU) != 0U && (c.basepri_ == 0U || (value & 0xFFU) < c.basepri_)) {
            c.basepri_ = value & 0xFFU;
        }
        return;
    case kSysmFaultmask: c.faultmask_ = value & 1U; return;
    case kSysmControl: {
        // SPSEL only in thread mode; nPRIV only while privileged.
        uint32_t control = (c.control() & ~kControlFpca) | (value & kControlFpca);
        if (c.active_.empty()) {
            control = (control & ~kControlSpsel) | (value & kControlSpsel);
        }
        if (!c.active_.empty() || (c.control_ & kControlNpriv) == 0U) {
            control = (control & ~kControlNpriv) | (value & kControlNpriv);
        }
        c.setControl(control);
        return;
    }
    default: return;
    }
}

void Core::Specials::changeProcessorState(bool disable, bool primask, bool faultmask)
{
    core->askAtNextBlock();
    if (primask) {
        core->primask_ = disable ? 1U : 0U;
    }
    if (faultmask) {
        core->faultmask_ = disable ? 1U : 0U;
    }
}

int Core::executionPriority() const
{
    int priority = kThreadPriority;
    for (const Active& a : active_) {
        priority = std::min(priority, a.priority);
    }
    const auto basepri = static_cast<int>(basepri_);
    if (basepri != 0) {
        priority = std::min(priority, basepri);
    }
    if (primask_ != 0U) {
        priority = std::min(priority, 0);
    }
    if (faultmask_ != 0U) {
        priority = std::min(priority, -1);
    }
    return priority;
}

std::optional<PendingException> Core::takeable()
{
    quietUntil_ = 0;
    auto pending = interrupts_.highestPending(&quietUntil_);
    attentionAt_ = std::min(stopAt_, quietUntil_);
    if (pending && pending->priority < executionPriority()) {
        return pending;
    }
    return std::nullopt;
}

bool Core::jumpToHandler(unsigned number)
{
    uint32_t vtor = 0;
    if (!bus_.read(kVtor, 4, &vtor)) {
        fault("exception " + std::to_string(number) + ": VTOR cannot be read", regs_.r[15]);
        return false;
    }
    const uint32_t entry = vtor + 4U * number;
    uint32_t handler = 0;
    if (!readWord(entry, &handler) || (handler & 1U) == 0U) {
        fault("exception " + std::to_string(number) + ": no Thumb handler in the vector table at VTOR " +
                  hex(vtor),
              regs_.r[15]);
        return false;
    }
    // Handlers start with no FP context of their own, outside any IT block.
    setControl(control() & ~kControlFpca);
    regs_.itState = 0;
    regs_.r[15] = handler & ~1U;
    nextSequential_ = kNoBlock;
    return true;
}

bool Core::enterException(const PendingException& exception, uint32_t returnAddress)
{
    const uint32_t control = this->control();
    const bool fp = (control & kControlFpca) != 0U;
    const bool handlerMode = !active_.empty();
    const bool onPsp = !handlerMode && (control & kControlSpsel) != 0U;
    const uint32_t sp = onPsp ? psp() : msp();
    const uint32_t size = fp ? kFpFrame : kBasicFrame;
    const uint32_t frame = (sp - size) & ~7U;  // the M4 keeps frames 8-byte aligned
    if (!inRam(frame, size)) {
        fault("exception " + std::to_string(exception.number) + ": stack at " + hex(sp) +
                  " has no room for its frame in RAM",
              returnAddress);
        return false;
    }
    std::array<uint32_t, kFpFrame / 4> words{};
    std::copy_n(regs_.r.begin(), 4, words.begin());
    words[4] = regs_.r[12];
    words[5] = regs_.r[14];
    words[6] = returnAddress;
    words[7] = xpsr() | ((sp & 4U) != 0U ? kXpsrAlignBit : 0U);
    if (fp) {
        std::copy_n(regs_.s.begin(), kFpWords, words.begin() + 8);
        words[8 + kFpWords] = regs_.fpscr;
    }
    std::memcpy(ram_.data() + (frame - kRamBase), words.data(), size);

    // Handler mode runs on the main stack: clear SPSEL while still in thread mode, which swaps the banks.
    setControl(control & kControlNpriv);
    setSp(onPsp, frame);
    regs_.r[14] = 0xFFFFFFE1U | (fp ? 0U : kExcReturnNoFp) | (handlerMode ? 0U : 8U) | (onPsp ? 4U : 0U);
    if (!jumpToHandler(exception.number)) {
        return false;
    }
    interrupts_.acknowledge(exception.number);
    askAtNextBlock();
    if (active_.empty()) {
        handlerStart_ = cycles_;
    }
    active_.push_back({exception.number, exception.priority, frame, false});
    // The FP state is in the frame already (the values a lazy save would store, since nothing can
    // change them before the handler's first FP instruction); its cost comes with that instruction.
    if (fp) {
        setLazyFpFrame(static_cast<int>(active_.size()) - 1);
    }
    spendOnExceptions(kEntryCycles);
    return true;
}

void Core::storeLazyFpState()
{
    active_[static_cast<std::size_t>(lazyFpFrame_)].fpSaved = true;
    setLazyFpFrame(-1);
    spendOnExceptions(kFpStackCycles);
}

bool Core::returnFromException(uint32_t excReturn)
{
    const uint32_t mode = excReturn & 0xFU;
    if ((excReturn & 0xFFFFFFE0U) != 0xFFFFFFE0U || (mode != 0x1U && mode != 0x9U && mode != 0xDU) ||
        active_.empty()) {
        fault("exception return with invalid EXC_RETURN " + hex(excReturn), regs_.r[15]);
        return false;
    }
    const Active returning = active_.back();
    active_.pop_back();
    interrupts_.completed(returning.number);

    // Tail-chaining: a pending exception that would preempt what we return to runs on the same frame.
    if (auto next = takeable()) {
        if (!jumpToHandler(next->number)) {
            return false;
        }
        regs_.r[14] = excReturn;
        interrupts_.acknowledge(next->number);
        askAtNextBlock();
        active_.push_back({next->number, next->priority, returning.frame, returning.fpSaved});
        spendOnExceptions(kTailChainCycles);
        return true;
    }

    const bool fp = (excReturn & kExcReturnNoFp) == 0U;
    const bool toPsp = mode == 0xDU;
    const uint32_t frame = toPsp ? psp() : msp();
    const uint32_t size = fp ? kFpFrame : kBasicFrame;
    std::array<uint32_t, kFpFrame / 4> words{};
    if (!inRam(frame, size)) {
        fault("exception return: frame at " + hex(frame) + " is not in RAM", regs_.r[15]);
        return false;
    }
    std::memcpy(words.data(), ram_.data() + (frame - kRamBase), size);
    const uint32_t psr = words[7];
    if ((mode == 0x1U) != ((psr & kIpsrMask) != 0U)) {
        fault("exception return: EXC_RETURN " + hex(excReturn) + " does not match the stacked IPSR",
              regs_.r[15]);
        return false;
    }
    std::copy_n(words.begin(), 4, regs_.r.begin());
    regs_.r[12] = words[4];
    regs_.r[14] = words[5];
    if (fp) {
        std::copy_n(words.begin() + 8, kFpWords, regs_.s.begin());
        regs_.fpscr = words[8 + kFpWords];
    }
    regs_.setApsr(psr & kXpsrApsr);
    regs_.itState = static_cast<uint8_t>((psr >> 25 & 3U) | (psr >> 10 & 0x3FU) << 2);
    // The IPSR is the returned-to exception's already (active_); SPSEL was 0 in handler mode, so setting
    // it now swaps the banks when thread mode goes back to the process stack.
    setControl((control() & kControlNpriv) | (toPsp ? kControlSpsel : 0U) | (fp ? kControlFpca : 0U));
    setSp(toPsp, (frame + size) | ((psr & kXpsrAlignBit) != 0U ? 4U : 0U));
    regs_.r[15] = words[6] & ~1U;
    nextSequential_ = kNoBlock;
    // A state never stored lazily is still in the registers: nothing to load back.
    spendOnExceptions(kReturnCycles + (fp && returning.fpSaved ? kFpStackCycles : 0U));
    if (lazyFpFrame_ >= static_cast<int>(active_.size())) {
        setLazyFpFrame(-1);  // returned from the frame whose state was never needed
    }
    if (active_.empty()) {
        longestHandler_ = std::max(longestHandler_, cycles_ - handlerStart_);
    }
    return true;
}

}  // namespace emu
