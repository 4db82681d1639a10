#include "platform/emu/core.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/emu/memory_map.hpp"
#include "platform/emu/thumb_run.hpp"

namespace emu {

namespace {

constexpr uint32_t kNoLimit = 0xFFFFFFFFU;  // a block may end anywhere its instructions say
constexpr uint32_t kControlFpca = 1U << 2;
// Blocks run one into the next before the interpreter returns to the run loop: a bound on how deep its
// stack grows where the host compiler makes no tail calls of them.
constexpr unsigned kChainLimit = 64;

}  // namespace

Core::Core(Bus& bus, InterruptSource& interrupts)
    : bus_(bus), interrupts_(interrupts), flash_(kFlashSize, 0xFF), ram_(kRamSize, 0)
{
    busPort_.core = this;
    specials_.core = this;
    memory_ = {flash_.data(), kFlashBase, kFlashSize, ram_.data(), kRamBase, kRamSize, &busPort_};
    noCode_.block.start = kNoBlock;
    codeCache_.fill(&noCode_);
}

Core::~Core() = default;

uint32_t Core::reg(unsigned n) const { return n < 16U ? regs_.r[n] : 0U; }
uint32_t Core::msp() const { return onProcessStack() ? otherSp_ : regs_.r[13]; }
uint32_t Core::psp() const { return onProcessStack() ? regs_.r[13] : otherSp_; }
uint32_t Core::control() const { return control_ | (regs_.fpca ? kControlFpca : 0U); }

void Core::setSp(bool process, uint32_t value)
{
    (process == onProcessStack() ? regs_.r[13] : otherSp_) = value;
}

// SPSEL picks the thread's stack pointer: a change of it in thread mode swaps the banks.
void Core::setControl(uint32_t value)
{
    const bool wasProcess = onProcessStack();
    control_ = value & 3U;
    regs_.fpca = (value & kControlFpca) != 0U;
    if (onProcessStack() != wasProcess) {
        std::swap(regs_.r[13], otherSp_);
    }
}

bool Core::readWord(uint32_t address, uint32_t* value) const
{
    const uint8_t* p = memory_.readable(address, 4);
    if (p != nullptr) {
        std::memcpy(value, p, 4);
    }
    return p != nullptr;
}

std::string Core::load(const ElfImage& image)
{
    if (image_ != nullptr) {
        return "an image is loaded already: a power cycle is a new Core";
    }
    uint32_t lowestFlash = UINT32_MAX;
    for (const Segment& s : image.segments()) {
        const auto size = static_cast<uint32_t>(s.bytes.size());
        if (inFlash(s.address) && size <= kFlashBase + kFlashSize - s.address) {
            std::copy(s.bytes.begin(), s.bytes.end(), flash_.begin() + (s.address - kFlashBase));
            lowestFlash = std::min(lowestFlash, s.address);
        } else if (inRam(s.address, size)) {
            std::copy(s.bytes.begin(), s.bytes.end(), ram_.begin() + (s.address - kRamBase));
        } else {
            return "segment at " + hex(s.address) + " (" + std::to_string(size) + " bytes) lies outside flash and RAM";
        }
    }
    uint32_t sp = 0;
    uint32_t reset = 0;
    if (lowestFlash == UINT32_MAX || !readWord(lowestFlash, &sp) || !readWord(lowestFlash + 4U, &reset)) {
        return "no vector table: the image puts nothing into flash";
    }
    if (!inRam(sp - 8U, 8U) || (sp & 7U) != 0U) {
        return "no vector table at " + hex(lowestFlash) + ": initial stack pointer " + hex(sp) +
               " is not an aligned RAM address";
    }
    if ((reset & 1U) == 0U || !inFlash(reset)) {
        return "no vector table at " + hex(lowestFlash) + ": reset vector " + hex(reset) +
               " is not a Thumb address in flash";
    }
    image_ = &image;
    regs_.r[13] = sp;
    regs_.r[15] = reset & ~1U;
    return {};
}

void Core::refreshFlashTiming()
{
    uint32_t acr = 0;
    flashTiming_.configure(bus_.read(kFlashAcr, 4, &acr) ? acr : 0U);
    updateMasks();
    chooseChainHook();
}

// The chain's hook by the flash's stalls and whether the cycles are counted by block.
void Core::chooseChainHook()
{
    const bool waitStates = flashTiming_.stalls() != FlashTiming::Stalls::None;
    interpreter_.chainBlocks(waitStates ? (countByBlock_ ? chainOn<true, true> : chainOn<true, false>)
                                        : (countByBlock_ ? chainOn<false, true> : chainOn<false, false>),
                             this, kChainLimit);
}

void Core::countCyclesByBlock()
{
    countByBlock_ = true;
    chooseChainHook();
}

std::vector<std::pair<uint32_t, uint64_t>> Core::cyclesByBlock() const
{
    std::vector<std::pair<uint32_t, uint64_t>> spent;
    if (!countByBlock_) {
        return spent;
    }
    spent.reserve(code_.size());
    for (const auto& [start, code] : code_) {
        spent.emplace_back(start, code.cyclesRun);
    }
    return spent;
}

void Core::watch(uint32_t address, std::function<void(uint64_t cycles)> reached)
{
    watches_.push_back({address & ~1U, std::move(reached)});
    for (auto& [start, code] : code_) {
        code.watched = code.watched || start == (address & ~1U);
        markUnusual(code);
    }
}

void Core::holdAt(uint32_t address)
{
    hold_ = address & ~1U;
    for (auto& [start, code] : code_) {
        markUnusual(code);
    }
}

Stop Core::run(uint64_t cycleBudget)
{
    stopAt_ = cycles_ + cycleBudget;
    askAtNextBlock();  // the chip around may have changed between runs
    faulted_ = false;
    refreshFlashTiming();
    for (;;) {
        const uint32_t pc = regs_.r[15];
        Code* code = codeAt(pc);
        if (code == nullptr) {
            fault("fetch of 2 bytes at " + hex(pc) + ": nothing mapped", pc);
            return Stop::Fault;
        }
        switch (beforeBlock(*code)) {
        case Next::Run: break;
        case Next::Again: continue;
        case Next::Stop: return Stop::BudgetUsed;
        case Next::Fault: return Stop::Fault;
        }
        uint32_t faultAddress = 0;
        // Divisions to settle end the chain at this block's end: the way on in a chain has none to settle.
        const thumb::Stop stop = interpreter_.run(code->block, &faultAddress, divisionsToSettle_.empty());
        if (!divisionsToSettle_.empty()) {
            settleDivisions();
        }
        switch (stop) {
        case thumb::Stop::Ended: continue;
        case thumb::Stop::ExceptionReturn:
            if (!returnFromException(regs_.r[15])) {
                return Stop::Fault;
            }
            continue;
        case thumb::Stop::Breakpoint: {
            uint32_t word = 0;
            (void)readWord(regs_.r[15] & ~3U, &word);
            const uint32_t insn = (regs_.r[15] & 2U) != 0U ? word >> 16 : word;
            fault("bkpt #" + std::to_string(insn & 0xFFU), regs_.r[15]);
            return Stop::Breakpoint;
        }
        case thumb::Stop::Svc: fault("svc (not modelled)", regs_.r[15]); return Stop::Fault;
        case thumb::Stop::Wfi: {
            // Asleep until something is pending.
            uint64_t quietUntil = 0;
            if (!interrupts_.highestPending(&quietUntil)) {
                cycles_ = std::max(cycles_, stopAt_);
                return Stop::BudgetUsed;
            }
            continue;
        }
        case thumb::Stop::Undefined: fault("undefined instruction", regs_.r[15]); return Stop::Fault;
        case thumb::Stop::BusError: fault(refused_, regs_.r[15]); return Stop::Fault;
        case thumb::Stop::Unaligned:
            fault("unaligned access at " + hex(faultAddress) + " (a UsageFault, not modelled)", regs_.r[15]);
            return Stop::Fault;
        }
    }
}

bool Core::BusPort::read(uint32_t addr, unsigned width, uint32_t* value)
{
    core->askAtNextBlock();  // reading a register may clear or raise a request
    if (isBusAddress(addr) && core->bus_.read(addr, width, value)) {
        core->askAfterAccess();
        return true;
    }
    core->refuse("read of " + std::to_string(width) + " bytes at " + hex(addr), addr);
    return false;
}

bool Core::BusPort::write(uint32_t addr, unsigned width, uint32_t value)
{
    core->askAtNextBlock();
    // A store into flash goes to the flash interface, which programs it (the chip mirrors what it holds
    // into flash_).
    if (inFlash(addr)) {
        if (core->bus_.write(addr, width, value)) {
            return true;
        }
        core->refused_ = "write of " + std::to_string(width) + " bytes into flash at " + hex(addr) + ": refused";
        return false;
    }
    if (!isBusAddress(addr) || !core->bus_.write(addr, width, value)) {
        core->refuse("write of " + std::to_string(width) + " bytes at " + hex(addr), addr);
        return false;
    }
    if (addr - kFlashAcr < 4U) {
        core->refreshFlashTiming();
    }
    core->askAfterAccess();
    return true;
}

// Nothing pending after an access (the usual answer): the source's promise holds from here, and the next
// block need not go by the loop to ask. With something pending, the next block's start decides whether it
// is taken, as it would have without the question here.
void Core::askAfterAccess()
{
    uint64_t quietUntil = 0;
    if (!interrupts_.highestPending(&quietUntil)) {
        quietUntil_ = quietUntil;
        attentionAt_ = std::min(stopAt_, quietUntil);
    }
}

void Core::refuse(const std::string& access, uint32_t addr)
{
    refused_ = access + (isBusAddress(addr) ? ": the bus does not answer" : ": nothing mapped");
}

Core::Code* Core::decodedAt(uint32_t address)
{
    auto it = code_.find(address);
    if (it == code_.end()) {
        Code code;
        if (!thumb::decode(memory_, address, kNoLimit, &code.block) || code.block.bytes == 0U) {
            return nullptr;
        }
        code.info = costOf(code.block);
        if (const uint32_t limit = divisionLimit(code.info, address); limit != 0U) {
            (void)thumb::decode(memory_, address, limit, &code.block);
            code.info = costOf(code.block);
        }
        const BlockInfo& info = code.info;
        code.fetch = FlashTiming::fetchOf(address, code.block.bytes);
        code.cycles = info.cycles;
        code.attention = static_cast<uint8_t>((info.usesFp ? kUsesFp : 0U) | (code.block.itGoesOn ? kStepwise : 0U) |
                                              (code.fetch.fromFlash ? kFromFlash : kFromRam));
        code.divides = !info.divisions.empty();
        code.watched = std::any_of(watches_.begin(), watches_.end(),
                                   [address](const Watch& w) { return w.address == address; });
        markUnusual(code);
        it = code_.emplace(address, std::move(code)).first;
    }
    Code* code = &it->second;
    codeCache_[cacheIndex(address)] = code;
    return code;
}

// A division whose quotient the rest of its block overwrites is charged from its operands, so it has
// to start a block: the block before it ends there.
uint32_t Core::divisionLimit(const BlockInfo& block, uint32_t start) const
{
    for (const Division& d : block.divisions) {
        if (!d.quotientKept && d.address != start) {
            return d.address;
        }
    }
    return 0;
}

// At the start of each block: the refill if the previous one branched away, the budget, pending
// exceptions, then the block's own cost. Small enough to sit in the run loop; what few blocks need is
// out of line (unusualBlock).
inline Core::Next Core::beforeBlock(Code& code)
{
    const uint32_t address = code.block.start;
    const bool sequential = address == nextSequential_;
    if (!sequential && nextSequential_ != kNoBlock) {
        cycles_ += kBranchRefill;
        refillToCharge_ = kBranchRefill;
    }
    nextSequential_ = address;  // a restart here does not pay the refill again
    uint64_t divisions = 0;
    if (needsAttention(code, cycles_)) {
        const Next next = unusualBlock(code, &divisions);
        if (next != Next::Run) {
            return next;
        }
    }
    charge(code, sequential, divisions, refillToCharge_);
    refillToCharge_ = 0;
    return Next::Run;
}

// Whether a block starting at `cycles` needs unusualBlock.
inline bool Core::needsAttention(const Code& code, uint64_t cycles) const
{
    return cycles >= attentionAt_ || (code.attention & attentionMask_) != 0;
}

// A block about to run: its cost charged, `extra` besides its own and its stalls.
inline void Core::charge(Code& code, bool sequential, uint64_t extra, uint32_t refill)
{
    const uint64_t cost = code.cycles + extra + flashTiming_.stallCycles(code.fetch, code.info.literalLoads, sequential);
    countByBlock_ ? account<true>(code, cost, refill) : account<false>(code, cost, refill);
}

// Its cost, and the refill paid on the way into it, to its account where counted; into the history.
template <bool ByBlock>
inline void Core::account(Code& code, uint64_t cost, uint32_t refill)
{
    cycles_ += cost;
    if (ByBlock) {
        code.cyclesRun += cost + refill;
    }
    instructions_ += code.block.count;
    history_[historyNext_] = &code;
    historyNext_ = (historyNext_ + 1U) % kHistory;
    nextSequential_ = code.block.start + code.block.bytes;
}

// At the end of a block that ran to it, inside the interpreter (a block whose divisions are to be settled
// ends the chain): what the run loop does between two blocks, the next block found, and it entered at once
// when nothing is due at its start, which the loop would find too (beforeBlock's path without unusualBlock,
// the same charges); otherwise back to the loop, which finds the same. Most blocks run this way, without
// the loop's look-ups and the interpreter's return.
template <bool WaitStates, bool ByBlock>
thumb::Stop Core::chainOn(thumb::Context& c, uint32_t pc)
{
    Core& core = *static_cast<Core*>(c.owner);
    Code* next = core.codeCache_[cacheIndex(pc)];
    if (next->block.start != pc) [[unlikely]] {
        return chainOnOtherwise<WaitStates, ByBlock>(c, pc);
    }
    return core.chainInto<WaitStates, ByBlock>(c, *next, pc);
}

// A block not in the code cache: out of line, and jumped to, so that the way on needs none of what calls need.
template <bool WaitStates, bool ByBlock>
thumb::Stop Core::chainOnOtherwise(thumb::Context& c, uint32_t pc)
{
    Core& core = *static_cast<Core*>(c.owner);
    Code* next = core.codeAt(pc);
    if (next == nullptr) {
        return thumb::Stop::Ended;  // the loop reports the fetch
    }
    return core.chainInto<WaitStates, ByBlock>(c, *next, pc);
}

// A block run an instruction at a time, or one whose fetch the flash's configuration does not stall
// simply, goes by the loop too (chainMask_): the way on calls nothing, so that it needs no registers saved.
template <bool WaitStates, bool ByBlock>
inline thumb::Stop Core::chainInto(thumb::Context& c, Code& code, uint32_t pc)
{
    const bool sequential = pc == nextSequential_;  // a block has run: nextSequential_ is its end
    const uint32_t refill = sequential ? 0U : kBranchRefill;
    if (cycles_ + refill >= attentionAt_ || (code.attention & chainMask_) != 0) {
        return thumb::Stop::Ended;
    }
    cycles_ += refill;
    const uint32_t stall = WaitStates ? flashTiming_.acceleratedStall(code.fetch, sequential) : flashTiming_.noStall();
    account<ByBlock>(code, code.cycles + stall, refill);
    return thumb::enterBlock(c, code.block);
}

// A block at which the budget ends, an exception may be due, the core is held, a watch is set, an FP
// state is to be stored lazily or divisions are charged.
Core::Next Core::unusualBlock(Code& code, uint64_t* cost)
{
    const uint32_t address = code.block.start;
    if (cycles_ >= stopAt_) {
        return Next::Stop;
    }
    if (cycles_ >= quietUntil_) {
        if (auto exception = takeable()) {
            return enterException(*exception, address) ? Next::Again : Next::Fault;
        }
    }
    if (address == hold_) {
        // Spinning until something can become pending (or the budget ends), then asked again.
        cycles_ = std::max(cycles_, quietUntil_ > cycles_ ? std::min(stopAt_, quietUntil_) : stopAt_);
        return Next::Stop;
    }
    if (code.watched) {
        for (const Watch& w : watches_) {
            if (w.address == address) {
                w.reached(cycles_);
            }
        }
    }
    if ((code.attention & kUsesFp) != 0 && lazyFpFrame_ >= 0) {
        storeLazyFpState();
    }
    if (code.divides) {
        for (const Division& d : code.info.divisions) {
            if (d.quotientKept) {
                divisionsToSettle_.push_back(&d);
            } else {
                *cost += divisionCost(d);  // the block starts with it
            }
        }
    }
    return Next::Run;
}

Core::Code* Core::current() const
{
    const unsigned newest = (historyNext_ + kHistory - 1U) % kHistory;
    return history_[newest];
}

// The divisions of the block just run, by the quotients they left.
void Core::settleDivisions()
{
    for (const Division* d : divisionsToSettle_) {
        uint32_t quotient = reg(static_cast<unsigned>(d->quotient));
        if (d->isSigned && static_cast<int32_t>(quotient) < 0) {
            quotient = 0U - quotient;
        }
        const uint32_t cost = divisionCycles(quotient);
        cycles_ += cost;
        if (countByBlock_) {
            current()->cyclesRun += cost;
        }
    }
    divisionsToSettle_.clear();
}

uint32_t Core::divisionCost(const Division& division) const
{
    const uint32_t n = reg(static_cast<unsigned>(division.dividend));
    const uint32_t m = reg(static_cast<unsigned>(division.divisor));
    auto magnitude = [&division](uint32_t v) {
        return division.isSigned && static_cast<int32_t>(v) < 0 ? 0U - v : v;
    };
    return divisionCycles(m == 0U ? 0U : magnitude(n) / magnitude(m));
}

}  // namespace emu
