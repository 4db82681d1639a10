// From halfwords to decoded instructions, and where a block ends.
#include <bit>

#include "platform/emu/thumb_execute.hpp"

namespace emu::thumb {

Block::Block() = default;
Block::~Block() = default;
Block::Block(Block&&) noexcept = default;
Block& Block::operator=(Block&&) noexcept = default;

namespace {

// Unicorn's translated blocks stop at the end of its 1 KB pages (its limit of 512 instructions never
// comes first: they take at least 1 KB).
constexpr uint32_t kPageSize = 1024;
constexpr uint8_t kAlways = 14;

uint32_t bits(uint32_t v, unsigned hi, unsigned lo) { return (v >> lo) & ((2U << (hi - lo)) - 1U); }
bool bit(uint32_t v, unsigned b) { return ((v >> b) & 1U) != 0; }
uint32_t signExtend(uint32_t v, unsigned width) { return (v ^ (1U << (width - 1))) - (1U << (width - 1)); }

// What decoding one instruction tells the block builder besides the instruction.
struct Decoded {
    Instruction i{};
    bool endsBlock = false;
};

class Decoder {
public:
    explicit Decoder(uint32_t addr, uint8_t size) { d_.i = Instruction{undefinedHandler(), addr, 0, 0, 0, 0, 0, kAlways, 0, 0, Shift::Lsl, 0, size, 0}; }

    Decoded thumb16(uint32_t hw);
    Decoded thumb32(uint32_t hw1, uint32_t hw2);

private:
    Decoded d_;
    Instruction& i() { return d_.i; }
    uint32_t pc() const { return d_.i.addr + 4; }
    static Handler undefinedHandler() { return stop; }

    Decoded& undefined()
    {
        i() = Instruction{stop, i().addr, 0, 0, 0, 0, 0, kAlways, 0, static_cast<uint8_t>(Stop::Undefined), Shift::Lsl, 0, i().size, 0};
        d_.endsBlock = true;
        return d_;
    }
    Decoded& stopWith(Stop s)
    {
        undefined();
        i().op = static_cast<uint8_t>(s);
        return d_;
    }
    Decoded& alu(AluOp op, bool immediate, unsigned d, unsigned n, uint8_t flags)
    {
        i().run = kAluHandlers[static_cast<unsigned>(op)][immediate ? 0 : 1];
        i().d = static_cast<uint8_t>(d);
        i().n = static_cast<uint8_t>(n);
        i().flags = flags;
        d_.endsBlock = d == 15 && op != AluOp::Tst && op != AluOp::Teq && op != AluOp::Cmp && op != AluOp::Cmn;
        return d_;
    }
    Decoded& aluImm(AluOp op, unsigned d, unsigned n, uint32_t imm, uint8_t flags)
    {
        i().imm = imm;
        return alu(op, true, d, n, flags);
    }
    Decoded& aluReg(AluOp op, unsigned d, unsigned n, unsigned m, Shift shift, unsigned amount, uint8_t flags)
    {
        i().m = static_cast<uint8_t>(m);
        i().shift = shift;
        i().shiftAmount = static_cast<uint8_t>(amount);
        alu(op, false, d, n, flags);
        if (shift == Shift::Lsl && amount == 0 && (flags & kRegisterShift) == 0) {
            i().run = kAluHandlers[static_cast<unsigned>(op)][2];
        }
        return d_;
    }
    // A shift by an immediate as DecodeImmShift gives it.
    Decoded& aluShifted(AluOp op, unsigned d, unsigned n, unsigned m, unsigned type, unsigned imm5, uint8_t flags)
    {
        switch (type) {
        case 0: return aluReg(op, d, n, m, Shift::Lsl, imm5, flags);
        case 1: return aluReg(op, d, n, m, Shift::Lsr, imm5 == 0 ? 32 : imm5, flags);
        case 2: return aluReg(op, d, n, m, Shift::Asr, imm5 == 0 ? 32 : imm5, flags);
        default: return imm5 == 0 ? aluReg(op, d, n, m, Shift::Rrx, 1, flags) : aluReg(op, d, n, m, Shift::Ror, imm5, flags);
        }
    }
    Decoded& shiftByRegister(Shift shift, unsigned d, unsigned m, unsigned s, uint8_t flags)
    {
        i().a = static_cast<uint8_t>(s);
        aluReg(AluOp::Mov, d, 0, m, shift, 0, flags | kRegisterShift);
        return d_;
    }
    Decoded& mul(MulOp op, unsigned d, unsigned n, unsigned m, unsigned a, uint8_t flags = 0)
    {
        i().run = multiply;
        i().op = static_cast<uint8_t>(op);
        i().d = static_cast<uint8_t>(d);
        i().n = static_cast<uint8_t>(n);
        i().m = static_cast<uint8_t>(m);
        i().a = static_cast<uint8_t>(a);
        i().flags = flags;
        return d_;
    }
    Decoded& bitOperation(BitOp op, unsigned d, unsigned n, unsigned m, unsigned lsb = 0, unsigned width = 32)
    {
        i().run = bitOp;
        i().op = static_cast<uint8_t>(op);
        i().d = static_cast<uint8_t>(d);
        i().n = static_cast<uint8_t>(n);
        i().m = static_cast<uint8_t>(m);
        i().shiftAmount = static_cast<uint8_t>(lsb);
        i().imm = width;
        return d_;
    }
    Decoded& extend(unsigned d, unsigned n, unsigned m, unsigned rotation, unsigned width, bool isSigned)
    {
        bitOperation(BitOp::Extend, d, n, m, rotation, width);
        i().flags = isSigned ? kSigned : 0;
        return d_;
    }
    // A single load or store; a literal (n 15) carries its address in imm.
    Decoded& access(bool load, unsigned width, bool isSigned, unsigned t, unsigned n, uint32_t imm, uint8_t mode)
    {
        if (n == 15) {
            imm = (mode & kAdd) != 0 ? (pc() & ~3U) + imm : (pc() & ~3U) - imm;
            mode = kAdd | kIndex;
        }
        i().run = kLoadStoreHandlers[load ? 1 : 0][0];
        i().op = static_cast<uint8_t>(width);
        i().d = static_cast<uint8_t>(t);
        i().n = static_cast<uint8_t>(n);
        i().imm = imm;
        i().flags = static_cast<uint8_t>(mode | (isSigned ? kSigned : 0));
        d_.endsBlock = load && t == 15;
        return d_;
    }
    Decoded& accessRegister(bool load, unsigned width, bool isSigned, unsigned t, unsigned n, unsigned m, unsigned shift)
    {
        access(load, width, isSigned, t, n, 0, kAdd | kIndex);
        i().run = kLoadStoreHandlers[load ? 1 : 0][1];
        i().m = static_cast<uint8_t>(m);
        i().shiftAmount = static_cast<uint8_t>(shift);
        return d_;
    }
    Decoded& multiple(bool load, unsigned n, uint16_t list, bool increment, bool writeBack)
    {
        if (list == 0) {
            return undefined();
        }
        i().run = load ? loadStoreMultiple<true> : loadStoreMultiple<false>;
        i().n = static_cast<uint8_t>(n);
        i().list = list;
        i().flags = static_cast<uint8_t>((increment ? kAdd : 0) | (writeBack ? kWriteBack : 0));
        d_.endsBlock = load && bit(list, 15);
        return d_;
    }
    Decoded& branchTo(uint32_t target, unsigned cond = kAlways)
    {
        i().run = cond == kAlways ? branch : conditionalBranch;
        i().imm = target;
        i().cond = static_cast<uint8_t>(cond);
        d_.endsBlock = true;
        return d_;
    }
    Decoded& hint(unsigned op)
    {
        switch (op) {
        case 1:  // YIELD: Unicorn ends its block here too
            i().run = nothing;
            d_.endsBlock = true;
            return d_;
        case 2:
        case 3: return stopWith(Stop::Wfi);
        default:  // NOP, SEV (no other core to wake) and the unallocated hints
            i().run = nothing;
            return d_;
        }
    }

