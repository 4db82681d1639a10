#pragma once
// The decoded form of an instruction and what its handler runs on: shared by the decoder and the executor.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "platform/emu/thumb.hpp"

namespace emu::thumb {

constexpr uint8_t kAlways = 14;

struct Context;
using Handler = Stop (*)(Context&, const Instruction&);

// Flag bits of Instruction::flags.
enum : uint8_t {
    kSetFlags = 1,           // S: always sets the flags
    kSetFlagsOutsideIt = 2,  // a 16-bit form: sets the flags only outside an IT block
    kAdd = 4,                // address offset is added (not subtracted)
    kIndex = 8,              // pre-indexed (offset applied before the access)
    kWriteBack = 16,
    kSigned = 32,
    kCarryFromImm = 64,      // a modified immediate whose rotation gives the shifter carry (bit 31 of imm)
    kRegisterShift = 128,    // the shift amount comes from register `a`
};

enum class Shift : uint8_t { Lsl, Lsr, Asr, Ror, Rrx };

// What the cycle model needs of an instruction besides its cycles (Instruction::timing).
enum : uint8_t {
    kReads = 1,            // loads from memory
    kWrites = 2,           // stores to memory
    kPipelined = 4,        // a single load or store whose address phase overlaps a preceding one's
    kLiteral = 8,          // reads data placed next to the code (pc-relative)
    kFloat = 16,           // an FPU instruction: one at which a lazy FP save happens
    kDivision = 32,        // UDIV/SDIV outside an IT block: charged by its quotient
    kRegisterOffset = 64,  // the address adds register m to base n
};

struct Instruction {
    Handler run = nullptr;
    uint32_t addr = 0;
    uint32_t imm = 0;
    uint8_t d = 0, n = 0, m = 0, a = 0;  // registers (a: accumulator, second destination or shift register)
    // A conditional branch's condition, or inside an IT block the instruction's own (a branch there is
    // unconditional); kAlways for the others.
    uint8_t cond = 0;
    uint8_t flags = 0;
    uint8_t op = 0;  // a handler's own variant (ALU operation, access width, ...)
    Shift shift = Shift::Lsl;
    uint8_t shiftAmount = 0;
    uint8_t size = 0;  // 2 or 4 bytes
    uint16_t list = 0;  // register list
    // The Cortex-M4's cost: cycles at zero wait states (a pipelined access costs 1 after another), timing
    // bits, and r0..r14 the instruction writes with its result (a base written back is not a result).
    uint8_t cycles = 0;
    uint8_t timing = 0;
    uint16_t results = 0;
};
static_assert(sizeof(Instruction) == 32, "a decoded instruction fills half a host cache line");

struct Context {
    Registers& regs;
    const Memory& memory;
    SystemRegisters& system;
    uint32_t nextPc = 0;
    uint32_t faultAddress = 0;
    const Instruction* stopped = nullptr;  // the instruction that stopped the block (with anything but Ended)
    const Block* block = nullptr;          // the block running
    bool inIt = false;  // the running instruction is inside an IT block (regs.itState is advanced past it)
    // Blocks run one into the next (Interpreter::chainBlocks): the owner's hook at a block's end, and how
    // many more blocks it may still enter before the chain returns to Interpreter::run's caller.
    Interpreter::BlockEnded blockEnded = nullptr;
    void* owner = nullptr;
    unsigned chainsLeft = 0;

    bool setsFlags(const Instruction& i) const
    {
        return (i.flags & kSetFlags) != 0 || ((i.flags & kSetFlagsOutsideIt) != 0 && !inIt);
    }
    void setNz(uint32_t result)
    {
        regs.n = (result >> 31) != 0;
        regs.z = result == 0;
    }

    // Flash and RAM directly, the rest through the bus. False (faultAddress set) when nothing answers.
    bool read(uint32_t addr, unsigned width, uint32_t* value)
    {
        if (const uint8_t* p = direct(addr, width, false)) {
            *value = loadBytes(p, width);
            return true;
        }
        return busAccess(addr, width, value, false);
    }
    bool write(uint32_t addr, unsigned width, uint32_t value)
    {
        if (uint8_t* p = const_cast<uint8_t*>(direct(addr, width, true))) {
            storeBytes(p, width, value);
            return true;
        }
        return busAccess(addr, width, &value, true);
    }
    // Copies of a fixed size, each a single move: a copy of `width` bytes would be a call, and reading the
    // word it filled byte by byte would stall the host's store forwarding.
    static uint32_t loadBytes(const uint8_t* p, unsigned width)
    {
        switch (width) {
        case 1: return *p;
        case 2: {
            uint16_t half = 0;
            std::memcpy(&half, p, 2);
            return half;
        }
        default: {
            uint32_t word = 0;
            std::memcpy(&word, p, 4);
            return word;
        }
        }
    }
    static void storeBytes(uint8_t* p, unsigned width, uint32_t value)
    {
        switch (width) {
        case 1: *p = static_cast<uint8_t>(value); break;
        case 2: {
            const auto half = static_cast<uint16_t>(value);
            std::memcpy(p, &half, 2);
            break;
        }
        default: std::memcpy(p, &value, 4); break;
        }
    }
    // RAM (and, for reads, flash) holding all `width` bytes at `addr`, or null.
    const uint8_t* direct(uint32_t addr, uint32_t width, bool store) const
    {
        return store ? memory.writable(addr, width) : memory.readable(addr, width);
    }
    bool busAccess(uint32_t addr, unsigned width, uint32_t* value, bool store);
};

// Whether each condition passes, by NZCV (bit 3 N .. bit 0 V): a look-up instead of a switch, whose
// jump the host mispredicts as the conditions vary.
inline constexpr std::array<uint16_t, 16> kConditionPasses = [] {
    std::array<uint16_t, 16> passes{};
    for (unsigned cond = 0; cond < 16; ++cond) {
        for (unsigned nzcv = 0; nzcv < 16; ++nzcv) {
            const bool n = (nzcv & 8U) != 0;
            const bool z = (nzcv & 4U) != 0;
            const bool c = (nzcv & 2U) != 0;
            const bool v = (nzcv & 1U) != 0;
            bool r = true;
            switch (cond >> 1) {
            case 0: r = z; break;
            case 1: r = c; break;
            case 2: r = n; break;
            case 3: r = v; break;
            case 4: r = c && !z; break;
            case 5: r = n == v; break;
            case 6: r = !z && n == v; break;
            default: break;  // AL
            }
            if ((cond & 1U) != 0 && cond != 15) {
                r = !r;
            }
            passes[cond] = static_cast<uint16_t>(passes[cond] | (r ? 1U << nzcv : 0U));
        }
    }
    return passes;
}();

// N Z C V are adjacent bytes of 0 or 1: read as one word, a multiply gathers them into bits 27..24.
static_assert(offsetof(Registers, z) == offsetof(Registers, n) + 1 &&
              offsetof(Registers, c) == offsetof(Registers, n) + 2 &&
              offsetof(Registers, v) == offsetof(Registers, n) + 3);
inline bool conditionPassed(const Context& c, unsigned cond)
{
    uint32_t flags = 0;
    std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&c.regs) + offsetof(Registers, n), 4);
    const unsigned nzcv = ((flags * 0x08040201U) >> 24) & 0xFU;
    return ((static_cast<unsigned>(kConditionPasses[cond]) >> nzcv) & 1U) != 0;
}

