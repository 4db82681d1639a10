// The ARMv7-M exception model, done here rather than by Unicorn: entry (stacking, EXC_RETURN, vector
// fetch), return (unstacking by EXC_RETURN), tail-chaining, and the execution priority.
#include <unicorn/unicorn.h>

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

}  // namespace

// Unicorn's core runs in the secure state of the v8-M model, where an FP context is active only with
// FPCA and SFPA (bit 3) both set: otherwise its next FP instruction starts a new context and resets
// FPSCR from FPDSCR. So SFPA follows FPCA.
void Core::setControl(uint32_t value)
{
    constexpr uint32_t kControlSfpa = 1U << 3;
    set(UC_ARM_REG_CONTROL, (value & kControlFpca) != 0U ? value | kControlSfpa : value);
}

int Core::executionPriority() const
{
    int priority = kThreadPriority;
    for (const Active& a : active_) {
        priority = std::min(priority, a.priority);
    }
    const auto basepri = static_cast<int>(get(UC_ARM_REG_BASEPRI) & 0xFFU);
    if (basepri != 0) {
        priority = std::min(priority, basepri);
    }
    if ((get(UC_ARM_REG_PRIMASK) & 1U) != 0U) {
        priority = std::min(priority, 0);
    }
    if ((get(UC_ARM_REG_FAULTMASK) & 1U) != 0U) {
        priority = std::min(priority, -1);
    }
    return priority;
}

std::optional<PendingException> Core::takeable()
{
    quietUntil_ = 0;
    auto pending = interrupts_.highestPending(&quietUntil_);
    if (pending && pending->priority < executionPriority()) {
        return pending;
    }
    return std::nullopt;
}

bool Core::jumpToHandler(unsigned number)
{
    uint32_t vtor = 0;
    if (!bus_.read(kVtor, 4, &vtor)) {
        fault("exception " + std::to_string(number) + ": VTOR cannot be read", pc_);
        return false;
    }
    const uint32_t entry = vtor + 4U * number;
    uint32_t handler = 0;
    if (uc_mem_read(uc_, entry, &handler, sizeof handler) != UC_ERR_OK || (handler & 1U) == 0U) {
        fault("exception " + std::to_string(number) + ": no Thumb handler in the vector table at VTOR " +
                  hex(vtor),
              pc_);
        return false;
    }
    set(UC_ARM_REG_XPSR, (get(UC_ARM_REG_XPSR) & kXpsrApsr) | kXpsrThumb | number);
    // Handlers start with no FP context of their own.
    setControl(control() & ~kControlFpca);
    pc_ = handler & ~1U;
    nextSequential_ = kNoBlock;
    return true;
}

bool Core::enterException(const PendingException& exception, uint32_t returnAddress)
{
    const uint32_t control = this->control();
    const bool fp = (control & kControlFpca) != 0U;
    const bool handlerMode = (get(UC_ARM_REG_IPSR) & kIpsrMask) != 0U;
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
    for (int i = 0; i < 4; ++i) {
        words[static_cast<unsigned>(i)] = get(UC_ARM_REG_R0 + i);
    }
    words[4] = get(UC_ARM_REG_R12);
    words[5] = get(UC_ARM_REG_LR);
    words[6] = returnAddress;
    words[7] = (get(UC_ARM_REG_XPSR) & ~kXpsrAlignBit) | kXpsrThumb | ((sp & 4U) != 0U ? kXpsrAlignBit : 0U);
    if (fp) {
        for (unsigned i = 0; i < kFpWords; ++i) {
            words[8 + i] = get(UC_ARM_REG_S0 + static_cast<int>(i));
        }
        words[8 + kFpWords] = get(UC_ARM_REG_FPSCR);
    }
    // Straight into the RAM Unicorn runs on: its own write would look for translated code to discard at
    // every exception, and RAM holds none.
    std::memcpy(ram_.data() + (frame - kRamBase), words.data(), size);

    // Handler mode runs on the main stack: clear SPSEL while still in thread mode, so Unicorn swaps banks.
    setControl(control & kControlNpriv);
    set(onPsp ? UC_ARM_REG_PSP : UC_ARM_REG_MSP, frame);
    const uint32_t excReturn = 0xFFFFFFE1U | (fp ? 0U : kExcReturnNoFp) | (handlerMode ? 0U : 8U) | (onPsp ? 4U : 0U);
    set(UC_ARM_REG_LR, excReturn);
    if (!jumpToHandler(exception.number)) {
        return false;
    }
    interrupts_.acknowledge(exception.number);
    quietUntil_ = 0;
    if (active_.empty()) {
        handlerStart_ = cycles_;
    }
    active_.push_back({exception.number, exception.priority, frame, false});
    // The FP state is in the frame already (the values a lazy save would store, since nothing can
    // change them before the handler's first FP instruction); its cost comes with that instruction.
    if (fp) {
        lazyFpFrame_ = static_cast<int>(active_.size()) - 1;
    }
    spendOnExceptions(kEntryCycles);
    return true;
}

