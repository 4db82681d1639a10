// From halfwords to decoded instructions, and where a block ends; the 16-bit encodings.
#include <array>
#include <bit>
#include <utility>

#include "platform/emu/thumb_decoder.hpp"

namespace emu::thumb {

Block::Block() = default;
Block::~Block() = default;
Block::Block(Block&&) noexcept = default;
Block& Block::operator=(Block&&) noexcept = default;

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
            i().run = threaded<branchExchange>;
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
        i().run = threaded<compareBranch>;
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
        i().run = threaded<changeProcessorState>;
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
        i().run = threaded<ifThen>;
        i().imm = bits(hw, 7, 0);
        return d_;
    default: return undefined();
    }
}

namespace {

bool fetch(const Memory& memory, uint32_t addr, uint32_t* hw)
{
    const uint8_t* p = memory.readable(addr, 2);
    if (p == nullptr) {
        return false;
    }
    uint16_t h = 0;
    std::memcpy(&h, p, 2);
    *hw = h;
    return true;
}

// Whether the instruction may read pc as a register (the decoder folds it into the operands of the forms
// that read it as a matter of course: literals, ADR, branches): then the chain sets it before. A source
// field naming 15 counts (d and the register lists are destinations but for stores, which must not store
// pc), but for the FPU, whose fields name single registers and whose loads and stores form a base of pc
// themselves, the literal loads, whose Rn of 15 says that imm holds their address, and the extends without
// an addend, which name Rn 15 for none.
bool readsPc(const Instruction& i)
{
    if ((i.timing & kFloat) != 0) {
        return false;
    }
    const bool literal = (i.timing & kLiteral) != 0 && i.run != threaded<tableBranch>;
    const bool extend = i.run == bitOpHandler(BitOp::Extend) || i.run == bitOpHandler(BitOp::Extend16);
    return (i.n == 15 && !literal && !extend) || i.m == 15 || i.a == 15;
}

// The branch handlers that can end a chain themselves (going on to blockEnd), or `run` as it is.
Handler endingOf(Handler run)
{
    static const std::array<std::pair<Handler, Handler>, 10> kEndings{{
        {threaded<branch>, threaded<branch, blockEnd>},
        {threaded<conditionalBranch>, threaded<conditionalBranch, blockEnd>},
        {threaded<branchLink>, threaded<branchLink, blockEnd>},
        {threaded<branchExchange>, threaded<branchExchange, blockEnd>},
        {threaded<compareBranch>, threaded<compareBranch, blockEnd>},
        {threaded<tableBranch>, threaded<tableBranch, blockEnd>},
        {threaded<loadStoreMultiple<true, true, true>>, threaded<loadStoreMultiple<true, true, true>, blockEnd>},
        {threaded<loadStoreMultiple<true, true, false>>, threaded<loadStoreMultiple<true, true, false>, blockEnd>},
        {threaded<loadStoreMultiple<true, false, true>>, threaded<loadStoreMultiple<true, false, true>, blockEnd>},
        {threaded<loadStoreMultiple<true, false, false>>, threaded<loadStoreMultiple<true, false, false>, blockEnd>},
    }};
    for (const auto& [going, ends] : kEndings) {
        if (run == going) {
            return ends;
        }
    }
    return run;
}

}  // namespace

bool decode(const Memory& memory, uint32_t start, uint32_t limit, Block* out)
{
    out->start = start;
    out->bytes = 0;
    out->chain.clear();
    out->count = 0;
    out->hasIt = false;
    uint32_t addr = start;
    unsigned inIt = 0;  // instructions of an IT block still to come
    uint8_t itState = 0;  // ITSTATE as the next instruction would see it inside the block
    for (;;) {
        uint32_t hw1 = 0;
        if (!fetch(memory, addr, &hw1)) {
            break;
        }
        const bool wide = hw1 >= 0xE800U;
        uint32_t hw2 = 0;
        const uint8_t size = wide ? 4 : 2;
        if (wide && !fetch(memory, addr + 2, &hw2)) {
            break;
        }
        Decoder decoder(addr, size);
        Decoded d = wide ? decoder.thumb32(hw1, hw2) : decoder.thumb16(hw1);
        if (inIt != 0) {
            --inIt;
            if ((d.i.timing & kDivision) != 0) {  // 2 to 12 cycles by its operands: the middle of the range
                d.i.cycles = 7;
                d.i.timing = 0;
            }
            // Its condition, and no flags set by a 16-bit form; a B<c> of its own there is unpredictable.
            if (d.i.run == threaded<conditionalBranch>) {
                d.i.run = threaded<stop>;
                d.i.op = static_cast<uint8_t>(Stop::Undefined);
            }
            d.i.cond = static_cast<uint8_t>(itState >> 4);
            d.i.flags = static_cast<uint8_t>(d.i.flags & ~kSetFlagsOutsideIt);
            itState = advanceIt(itState);
        }
        if (d.i.run == threaded<ifThen>) {
            inIt = 4U - static_cast<unsigned>(std::countr_zero(d.i.imm & 0xFU));
            itState = static_cast<uint8_t>(d.i.imm);
            out->hasIt = true;
        }
        // The chain's records in front of it: a guard for a condition from an IT block (run only when the
        // block is run as one), or pc set.
        if (d.i.cond != kAlways && d.i.run != threaded<conditionalBranch>) {
            out->chain.push_back(Instruction{.run = guard, .addr = d.i.addr, .cond = d.i.cond});
        } else if (readsPc(d.i)) {
            out->chain.push_back(Instruction{.run = setPc, .addr = d.i.addr, .cond = kAlways});
        }
        out->chain.push_back(d.i);
        ++out->count;
        addr += size;
        if (d.endsBlock || addr >= limit) {
            break;
        }
    }
    out->itGoesOn = inIt != 0;
    out->bytes = addr - start;
    if (!out->chain.empty()) {
        Handler& last = out->chain.back().run;
        last = endingOf(last);
    }
    out->chain.push_back(Instruction{.run = blockEnd, .addr = addr, .cond = kAlways});
    out->entry = out->chain.front().run;
    return out->count != 0;
}

uint32_t Block::addressOf(uint32_t k) const
{
    for (const Instruction& i : chain) {
        if (isInstruction(i) && k-- == 0) {
            return i.addr;
        }
    }
    return start + bytes;
}

}  // namespace emu::thumb
