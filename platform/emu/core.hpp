#pragma once
// The emulated Cortex-M4F: the interpreter (thumb.hpp) executes the Thumb instructions; this class owns
// flash, RAM and the special registers, sends every other access to the bus, takes and returns from
// exceptions (the M-profile exception model) and counts cycles per instruction block.

#include <array>
#include <functional>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/emu/block_cost.hpp"
#include "platform/emu/bus.hpp"
#include "platform/emu/elf_image.hpp"
#include "platform/emu/fault_report.hpp"
#include "platform/emu/flash_timing.hpp"
#include "platform/emu/thumb.hpp"

namespace emu {

enum class Stop { BudgetUsed, Breakpoint, Fault };

class Core {
public:
    Core(Bus& bus, InterruptSource& interrupts);
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Copies the image's segments into flash and RAM and resets from the vector table at the image's
    // lowest flash address (initial MSP, reset vector). Once per core; the image must outlive it (its
    // symbols name functions in reports). Empty string on success.
    std::string load(const ElfImage& image);

    // Runs until about `cycleBudget` more cycles have passed (a block may overshoot), a breakpoint or
    // a fault. A WFI with nothing pending sleeps to the end of the budget.
    Stop run(uint64_t cycleBudget);

    // Where the next run starts, e.g. past a breakpoint.
    void resumeAt(uint32_t address) { regs_.r[15] = address & ~1U; }
    // From now on the block at `address` never runs: the core spins there as in a tight loop (time passes,
    // exceptions are taken and return there), as a task that hangs would.
    void holdAt(uint32_t address);

    uint64_t cycles() const { return cycles_; }
    // The core stands still this many cycles (a fetch waiting for the flash), taking no exception.
    void stall(uint64_t cycles) { cycles_ += cycles; }
    uint64_t instructions() const { return instructions_; }
    // The longest time from taking an exception out of thread mode to returning there (nested and
    // tail-chained handlers included), in cycles.
    uint64_t longestHandlerCycles() const { return longestHandler_; }

    // Calls `reached` with the cycle count whenever an instruction block starts at `address` (a function
    // entry, say), for profiling. Few watches: each block start is compared with all of them.
    void watch(uint32_t address, std::function<void(uint64_t cycles)> reached);
    // From now on the cycles of each instruction block are counted, for cyclesByBlock: a few per cent of
    // the core's speed, paid by profiles that ask for them.
    void countCyclesByBlock();
    // The cycles spent in each instruction block since countCyclesByBlock (by its start address) and in
    // exception entry, return and tail-chaining: what a profile by function adds up.
    std::vector<std::pair<uint32_t, uint64_t>> cyclesByBlock() const;
    uint64_t exceptionCycles() const { return exceptionCycles_; }
    // Why the last run stopped at a breakpoint or fault.
    const FaultReport& report() const { return report_; }

    uint32_t reg(unsigned n) const;  // r0..r15
    uint32_t msp() const;
    uint32_t psp() const;
    uint32_t control() const;  // nPRIV, SPSEL, FPCA
    std::span<uint8_t> flash() { return flash_; }
    std::span<uint8_t> ram() { return ram_; }

private:
    static constexpr uint32_t kNoBlock = 1;  // odd: no block starts there
    // The bits of Code::attention, what a block's start may need besides the cycle count: unusualBlock
    // where attentionMask_ holds one of the block's, the run loop rather than a chain (chainOn) where
    // chainMask_ does.
    static constexpr uint32_t kUnusual = 1;    // watched, divides, or the core is held here
    static constexpr uint32_t kUsesFp = 2;     // holds an FP instruction: a lazy FP save may be due
    static constexpr uint32_t kStepwise = 4;   // runs an instruction at a time (an IT block goes on past its end)
    static constexpr uint32_t kFromFlash = 8;  // fetched from flash
    static constexpr uint32_t kFromRam = 16;   // fetched from RAM
    // What the interpreter runs, by start address: the decoded instructions, and what the cycle model
    // asks of them at every run, kept together. What every run reads and writes comes first, then the
    // block's start, count, entry and the head of its chain, all in one host cache line.
    struct alignas(64) Code {
        FlashTiming::Fetch fetch;
        uint32_t cycles = 0;
        uint8_t attention = 0;  // kUnusual ..., what its start may need besides the cycle count
        uint64_t cyclesRun = 0;  // every run's cycles, stalls included, for cyclesByBlock
        thumb::Block block;
        bool watched = false;
        bool divides = false;
        BlockInfo info;  // its cost, divisions among it
    };
    struct Active {
        unsigned number;
        int priority;
        uint32_t frame;  // where its frame was stacked
        bool fpSaved;    // its frame's FP state was stored (lazily, at the handler's first FP instruction)
    };
    // The bus as the interpreter reaches it: every access may change what is pending, and a refused one
    // is remembered for the fault report.
    struct BusPort final : Bus {
        Core* core = nullptr;
        bool read(uint32_t addr, unsigned width, uint32_t* value) override;
        bool write(uint32_t addr, unsigned width, uint32_t value) override;
    };

