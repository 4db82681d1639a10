#pragma once
// The decoder of one instruction, shared by the files that decode its encodings.

#include <bit>

#include "platform/emu/thumb_execute.hpp"

namespace emu::thumb {

inline uint32_t bits(uint32_t v, unsigned hi, unsigned lo) { return (v >> lo) & ((2U << (hi - lo)) - 1U); }
inline bool bit(uint32_t v, unsigned b) { return ((v >> b) & 1U) != 0; }
inline uint32_t signExtend(uint32_t v, unsigned width) { return (v ^ (1U << (width - 1))) - (1U << (width - 1)); }

// What decoding one instruction tells the block builder besides the instruction.
struct Decoded {
    Instruction i{};
    bool endsBlock = false;
};

// Decodes one instruction at `addr` into the handler and operands its execution needs.
class Decoder {
public:
    Decoder(uint32_t addr, uint8_t size)
    {
        d_.i = Instruction{.run = threaded<stop>, .addr = addr, .cond = kAlways, .size = size, .cycles = 1};
    }

    Decoded thumb16(uint32_t hw);
    Decoded thumb32(uint32_t hw1, uint32_t hw2);

private:
    Decoded d_;
    Instruction& i() { return d_.i; }
    uint32_t pc() const { return d_.i.addr + 4; }

