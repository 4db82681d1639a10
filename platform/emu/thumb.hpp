#pragma once
// An interpreter of the Cortex-M4F's instruction set (ARMv7E-M Thumb and Thumb-2 with the single-precision
// FPU): a block of instructions is decoded once, then run on a register file as often as it is reached.
// Flash and RAM are plain memory; every other address goes to the bus. Exceptions, the special registers
// and the cycle count are the core's (core.hpp): a block stops where they are needed.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/emu/bus.hpp"

namespace emu::thumb {

struct Registers {
    std::array<uint32_t, 16> r{};  // r0..r12, sp (the stack pointer in use), lr, pc
    // The APSR: N Z C V apart, as the instructions set and test them, Q and GE[3:0] in their bits (27,
    // 19..16). apsr() and setApsr() give it whole.
    bool n = false, z = false, c = false, v = false;
    uint32_t qge = 0;
    uint8_t itState = 0;           // ITSTATE as EPSR holds it (IT[7:0]); 0 outside an IT block
    std::array<uint32_t, 32> s{};  // s0..s31 as raw IEEE single bits
    uint32_t fpscr = 0;
    bool fpca = false;  // CONTROL.FPCA: every FP instruction sets it, as on the chip; the core keeps the rest

    static constexpr uint32_t kQge = 0x080F0000U;
    static constexpr uint32_t kQ = 1U << 27;
    static constexpr unsigned kGeShift = 16;
    // N Z C V Q in bits 31..27, GE[3:0] in bits 19..16; the rest reads 0.
    uint32_t apsr() const
    {
        return (n ? 1U << 31 : 0U) | (z ? 1U << 30 : 0U) | (c ? 1U << 29 : 0U) | (v ? 1U << 28 : 0U) | qge;
    }
    void setFlags(uint32_t nzcv)  // from bits 31..28
    {
        n = (nzcv >> 31) != 0;
        z = ((nzcv >> 30) & 1U) != 0;
        c = ((nzcv >> 29) & 1U) != 0;
        v = ((nzcv >> 28) & 1U) != 0;
    }
    void setApsr(uint32_t value)
    {
        setFlags(value);
        qge = value & kQge;
    }
};

// What MRS, MSR and CPS reach besides the APSR: the core keeps these itself. `sysm` is the SYSm field of
// the encoding (8 MSP, 9 PSP, 16 PRIMASK, 17 BASEPRI, 18 BASEPRI_MAX, 19 FAULTMASK, 20 CONTROL; 0..7 the
// xPSR views, whose IPSR part the core gives).
struct SystemRegisters {
    virtual uint32_t readSpecial(unsigned sysm) = 0;
    // The APSR views' N Z C V Q and GE the interpreter writes itself; this is called for the others.
    virtual void writeSpecial(unsigned sysm, uint32_t value) = 0;
    // CPSID/CPSIE: `disable` sets, otherwise clears, PRIMASK (i) and/or FAULTMASK (f).
    virtual void changeProcessorState(bool disable, bool primask, bool faultmask) = 0;

protected:
    ~SystemRegisters() = default;
};

struct Memory {
    const uint8_t* flash = nullptr;  // read and fetched; a store into flash goes to the bus
    uint32_t flashBase = 0;
    uint32_t flashSize = 0;
    uint8_t* ram = nullptr;
    uint32_t ramBase = 0;
    uint32_t ramSize = 0;
    Bus* bus = nullptr;  // every other address, and stores into flash

