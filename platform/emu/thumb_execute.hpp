#pragma once
// What the instructions execute, and the handlers the decoder puts into them.

#include "platform/emu/thumb_internal.hpp"

namespace emu::thumb {

#define EMU_THUMB_ALU_OPS(X) X(And) X(Bic) X(Orr) X(Orn) X(Eor) X(Add) X(Adc) X(Sub) \
    X(Sbc) X(Rsb) X(Mov) X(Mvn) X(Tst) X(Teq) X(Cmp) X(Cmn)
#define EMU_THUMB_ENUMERATOR(op) op,
enum class AluOp : uint8_t { EMU_THUMB_ALU_OPS(EMU_THUMB_ENUMERATOR) };
#undef EMU_THUMB_ENUMERATOR

// [operation][0 immediate, 1 register shifted as the instruction says (the decoder gives it the shifts by
// register a, kRegisterShift), 2 register unshifted]
extern const Handler kAluHandlers[16][3];
// [operation][shift type]: a register shifted by an immediate amount (not by 0).
extern const Handler kAluShiftedHandlers[16][5];

enum class MulOp : uint8_t { Mul, Mla, Mls, Udiv, Sdiv, Umull, Smull, Umlal, Smlal };
Handler multiplyHandler(MulOp op);  // a handler per operation

enum class BitOp : uint8_t { Clz, Rev, Rev16, Revsh, Rbit, Ubfx, Sbfx, Bfi, Bfc, Movt, Extend, Extend16, Pkhbt, Pkhtb, Sel };
Handler bitOpHandler(BitOp op);  // a handler per operation

// The DSP extension's (thumb_dsp.cpp). Long forms: d RdHi, a RdLo.
// Parallel add and subtract, op: operation (bits 2..0), kind (bits 4..3), unsigned (bit 5).
Handler parallelHandler(uint8_t op);
enum class DspMulOp : uint8_t {
    Smulxy, Smlaxy, Smulwy, Smlawy, Smuad, Smlad, Smusd, Smlsd, Smmul, Smmla, Smmls, Usad8, Usada8, Smlalxy, Smlald,
    Smlsld, Umaal
};
Handler dspMultiplyHandler(DspMulOp op);  // a handler per operation
enum class SatOp : uint8_t { Ssat, Usat, Ssat16, Usat16, Qadd, Qsub, Qdadd, Qdsub };
Stop saturating(Context&, const Instruction&);

// Several words from `addr` up, in ascending order: all at once when they lie in RAM (or flash, reading).
bool readWords(Context&, uint32_t addr, unsigned count, uint32_t* words);
bool writeWords(Context&, uint32_t addr, unsigned count, const uint32_t* words);

// A single load or store of `width` bytes (1, 2, 4), in one of the forms with a handler of its own:
// `Plain` the offset added to a base other than pc, with no write-back and no load of pc (a handler
// without the other forms' tests); `PostIndexed` and `PreIndexed` an immediate offset written back to
// such a base (pointer walks, pushes of one register); `General` every form.
enum class AccessForm : uint8_t { General, Plain, PostIndexed, PreIndexed };
Handler loadStoreHandler(bool load, bool registerOffset, unsigned width, AccessForm form);
Handler loadLiteralHandler(unsigned width);  // LDR (literal) into a register other than pc
template <bool Load>
Stop loadStoreDual(Context&, const Instruction&);
// LDM/STM/PUSH/POP, a handler per direction (`Increment` after, or decrement before) and write-back, so that
// a push or a pop tests neither.
template <bool Load, bool Increment, bool WriteBack>
Stop loadStoreMultiple(Context&, const Instruction&);
Handler loadStoreMultipleHandler(bool load, bool increment, bool writeBack);
template <bool Load>
Stop exclusive(Context&, const Instruction&);
Stop tableBranch(Context&, const Instruction&);
Stop branch(Context&, const Instruction&);
Stop conditionalBranch(Context&, const Instruction&);
Stop branchLink(Context&, const Instruction&);
Stop branchExchange(Context&, const Instruction&);
Stop compareBranch(Context&, const Instruction&);
Stop ifThen(Context&, const Instruction&);
Stop nothing(Context&, const Instruction&);
Stop stop(Context&, const Instruction&);  // op: the Stop
Stop moveFromSpecial(Context&, const Instruction&);
Stop moveToSpecial(Context&, const Instruction&);
Stop changeProcessorState(Context&, const Instruction&);

// The FPU's: d, n, m are single registers (d, a core registers for moves).
enum class FpOp : uint8_t {
    Mla, Mls, Nmla, Nmls, Mul, Nmul, Add, Sub, Div, Fma, Fms, Fnma, Fnms, MovImm, Mov, Abs, Neg, Sqrt,
    Cmp, Cmpe, CmpZero, CmpeZero, FromSigned, FromUnsigned, ToSigned, ToUnsigned, ToSignedR, ToUnsignedR,
    FromFixed, ToFixed,  // imm fraction bits, shiftAmount 16 or 32 bits, kSigned
    HalfToSingle, SingleToHalf  // the half at bit imm (0 or 16) of m, or of d
};
Handler fpArithmeticHandler(FpOp op);  // a handler per operation
// op 1 loads; list words from single register d; kIndex: VLDR/VSTR at n +- imm, else VLDM/VSTM.
Stop fpLoadStore(Context&, const Instruction&);
template <bool Load>
Stop fpLoadStoreWord(Context&, const Instruction&);  // VLDR/VSTR of one single register
enum class FpMove : uint8_t { ToCore, FromCore, ToCorePair, FromCorePair, FromFpscr, FpscrToFlags, ToFpscr };
Handler fpMoveHandler(FpMove op);  // a handler per move

// The handlers as the decoder puts them into instructions (threaded, thumb_internal.hpp), each
// instantiated in the file that defines what it executes, so that it is inlined there; the tables above
// and the functions that pick a handler give the threaded ones too.
#define EMU_THUMB_THREADED(...) template Stop threaded<__VA_ARGS__>(Context&, const Instruction&)
extern EMU_THUMB_THREADED(saturating);
extern EMU_THUMB_THREADED(loadStoreDual<true>);
extern EMU_THUMB_THREADED(loadStoreDual<false>);
extern EMU_THUMB_THREADED(loadStoreMultiple<true, true, true>);
extern EMU_THUMB_THREADED(loadStoreMultiple<true, true, false>);
extern EMU_THUMB_THREADED(loadStoreMultiple<true, false, true>);
extern EMU_THUMB_THREADED(loadStoreMultiple<true, false, false>);
extern EMU_THUMB_THREADED(exclusive<true>);
extern EMU_THUMB_THREADED(exclusive<false>);
extern EMU_THUMB_THREADED(tableBranch);
extern EMU_THUMB_THREADED(branch);
extern EMU_THUMB_THREADED(conditionalBranch);
extern EMU_THUMB_THREADED(branchLink);
extern EMU_THUMB_THREADED(branchExchange);
extern EMU_THUMB_THREADED(compareBranch);
extern EMU_THUMB_THREADED(ifThen);
extern EMU_THUMB_THREADED(nothing);
extern EMU_THUMB_THREADED(stop);
extern EMU_THUMB_THREADED(moveFromSpecial);
extern EMU_THUMB_THREADED(moveToSpecial);
extern EMU_THUMB_THREADED(changeProcessorState);
extern EMU_THUMB_THREADED(fpLoadStore);
extern EMU_THUMB_THREADED(fpLoadStoreWord<true>);
extern EMU_THUMB_THREADED(fpLoadStoreWord<false>);
// The branches as the chain's last instruction, going on to the block's end.
#define EMU_THUMB_ENDING(...) template Stop threaded<__VA_ARGS__, blockEnd>(Context&, const Instruction&)
extern EMU_THUMB_ENDING(branch);
extern EMU_THUMB_ENDING(conditionalBranch);
extern EMU_THUMB_ENDING(branchLink);
extern EMU_THUMB_ENDING(branchExchange);
extern EMU_THUMB_ENDING(compareBranch);
extern EMU_THUMB_ENDING(tableBranch);
extern EMU_THUMB_ENDING(loadStoreMultiple<true, true, true>);
extern EMU_THUMB_ENDING(loadStoreMultiple<true, true, false>);
extern EMU_THUMB_ENDING(loadStoreMultiple<true, false, true>);
extern EMU_THUMB_ENDING(loadStoreMultiple<true, false, false>);

}  // namespace emu::thumb