    // The special registers MRS, MSR and CPS reach.
    struct Specials final : thumb::SystemRegisters {
        Core* core = nullptr;
        uint32_t readSpecial(unsigned sysm) override;
        void writeSpecial(unsigned sysm, uint32_t value) override;
        void changeProcessorState(bool disable, bool primask, bool faultmask) override;
    };

    void setControl(uint32_t value);
    void setSp(bool process, uint32_t value);
    bool onProcessStack() const { return active_.empty() && (control_ & 2U) != 0U; }
    uint32_t xpsr() const;

    enum class Next { Run, Again, Stop, Fault };
    Next beforeBlock(Code& code);
    bool needsAttention(const Code& code, uint64_t cycles) const;
    void charge(Code& code, bool sequential, uint64_t extra, uint32_t refill);
    template <bool ByBlock>
    void account(Code& code, uint64_t cost, uint32_t refill);
    // The chain's hook, by the flash's stalls (with wait states, the accelerator's, or none) and whether
    // the cycles are counted by block.
    template <bool WaitStates, bool ByBlock>
    static thumb::Stop chainOn(thumb::Context& c, uint32_t pc);
    template <bool WaitStates, bool ByBlock>
    [[gnu::noinline]] static thumb::Stop chainOnOtherwise(thumb::Context& c, uint32_t pc);
    template <bool WaitStates, bool ByBlock>
    thumb::Stop chainInto(thumb::Context& c, Code& code, uint32_t pc);
    Next unusualBlock(Code& code, uint64_t* cost);
    // The block at `address`, decoded when first asked for; null where nothing can be fetched.
    Code* codeAt(uint32_t address)
    {
        Code* cached = codeCache_[cacheIndex(address)];
        return cached->block.start == address ? cached : decodedAt(address);
    }
    Code* decodedAt(uint32_t address);
    static unsigned cacheIndex(uint32_t address) { return (address >> 1) % kCodeCacheSize; }
    void markUnusual(Code& code) const
    {
        const bool unusual = code.watched || code.divides || code.block.start == hold_;
        code.attention = static_cast<uint8_t>((code.attention & ~kUnusual) | (unusual ? kUnusual : 0U));
    }
    // The masks from what they depend on: a lazy FP save due, the flash's configuration.
    void updateMasks()
    {
        attentionMask_ = static_cast<uint8_t>(kUnusual | (lazyFpFrame_ >= 0 ? kUsesFp : 0U));
        const FlashTiming::Stalls stalls = flashTiming_.stalls();
        const uint32_t fetched = stalls == FlashTiming::Stalls::None          ? 0U
                                 : stalls == FlashTiming::Stalls::Accelerated ? kFromRam
                                                                              : kFromFlash | kFromRam;
        chainMask_ = static_cast<uint8_t>(attentionMask_ | kStepwise | fetched);
    }
    void setLazyFpFrame(int frame)
    {
        lazyFpFrame_ = frame;
        updateMasks();
    }
    void askAfterAccess();
    // Something may have become pending: the next block asks.
    void askAtNextBlock()
    {
        quietUntil_ = 0;
        attentionAt_ = 0;
    }
    uint32_t divisionLimit(const BlockInfo& block, uint32_t start) const;
    void settleDivisions();
    uint32_t divisionCost(const Division& division) const;
    bool readWord(uint32_t address, uint32_t* value) const;
    int executionPriority() const;
    std::optional<PendingException> takeable();
    bool enterException(const PendingException& exception, uint32_t returnAddress);
    bool returnFromException(uint32_t excReturn);
    bool jumpToHandler(unsigned number);
    void spendOnExceptions(uint32_t cycles)
    {
        cycles_ += cycles;
        exceptionCycles_ += cycles;
    }
    void refreshFlashTiming();
    void chooseChainHook();
    void storeLazyFpState();

