// The integer instructions' handlers and the loop that runs a decoded block.
#include "platform/emu/thumb_execute.hpp"
#include "platform/emu/thumb_run.hpp"

#include <array>
#include <bit>

namespace emu::thumb {

namespace {

constexpr uint32_t kExceptionReturn = 0xF0000000U;
constexpr uint32_t kQ = Registers::kQ;
constexpr uint32_t kGeShift = Registers::kGeShift;

struct Sum {
    uint32_t value;
    bool carry, overflow;
};

Sum addWithCarry(uint32_t x, uint32_t y, bool carryIn)
{
    const uint64_t unsignedSum = uint64_t{x} + y + (carryIn ? 1U : 0U);
    const auto result = static_cast<uint32_t>(unsignedSum);
    return {result, (unsignedSum >> 32) != 0, ((~(x ^ y) & (x ^ result)) >> 31) != 0};
}

// A write of pc by a load, BX or BLX: bit 0 selects Thumb, the top values return from an exception.
Stop interwork(Context& c, uint32_t target)
{
    if (target >= kExceptionReturn) {
        c.nextPc = target;
        return Stop::ExceptionReturn;
    }
    if ((target & 1U) == 0) {
        return Stop::Undefined;  // the M4 has no ARM state: an INVSTATE usage fault
    }
    c.nextPc = target & ~1U;
    return Stop::Ended;
}

void writeResult(Context& c, unsigned d, uint32_t value)
{
    if (d == 15) {
        c.nextPc = value & ~1U;
    } else {
        c.regs.r[d] = value;
    }
}

// Inline in every handler of its operation: as a call it cost as much as the operation.
template <AluOp Op>
[[gnu::always_inline]] inline void alu(Context& c, const Instruction& i, uint32_t op2, bool shifterCarry)
{
    const uint32_t rn = c.regs.r[i.n];
    uint32_t result = 0;
    Sum sum{};
    constexpr bool arithmetic = Op == AluOp::Add || Op == AluOp::Adc || Op == AluOp::Sub || Op == AluOp::Sbc ||
                                Op == AluOp::Rsb || Op == AluOp::Cmp || Op == AluOp::Cmn;
    switch (Op) {
    case AluOp::And:
    case AluOp::Tst: result = rn & op2; break;
    case AluOp::Bic: result = rn & ~op2; break;
    case AluOp::Orr: result = rn | op2; break;
    case AluOp::Orn: result = rn | ~op2; break;
    case AluOp::Eor:
    case AluOp::Teq: result = rn ^ op2; break;
    case AluOp::Mov: result = op2; break;
    case AluOp::Mvn: result = ~op2; break;
    case AluOp::Add:
    case AluOp::Cmn: sum = addWithCarry(rn, op2, false); break;
    case AluOp::Adc: sum = addWithCarry(rn, op2, c.regs.c); break;
    case AluOp::Sub:
    case AluOp::Cmp: sum = addWithCarry(rn, ~op2, true); break;
    case AluOp::Sbc: sum = addWithCarry(rn, ~op2, c.regs.c); break;
    case AluOp::Rsb: sum = addWithCarry(~rn, op2, true); break;
    }
    if (arithmetic) {
        result = sum.value;
    }
    constexpr bool compare = Op == AluOp::Tst || Op == AluOp::Teq || Op == AluOp::Cmp || Op == AluOp::Cmn;
    if (!compare) {
        writeResult(c, i.d, result);
    }
    if (compare || c.setsFlags(i)) {
        c.setNz(result);
        if (arithmetic) {
            c.regs.c = sum.carry;
            c.regs.v = sum.overflow;
        } else {
            c.regs.c = shifterCarry;
        }
    }
}

}  // namespace

bool Context::busAccess(uint32_t addr, unsigned width, uint32_t* value, bool store)
{
    const bool done = memory.bus != nullptr && (store ? memory.bus->write(addr, width, *value)
                                                      : memory.bus->read(addr, width, value));
    if (!done) {
        faultAddress = addr;
    }
    return done;
}

template <AluOp Op>
Stop aluImmediate(Context& c, const Instruction& i)
{
    alu<Op>(c, i, i.imm, (i.flags & kCarryFromImm) != 0 ? (i.imm >> 31) != 0 : c.regs.c);
    return Stop::Ended;
}

template <AluOp Op>
Stop aluRegister(Context& c, const Instruction& i)
{
    const unsigned amount = (i.flags & kRegisterShift) != 0 ? (c.regs.r[i.a] & 0xFFU) : i.shiftAmount;
    bool carry = false;
    const uint32_t op2 = shiftC(c.regs.r[i.m], i.shift, amount, c.regs.c, &carry);
    alu<Op>(c, i, op2, carry);
    return Stop::Ended;
}

// A register as it is, the commonest operand: no shifter work.
template <AluOp Op>
Stop aluPlainRegister(Context& c, const Instruction& i)
{
    alu<Op>(c, i, c.regs.r[i.m], c.regs.c);
    return Stop::Ended;
}

// A register shifted by an immediate, the type known: the amount is never 0 here (LSL #0 is the plain
// register, an LSR or ASR #0 is decoded as #32, ROR #0 as RRX), so the shift needs no test of it.
template <AluOp Op, Shift Type>
Stop aluShiftedRegister(Context& c, const Instruction& i)
{
    const uint32_t value = c.regs.r[i.m];
    const unsigned amount = i.shiftAmount;
    uint32_t op2 = 0;
    bool carry = false;
    switch (Type) {
    case Shift::Lsl:  // 1..31
        op2 = value << amount;
        carry = ((value >> (32U - amount)) & 1U) != 0;
        break;
    case Shift::Lsr:  // 1..32: a 64-bit shift takes 32 too
        op2 = static_cast<uint32_t>(uint64_t{value} >> amount);
        carry = ((uint64_t{value} >> (amount - 1U)) & 1U) != 0;
        break;
    case Shift::Asr: {
        const int64_t wide = static_cast<int32_t>(value);
        op2 = static_cast<uint32_t>(wide >> amount);
        carry = ((wide >> (amount - 1U)) & 1) != 0;
        break;
    }
    case Shift::Ror:  // 1..31
        op2 = std::rotr(value, static_cast<int>(amount));
        carry = (op2 >> 31) != 0;
        break;
    case Shift::Rrx:
        op2 = (value >> 1) | (c.regs.c ? 0x80000000U : 0U);
        carry = (value & 1U) != 0;
        break;
    }
    alu<Op>(c, i, op2, carry);
    return Stop::Ended;
}

#define EMU_THUMB_ALU(op) \
    {threaded<aluImmediate<AluOp::op>>, threaded<aluRegister<AluOp::op>>, threaded<aluPlainRegister<AluOp::op>>},
const Handler kAluHandlers[16][3] = {EMU_THUMB_ALU_OPS(EMU_THUMB_ALU)};
#undef EMU_THUMB_ALU
#define EMU_THUMB_ALU(op)                                                                                    \
    {threaded<aluShiftedRegister<AluOp::op, Shift::Lsl>>, threaded<aluShiftedRegister<AluOp::op, Shift::Lsr>>, \
     threaded<aluShiftedRegister<AluOp::op, Shift::Asr>>, threaded<aluShiftedRegister<AluOp::op, Shift::Ror>>, \
     threaded<aluShiftedRegister<AluOp::op, Shift::Rrx>>},
const Handler kAluShiftedHandlers[16][5] = {EMU_THUMB_ALU_OPS(EMU_THUMB_ALU)};
#undef EMU_THUMB_ALU

namespace {

template <MulOp Op>
Stop multiply(Context& c, const Instruction& i)
{
    uint32_t& rd = c.regs.r[i.d];
    const uint32_t rn = c.regs.r[i.n];
    const uint32_t rm = c.regs.r[i.m];
    const uint32_t ra = c.regs.r[i.a];
    switch (Op) {
    case MulOp::Mul: writeResult(c, i.d, rn * rm); break;
    case MulOp::Mla: rd = rn * rm + ra; break;
    case MulOp::Mls: rd = ra - rn * rm; break;
    case MulOp::Udiv: rd = rm == 0 ? 0 : rn / rm; break;
    case MulOp::Sdiv: {
        const auto a = static_cast<int32_t>(rn);
        const auto b = static_cast<int32_t>(rm);
        rd = b == 0 ? 0U : (a == INT32_MIN && b == -1) ? rn : static_cast<uint32_t>(a / b);
        break;
    }
    case MulOp::Umull:
    case MulOp::Smull:
    case MulOp::Umlal:
    case MulOp::Smlal: {
        const bool sign = Op == MulOp::Smull || Op == MulOp::Smlal;
        const bool accumulate = Op == MulOp::Umlal || Op == MulOp::Smlal;
        const int64_t signedProduct = int64_t{static_cast<int32_t>(rn)} * static_cast<int32_t>(rm);
        uint64_t product = sign ? static_cast<uint64_t>(signedProduct) : uint64_t{rn} * rm;
        if (accumulate) {
            product += (uint64_t{c.regs.r[i.d]} << 32) | c.regs.r[i.a];
        }
        c.regs.r[i.a] = static_cast<uint32_t>(product);  // RdLo
        c.regs.r[i.d] = static_cast<uint32_t>(product >> 32);
        return Stop::Ended;
    }
    }
    if (c.setsFlags(i)) {
        c.setNz(c.regs.r[i.d]);
    }
    return Stop::Ended;
}

}  // namespace

Handler multiplyHandler(MulOp op)
{
    static constexpr auto kHandlers = handlersByOperation<static_cast<std::size_t>(MulOp::Smlal) + 1>(
        [](auto n) { return threaded<multiply<static_cast<MulOp>(decltype(n)::value)>>; });
    return kHandlers[static_cast<std::size_t>(op)];
}

namespace {

template <BitOp Op>
Stop bitOp(Context& c, const Instruction& i)
{
    const uint32_t rm = c.regs.r[i.m];
    uint32_t& rd = c.regs.r[i.d];
    const unsigned lsb = i.shiftAmount;
    const unsigned width = i.imm;  // 1..32
    const uint32_t mask = width >= 32 ? ~0U : (1U << width) - 1U;
    switch (Op) {
    case BitOp::Clz: rd = static_cast<uint32_t>(std::countl_zero(rm)); break;
    case BitOp::Rev: rd = __builtin_bswap32(rm); break;
    case BitOp::Rev16: rd = ((rm & 0x00FF00FFU) << 8) | ((rm >> 8) & 0x00FF00FFU); break;
    case BitOp::Revsh:
        rd = static_cast<uint32_t>(static_cast<int16_t>(static_cast<uint16_t>((rm << 8) | ((rm >> 8) & 0xFFU))));
        break;
    case BitOp::Rbit: {
        uint32_t r = 0;
        for (unsigned b = 0; b < 32; ++b) {
            r |= ((rm >> b) & 1U) << (31 - b);
        }
        rd = r;
        break;
    }
    case BitOp::Ubfx: rd = (c.regs.r[i.n] >> lsb) & mask; break;
    case BitOp::Sbfx: {
        const uint32_t field = (c.regs.r[i.n] >> lsb) & mask;
        const uint32_t sign = 1U << (width - 1);
        rd = (field ^ sign) - sign;
        break;
    }
    case BitOp::Bfi: rd = (rd & ~(mask << lsb)) | ((c.regs.r[i.n] & mask) << lsb); break;
    case BitOp::Bfc: rd &= ~(mask << lsb); break;
    case BitOp::Movt: rd = (rd & 0xFFFFU) | (i.imm << 16); break;
    case BitOp::Extend: {
        // op2 rotated, then sign- or zero-extended from `width` bits, then added to Rn unless n is 15
        uint32_t v = std::rotr(rm, static_cast<int>(lsb)) & mask;
        if ((i.flags & kSigned) != 0) {
            const uint32_t sign = 1U << (width - 1);
            v = (v ^ sign) - sign;
        }
        rd = i.n == 15 ? v : c.regs.r[i.n] + v;
        break;
    }
    case BitOp::Extend16: {
        // bytes 0 and 2 of op2 rotated, each extended to a halfword and added to Rn's halfword unless n is 15
        const uint32_t v = std::rotr(rm, static_cast<int>(lsb));
        const uint32_t rn = i.n == 15 ? 0U : c.regs.r[i.n];
        uint32_t result = 0;
        for (unsigned h = 0; h < 32; h += 16) {
            uint32_t byte = (v >> h) & 0xFFU;
            if ((i.flags & kSigned) != 0) {
                byte = (byte ^ 0x80U) - 0x80U;
            }
            result |= ((rn >> h) + byte) << h & (0xFFFFU << h);
        }
        rd = result;
        break;
    }
    case BitOp::Pkhbt: rd = (c.regs.r[i.n] & 0xFFFFU) | ((rm << lsb) & 0xFFFF0000U); break;
    case BitOp::Pkhtb: {
        bool carry = false;
        rd = (c.regs.r[i.n] & 0xFFFF0000U) | (shiftC(rm, Shift::Asr, lsb, false, &carry) & 0xFFFFU);
        break;
    }
    case BitOp::Sel: {
        const uint32_t rn = c.regs.r[i.n];
        uint32_t result = 0;
        for (unsigned b = 0; b < 4; ++b) {
            const uint32_t byte = 0xFFU << (8 * b);
            result |= ((c.regs.qge >> (kGeShift + b)) & 1U) != 0 ? rn & byte : rm & byte;
        }
        rd = result;
        break;
    }
    }
    return Stop::Ended;
}

}  // namespace

Handler bitOpHandler(BitOp op)
{
    static constexpr auto kHandlers = handlersByOperation<static_cast<std::size_t>(BitOp::Sel) + 1>(
        [](auto n) { return threaded<bitOp<static_cast<BitOp>(decltype(n)::value)>>; });
    return kHandlers[static_cast<std::size_t>(op)];
}

namespace {

template <unsigned Width>
uint32_t extended(const Instruction& i, uint32_t value)
{
    if ((i.flags & kSigned) != 0 && Width < 4) {
        const uint32_t sign = 1U << (8 * Width - 1);
        return (value ^ sign) - sign;
    }
    return value;
}

// The rare ends of a plain load or store: a peripheral register, or nothing, answers. Out of line, so that
// an access to memory needs no stack frame.
template <unsigned Width>
[[gnu::noinline]] Stop loadFromBus(Context& c, const Instruction& i, uint32_t addr)
{
    uint32_t value = 0;
    if (!c.busAccess(addr, Width, &value, false)) {
        return Stop::BusError;
    }
    c.regs.r[i.d] = extended<Width>(i, value);
    return Stop::Ended;
}

template <unsigned Width>
[[gnu::noinline]] Stop storeToBus(Context& c, const Instruction& i, uint32_t addr)
{
    uint32_t value = c.regs.r[i.d];
    return c.busAccess(addr, Width, &value, true) ? Stop::Ended : Stop::BusError;
}

// LDR/STR of every width: base n, an immediate or shifted register offset, indexing and write-back. The
// width is the handler's own, so that the access is a single move.
template <bool Load, bool RegisterOffset, unsigned Width>
Stop loadStore(Context& c, const Instruction& i)
{
    const uint32_t offset = RegisterOffset ? c.regs.r[i.m] << i.shiftAmount : i.imm;
    const uint32_t base = i.n == 15 ? 0U : c.regs.r[i.n];  // a literal's address is in imm already
    const uint32_t offsetAddr = (i.flags & kAdd) != 0 ? base + offset : base - offset;
    const uint32_t addr = (i.flags & kIndex) != 0 ? offsetAddr : base;
    if (Load) {
        uint32_t value = 0;
        if (!c.read(addr, Width, &value)) {
            return Stop::BusError;
        }
        value = extended<Width>(i, value);
        if ((i.flags & kWriteBack) != 0) {
            c.regs.r[i.n] = offsetAddr;
        }
        if (i.d == 15) {
            return interwork(c, value);
        }
        c.regs.r[i.d] = value;
    } else {
        if (!c.write(addr, Width, c.regs.r[i.d])) {
            return Stop::BusError;
        }
        if ((i.flags & kWriteBack) != 0) {
            c.regs.r[i.n] = offsetAddr;
        }
    }
    return Stop::Ended;
}

// The offset added to a base other than pc, no write-back, no load of pc: most accesses (stack slots,
// fields, array elements).
template <bool Load, bool RegisterOffset, unsigned Width>
Stop loadStorePlain(Context& c, const Instruction& i)
{
    const uint32_t addr = c.regs.r[i.n] + (RegisterOffset ? c.regs.r[i.m] << i.shiftAmount : i.imm);
    if (Load) {
        const uint8_t* p = c.memory.readable(addr, Width);
        if (p == nullptr) {
            return loadFromBus<Width>(c, i, addr);
        }
        c.regs.r[i.d] = extended<Width>(i, Context::loadBytes(p, Width));
    } else {
        uint8_t* p = c.memory.writable(addr, Width);
        if (p == nullptr) {
            return storeToBus<Width>(c, i, addr);
        }
        Context::storeBytes(p, Width, c.regs.r[i.d]);
    }
    return Stop::Ended;
}

// An immediate offset written back to a base other than pc, no load of pc. The rare accesses outside
// RAM and flash go the general way.
template <bool Load, bool PreIndexed, unsigned Width>
Stop loadStoreWriteBack(Context& c, const Instruction& i)
{
    const uint32_t base = c.regs.r[i.n];
    const uint32_t offsetAddr = (i.flags & kAdd) != 0 ? base + i.imm : base - i.imm;
    const uint32_t addr = PreIndexed ? offsetAddr : base;
    if (Load) {
        const uint8_t* p = c.memory.readable(addr, Width);
        if (p == nullptr) {
            return loadStore<Load, false, Width>(c, i);
        }
        const uint32_t value = extended<Width>(i, Context::loadBytes(p, Width));
        c.regs.r[i.n] = offsetAddr;
        c.regs.r[i.d] = value;  // after the base, as the general form does
    } else {
        uint8_t* p = c.memory.writable(addr, Width);
        if (p == nullptr) {
            return loadStore<Load, false, Width>(c, i);
        }
        Context::storeBytes(p, Width, c.regs.r[i.d]);
        c.regs.r[i.n] = offsetAddr;
    }
    return Stop::Ended;
}

// LDR (literal) into a register other than pc: the address, in flash next to the code, known at decode.
template <unsigned Width>
Stop loadLiteral(Context& c, const Instruction& i)
{
    const uint8_t* p = c.memory.inFlash(i.imm, Width);
    if (p == nullptr) {
        p = c.memory.writable(i.imm, Width);  // code run from RAM
    }
    if (p == nullptr) {
        return loadFromBus<Width>(c, i, i.imm);
    }
    c.regs.r[i.d] = extended<Width>(i, Context::loadBytes(p, Width));
    return Stop::Ended;
}

template <bool Load, bool RegisterOffset, unsigned Width>
Handler loadStoreOfForm(AccessForm form)
{
    if constexpr (!RegisterOffset) {  // write-back comes with an immediate offset only
        if (form == AccessForm::PostIndexed || form == AccessForm::PreIndexed) {
            return form == AccessForm::PreIndexed ? threaded<loadStoreWriteBack<Load, true, Width>>
                                                  : threaded<loadStoreWriteBack<Load, false, Width>>;
        }
    }
    return form == AccessForm::Plain ? threaded<loadStorePlain<Load, RegisterOffset, Width>>
                                     : threaded<loadStore<Load, RegisterOffset, Width>>;
}

template <bool Load, bool RegisterOffset>
Handler loadStoreOfWidth(unsigned width, AccessForm form)
{
    switch (width) {
    case 1: return loadStoreOfForm<Load, RegisterOffset, 1>(form);
    case 2: return loadStoreOfForm<Load, RegisterOffset, 2>(form);
    default: return loadStoreOfForm<Load, RegisterOffset, 4>(form);
    }
}

}  // namespace

Handler loadStoreHandler(bool load, bool registerOffset, unsigned width, AccessForm form)
{
    if (load) {
        return registerOffset ? loadStoreOfWidth<true, true>(width, form) : loadStoreOfWidth<true, false>(width, form);
    }
    return registerOffset ? loadStoreOfWidth<false, true>(width, form) : loadStoreOfWidth<false, false>(width, form);
}

Handler loadLiteralHandler(unsigned width)
{
    switch (width) {
    case 1: return threaded<loadLiteral<1>>;
    case 2: return threaded<loadLiteral<2>>;
    default: return threaded<loadLiteral<4>>;
    }
}

// Several words from `addr` up: all or nothing when they lie in RAM or flash.
bool readWords(Context& c, uint32_t addr, unsigned count, uint32_t* words)
{
    if (const uint8_t* p = c.direct(addr, 4 * count, false)) {
        std::memcpy(words, p, sizeof(uint32_t) * count);
        return true;
    }
    for (unsigned k = 0; k < count; ++k) {
        if (!c.read(addr + 4 * k, 4, &words[k])) {
            return false;
        }
    }
    return true;
}

bool writeWords(Context& c, uint32_t addr, unsigned count, const uint32_t* words)
{
    if (uint8_t* p = const_cast<uint8_t*>(c.direct(addr, 4 * count, true))) {
        std::memcpy(p, words, sizeof(uint32_t) * count);
        return true;
    }
    for (unsigned k = 0; k < count; ++k) {
        if (!c.write(addr + 4 * k, 4, words[k])) {
            return false;
        }
    }
    return true;
}

namespace {

Stop unaligned(Context& c, uint32_t addr)
{
    c.faultAddress = addr;
    return Stop::Unaligned;
}

// LDM/STM of peripheral registers: all words gathered first, so that a refused access leaves no
// register changed.
template <bool Load>
[[gnu::noinline]] Stop loadStoreMultipleOnBus(Context& c, const Instruction& i, uint32_t start, uint32_t end)
{
    const uint32_t count = i.imm;
    uint32_t words[16] = {};
    unsigned k = 0;
    if (!Load) {
        for (unsigned r = 0; r < 16; ++r) {
            if ((i.list >> r & 1U) != 0) {
                words[k++] = c.regs.r[r];
            }
        }
    }
    if (!(Load ? readWords(c, start, count, words) : writeWords(c, start, count, words))) {
        return Stop::BusError;
    }
    if ((i.flags & kWriteBack) != 0) {
        c.regs.r[i.n] = end;
    }
    if (Load) {
        k = 0;
        for (unsigned r = 0; r < 15; ++r) {
            if ((i.list >> r & 1U) != 0) {
                c.regs.r[r] = words[k++];
            }
        }
        if ((i.list >> 15) != 0) {
            return interwork(c, words[k]);
        }
    }
    return Stop::Ended;
}

}  // namespace

// LDRD/STRD: d and a are Rt and Rt2.
template <bool Load>
Stop loadStoreDual(Context& c, const Instruction& i)
{
    const uint32_t base = i.n == 15 ? 0U : c.regs.r[i.n];
    const uint32_t offsetAddr = (i.flags & kAdd) != 0 ? base + i.imm : base - i.imm;
    const uint32_t addr = (i.flags & kIndex) != 0 ? offsetAddr : base;
    if ((addr & 3U) != 0) {
        return unaligned(c, addr);
    }
    uint32_t words[2] = {c.regs.r[i.d], c.regs.r[i.a]};
    if (!(Load ? readWords(c, addr, 2, words) : writeWords(c, addr, 2, words))) {
        return Stop::BusError;
    }
    if ((i.flags & kWriteBack) != 0) {
        c.regs.r[i.n] = offsetAddr;
    }
    if (Load) {
        c.regs.r[i.d] = words[0];
        c.regs.r[i.a] = words[1];
    }
    return Stop::Ended;
}

EMU_THUMB_THREADED(loadStoreDual<true>);
EMU_THUMB_THREADED(loadStoreDual<false>);

// LDM/STM/PUSH/POP: increment after, or decrement before. Inlined into each handler, pops that end a block
// included.
template <bool Load, bool Increment, bool WriteBack>
[[gnu::always_inline]] inline Stop loadStoreMultiple(Context& c, const Instruction& i)
{
    const uint32_t count = i.imm;  // registers in the list, counted at decode
    const uint32_t base = c.regs.r[i.n];
    const uint32_t start = Increment ? base : base - 4 * count;
    if ((start & 3U) != 0) {
        return unaligned(c, start);
    }
    const uint32_t end = Increment ? base + 4 * count : start;
    uint8_t* memory = Load ? const_cast<uint8_t*>(c.memory.readable(start, 4 * count))
                           : c.memory.writable(start, 4 * count);
    if (memory == nullptr) {
        return loadStoreMultipleOnBus<Load>(c, i, start, end);
    }
    // In flash or RAM, register by register, as the stack's pushes and pops are.
    std::array<uint32_t, 16>& r = c.regs.r;  // held here: the copies below may alias anything
    if (!Load) {
        for (uint32_t list = i.list; list != 0; list &= list - 1) {
            std::memcpy(memory, &r[static_cast<unsigned>(std::countr_zero(list))], 4);
            memory += 4;
        }
    }
    if (WriteBack) {
        r[i.n] = end;
    }
    if (Load) {
        for (uint32_t list = i.list & 0x7FFFU; list != 0; list &= list - 1) {
            std::memcpy(&r[static_cast<unsigned>(std::countr_zero(list))], memory, 4);
            memory += 4;
        }
        if ((i.list >> 15) != 0) {
            uint32_t target = 0;
            std::memcpy(&target, memory, 4);
            return interwork(c, target);
        }
    }
    return Stop::Ended;
}

EMU_THUMB_THREADED(loadStoreMultiple<true, true, true>);
EMU_THUMB_THREADED(loadStoreMultiple<true, true, false>);
EMU_THUMB_THREADED(loadStoreMultiple<true, false, true>);
EMU_THUMB_THREADED(loadStoreMultiple<true, false, false>);
EMU_THUMB_ENDING(loadStoreMultiple<true, true, true>);
EMU_THUMB_ENDING(loadStoreMultiple<true, true, false>);
EMU_THUMB_ENDING(loadStoreMultiple<true, false, true>);
EMU_THUMB_ENDING(loadStoreMultiple<true, false, false>);

Handler loadStoreMultipleHandler(bool load, bool increment, bool writeBack)
{
    static constexpr std::array<Handler, 8> kHandlers{
        threaded<loadStoreMultiple<false, false, false>>, threaded<loadStoreMultiple<false, false, true>>,
        threaded<loadStoreMultiple<false, true, false>>,  threaded<loadStoreMultiple<false, true, true>>,
        threaded<loadStoreMultiple<true, false, false>>,  threaded<loadStoreMultiple<true, false, true>>,
        threaded<loadStoreMultiple<true, true, false>>,   threaded<loadStoreMultiple<true, true, true>>,
    };
    return kHandlers[(load ? 4U : 0U) | (increment ? 2U : 0U) | (writeBack ? 1U : 0U)];
}

// LDREX/STREX of op bytes: d the loaded or stored register, a STREX's status register. Always succeeds.
template <bool Load>
Stop exclusive(Context& c, const Instruction& i)
{
    const uint32_t addr = c.regs.r[i.n] + i.imm;
    if ((addr & (i.op - 1U)) != 0) {
        return unaligned(c, addr);
    }
    if (Load) {
        uint32_t value = 0;
        if (!c.read(addr, i.op, &value)) {
            return Stop::BusError;
        }
        c.regs.r[i.d] = value;
    } else {
        if (!c.write(addr, i.op, c.regs.r[i.d])) {
            return Stop::BusError;
        }
        c.regs.r[i.a] = 0;
    }
    return Stop::Ended;
}

EMU_THUMB_THREADED(exclusive<true>);
EMU_THUMB_THREADED(exclusive<false>);

Stop tableBranch(Context& c, const Instruction& i)
{
    const unsigned width = i.op;
    const uint32_t addr = c.regs.r[i.n] + c.regs.r[i.m] * width;
    uint32_t entry = 0;
    if (!c.read(addr, width, &entry)) {
        return Stop::BusError;
    }
    c.nextPc = i.addr + 4 + 2 * entry;
    return Stop::Ended;
}

Stop branch(Context& c, const Instruction& i)
{
    c.nextPc = i.imm;
    return Stop::Ended;
}

// B<c>: its own condition, which an IT block must not add to.
Stop conditionalBranch(Context& c, const Instruction& i)
{
    if (c.inIt) {
        return Stop::Undefined;
    }
    if (conditionPassed(c, i.cond)) {
        c.nextPc = i.imm;
    }
    return Stop::Ended;
}

Stop branchLink(Context& c, const Instruction& i)
{
    c.regs.r[14] = (i.addr + i.size) | 1U;
    c.nextPc = i.imm;
    return Stop::Ended;
}

Stop branchExchange(Context& c, const Instruction& i)
{
    const uint32_t target = c.regs.r[i.m];
    if (i.op != 0) {  // BLX
        c.regs.r[14] = (i.addr + i.size) | 1U;
    }
    return interwork(c, target);
}

Stop compareBranch(Context& c, const Instruction& i)
{
    if ((c.regs.r[i.n] == 0) == (i.op == 0)) {  // op 0: CBZ
        c.nextPc = i.imm;
    }
    return Stop::Ended;
}

// ITSTATE is not kept while a block runs as one (its guards hold the conditions): runConditional sets it
// after an IT instruction it steps over, and a stop finds it again from the chain.
Stop ifThen(Context&, const Instruction&) { return Stop::Ended; }

Stop nothing(Context&, const Instruction&) { return Stop::Ended; }

Stop stop(Context&, const Instruction& i) { return static_cast<Stop>(i.op); }

Stop moveFromSpecial(Context& c, const Instruction& i)
{
    uint32_t value = i.imm < 8 ? c.system.readSpecial(i.imm) & 0x1FFU : c.system.readSpecial(i.imm);
    if (i.imm < 4) {  // the views with the APSR
        value |= c.regs.apsr();
    }
    c.regs.r[i.d] = value;
    return Stop::Ended;
}

Stop moveToSpecial(Context& c, const Instruction& i)
{
    const uint32_t value = c.regs.r[i.n];
    if (i.imm < 4) {
        if ((i.op & 2U) != 0) {  // nzcvq
            c.regs.setFlags(value);
            c.regs.qge = (c.regs.qge & ~kQ) | (value & kQ);
        }
        if ((i.op & 1U) != 0) {  // g
            c.regs.qge = (c.regs.qge & ~(0xFU << kGeShift)) | (value & (0xFU << kGeShift));
        }
        return Stop::Ended;
    }
    if (i.imm >= 8) {
        c.system.writeSpecial(i.imm, value);
    }
    return Stop::Ended;
}

Stop changeProcessorState(Context& c, const Instruction& i)
{
    c.system.changeProcessorState(i.op != 0, (i.imm & 2U) != 0, (i.imm & 1U) != 0);
    return Stop::Ended;
}

EMU_THUMB_THREADED(tableBranch);
EMU_THUMB_THREADED(branch);
EMU_THUMB_THREADED(conditionalBranch);
EMU_THUMB_THREADED(branchLink);
EMU_THUMB_THREADED(branchExchange);
EMU_THUMB_THREADED(compareBranch);
EMU_THUMB_THREADED(ifThen);
EMU_THUMB_THREADED(nothing);
EMU_THUMB_THREADED(stop);
EMU_THUMB_THREADED(moveFromSpecial);
EMU_THUMB_THREADED(moveToSpecial);
EMU_THUMB_THREADED(changeProcessorState);
EMU_THUMB_ENDING(branch);
EMU_THUMB_ENDING(conditionalBranch);
EMU_THUMB_ENDING(branchLink);
EMU_THUMB_ENDING(branchExchange);
EMU_THUMB_ENDING(compareBranch);
EMU_THUMB_ENDING(tableBranch);

Stop blockEnd(Context& c, const Instruction&)
{
    const uint32_t pc = c.nextPc;
    c.regs.r[15] = pc;
    if (c.chainsLeft == 0) {
        return Stop::Ended;
    }
    --c.chainsLeft;
    return c.blockEnded(c, pc);
}

Stop setPc(Context& c, const Instruction& p)
{
    c.regs.r[15] = p.addr + 4;
    return next(c, p);
}

Stop guard(Context& c, const Instruction& g)
{
    c.regs.r[15] = g.addr + 4;
    const Instruction& i = *(&g + (conditionPassed(c, g.cond) ? 1 : 2));
    return i.run(c, i);
}

Interpreter::Interpreter(Registers& regs, const Memory& memory, SystemRegisters& system)
    : context_(std::make_unique<Context>(Context{regs, memory, system}))
{
}

Interpreter::~Interpreter() = default;

void Interpreter::chainBlocks(BlockEnded ended, void* owner, unsigned limit)
{
    context_->blockEnded = ended;
    context_->owner = owner;
    chainLimit_ = ended != nullptr ? limit : 0U;
}

// Where a stopping instruction leaves the block: past a WFI; at the instruction, with the IT state from
// before it, for anything that stops it with no effect.
Stop Interpreter::stoppedAt(const Instruction& i, Stop stopped, uint8_t itBefore, uint32_t* faultAddress)
{
    Context& c = *context_;
    switch (stopped) {
    case Stop::ExceptionReturn: c.regs.r[15] = c.nextPc; break;  // the EXC_RETURN value loaded
    case Stop::Wfi: c.regs.r[15] = i.addr + i.size; break;
    default:
        c.regs.itState = itBefore;
        c.regs.r[15] = i.addr;
        *faultAddress = c.faultAddress;
        break;
    }
    return stopped;
}

// A stop in a block with IT blocks: ITSTATE as it was before the instruction, found again from the chain's
// IT instructions (an instruction that ends the block leaves none).
Stop Interpreter::stoppedInPredicated(const Block& block, const Instruction& i, Stop stopped, uint32_t* faultAddress)
{
    uint8_t it = 0;
    for (const Instruction* k = block.chain.data(); k != &i; ++k) {
        if (isInstruction(*k)) {
            it = k->run == threaded<ifThen> ? static_cast<uint8_t>(k->imm) : advanceIt(it);
        }
    }
    context_->regs.itState = 0;
    return stoppedAt(i, stopped, it, faultAddress);
}

// One instruction at a time, each run as a chain of its own that ends after it.
Stop Interpreter::runConditional(const Block& block, uint32_t* faultAddress)
{
    static constexpr Instruction kStepEnd{.run = nothing, .cond = kAlways};  // returns: a step's end
    Context& c = *context_;
    Registers& regs = c.regs;
    c.nextPc = block.start + block.bytes;
    for (const Instruction& i : block.chain) {
        if (!isInstruction(i)) {
            continue;
        }
        const uint8_t it = regs.itState;
        c.inIt = it != 0;
        if (c.inIt) {
            regs.itState = advanceIt(it);
            if (!conditionPassed(c, it >> 4)) {
                continue;
            }
        }
        regs.r[15] = i.addr + 4;
        const std::array<Instruction, 2> step{i, kStepEnd};
        const Stop stopped = step[0].run(c, step[0]);
        if (stopped != Stop::Ended) {
            return stoppedAt(i, stopped, it, faultAddress);
        }
        if (i.run == threaded<ifThen>) {
            regs.itState = static_cast<uint8_t>(i.imm);
        }
    }
    regs.r[15] = c.nextPc;
    return Stop::Ended;
}

}  // namespace emu::thumb