    Decoded& undefined()
    {
        i() = Instruction{.run = threaded<stop>,
                          .addr = i().addr,
                          .cond = kAlways,
                          .op = static_cast<uint8_t>(Stop::Undefined),
                          .size = i().size,
                          .cycles = 1};
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
        const bool compare = op == AluOp::Tst || op == AluOp::Teq || op == AluOp::Cmp || op == AluOp::Cmn;
        d_.endsBlock = d == 15 && !compare;
        i().results = compare ? 0 : result(d);
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
        if ((flags & kRegisterShift) == 0) {
            const auto o = static_cast<unsigned>(op);
            i().run = shift == Shift::Lsl && amount == 0 ? kAluHandlers[o][2]
                                                         : kAluShiftedHandlers[o][static_cast<unsigned>(shift)];
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
    static uint16_t result(unsigned r) { return static_cast<uint16_t>(r < 15 ? 1U << r : 0U); }
    // A handler on registers d, n, m, a with its own variant; its result goes to core register d.
    Decoded& operands(Handler run, uint8_t op, unsigned d, unsigned n, unsigned m, unsigned a = 0)
    {
        i().run = run;
        i().op = op;
        i().d = static_cast<uint8_t>(d);
        i().n = static_cast<uint8_t>(n);
        i().m = static_cast<uint8_t>(m);
        i().a = static_cast<uint8_t>(a);
        i().results = result(d);
        return d_;
    }
    // Cost and timing bits; a single access costs 2 and may pipeline.
    Decoded& costs(unsigned cycles, uint8_t timing = 0)
    {
        i().cycles = static_cast<uint8_t>(cycles);
        i().timing = timing;
        return d_;
    }
    Decoded& mul(MulOp op, unsigned d, unsigned n, unsigned m, unsigned a, uint8_t flags = 0)
    {
        operands(multiplyHandler(op), static_cast<uint8_t>(op), d, n, m, a);
        i().flags = flags;
        if (op == MulOp::Mla || op == MulOp::Mls) {
            costs(2);
        } else if (op == MulOp::Udiv || op == MulOp::Sdiv) {
            costs(0, kDivision);  // by its quotient (decode makes it 7 inside an IT block)
        } else if (op >= MulOp::Umull) {
            i().results = static_cast<uint16_t>(result(d) | result(a));
        }
        return d_;
    }
    // imm: the halves, exchange or rounding bits as the DSP multiplies read them.
    Decoded& dspMul(DspMulOp op, unsigned d, unsigned n, unsigned m, unsigned a, uint32_t imm)
    {
        operands(dspMultiplyHandler(op), static_cast<uint8_t>(op), d, n, m, a);
        i().imm = imm;
        if (op >= DspMulOp::Smlalxy) {
            i().results = static_cast<uint16_t>(result(d) | result(a));
        }
        return d_;
    }
    Decoded& saturate(SatOp op, unsigned d, unsigned n, unsigned m, unsigned width, Shift shift = Shift::Lsl, unsigned amount = 0)
    {
        operands(threaded<saturating>, static_cast<uint8_t>(op), d, n, m);
        i().imm = width;
        i().shift = shift;
        i().shiftAmount = static_cast<uint8_t>(amount);
        return d_;
    }
    Decoded& bitOperation(BitOp op, unsigned d, unsigned n, unsigned m, unsigned lsb = 0, unsigned width = 32)
    {
        i().run = bitOpHandler(op);
        i().op = static_cast<uint8_t>(op);
        i().d = static_cast<uint8_t>(d);
        i().n = static_cast<uint8_t>(n);
        i().m = static_cast<uint8_t>(m);
        i().shiftAmount = static_cast<uint8_t>(lsb);
        i().imm = width;
        i().results = result(d);
        return d_;
    }
    // SXTAB and the like (Extend), or SXTAB16 and the like (Extend16).
    Decoded& extend(unsigned d, unsigned n, unsigned m, unsigned rotation, unsigned width, bool isSigned,
                    BitOp op = BitOp::Extend)
    {
        bitOperation(op, d, n, m, rotation, width);
        i().flags = isSigned ? kSigned : 0;
        return d_;
    }
    static Handler accessHandler(bool load, bool registerOffset, unsigned width, unsigned t, unsigned n, uint8_t mode)
    {
        if (load && !registerOffset && n == 15 && t != 15) {
            return loadLiteralHandler(width);
        }
        AccessForm form = AccessForm::General;
        if (n != 15 && !(load && t == 15)) {
            if (mode == (kAdd | kIndex)) {
                form = AccessForm::Plain;
            } else if ((mode & kWriteBack) != 0 && !registerOffset) {
                form = (mode & kIndex) != 0 ? AccessForm::PreIndexed : AccessForm::PostIndexed;
            }
        }
        return loadStoreHandler(load, registerOffset, width, form);
    }
    // A single load or store; a literal (n 15) carries its address in imm.
    Decoded& access(bool load, unsigned width, bool isSigned, unsigned t, unsigned n, uint32_t imm, uint8_t mode)
    {
        if (n == 15) {
            imm = (mode & kAdd) != 0 ? (pc() & ~3U) + imm : (pc() & ~3U) - imm;
            mode = kAdd | kIndex;
        }
        i().run = accessHandler(load, false, width, t, n, mode);
        i().d = static_cast<uint8_t>(t);
        i().n = static_cast<uint8_t>(n);
        i().imm = imm;
        i().flags = static_cast<uint8_t>(mode | (isSigned ? kSigned : 0));
        i().results = load ? result(t) : 0;
        d_.endsBlock = load && t == 15;
        if (load) {
            return costs(2, static_cast<uint8_t>(kReads | kPipelined | (n == 15 ? kLiteral : 0)));
        }
        // With an immediate offset the address is formed at once and the data goes out while the next
        // instruction executes: 1 cycle, and nothing pipelines behind it.
        return (mode & kWriteBack) != 0 ? costs(2, kWrites | kPipelined) : costs(1, kWrites);
    }
    Decoded& accessRegister(bool load, unsigned width, bool isSigned, unsigned t, unsigned n, unsigned m, unsigned shift)
    {
        access(load, width, isSigned, t, n, 0, kAdd | kIndex);
        i().run = accessHandler(load, true, width, t, n, kAdd | kIndex);
        i().m = static_cast<uint8_t>(m);
        i().shiftAmount = static_cast<uint8_t>(shift);
        return costs(2, static_cast<uint8_t>((load ? kReads : kWrites) | kPipelined | kRegisterOffset));
    }
    Decoded& multiple(bool load, unsigned n, uint16_t list, bool increment, bool writeBack)
    {
        if (list == 0) {
            return undefined();
        }
        i().run = loadStoreMultipleHandler(load, increment, writeBack);
        i().n = static_cast<uint8_t>(n);
        i().list = list;
        i().imm = static_cast<uint32_t>(std::popcount(list));  // the register count, once
        i().flags = static_cast<uint8_t>((increment ? kAdd : 0) | (writeBack ? kWriteBack : 0));
        i().results = load ? static_cast<uint16_t>(list & 0x7FFFU) : 0;
        d_.endsBlock = load && bit(list, 15);
        return costs(1 + i().imm, load ? kReads : kWrites);
    }
    // LDREX/STREX of `width` bytes: t loaded or stored, status the STREX's result register.
    Decoded& exclusiveAccess(bool load, unsigned width, unsigned t, unsigned n, unsigned status)
    {
        i().run = load ? threaded<exclusive<true>> : threaded<exclusive<false>>;
        i().d = static_cast<uint8_t>(t);
        i().a = static_cast<uint8_t>(status);
        i().n = static_cast<uint8_t>(n);
        i().op = static_cast<uint8_t>(width);
        i().results = result(load ? t : status);
        return costs(2, load ? kReads | kPipelined : kWrites | kPipelined);
    }
    // VMOV between core register t and single s.
    Decoded& moveCore(bool toCore, unsigned t, unsigned s)
    {
        fpMoveOf(toCore ? FpMove::ToCore : FpMove::FromCore, t, 0, s);
        i().results = toCore ? result(t) : 0;
        return d_;
    }
    Decoded& branchTo(uint32_t target, unsigned cond = kAlways)
    {
        i().run = cond == kAlways ? threaded<branch> : threaded<conditionalBranch>;
        i().imm = target;
        i().cond = static_cast<uint8_t>(cond);
        d_.endsBlock = true;
        return d_;
    }
    Decoded& hint(unsigned op)
    {
        switch (op) {
        case 2:
        case 3: return stopWith(Stop::Wfi);
        default:  // NOP, YIELD, SEV (no other core to wake) and the unallocated hints
            i().run = threaded<nothing>;
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
    Decoded& fpMoveOf(FpMove op, unsigned d, unsigned n, unsigned m)
    {
        return fp(fpMoveHandler(op), static_cast<uint8_t>(op), d, n, m);
    }
    Decoded& fpOp(FpOp op, unsigned d, unsigned n, unsigned m, unsigned cycles = 1)
    {
        return fp(fpArithmeticHandler(op), static_cast<uint8_t>(op), d, n, m, cycles);
    }
    // d, n, m single registers; no core register written unless the handler's decoder says so.
    Decoded& fp(Handler run, uint8_t op, unsigned d, unsigned n, unsigned m, unsigned cycles = 1)
    {
        operands(run, op, d, n, m);
        i().results = 0;
        return costs(cycles, kFloat);
    }
};

}  // namespace emu::thumb