// ITSTATE past one instruction of its IT block.
inline uint8_t advanceIt(uint8_t it)
{
    return (it & 7U) == 0 ? 0 : static_cast<uint8_t>((it & 0xE0U) | ((static_cast<unsigned>(it) << 1) & 0x1FU));
}

// Applies a shift as the shifter does, with its carry out. Inline: every shifted operand takes it.
inline uint32_t shiftC(uint32_t value, Shift type, unsigned amount, bool carryIn, bool* carryOut)
{
    if (amount == 0 && type != Shift::Rrx) {
        *carryOut = carryIn;
        return value;
    }
    switch (type) {
    case Shift::Lsl:
        if (amount >= 32) {
            *carryOut = amount == 32 && (value & 1U) != 0;
            return 0;
        }
        *carryOut = ((value >> (32 - amount)) & 1U) != 0;
        return value << amount;
    case Shift::Lsr:
        if (amount >= 32) {
            *carryOut = amount == 32 && (value >> 31) != 0;
            return 0;
        }
        *carryOut = ((value >> (amount - 1)) & 1U) != 0;
        return value >> amount;
    case Shift::Asr: {
        const auto s = static_cast<int32_t>(value);
        if (amount >= 32) {
            *carryOut = s < 0;
            return s < 0 ? ~0U : 0U;
        }
        *carryOut = ((value >> (amount - 1)) & 1U) != 0;
        const uint32_t fill = s < 0 ? ~0U : 0U;  // the sign copied into the bits shifted in (amount 1..31)
        return (value >> amount) | (fill << (32U - amount));
    }
    case Shift::Ror: {
        const uint32_t r = std::rotr(value, static_cast<int>(amount & 31U));
        *carryOut = (r >> 31) != 0;
        return r;
    }
    case Shift::Rrx:
        *carryOut = (value & 1U) != 0;
        return (value >> 1) | (carryIn ? 0x80000000U : 0U);
    }
    return value;
}

// Threaded dispatch: an instruction's handler runs it and jumps on to the next one's in the block's chain
// (a tail call: the instructions of a block follow one another without a return to a loop in between),
// and the record at the chain's end returns (blockEnd). `Execute` is what the instruction does; one that
// stops the block returns at once and leaves itself in Context::stopped. `Then` is where it goes on: the
// next record, or, for a branch as the chain's last instruction, the block's end at once, without the end
// record's dispatch (nearly every block ends in one). Instantiated beside each handler (thumb_execute.hpp
// lists them) so that the handler is inlined into it.
inline Stop next(Context& c, const Instruction& i)
{
    const Instruction& n = *(&i + 1);
    return n.run(c, n);
}

// The chain's own records (Block::chain). At its end: pc where the block went (a branch sets nextPc).
Stop blockEnd(Context& c, const Instruction&);

template <Handler Execute, Handler Then = next>
Stop threaded(Context& c, const Instruction& i)
{
    const Stop stopped = Execute(c, i);
    if (stopped != Stop::Ended) [[unlikely]] {
        c.stopped = &i;
        return stopped;
    }
    return Then(c, i);
}

// A table of handlers, one per operation 0 .. N-1 of a handler template: `make` gives the handler of an
// operation from its number as a std::integral_constant, so that each is a handler of its own with the
// operation known at compile time.
template <std::size_t N, typename Make>
constexpr std::array<Handler, N> handlersByOperation(Make make)
{
    return [&]<std::size_t... Op>(std::index_sequence<Op...>) {
        return std::array<Handler, N>{make(std::integral_constant<std::size_t, Op>{})...};
    }(std::make_index_sequence<N>{});
}

// In front of an instruction that may read pc: sets it.
Stop setPc(Context& c, const Instruction& p);
// In front of an instruction of an IT block in a block run as one: sets pc, and runs the instruction only
// when the condition (cond) passes.
Stop guard(Context& c, const Instruction& g);

// A record of the chain that is one of the block's instructions (not one of the three above).
inline bool isInstruction(const Instruction& record)
{
    return record.run != guard && record.run != setPc && record.run != blockEnd;
}

}  // namespace emu::thumb