    void fault(const std::string& what, uint32_t pc);
    void refuse(const std::string& access, uint32_t addr);
    void fillReport(uint32_t pc);

    Bus& bus_;
    InterruptSource& interrupts_;
    const ElfImage* image_ = nullptr;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;
    BusPort busPort_;
    Specials specials_;
    thumb::Memory memory_;
    std::string refused_;  // what the bus refused last, for the fault report

    thumb::Registers regs_;
    uint32_t otherSp_ = 0;  // the stack pointer not in use (PSP while on the main stack, and so on)
    uint32_t control_ = 0;  // nPRIV and SPSEL (FPCA is the interpreter's)
    uint32_t primask_ = 0;
    uint32_t basepri_ = 0;
    uint32_t faultmask_ = 0;

    thumb::Interpreter interpreter_{regs_, memory_, specials_};
    std::unordered_map<uint32_t, Code> code_;
    // In front of the map, asked at every block: direct-mapped by halfword address, every entry a block
    // (noCode_ where none has been asked for).
    static constexpr unsigned kCodeCacheSize = 16384;  // 32 KB of code without two blocks sharing an entry
    std::array<Code*, kCodeCacheSize> codeCache_{};
    Code noCode_;
    FlashTiming flashTiming_;
    static constexpr unsigned kHistory = 8;
    std::array<Code*, kHistory> history_{};  // the last blocks run, a ring
    unsigned historyNext_ = 0;
    // The block running, or run last: the newest of the history.
    Code* current() const;

    uint32_t nextSequential_ = kNoBlock;     // where the block after the current one starts
    uint64_t cycles_ = 0;
    uint64_t instructions_ = 0;
    uint64_t stopAt_ = 0;
    // Before this cycle count nothing can become pending without a bus access or an exception entry
    // or return (the interrupt source's promise): block boundaries need not ask.
    uint64_t quietUntil_ = 0;
    uint64_t attentionAt_ = 0;  // the earlier of stopAt_ and quietUntil_: one comparison per block
    uint64_t exceptionCycles_ = 0;
    // The active exception whose frame's FP state is still to be stored (FPCCR.LSPACT; -1: none): the
    // next FP instruction stores it.
    int lazyFpFrame_ = -1;
    uint8_t attentionMask_ = kUnusual;
    uint8_t chainMask_ = kUnusual | kStepwise | kFromFlash | kFromRam;
    uint32_t refillToCharge_ = 0;  // the refill paid on the way into the block about to run
    uint64_t handlerStart_ = 0;
    uint64_t longestHandler_ = 0;
    struct Watch {
        uint32_t address;
        std::function<void(uint64_t)> reached;
    };
    std::vector<Watch> watches_;
    // A division costs what its quotient's length decides: read from Rd when its block has run. A block
    // that would overwrite Rd after the division ends before it, so that the next starts with it and
    // its operands are in the registers.
    std::vector<const Division*> divisionsToSettle_;
    uint32_t hold_ = kNoBlock;
    bool countByBlock_ = false;
    bool faulted_ = false;

    std::vector<Active> active_;
    FaultReport report_;
};

}  // namespace emu