void Core::storeLazyFpState()
{
    active_[static_cast<std::size_t>(lazyFpFrame_)].fpSaved = true;
    lazyFpFrame_ = -1;
    spendOnExceptions(kFpStackCycles);
}

bool Core::returnFromException(uint32_t excReturn)
{
    const uint32_t mode = excReturn & 0xFU;
    if ((excReturn & 0xFFFFFFE0U) != 0xFFFFFFE0U || (mode != 0x1U && mode != 0x9U && mode != 0xDU) ||
        active_.empty()) {
        fault("exception return with invalid EXC_RETURN " + hex(excReturn), pc_);
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
        set(UC_ARM_REG_LR, excReturn);
        interrupts_.acknowledge(next->number);
        quietUntil_ = 0;
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
        fault("exception return: frame at " + hex(frame) + " is not in RAM", pc_);
        return false;
    }
    std::memcpy(words.data(), ram_.data() + (frame - kRamBase), size);
    const uint32_t psr = words[7];
    if ((mode == 0x1U) != ((psr & kIpsrMask) != 0U)) {
        fault("exception return: EXC_RETURN " + hex(excReturn) + " does not match the stacked IPSR",
              pc_);
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        set(UC_ARM_REG_R0 + i, words[static_cast<unsigned>(i)]);
    }
    set(UC_ARM_REG_R12, words[4]);
    set(UC_ARM_REG_LR, words[5]);
    if (fp) {
        for (unsigned i = 0; i < kFpWords; ++i) {
            set(UC_ARM_REG_S0 + static_cast<int>(i), words[8 + i]);
        }
        set(UC_ARM_REG_FPSCR, words[8 + kFpWords]);
    }
    // IPSR first (SPSEL is 0 in handler mode, so no bank changes), then SPSEL, then the stack pointer.
    set(UC_ARM_REG_XPSR, psr & ~kXpsrAlignBit);
    setControl((control() & kControlNpriv) | (toPsp ? kControlSpsel : 0U) | (fp ? kControlFpca : 0U));
    set(toPsp ? UC_ARM_REG_PSP : UC_ARM_REG_MSP, (frame + size) | ((psr & kXpsrAlignBit) != 0U ? 4U : 0U));
    pc_ = words[6] & ~1U;
    nextSequential_ = kNoBlock;
    // A state never stored lazily is still in the registers: nothing to load back.
    spendOnExceptions(kReturnCycles + (fp && returning.fpSaved ? kFpStackCycles : 0U));
    if (lazyFpFrame_ >= static_cast<int>(active_.size())) {
        lazyFpFrame_ = -1;  // returned from the frame whose state was never needed
    }
    if (active_.empty()) {
        longestHandler_ = std::max(longestHandler_, cycles_ - handlerStart_);
    }
    return true;
}

}  // namespace emu