    // RAM holding all `width` bytes at `addr`, or null.
    uint8_t* writable(uint32_t addr, uint32_t width) const
    {
        const uint32_t r = addr - ramBase;
        return uint64_t{r} + width <= ramSize ? ram + r : nullptr;
    }
    // Flash holding all `width` bytes at `addr`, or null.
    const uint8_t* inFlash(uint32_t addr, uint32_t width) const
    {
        const uint32_t f = addr - flashBase;
        return uint64_t{f} + width <= flashSize ? flash + f : nullptr;
    }
    // RAM or flash holding all `width` bytes at `addr` (to read or fetch), or null.
    const uint8_t* readable(uint32_t addr, uint32_t width) const
    {
        const uint8_t* p = writable(addr, width);
        return p != nullptr ? p : inFlash(addr, width);
    }
};

// Why a block stopped. With anything but Ended, pc is the address of the instruction that stopped it and
// no effect of that instruction is left (except ExceptionReturn: see below).
enum class Stop : uint8_t {
    Ended,            // ran to its end: pc is the next instruction's address (branch taken or not)
    ExceptionReturn,  // BX, POP, LDM or LDR loaded pc with 0xF0000000 or above: the value is in pc, the
                      // instruction's other effects (SP written back, registers loaded) are done
    Breakpoint,       // BKPT
    Svc,              // SVC
    Wfi,              // WFI or WFE: pc is past it
    Undefined,        // an encoding this interpreter does not execute (or UDF)
    BusError,         // a load or store the bus refused, or nothing is mapped: faultAddress says where
    Unaligned,        // LDRD/STRD/LDM/STM/LDREX/STREX or an FP load/store on an unaligned address
};

struct Instruction;  // the decoded form, private to the interpreter
struct Context;     // what the instructions run on, private to the interpreter

struct Block {
    uint32_t start = 0;
    uint32_t bytes = 0;  // the instructions decoded, from start
    uint32_t count = 0;  // how many instructions
    bool hasIt = false;  // holds an IT instruction
    // An IT block of it goes on past its end: it runs an instruction at a time, keeping ITSTATE. (Where
    // each ends inside, the chain runs it as one, its instructions behind their guards.)
    bool itGoesOn = false;
    // The first record's handler, beside the start: the way into a block needs no load of the chain first.
    Stop (*entry)(Context&, const Instruction&) = nullptr;
    // The decoded instructions as a chain, each handler jumping to the next, with a record in front of
    // each that may read pc (which sets it) and of each that has a condition from an IT block (a guard,
    // which runs it only when that passes, where the block runs as one), and one at the end.
    std::vector<Instruction> chain;
    uint32_t addressOf(uint32_t k) const;  // of instruction k < count
    Block();
    ~Block();
    Block(Block&&) noexcept;
    Block& operator=(Block&&) noexcept;
};

// Decodes from `start` up to and including the first instruction that may change the flow (any branch,
// any write of pc, SVC, BKPT, WFI/WFE, UDF, an undefined encoding) or that the core must see the effect of
// before the next one (MSR and CPS: an exception may become takeable; ISB), and never past `limit` (the
// block then ends before the instruction at `limit`) or the end of flash or RAM. An IT block is not split.
// Each instruction carries its Cortex-M4 cost (block_cost.hpp sums them).
// False when `start` is not in flash or RAM (nothing to fetch).
bool decode(const Memory& memory, uint32_t start, uint32_t limit, Block* out);

// Runs blocks on one register file, memory and set of special registers: what the instructions need
// besides the block is set up once, not at every block.
class Interpreter {
public:
    Interpreter(Registers& regs, const Memory& memory, SystemRegisters& system);
    ~Interpreter();
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    // Runs `block` from its first instruction (pc must be block.start). Loads and stores to flash and RAM
    // go to memory directly; others to the bus. `faultAddress` is set with BusError and Unaligned.
    // Inline, in thumb_run.hpp: it runs at every block. `chain`: the hook (chainBlocks) may go on from its end.
    Stop run(const Block& block, uint32_t* faultAddress, bool chain = true);

    // From now on, when a block run by `run` ends, `ended` is called with `owner` in the context
    // (Context::owner) and pc, the next instruction's address (also in the registers): it returns Ended to
    // have `run` return, or enters the next block itself (enterBlock, thumb_run.hpp), up to `limit` blocks
    // in a row. A stop is then reported of the block it happened in. A block run an instruction at a time
    // ends without the call, and so does one run with `chain` false.
    using BlockEnded = Stop (*)(Context&, uint32_t pc);
    void chainBlocks(BlockEnded ended, void* owner, unsigned limit);

private:
    // Entered inside an IT block, or holding one that goes on past its end: ITSTATE at every instruction.
    Stop runConditional(const Block& block, uint32_t* faultAddress);
    Stop stoppedAt(const Instruction& i, Stop stopped, uint8_t itBefore, uint32_t* faultAddress);
    Stop stoppedInPredicated(const Block& block, const Instruction& i, Stop stopped, uint32_t* faultAddress);

    std::unique_ptr<Context> context_;
    unsigned chainLimit_ = 0;
};

}  // namespace emu::thumb
