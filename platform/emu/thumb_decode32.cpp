// The 32-bit encodings: Thumb-2 and the FPU's.
#include <bit>

#include "platform/emu/block_cost.hpp"
#include "platform/emu/thumb_decoder.hpp"

namespace emu::thumb {

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
        i().imm = bits(hw2, 7, 0) * 4;
        return exclusiveAccess(opB == 1, 4, t, n, t2);
    }
    if (opA == 1 && opB < 2) {
        const unsigned op3 = bits(hw2, 7, 4);
        if (opB == 1 && op3 < 2) {
            i().run = threaded<tableBranch>;
            i().n = static_cast<uint8_t>(n);
            i().m = static_cast<uint8_t>(bits(hw2, 3, 0));
            i().op = op3 == 0 ? 1 : 2;
            d_.endsBlock = true;
            return costs(2, static_cast<uint8_t>(kReads | (n == 15 ? kLiteral : 0)));
        }
        if ((op3 != 4 && op3 != 5) || (opB == 1 && bits(hw2, 3, 0) != 15)) {
            return undefined();
        }
        return exclusiveAccess(opB == 1, op3 == 4 ? 1 : 2, t, n, bits(hw2, 3, 0));
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
    i().run = load ? threaded<loadStoreDual<true>> : threaded<loadStoreDual<false>>;
    i().d = static_cast<uint8_t>(t);
    i().a = static_cast<uint8_t>(t2);
    i().n = static_cast<uint8_t>(n);
    i().imm = imm;
    i().flags = mode;
    i().results = load ? static_cast<uint16_t>(result(t) | result(t2)) : 0;
    return costs(3, static_cast<uint8_t>(load ? kReads | (n == 15 ? kLiteral : 0) : kWrites));
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
    case 0x6:
        if (s || bit(hw2, 4)) {
            return undefined();
        }
        if (bit(hw2, 5)) {
            return bitOperation(BitOp::Pkhtb, d, n, m, imm5 == 0 ? 32 : imm5);
        }
        return bitOperation(BitOp::Pkhbt, d, n, m, imm5);
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
    case 0x10:
    case 0x12:
    case 0x18:
    case 0x1A: {
        const bool isSigned = !bit(hw1, 7);
        if (bit(hw1, 5) && lsb == 0) {  // the halfword forms
            if (bits(hw2, 5, 4) != 0) {
                return undefined();
            }
            return saturate(isSigned ? SatOp::Ssat16 : SatOp::Usat16, d, n, 0, bits(hw2, 3, 0) + (isSigned ? 1 : 0));
        }
        return saturate(isSigned ? SatOp::Ssat : SatOp::Usat, d, n, 0, widthField + (isSigned ? 1 : 0),
                        bit(hw1, 5) ? Shift::Asr : Shift::Lsl, lsb);
    }
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
            i().run = threaded<branchLink>;
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
        i().run = threaded<moveToSpecial>;
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
            i().run = threaded<nothing>;
            return d_;
        case 6:  // ISB: the pipeline refills
            i().run = threaded<nothing>;
            d_.endsBlock = true;
            return costs(1 + kBranchRefill);
        default: return undefined();
        }
    case 0x3E:
    case 0x3F:
        i().run = threaded<moveFromSpecial>;
        i().d = static_cast<uint8_t>(bits(hw2, 11, 8));
        i().imm = bits(hw2, 7, 0);
        i().results = result(i().d);
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
        i().run = threaded<nothing>;  // PLD, PLI
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
    if ((opB & 8U) != 0 && opA < 6) {
        if (opA == 2 || opA == 3) {  // SXTAB16, UXTAB16
            return extend(d, n, m, bits(hw2, 5, 4) * 8, 8, opA == 2, BitOp::Extend16);
        }
        return extend(d, n, m, bits(hw2, 5, 4) * 8, opA >= 4 ? 8 : 16, (opA & 1U) == 0);
    }
    if ((opA & 8U) != 0 && (opB & 8U) == 0) {  // parallel add and subtract: operation, kind, unsigned
        const unsigned operation = opA & 7U;
        if (operation == 3 || operation == 7 || (opB & 3U) == 3) {
            return undefined();
        }
        const auto op = static_cast<uint8_t>(operation | (opB & 3U) << 3 | (opB & 4U) << 3);
        return operands(parallelHandler(op), op, d, n, m);
    }
    if ((opA & 0xCU) == 8 && (opB & 0xCU) == 8) {
        const unsigned op1 = opA & 3U;
        const unsigned op2 = opB & 3U;
        if (op1 == 0) {
            static constexpr SatOp kOps[4] = {SatOp::Qadd, SatOp::Qdadd, SatOp::Qsub, SatOp::Qdsub};
            return saturate(kOps[op2], d, n, m, 32);
        }
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
        const bool accumulate = a != 15;
        const unsigned ra = accumulate ? a : 0U;  // the forms without an accumulator read none
        const bool dual = op2 < 2;  // the forms with one option bit
        if (bits(hw2, 7, 6) != 0) {
            return undefined();
        }
        switch (op1) {
        case 0:
            if (op2 > 1) {
                return undefined();
            }
            if (op2 == 1) {
                return mul(MulOp::Mls, d, n, m, a);
            }
            return accumulate ? mul(MulOp::Mla, d, n, m, a) : mul(MulOp::Mul, d, n, m, 0);
        case 1: return dspMul(accumulate ? DspMulOp::Smlaxy : DspMulOp::Smulxy, d, n, m, ra, op2);
        case 2: return !dual ? undefined() : dspMul(accumulate ? DspMulOp::Smlad : DspMulOp::Smuad, d, n, m, ra, op2);
        case 3: return !dual ? undefined() : dspMul(accumulate ? DspMulOp::Smlawy : DspMulOp::Smulwy, d, n, m, ra, op2);
        case 4: return !dual ? undefined() : dspMul(accumulate ? DspMulOp::Smlsd : DspMulOp::Smusd, d, n, m, ra, op2);
        case 5: return !dual ? undefined() : dspMul(accumulate ? DspMulOp::Smmla : DspMulOp::Smmul, d, n, m, ra, op2);
        case 6: return !dual || !accumulate ? undefined() : dspMul(DspMulOp::Smmls, d, n, m, ra, op2);
        default: return op2 != 0 ? undefined() : dspMul(accumulate ? DspMulOp::Usada8 : DspMulOp::Usad8, d, n, m, ra, 0);
        }
    }
    const unsigned op2 = bits(hw2, 7, 4);
    switch (op1 << 4 | op2) {
    case 0x00: return mul(MulOp::Smull, d, n, m, a);
    case 0x1F: return a != 15 ? undefined() : mul(MulOp::Sdiv, d, n, m, 0);
    case 0x20: return mul(MulOp::Umull, d, n, m, a);
    case 0x3F: return a != 15 ? undefined() : mul(MulOp::Udiv, d, n, m, 0);
    case 0x40: return mul(MulOp::Smlal, d, n, m, a);
    case 0x48:
    case 0x49:
    case 0x4A:
    case 0x4B: return dspMul(DspMulOp::Smlalxy, d, n, m, a, op2 & 3U);
    case 0x4C:
    case 0x4D: return dspMul(DspMulOp::Smlald, d, n, m, a, op2 & 1U);
    case 0x5C:
    case 0x5D: return dspMul(DspMulOp::Smlsld, d, n, m, a, op2 & 1U);
    case 0x60: return mul(MulOp::Umlal, d, n, m, a);
    case 0x66: return dspMul(DspMulOp::Umaal, d, n, m, a, 0);
    default: return undefined();
    }
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
        if ((opcode & 0x1EU) == 0x04) {  // VMOV two core registers and two singles, or a double
            const unsigned first = dp ? bits(hw2, 3, 0) * 2 : vm;
            if ((bits(hw2, 7, 4) & 0xDU) != 1 || first == 31 || (dp && bit(hw2, 5))) {
                return undefined();
            }
            fpMoveOf(bit(hw1, 4) ? FpMove::ToCorePair : FpMove::FromCorePair, rt, 0, first);
            i().a = static_cast<uint8_t>(n);
            i().results = bit(hw1, 4) ? static_cast<uint16_t>(result(rt) | result(n)) : 0;
            return d_;
        }
        if (vd >= 32 || (dp && bit(hw1, 6))) {
            return undefined();
        }
        const bool load = bit(hw1, 4);
        uint32_t words = bits(hw2, 7, 0);
        if ((opcode & 0x12U) == 0x10) {  // VLDR/VSTR
            words = dp ? 2 : 1;
            fp(dp ? threaded<fpLoadStore> : load ? threaded<fpLoadStoreWord<true>> : threaded<fpLoadStoreWord<false>>, load ? 1 : 0, vd, n, 0);
            i().imm = bits(hw2, 7, 0) * 4;
            i().flags = static_cast<uint8_t>(kIndex | (bit(hw1, 7) ? kAdd : 0));
            costs(2, static_cast<uint8_t>(kFloat | (load ? kReads | (n == 15 ? kLiteral : 0) : kWrites)));
        } else {
            const bool increment = !bit(hw1, 8);
            if (bit(hw1, 8) == bit(hw1, 7) || (!increment && !bit(hw1, 5)) || n == 15 || words == 0 ||
                vd + words > 32) {
                return undefined();
            }
            // One single, increment after: how a loop walks an array of floats, a move as VLDR/VSTR is.
            const bool oneWord = increment && words == 1 && !dp;
            const Handler word = load ? threaded<fpLoadStoreWord<true>> : threaded<fpLoadStoreWord<false>>;
            fp(oneWord ? word : threaded<fpLoadStore>, load ? 1 : 0, vd, n, 0);
            i().flags = static_cast<uint8_t>((increment ? kAdd : 0) | (bit(hw1, 5) ? kWriteBack : 0));
            costs(1 + (dp ? words / 2 : words), static_cast<uint8_t>(kFloat | (load ? kReads : kWrites)));  // 1 + registers
        }
        i().list = static_cast<uint16_t>(words);
        return d_;
    }
    if (dp) {  // only VMOV between a core register and half of a double
        if (!bit(hw2, 4) || bits(hw1, 7, 6) != 0 || bits(hw2, 7, 0) != 0x10) {
            return undefined();
        }
        return moveCore(bit(hw1, 4), rt, bits(hw1, 3, 0) * 2 + (bit(hw1, 5) ? 1U : 0U));
    }
    if (bit(hw2, 4)) {
        if (bits(hw1, 7, 5) == 0 && bits(hw2, 6, 5) == 0) {
            return moveCore(bit(hw1, 4), rt, vn);
        }
        if (bits(hw1, 7, 5) == 7 && bits(hw1, 3, 0) == 1) {
            if (!bit(hw1, 4)) {
                return fpMoveOf(FpMove::ToFpscr, rt, 0, 0);
            }
            fpMoveOf(rt == 15 ? FpMove::FpscrToFlags : FpMove::FromFpscr, rt, 0, 0);
            i().results = result(rt);
            return d_;
        }
        return undefined();
    }
    const unsigned opc1 = bits(hw1, 7, 4) & 0xBU;
    const bool op = bit(hw2, 6);
    switch (opc1) {
    case 0x0: return fpOp(op ? FpOp::Mls : FpOp::Mla, vd, vn, vm, 3);
    case 0x1: return fpOp(op ? FpOp::Nmla : FpOp::Nmls, vd, vn, vm, 3);
    case 0x2: return fpOp(op ? FpOp::Nmul : FpOp::Mul, vd, vn, vm);
    case 0x3: return fpOp(op ? FpOp::Sub : FpOp::Add, vd, vn, vm);
    case 0x8: return op ? undefined() : fpOp(FpOp::Div, vd, vn, vm, 14);
    case 0x9: return fpOp(op ? FpOp::Fnma : FpOp::Fnms, vd, vn, vm, 3);
    case 0xA: return fpOp(op ? FpOp::Fms : FpOp::Fma, vd, vn, vm, 3);
    case 0xB: break;
    default: return undefined();
    }
    if (!op) {  // VMOV immediate: VFPExpandImm
        if (bits(hw2, 7, 4) != 0) {
            return undefined();
        }
        const uint32_t imm8 = (bits(hw1, 3, 0) << 4) | bits(hw2, 3, 0);
        const uint32_t b6 = (imm8 >> 6) & 1U;
        fpOp(FpOp::MovImm, vd, 0, 0);
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
    case 0x2:
    case 0x3:  // VCVTB, VCVTT: a half in the bottom or top of a single register
        fpOp(bit(hw1, 0) ? FpOp::SingleToHalf : FpOp::HalfToSingle, vd, 0, vm);
        i().imm = t ? 16 : 0;
        return d_;
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
        fpOp(bit(hw1, 2) ? FpOp::ToFixed : FpOp::FromFixed, vd, 0, vd);
        i().imm = size - imm5;
        i().shiftAmount = static_cast<uint8_t>(size);
        i().flags = bit(hw1, 0) ? 0 : kSigned;
        return d_;
    }
    case 0xC: o = t ? FpOp::ToUnsigned : FpOp::ToUnsignedR; break;
    case 0xD: o = t ? FpOp::ToSigned : FpOp::ToSignedR; break;
    default: return undefined();
    }
    return fpOp(o, vd, 0, vm, o == FpOp::Sqrt ? 14 : 1);
}

}  // namespace emu::thumb