    Decoded& dataProcessing16(uint32_t hw);
    Decoded& misc16(uint32_t hw);
    Decoded& loadStoreMultipleDual(uint32_t hw1, uint32_t hw2);
    Decoded& dataProcessingShifted(uint32_t hw1, uint32_t hw2);
    Decoded& dataProcessingImmediate(uint32_t hw1, uint32_t hw2);
    Decoded& branchesAndControl(uint32_t hw1, uint32_t hw2);
    Decoded& loadStoreSingle(uint32_t hw1, uint32_t hw2);
    Decoded& dataProcessingRegister(uint32_t hw1, uint32_t hw2);
    Decoded& multiplyDivide(uint32_t hw1, uint32_t hw2);
    Decoded& floatingPoint(uint32_t hw1, uint32_t hw2);
    Decoded& fp(Handler run, uint8_t op, unsigned d, unsigned n, unsigned m);
};

Decoded Decoder::thumb16(uint32_t hw)
{
    constexpr uint8_t s = kSetFlagsOutsideIt;
    const unsigned lo0 = bits(hw, 2, 0);
    const unsigned lo3 = bits(hw, 5, 3);
    const unsigned hi8 = bits(hw, 10, 8);
    const uint32_t imm8 = bits(hw, 7, 0);
    switch (bits(hw, 15, 11)) {
    case 0x00: return aluShifted(AluOp::Mov, lo0, 0, lo3, 0, bits(hw, 10, 6), s);
    case 0x01: return aluShifted(AluOp::Mov, lo0, 0, lo3, 1, bits(hw, 10, 6), s);
    case 0x02: return aluShifted(AluOp::Mov, lo0, 0, lo3, 2, bits(hw, 10, 6), s);
    case 0x03: {
        const AluOp op = bit(hw, 9) ? AluOp::Sub : AluOp::Add;
        const unsigned m = bits(hw, 8, 6);
        return bit(hw, 10) ? aluImm(op, lo0, lo3, m, s) : aluReg(op, lo0, lo3, m, Shift::Lsl, 0, s);
    }
    case 0x04: return aluImm(AluOp::Mov, hi8, 0, imm8, s);
    case 0x05: return aluImm(AluOp::Cmp, 0, hi8, imm8, 0);
    case 0x06: return aluImm(AluOp::Add, hi8, hi8, imm8, s);
    case 0x07: return aluImm(AluOp::Sub, hi8, hi8, imm8, s);
    case 0x08: {
        if (!bit(hw, 10)) {
            return dataProcessing16(hw);
        }
        const unsigned dn = bits(hw, 2, 0) | (bit(hw, 7) ? 8U : 0U);
        const unsigned m = bits(hw, 6, 3);
        switch (bits(hw, 9, 8)) {
        case 0: return aluReg(AluOp::Add, dn, dn, m, Shift::Lsl, 0, 0);
        case 1: return aluReg(AluOp::Cmp, 0, dn, m, Shift::Lsl, 0, 0);
        case 2: return aluReg(AluOp::Mov, dn, 0, m, Shift::Lsl, 0, 0);
        default:
            if (bits(hw, 2, 0) != 0) {
                return undefined();
            }
            i().run = branchExchange;
            i().m = static_cast<uint8_t>(m);
            i().op = bit(hw, 7) ? 1 : 0;
            d_.endsBlock = true;
            return d_;
        }
    }
    case 0x09: return access(true, 4, false, hi8, 15, imm8 * 4, kAdd | kIndex);
    case 0x0A:
    case 0x0B: {
        static constexpr uint8_t kWidth[8] = {4, 2, 1, 1, 4, 2, 1, 2};
        const unsigned op = bits(hw, 11, 9);
        const bool load = op >= 3;
        return accessRegister(load, kWidth[op], op == 3 || op == 7, lo0, lo3, bits(hw, 8, 6), 0);
    }
    case 0x0C: return access(false, 4, false, lo0, lo3, bits(hw, 10, 6) * 4, kAdd | kIndex);
    case 0x0D: return access(true, 4, false, lo0, lo3, bits(hw, 10, 6) * 4, kAdd | kIndex);
    case 0x0E: return access(false, 1, false, lo0, lo3, bits(hw, 10, 6), kAdd | kIndex);
    case 0x0F: return access(true, 1, false, lo0, lo3, bits(hw, 10, 6), kAdd | kIndex);
    case 0x10: return access(false, 2, false, lo0, lo3, bits(hw, 10, 6) * 2, kAdd | kIndex);
    case 0x11: return access(true, 2, false, lo0, lo3, bits(hw, 10, 6) * 2, kAdd | kIndex);
    case 0x12: return access(false, 4, false, hi8, 13, imm8 * 4, kAdd | kIndex);
    case 0x13: return access(true, 4, false, hi8, 13, imm8 * 4, kAdd | kIndex);
    case 0x14: return aluImm(AluOp::Mov, hi8, 0, (pc() & ~3U) + imm8 * 4, 0);  // ADR
    case 0x15: return aluImm(AluOp::Add, hi8, 13, imm8 * 4, 0);
    case 0x16:
    case 0x17: return misc16(hw);
    case 0x18: return multiple(false, hi8, static_cast<uint16_t>(imm8), true, true);
    case 0x19: return multiple(true, hi8, static_cast<uint16_t>(imm8), true, !bit(imm8, hi8));
    case 0x1A:
    case 0x1B: {
        const unsigned cond = bits(hw, 11, 8);
        if (cond == 14) {
            return undefined();  // UDF
        }
        if (cond == 15) {
            return stopWith(Stop::Svc);
        }
        return branchTo(pc() + signExtend(imm8 << 1, 9), cond);
    }
    case 0x1C: return branchTo(pc() + signExtend(bits(hw, 10, 0) << 1, 12));
    default: return undefined();
    }
}

Decoded& Decoder::dataProcessing16(uint32_t hw)
{
    constexpr uint8_t s = kSetFlagsOutsideIt;
    const unsigned dn = bits(hw, 2, 0);
    const unsigned m = bits(hw, 5, 3);
    switch (bits(hw, 9, 6)) {
    case 0x0: return aluReg(AluOp::And, dn, dn, m, Shift::Lsl, 0, s);
    case 0x1: return aluReg(AluOp::Eor, dn, dn, m, Shift::Lsl, 0, s);
    case 0x2: return shiftByRegister(Shift::Lsl, dn, dn, m, s);
    case 0x3: return shiftByRegister(Shift::Lsr, dn, dn, m, s);
    case 0x4: return shiftByRegister(Shift::Asr, dn, dn, m, s);
    case 0x5: return aluReg(AluOp::Adc, dn, dn, m, Shift::Lsl, 0, s);
    case 0x6: return aluReg(AluOp::Sbc, dn, dn, m, Shift::Lsl, 0, s);
    case 0x7: return shiftByRegister(Shift::Ror, dn, dn, m, s);
    case 0x8: return aluReg(AluOp::Tst, 0, dn, m, Shift::Lsl, 0, 0);
    case 0x9: return aluImm(AluOp::Rsb, dn, m, 0, s);
    case 0xA: return aluReg(AluOp::Cmp, 0, dn, m, Shift::Lsl, 0, 0);
    case 0xB: return aluReg(AluOp::Cmn, 0, dn, m, Shift::Lsl, 0, 0);
    case 0xC: return aluReg(AluOp::Orr, dn, dn, m, Shift::Lsl, 0, s);
    case 0xD: return mul(MulOp::Mul, dn, m, dn, 0, s);
    case 0xE: return aluReg(AluOp::Bic, dn, dn, m, Shift::Lsl, 0, s);
    default: return aluReg(AluOp::Mvn, dn, 0, m, Shift::Lsl, 0, s);
    }
}

Decoded& Decoder::misc16(uint32_t hw)
{
    const unsigned lo0 = bits(hw, 2, 0);
    const unsigned lo3 = bits(hw, 5, 3);
    switch (bits(hw, 11, 8)) {
    case 0x0: return aluImm(bit(hw, 7) ? AluOp::Sub : AluOp::Add, 13, 13, bits(hw, 6, 0) * 4, 0);
    case 0x1:
    case 0x3:
    case 0x9:
    case 0xB:
        i().run = compareBranch;
        i().n = static_cast<uint8_t>(lo0);
        i().op = bit(hw, 11) ? 1 : 0;
        i().imm = pc() + ((bits(hw, 7, 3) | (bit(hw, 9) ? 32U : 0U)) << 1);
        d_.endsBlock = true;
        return d_;
    case 0x2: {
        const unsigned op = bits(hw, 7, 6);
        return extend(lo0, 15, lo3, 0, (op & 1U) != 0 ? 8 : 16, op < 2);
    }
    case 0x4:
    case 0x5: return multiple(false, 13, static_cast<uint16_t>(bits(hw, 7, 0) | (bit(hw, 8) ? 0x4000U : 0U)), false, true);
    case 0x6:
        if ((hw & 0xFFE8U) != 0xB660U) {
            return undefined();
        }
        i().run = changeProcessorState;
        i().op = bit(hw, 4) ? 1 : 0;
        i().imm = bits(hw, 1, 0);
        d_.endsBlock = true;
        return d_;
    case 0xA: {
        static constexpr BitOp kOps[4] = {BitOp::Rev, BitOp::Rev16, BitOp::Rev, BitOp::Revsh};
        const unsigned op = bits(hw, 7, 6);
        return op == 2 ? undefined() : bitOperation(kOps[op], lo0, 0, lo3);
    }
    case 0xC:
    case 0xD: return multiple(true, 13, static_cast<uint16_t>(bits(hw, 7, 0) | (bit(hw, 8) ? 0x8000U : 0U)), true, true);
    case 0xE: return stopWith(Stop::Breakpoint);
    case 0xF:
        if (bits(hw, 3, 0) == 0) {
            return hint(bits(hw, 7, 4));
        }
        if (bits(hw, 7, 4) == 15 || (bits(hw, 7, 4) == 14 && std::popcount(bits(hw, 3, 0)) != 1)) {
            return undefined();  // AL with an else, or NV
        }
        i().run = ifThen;
        i().imm = bits(hw, 7, 0);
        return d_;
    default: return undefined();
    }
}

Decoded Decoder::thumb32(uint32_t hw1, uint32_t hw2)
{
    const unsigned op1 = bits(hw1, 12, 11);
    const unsigned op2 = bits(hw1, 10, 4);
    if (op1 == 1) {
        if ((op2 & 0x64U) == 0) {
            const unsigned mode = bits(hw1, 8, 7);
            if (mode != 1 && mode != 2) {
                return undefined();
            }
            const bool load = bit(hw1, 4);
            const uint16_t list = static_cast<uint16_t>(hw2 & (load ? 0xDFFFU : 0x5FFFU));
            const unsigned n = bits(hw1, 3, 0);
            if (list != hw2 || std::popcount(list) < 2 || (bit(hw1, 5) && bit(list, n))) {
                return undefined();
            }
            return multiple(load, n, list, mode == 1, bit(hw1, 5));
        }
        if ((op2 & 0x64U) == 4) {
            return loadStoreMultipleDual(hw1, hw2);
        }
        if ((op2 & 0x60U) == 0x20) {
            return dataProcessingShifted(hw1, hw2);
        }
        return floatingPoint(hw1, hw2);
    }
    if (op1 == 2) {
        if (bit(hw2, 15)) {
            return branchesAndControl(hw1, hw2);
        }
        return dataProcessingImmediate(hw1, hw2);
    }
    if ((op2 & 0x71U) == 0 || (op2 & 0x67U) == 1 || (op2 & 0x67U) == 3 || (op2 & 0x67U) == 5) {
        return loadStoreSingle(hw1, hw2);
    }
    if ((op2 & 0x70U) == 0x20) {
        return dataProcessingRegister(hw1, hw2);
    }
    if ((op2 & 0x70U) == 0x30) {
        return multiplyDivide(hw1, hw2);
    }
    if ((op2 & 0x40U) != 0) {
        return floatingPoint(hw1, hw2);
    }
    return undefined();
}

Decoded& Decoder::loadStoreMultipleDual(uint32_t hw1, uint32_t hw2)
{
    const unsigned n = bits(hw1, 3, 0);
    const unsigned t = bits(hw2, 15, 12);
    const unsigned t2 = bits(hw2, 11, 8);
    const unsigned opA = bits(hw1, 8, 7);
    const unsigned opB = bits(hw1, 5, 4);
    if (opA == 0 && opB < 2) {
        if (opB == 1 && t2 != 15) {
            return undefined();
        }
        i().run = opB == 1 ? exclusive<true> : exclusive<false>;
        i().d = static_cast<uint8_t>(t);
        i().a = static_cast<uint8_t>(t2);
        i().n = static_cast<uint8_t>(n);
        i().imm = bits(hw2, 7, 0) * 4;
        i().op = 4;
        return d_;
    }
    if (opA == 1 && opB < 2) {
        const unsigned op3 = bits(hw2, 7, 4);
        if (opB == 1 && op3 < 2) {
            i().run = tableBranch;
            i().n = static_cast<uint8_t>(n);
            i().m = static_cast<uint8_t>(bits(hw2, 3, 0));
            i().op = op3 == 0 ? 1 : 2;
            d_.endsBlock = true;
            return d_;
        }
        if ((op3 != 4 && op3 != 5) || (opB == 1 && bits(hw2, 3, 0) != 15)) {
            return undefined();
        }
        i().run = opB == 1 ? exclusive<true> : exclusive<false>;
        i().d = static_cast<uint8_t>(t);
        i().a = static_cast<uint8_t>(bits(hw2, 3, 0));
        i().n = static_cast<uint8_t>(n);
        i().op = op3 == 4 ? 1 : 2;
        return d_;
    }
    // LDRD/STRD
    const bool index = bit(hw1, 8);
    const bool writeBack = bit(hw1, 5);
    const bool load = bit(hw1, 4);
    uint32_t imm = bits(hw2, 7, 0) * 4;
    uint8_t mode = static_cast<uint8_t>((bit(hw1, 7) ? kAdd : 0) | (index ? kIndex : 0) | (writeBack ? kWriteBack : 0));
    if ((writeBack && (n == t || n == t2)) || (load && t == t2)) {
        return undefined();  // unpredictable: which write wins is not defined
    }
    if (n == 15) {
        if (!load || writeBack) {
            return undefined();
        }
        imm = (mode & kAdd) != 0 ? (pc() & ~3U) + imm : (pc() & ~3U) - imm;
        mode = kAdd | kIndex;
    }
    i().run = load ? loadStoreDual<true> : loadStoreDual<false>;
    i().d = static_cast<uint8_t>(t);
    i().a = static_cast<uint8_t>(t2);
    i().n = static_cast<uint8_t>(n);
    i().imm = imm;
    i().flags = mode;
    return d_;
}

Decoded& Decoder::dataProcessingShifted(uint32_t hw1, uint32_t hw2)
{
    const unsigned op = bits(hw1, 8, 5);
    const bool s = bit(hw1, 4);
    const unsigned n = bits(hw1, 3, 0);
    const unsigned d = bits(hw2, 11, 8);
    const unsigned m = bits(hw2, 3, 0);
    const unsigned type = bits(hw2, 5, 4);
    const unsigned imm5 = (bits(hw2, 14, 12) << 2) | bits(hw2, 7, 6);
    const uint8_t flags = s ? kSetFlags : 0;
    const bool compare = d == 15 && s;
    switch (op) {
    case 0x0: return aluShifted(compare ? AluOp::Tst : AluOp::And, d, n, m, type, imm5, flags);
    case 0x1: return aluShifted(AluOp::Bic, d, n, m, type, imm5, flags);
    case 0x2: return aluShifted(n == 15 ? AluOp::Mov : AluOp::Orr, d, n, m, type, imm5, flags);
    case 0x3: return aluShifted(n == 15 ? AluOp::Mvn : AluOp::Orn, d, n, m, type, imm5, flags);
    case 0x4: return aluShifted(compare ? AluOp::Teq : AluOp::Eor, d, n, m, type, imm5, flags);
    case 0x8: return aluShifted(compare ? AluOp::Cmn : AluOp::Add, d, n, m, type, imm5, flags);
    case 0xA: return aluShifted(AluOp::Adc, d, n, m, type, imm5, flags);
    case 0xB: return aluShifted(AluOp::Sbc, d, n, m, type, imm5, flags);
    case 0xD: return aluShifted(compare ? AluOp::Cmp : AluOp::Sub, d, n, m, type, imm5, flags);
    case 0xE: return aluShifted(AluOp::Rsb, d, n, m, type, imm5, flags);
    default: return undefined();
    }
}

Decoded& Decoder::dataProcessingImmediate(uint32_t hw1, uint32_t hw2)
{
    const unsigned n = bits(hw1, 3, 0);
    const unsigned d = bits(hw2, 11, 8);
    const uint32_t imm12 = (bit(hw1, 10) ? 0x800U : 0U) | (bits(hw2, 14, 12) << 8) | bits(hw2, 7, 0);
    if (!bit(hw1, 9)) {
        // ThumbExpandImm: a byte pattern, or a rotated byte whose rotation sets the shifter carry
        uint32_t imm = 0;
        uint8_t carry = 0;
        const uint32_t byte = imm12 & 0xFFU;
        if ((imm12 >> 10) == 0) {
            switch (bits(imm12, 9, 8)) {
            case 0: imm = byte; break;
            case 1: imm = byte * 0x00010001U; break;
            case 2: imm = byte * 0x01000100U; break;
            default: imm = byte * 0x01010101U; break;
            }
            if (bits(imm12, 9, 8) != 0 && byte == 0) {
                return undefined();
            }
        } else {
            imm = std::rotr(0x80U | (imm12 & 0x7FU), static_cast<int>(imm12 >> 7));
            carry = kCarryFromImm;
        }
        const bool s = bit(hw1, 4);
        const uint8_t flags = static_cast<uint8_t>((s ? kSetFlags : 0) | carry);
        const bool compare = d == 15 && s;
        switch (bits(hw1, 8, 5)) {
        case 0x0: return aluImm(compare ? AluOp::Tst : AluOp::And, d, n, imm, flags);
        case 0x1: return aluImm(AluOp::Bic, d, n, imm, flags);
        case 0x2: return aluImm(n == 15 ? AluOp::Mov : AluOp::Orr, d, n, imm, flags);
        case 0x3: return aluImm(n == 15 ? AluOp::Mvn : AluOp::Orn, d, n, imm, flags);
        case 0x4: return aluImm(compare ? AluOp::Teq : AluOp::Eor, d, n, imm, flags);
        case 0x8: return aluImm(compare ? AluOp::Cmn : AluOp::Add, d, n, imm, flags);
        case 0xA: return aluImm(AluOp::Adc, d, n, imm, flags);
        case 0xB: return aluImm(AluOp::Sbc, d, n, imm, flags);
        case 0xD: return aluImm(compare ? AluOp::Cmp : AluOp::Sub, d, n, imm, flags);
        case 0xE: return aluImm(AluOp::Rsb, d, n, imm, flags);
        default: return undefined();
        }
    }
    const unsigned lsb = (bits(hw2, 14, 12) << 2) | bits(hw2, 7, 6);
    const unsigned widthField = bits(hw2, 4, 0);
    const uint32_t imm16 = (bits(hw1, 3, 0) << 12) | imm12;
    switch (bits(hw1, 8, 4)) {
    case 0x00: return n == 15 ? aluImm(AluOp::Mov, d, 0, (pc() & ~3U) + imm12, 0) : aluImm(AluOp::Add, d, n, imm12, 0);
    case 0x04: return aluImm(AluOp::Mov, d, 0, imm16, 0);
    case 0x0A: return n == 15 ? aluImm(AluOp::Mov, d, 0, (pc() & ~3U) - imm12, 0) : aluImm(AluOp::Sub, d, n, imm12, 0);
    case 0x0C:
        bitOperation(BitOp::Movt, d, 0, 0);
        i().imm = imm16;
        return d_;
    case 0x14: return lsb + widthField + 1 > 32 ? undefined() : bitOperation(BitOp::Sbfx, d, n, 0, lsb, widthField + 1);
    case 0x16:
        if (widthField < lsb) {
            return undefined();
        }
        return bitOperation(n == 15 ? BitOp::Bfc : BitOp::Bfi, d, n, 0, lsb, widthField - lsb + 1);
    case 0x1C: return lsb + widthField + 1 > 32 ? undefined() : bitOperation(BitOp::Ubfx, d, n, 0, lsb, widthField + 1);
    default: return undefined();
    }
}

Decoded& Decoder::branchesAndControl(uint32_t hw1, uint32_t hw2)
{
    const unsigned op = bits(hw2, 14, 12);
    const uint32_t s = bit(hw1, 10) ? 1U : 0U;
    const uint32_t j1 = bit(hw2, 13) ? 1U : 0U;
    const uint32_t j2 = bit(hw2, 11) ? 1U : 0U;
    if ((op & 5U) == 1 || (op & 5U) == 5) {
        const uint32_t i1 = (j1 ^ s) ^ 1U;
        const uint32_t i2 = (j2 ^ s) ^ 1U;
        const uint32_t offset = signExtend((s << 24) | (i1 << 23) | (i2 << 22) | (bits(hw1, 9, 0) << 12) | (bits(hw2, 10, 0) << 1), 25);
        branchTo(pc() + offset);
        if ((op & 4U) != 0) {
            i().run = branchLink;
        }
        return d_;
    }
    if ((op & 5U) == 4) {
        return undefined();  // BLX to ARM code
    }
    if (bits(hw1, 9, 7) != 7) {
        const uint32_t offset = signExtend((s << 20) | (j2 << 19) | (j1 << 18) | (bits(hw1, 5, 0) << 12) | (bits(hw2, 10, 0) << 1), 21);
        return branchTo(pc() + offset, bits(hw1, 9, 6));
    }
    const unsigned op2 = bits(hw1, 10, 4);
    if (op == 2 && op2 == 0x7F) {
        return undefined();  // UDF
    }
    if (op != 0) {
        return undefined();
    }
    switch (op2) {
    case 0x38:
    case 0x39:
        i().run = moveToSpecial;
        i().n = static_cast<uint8_t>(bits(hw1, 3, 0));
        i().imm = bits(hw2, 7, 0);
        i().op = static_cast<uint8_t>(bits(hw2, 11, 10));
        d_.endsBlock = true;
        return d_;
    case 0x3A: return bits(hw2, 10, 8) != 0 ? undefined() : hint(bits(hw2, 7, 0));
    case 0x3B:
        switch (bits(hw2, 7, 4)) {
        case 2:  // CLREX: a STREX always succeeds anyway
        case 4:  // DSB
        case 5:  // DMB
            i().run = nothing;
            return d_;
        case 6:  // ISB
            i().run = nothing;
            d_.endsBlock = true;
            return d_;
        default: return undefined();
        }
    case 0x3E:
    case 0x3F:
        i().run = moveFromSpecial;
        i().d = static_cast<uint8_t>(bits(hw2, 11, 8));
        i().imm = bits(hw2, 7, 0);
        return d_;
    default: return undefined();
    }
}

Decoded& Decoder::loadStoreSingle(uint32_t hw1, uint32_t hw2)
{
    const bool load = bit(hw1, 4);
    const bool isSigned = bit(hw1, 8);
    const unsigned width = 1U << bits(hw1, 6, 5);
    const unsigned n = bits(hw1, 3, 0);
    const unsigned t = bits(hw2, 15, 12);
    if (width == 8 || (!load && isSigned) || (isSigned && width == 4)) {
        return undefined();
    }
    if (load && t == 15 && width < 4) {
        i().run = nothing;  // PLD, PLI
        return d_;
    }
    if (!load && (t == 15 || n == 15)) {
        return undefined();
    }
    if (n == 15) {
        return access(load, width, isSigned, t, 15, bits(hw2, 11, 0), bit(hw1, 7) ? kAdd : 0);
    }
    if (bit(hw1, 7)) {
        return access(load, width, isSigned, t, n, bits(hw2, 11, 0), kAdd | kIndex);
    }
    if (bit(hw2, 11)) {
        const uint8_t mode = static_cast<uint8_t>((bit(hw2, 10) ? kIndex : 0) | (bit(hw2, 9) ? kAdd : 0) | (bit(hw2, 8) ? kWriteBack : 0));
        if ((mode & (kIndex | kWriteBack)) == 0) {
            return undefined();
        }
        return access(load, width, isSigned, t, n, bits(hw2, 7, 0), mode);
    }
    if (bits(hw2, 11, 6) != 0) {
        return undefined();
    }
    return accessRegister(load, width, isSigned, t, n, bits(hw2, 3, 0), bits(hw2, 5, 4));
}

Decoded& Decoder::dataProcessingRegister(uint32_t hw1, uint32_t hw2)
{
    const unsigned opA = bits(hw1, 7, 4);
    const unsigned opB = bits(hw2, 7, 4);
    const unsigned n = bits(hw1, 3, 0);
    const unsigned d = bits(hw2, 11, 8);
    const unsigned m = bits(hw2, 3, 0);
    if (bits(hw2, 15, 12) != 15) {
        return undefined();
    }
    if (opB == 0 && opA < 8) {
        static constexpr Shift kShifts[4] = {Shift::Lsl, Shift::Lsr, Shift::Asr, Shift::Ror};
        return shiftByRegister(kShifts[opA >> 1], d, n, m, bit(hw1, 4) ? kSetFlags : 0);
    }
    if ((opB & 8U) != 0 && opA < 6 && opA != 2 && opA != 3) {
        return extend(d, n, m, bits(hw2, 5, 4) * 8, opA >= 4 ? 8 : 16, (opA & 1U) == 0);
    }
    if (opB == 4 && (opA == 8 || opA == 0xC)) {
        return bitOperation(opA == 8 ? BitOp::Uadd8 : BitOp::Usub8, d, n, m);
    }
    if ((opA & 0xCU) == 8 && (opB & 0xCU) == 8) {
        const unsigned op1 = opA & 3U;
        const unsigned op2 = opB & 3U;
        if (op1 == 1) {
            static constexpr BitOp kOps[4] = {BitOp::Rev, BitOp::Rev16, BitOp::Rbit, BitOp::Revsh};
            return bitOperation(kOps[op2], d, 0, m);
        }
        if (op1 == 2 && op2 == 0) {
            return bitOperation(BitOp::Sel, d, n, m);
        }
        if (op1 == 3 && op2 == 0) {
            return bitOperation(BitOp::Clz, d, 0, m);
        }
    }
    return undefined();
}

Decoded& Decoder::multiplyDivide(uint32_t hw1, uint32_t hw2)
{
    const unsigned op1 = bits(hw1, 6, 4);
    const unsigned n = bits(hw1, 3, 0);
    const unsigned a = bits(hw2, 15, 12);
    const unsigned d = bits(hw2, 11, 8);
    const unsigned m = bits(hw2, 3, 0);
    if (!bit(hw1, 7)) {
        const unsigned op2 = bits(hw2, 5, 4);
        if (op1 != 0 || op2 > 1 || bits(hw2, 7, 6) != 0) {
            return undefined();
        }
        if (op2 == 1) {
            return mul(MulOp::Mls, d, n, m, a);
        }
        return a == 15 ? mul(MulOp::Mul, d, n, m, 0) : mul(MulOp::Mla, d, n, m, a);
    }
    const unsigned op2 = bits(hw2, 7, 4);
    switch (op1 << 4 | op2) {
    case 0x00: return mul(MulOp::Smull, d, n, m, a);
    case 0x1F: return a != 15 ? undefined() : mul(MulOp::Sdiv, d, n, m, 0);
    case 0x20: return mul(MulOp::Umull, d, n, m, a);
    case 0x3F: return a != 15 ? undefined() : mul(MulOp::Udiv, d, n, m, 0);
    case 0x40: return mul(MulOp::Smlal, d, n, m, a);
    case 0x60: return mul(MulOp::Umlal, d, n, m, a);
    default: return undefined();
    }
}

Decoded& Decoder::fp(Handler run, uint8_t op, unsigned d, unsigned n, unsigned m)
{
    i().run = run;
    i().op = op;
    i().d = static_cast<uint8_t>(d);
    i().n = static_cast<uint8_t>(n);
    i().m = static_cast<uint8_t>(m);
    return d_;
}

// Single-precision registers; a double register (cp 11, loads and stores only) is a pair of them.
Decoded& Decoder::floatingPoint(uint32_t hw1, uint32_t hw2)
{
    const unsigned cp = bits(hw2, 11, 8);
    if ((hw1 & 0xFF00U) != 0xEE00U && (hw1 & 0xFE00U) != 0xEC00U) {  // the FPU has no forms with bit 28 set
        return undefined();
    }
    if (cp != 10 && cp != 11) {
        return undefined();
    }
    const bool dp = cp == 11;
    const unsigned vd = dp ? (bits(hw2, 15, 12) | (bit(hw1, 6) ? 16U : 0U)) * 2 : (bits(hw2, 15, 12) << 1) | (bit(hw1, 6) ? 1U : 0U);
    const unsigned vn = (bits(hw1, 3, 0) << 1) | (bit(hw2, 7) ? 1U : 0U);
    const unsigned vm = (bits(hw2, 3, 0) << 1) | (bit(hw2, 5) ? 1U : 0U);
    const unsigned rt = bits(hw2, 15, 12);
    if ((hw1 & 0xEE00U) == 0xEC00U) {
        const unsigned opcode = bits(hw1, 8, 4);
        const unsigned n = bits(hw1, 3, 0);
        if ((opcode & 0x1EU) == 0x04) {  // VMOV two core registers and two singles
            if (dp || (bits(hw2, 7, 4) & 0xDU) != 1 || vm == 31) {
                return undefined();
            }
            fp(fpMove, static_cast<uint8_t>(bit(hw1, 4) ? FpMove::ToCorePair : FpMove::FromCorePair), rt, 0, vm);
            i().a = static_cast<uint8_t>(n);
            return d_;
        }
        if (vd >= 32 || (dp && bit(hw1, 6))) {
            return undefined();
        }
        const bool load = bit(hw1, 4);
        uint32_t words = bits(hw2, 7, 0);
        if ((opcode & 0x12U) == 0x10) {  // VLDR/VSTR
            words = dp ? 2 : 1;
            fp(fpLoadStore, load ? 1 : 0, vd, n, 0);
            i().imm = bits(hw2, 7, 0) * 4;
            i().flags = static_cast<uint8_t>(kIndex | (bit(hw1, 7) ? kAdd : 0));
        } else {
            const bool increment = !bit(hw1, 8);
            if (bit(hw1, 8) == bit(hw1, 7) || (!increment && !bit(hw1, 5)) || n == 15 || words == 0 ||
                vd + words > 32) {
                return undefined();
            }
            fp(fpLoadStore, load ? 1 : 0, vd, n, 0);
            i().flags = static_cast<uint8_t>((increment ? kAdd : 0) | (bit(hw1, 5) ? kWriteBack : 0));
        }
        i().list = static_cast<uint16_t>(words);
        return d_;
    }
    if (dp) {
        return undefined();
    }
    if (bit(hw2, 4)) {
        if (bits(hw1, 7, 5) == 0 && bits(hw2, 6, 5) == 0) {
            return fp(fpMove, static_cast<uint8_t>(bit(hw1, 4) ? FpMove::ToCore : FpMove::FromCore), rt, 0, vn);
        }
        if (bits(hw1, 7, 5) == 7 && bits(hw1, 3, 0) == 1) {
            if (!bit(hw1, 4)) {
                d_.endsBlock = true;  // Unicorn ends its block after a write of FPSCR
                return fp(fpMove, static_cast<uint8_t>(FpMove::ToFpscr), rt, 0, 0);
            }
            return fp(fpMove, static_cast<uint8_t>(rt == 15 ? FpMove::FpscrToFlags : FpMove::FromFpscr), rt, 0, 0);
        }
        return undefined();
    }
    const unsigned opc1 = bits(hw1, 7, 4) & 0xBU;
    const bool op = bit(hw2, 6);
    switch (opc1) {
    case 0x0: return fp(fpArithmetic, static_cast<uint8_t>(op ? FpOp::Mls : FpOp::Mla), vd, vn, vm);
    case 0x1: return fp(fpArithmetic, static_cast<uint8_t>(op ? FpOp::Nmla : FpOp::Nmls), vd, vn, vm);
    case 0x2: return fp(fpArithmetic, static_cast<uint8_t>(op ? FpOp::Nmul : FpOp::Mul), vd, vn, vm);
    case 0x3: return fp(fpArithmetic, static_cast<uint8_t>(op ? FpOp::Sub : FpOp::Add), vd, vn, vm);
    case 0x8: return op ? undefined() : fp(fpArithmetic, static_cast<uint8_t>(FpOp::Div), vd, vn, vm);
    case 0x9: return fp(fpArithmetic, static_cast<uint8_t>(op ? FpOp::Fnma : FpOp::Fnms), vd, vn, vm);
    case 0xA: return fp(fpArithmetic, static_cast<uint8_t>(op ? FpOp::Fms : FpOp::Fma), vd, vn, vm);
    case 0xB: break;
    default: return undefined();
    }
    if (!op) {  // VMOV immediate: VFPExpandImm
        if (bits(hw2, 7, 4) != 0) {
            return undefined();
        }
        const uint32_t imm8 = (bits(hw1, 3, 0) << 4) | bits(hw2, 3, 0);
        const uint32_t b6 = (imm8 >> 6) & 1U;
        fp(fpArithmetic, static_cast<uint8_t>(FpOp::MovImm), vd, 0, 0);
        i().imm = ((imm8 >> 7) << 31) | ((b6 ^ 1U) << 30) | ((b6 != 0 ? 0x1FU : 0U) << 25) | (((imm8 >> 4) & 3U) << 23) |
                  ((imm8 & 0xFU) << 19);
        return d_;
    }
    const bool t = bit(hw2, 7);
    FpOp o{};
    switch (bits(hw1, 3, 0)) {
    case 0x0: o = t ? FpOp::Abs : FpOp::Mov; break;
    case 0x1: o = t ? FpOp::Sqrt : FpOp::Neg; break;
    case 0x4: o = t ? FpOp::Cmpe : FpOp::Cmp; break;
    case 0x5:
        if (bits(hw2, 5, 0) != 0) {
            return undefined();
        }
        o = t ? FpOp::CmpeZero : FpOp::CmpZero;
        break;
    case 0x8: o = t ? FpOp::FromSigned : FpOp::FromUnsigned; break;
    case 0xA:
    case 0xB:
    case 0xE:
    case 0xF: {  // to and from fixed point, in place
        const unsigned size = t ? 32 : 16;
        const unsigned imm5 = (bits(hw2, 3, 0) << 1) | (bit(hw2, 5) ? 1U : 0U);
        if (imm5 > size) {
            return undefined();
        }
        fp(fpArithmetic, static_cast<uint8_t>(bit(hw1, 2) ? FpOp::ToFixed : FpOp::FromFixed), vd, 0, vd);
        i().imm = size - imm5;
        i().shiftAmount = static_cast<uint8_t>(size);
        i().flags = bit(hw1, 0) ? 0 : kSigned;
        return d_;
    }
    case 0xC: o = t ? FpOp::ToUnsigned : FpOp::ToUnsignedR; break;
    case 0xD: o = t ? FpOp::ToSigned : FpOp::ToSignedR; break;
    default: return undefined();
    }
    return fp(fpArithmetic, static_cast<uint8_t>(o), vd, 0, vm);
}

bool fetch(const Memory& memory, uint32_t addr, uint32_t* hw)
{
    uint16_t h = 0;
    if (addr - memory.flashBase < memory.flashSize && memory.flashSize - (addr - memory.flashBase) >= 2) {
        std::memcpy(&h, memory.flash + (addr - memory.flashBase), 2);
    } else if (addr - memory.ramBase < memory.ramSize && memory.ramSize - (addr - memory.ramBase) >= 2) {
        std::memcpy(&h, memory.ram + (addr - memory.ramBase), 2);
    } else {
        return false;
    }
    *hw = h;
    return true;
}

}  // namespace

bool decode(const Memory& memory, uint32_t start, uint32_t limit, Block* out)
{
    out->start = start;
    out->bytes = 0;
    out->instructions.clear();
    const uint32_t pageEnd = (start & ~(kPageSize - 1U)) + kPageSize;
    uint32_t addr = start;
    for (;;) {
        uint32_t hw1 = 0;
        if (!fetch(memory, addr, &hw1)) {
            break;
        }
        const bool wide = hw1 >= 0xE800U;
        uint32_t hw2 = 0;
        const uint8_t size = wide ? 4 : 2;
        if ((wide && !fetch(memory, addr + 2, &hw2)) || (!out->instructions.empty() && addr + size > pageEnd)) {
            break;
        }
        Decoder decoder(addr, size);
        const Decoded d = wide ? decoder.thumb32(hw1, hw2) : decoder.thumb16(hw1);
        out->instructions.push_back(d.i);
        addr += size;
        if (d.endsBlock || addr >= limit || addr >= pageEnd) {
            break;
        }
    }
    out->bytes = addr - start;
    out->count = static_cast<uint32_t>(out->instructions.size());
    return out->count != 0;
}

}  // namespace emu::thumb
