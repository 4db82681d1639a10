// The DSP extension's handlers: parallel arithmetic on bytes and halfwords, halfword multiplies, saturation.
#include <array>
#include <utility>

#include "platform/emu/thumb_execute.hpp"

namespace emu::thumb {

namespace {

constexpr uint32_t kQ = Registers::kQ;
constexpr unsigned kGeShift = Registers::kGeShift;

int32_t half(uint32_t v, bool top) { return static_cast<int16_t>(static_cast<uint16_t>(top ? v >> 16 : v)); }

// Clamps to a `bits`-bit signed (or unsigned) range, saying whether it had to.
int64_t saturate(int64_t v, unsigned bits, bool isSigned, bool* saturated)
{
    const int64_t highest = isSigned ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
    const int64_t lowest = isSigned ? -(int64_t{1} << (bits - 1)) : 0;
    *saturated = v > highest || v < lowest;
    return v > highest ? highest : v < lowest ? lowest : v;
}

void setQ(Context& c, bool saturated)
{
    if (saturated) {
        c.regs.qge |= kQ;
    }
}

// A 32-bit result that may have left the signed range: its low word, and Q if it did.
uint32_t signedWithQ(Context& c, int64_t v)
{
    setQ(c, v != static_cast<int32_t>(v));
    return static_cast<uint32_t>(v);
}

uint64_t pairOf(const Context& c, const Instruction& i) { return (uint64_t{c.regs.r[i.d]} << 32) | c.regs.r[i.a]; }

void setPair(Context& c, const Instruction& i, uint64_t v)
{
    c.regs.r[i.a] = static_cast<uint32_t>(v);  // RdLo
    c.regs.r[i.d] = static_cast<uint32_t>(v >> 32);
}

// Op: the operation (bits 2..0: 0 ADD8, 1 ADD16, 2 ASX, 4 SUB8, 5 SUB16, 6 SAX) and its kind (bits 4..3:
// 0 wrapping with GE, 1 saturating, 2 halving; bit 5 unsigned). A handler per operation, so that the lanes
// unroll with their widths and signs known.
template <uint8_t Op>
Stop parallelOf(Context& c, const Instruction& i)
{
    constexpr unsigned operation = Op & 7U;
    constexpr unsigned kind = (Op >> 3) & 3U;
    constexpr bool isSigned = (Op & 0x20U) == 0;
    constexpr bool bytes = operation == 0 || operation == 4;
    constexpr unsigned width = bytes ? 8 : 16;
    constexpr unsigned lanes = 32 / width;
    constexpr uint32_t mask = (1U << width) - 1U;
    const uint32_t rn = c.regs.r[i.n];
    const uint32_t rm = c.regs.r[i.m];
    const auto lane = [](uint32_t v, unsigned at) {
        const uint32_t raw = (v >> (width * at)) & mask;
        return isSigned ? static_cast<int32_t>((raw ^ (1U << (width - 1))) - (1U << (width - 1))) : static_cast<int32_t>(raw);
    };
    uint32_t result = 0;
    uint32_t ge = 0;
    for (unsigned k = 0; k < lanes; ++k) {
        // ASX and SAX pair each half of Rn with the other half of Rm: ASX subtracts in the bottom half
        // and adds in the top, SAX the other way round.
        constexpr bool exchange = operation == 2 || operation == 6;
        const bool subtract = operation >= 4 ? !(operation == 6 && k == 0) : (operation == 2 && k == 0);
        const unsigned other = exchange ? 1 - k : k;
        int32_t r = subtract ? lane(rn, k) - lane(rm, other) : lane(rn, k) + lane(rm, other);  // 17 bits at most
        bool saturated = false;
        if constexpr (kind == 0) {
            const bool set = isSigned || subtract ? r >= 0 : r >= (1 << width);
            ge |= set ? (bytes ? 1U : 3U) << (k * (bytes ? 1 : 2)) : 0U;
        } else if constexpr (kind == 1) {
            r = static_cast<int32_t>(saturate(r, width, isSigned, &saturated));
        } else {
            r >>= 1;
        }
        result |= (static_cast<uint32_t>(r) & mask) << (width * k);
    }
    if constexpr (kind == 0) {
        c.regs.qge = (c.regs.qge & ~(0xFU << kGeShift)) | (ge << kGeShift);
    }
    c.regs.r[i.d] = result;
    return Stop::Ended;
}

}  // namespace

Handler parallelHandler(uint8_t op)
{
    static constexpr auto kHandlers =
        handlersByOperation<64>([](auto n) { return threaded<parallelOf<static_cast<uint8_t>(decltype(n)::value)>>; });
    return kHandlers[op & 63U];
}

namespace {

// imm: bit 1 Rn's top half, bit 0 Rm's (xy, Wy), or the exchange of Rm's halves (X) or rounding (R).
template <DspMulOp Op>
Stop dspMultiply(Context& c, const Instruction& i)
{
    const uint32_t rn = c.regs.r[i.n];
    const uint32_t rm = c.regs.r[i.m];
    const auto ra = static_cast<int32_t>(c.regs.r[i.a]);
    uint32_t& rd = c.regs.r[i.d];
    const bool option = (i.imm & 1U) != 0;  // Rm's top half, X or R
    const auto xy = [&] { return half(rn, (i.imm & 2U) != 0) * half(rm, option); };
    const auto wide = [&] { return (int64_t{static_cast<int32_t>(rn)} * half(rm, option)) >> 16; };  // bits 47..16
    // The dual forms: bottom by bottom and top by top, or crosswise with X.
    const auto bottoms = [&] { return int64_t{half(rn, false)} * half(rm, option); };
    const auto tops = [&] { return int64_t{half(rn, true)} * half(rm, !option); };
    const auto product = [&] { return static_cast<uint64_t>(int64_t{static_cast<int32_t>(rn)} * static_cast<int32_t>(rm)); };
    const uint64_t rounding = option ? 0x80000000U : 0U;
    switch (Op) {
    case DspMulOp::Smulxy: rd = static_cast<uint32_t>(xy()); break;
    case DspMulOp::Smlaxy: rd = signedWithQ(c, int64_t{xy()} + ra); break;
    case DspMulOp::Smulwy: rd = static_cast<uint32_t>(wide()); break;
    case DspMulOp::Smlawy: rd = signedWithQ(c, wide() + ra); break;
    case DspMulOp::Smuad: rd = signedWithQ(c, bottoms() + tops()); break;
    case DspMulOp::Smlad: rd = signedWithQ(c, bottoms() + tops() + ra); break;
    case DspMulOp::Smusd: rd = static_cast<uint32_t>(bottoms() - tops()); break;
    case DspMulOp::Smlsd: rd = signedWithQ(c, bottoms() - tops() + ra); break;
    case DspMulOp::Smmul: rd = static_cast<uint32_t>((product() + rounding) >> 32); break;
    case DspMulOp::Smmla: rd = static_cast<uint32_t>(((uint64_t{c.regs.r[i.a]} << 32) + product() + rounding) >> 32); break;
    case DspMulOp::Smmls: rd = static_cast<uint32_t>(((uint64_t{c.regs.r[i.a]} << 32) - product() + rounding) >> 32); break;
    case DspMulOp::Usad8:
    case DspMulOp::Usada8: {
        uint32_t sum = Op == DspMulOp::Usada8 ? c.regs.r[i.a] : 0U;
        for (unsigned k = 0; k < 32; k += 8) {
            const uint32_t x = (rn >> k) & 0xFFU;
            const uint32_t y = (rm >> k) & 0xFFU;
            sum += x > y ? x - y : y - x;
        }
        rd = sum;
        break;
    }
    case DspMulOp::Smlalxy: setPair(c, i, pairOf(c, i) + static_cast<uint64_t>(int64_t{xy()})); break;
    case DspMulOp::Smlald: setPair(c, i, pairOf(c, i) + static_cast<uint64_t>(bottoms() + tops())); break;
    case DspMulOp::Smlsld: setPair(c, i, pairOf(c, i) + static_cast<uint64_t>(bottoms() - tops())); break;
    case DspMulOp::Umaal: setPair(c, i, uint64_t{rn} * rm + c.regs.r[i.d] + c.regs.r[i.a]); break;
    }
    return Stop::Ended;
}

}  // namespace

Handler dspMultiplyHandler(DspMulOp op)
{
    static constexpr auto kHandlers = handlersByOperation<static_cast<std::size_t>(DspMulOp::Umaal) + 1>(
        [](auto n) { return threaded<dspMultiply<static_cast<DspMulOp>(decltype(n)::value)>>; });
    return kHandlers[static_cast<std::size_t>(op)];
}

// imm: the saturation width; the operand Rn shifted by shift/shiftAmount (SSAT, USAT), or Rm and Rn (the
// Q forms: Rd = Rm +- Rn, with Rn doubled first for QDADD/QDSUB).
Stop saturating(Context& c, const Instruction& i)
{
    const auto rn = static_cast<int32_t>(c.regs.r[i.n]);
    const auto rm = static_cast<int32_t>(c.regs.r[i.m]);
    bool saturated = false;
    bool again = false;
    uint32_t result = 0;
    switch (static_cast<SatOp>(i.op)) {
    case SatOp::Ssat:
    case SatOp::Usat: {
        bool carry = false;
        const auto v = static_cast<int32_t>(shiftC(static_cast<uint32_t>(rn), i.shift, i.shiftAmount, false, &carry));
        result = static_cast<uint32_t>(saturate(v, i.imm, static_cast<SatOp>(i.op) == SatOp::Ssat, &saturated));
        break;
    }
    case SatOp::Ssat16:
    case SatOp::Usat16: {
        const bool isSigned = static_cast<SatOp>(i.op) == SatOp::Ssat16;
        const auto bottom = static_cast<uint32_t>(saturate(half(static_cast<uint32_t>(rn), false), i.imm, isSigned, &saturated));
        const auto top = static_cast<uint32_t>(saturate(half(static_cast<uint32_t>(rn), true), i.imm, isSigned, &again));
        result = (bottom & 0xFFFFU) | (top << 16);
        break;
    }
    case SatOp::Qadd: result = static_cast<uint32_t>(saturate(int64_t{rm} + rn, 32, true, &saturated)); break;
    case SatOp::Qsub: result = static_cast<uint32_t>(saturate(int64_t{rm} - rn, 32, true, &saturated)); break;
    case SatOp::Qdadd:
    case SatOp::Qdsub: {
        const int64_t doubled = saturate(int64_t{rn} * 2, 32, true, &saturated);
        const int64_t r = static_cast<SatOp>(i.op) == SatOp::Qdadd ? rm + doubled : rm - doubled;
        result = static_cast<uint32_t>(saturate(r, 32, true, &again));
        break;
    }
    }
    setQ(c, saturated || again);
    c.regs.r[i.d] = result;
    return Stop::Ended;
}

EMU_THUMB_THREADED(saturating);

}  // namespace emu::thumb
