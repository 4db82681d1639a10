// The single-precision FPU: host float arithmetic for the numbers, the architecture's own rules for NaNs,
// flags and conversions. Built with -frounding-math so that the host's rounding mode and flags hold.
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <limits>

#include "platform/emu/thumb_execute.hpp"

namespace emu::thumb {

namespace {

constexpr uint32_t kSign = 0x80000000U;
constexpr uint32_t kQuiet = 0x00400000U;
constexpr uint32_t kDefaultNan = 0x7FC00000U;
constexpr uint32_t kInvalid = 1U << 0;
constexpr uint32_t kDivideByZero = 1U << 1;
constexpr uint32_t kOverflow = 1U << 2;
constexpr uint32_t kUnderflow = 1U << 3;
constexpr uint32_t kInexact = 1U << 4;
constexpr uint32_t kInputDenormal = 1U << 7;
constexpr uint32_t kFlushToZero = 1U << 24;
constexpr uint32_t kDefaultNanMode = 1U << 25;
constexpr uint32_t kAlternativeHalf = 1U << 26;
constexpr unsigned kRoundingShift = 22;
constexpr uint32_t kRoundingMask = 3U << kRoundingShift;
constexpr uint32_t kFpscrWritable = 0xF7C0009FU;

float asFloat(uint32_t bits)
{
    float f = 0;
    std::memcpy(&f, &bits, 4);
    return f;
}

uint32_t bitsOf(float f)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    return bits;
}

// A single's bits as a double (exact).
double wideOf(uint32_t bits) { return static_cast<double>(asFloat(bits)); }

bool isNan(uint32_t v) { return (v & 0x7FFFFFFFU) > 0x7F800000U; }

bool isSignalling(uint32_t v) { return isNan(v) && (v & kQuiet) == 0; }

// Neither zero, denormal, infinite nor NaN: an operand the architecture reads as it is, whatever FPSCR says.
bool isNormal(uint32_t v) { return ((v >> 23) & 0xFFU) - 1U < 0xFEU; }

// Knuth's two-sum: the rounding error of sum = x + y, computed exactly (to nearest, as outside Fpu::host),
// is zero when the sum is exact.
bool sumIsExact(double x, double y, double sum)
{
    const double yPart = sum - x;
    const double xPart = sum - yPart;
    return (x - xPart) + (y - yPart) == 0;
}

// The binary operations: on the host's singles, in double precision, and whether the double is exact.
struct Add {
    static float of(float a, float b) { return a + b; }
    static double wide(double x, double y) { return x + y; }
    static bool exact(double x, double y, double sum) { return sumIsExact(x, y, sum); }
};
struct Sub {
    static float of(float a, float b) { return a - b; }
    static double wide(double x, double y) { return x - y; }
    static bool exact(double x, double y, double difference) { return sumIsExact(x, -y, difference); }
};
struct Mul {
    static float of(float a, float b) { return a * b; }
    static double wide(double x, double y) { return x * y; }
    static bool exact(double, double, double) { return true; }  // two 24-bit significands fit in 53
};
struct Div {
    static float of(float a, float b) { return a / b; }
    static double wide(double x, double y) { return x / y; }
    // Exact when the single nearest the quotient times the divisor gives the dividend (that product is
    // exact in a double).
    static bool exact(double x, double y, double quotient)
    {
        return static_cast<double>(static_cast<float>(quotient)) * y == x;
    }
};

// A double half-way between two singles of the normal range (its 29 bits below a single's last one are
// 1000...0).
bool halfWay(double v)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    return (bits & 0x1FFFFFFFU) == 0x10000000U;
}

class Fpu {
public:
    explicit Fpu(Context& c) : fpscr_(c.regs.fpscr) {}

    // The NaN a NaN operand makes the result (signalling ones first, in operand order), if any.
    bool nanOperands(std::initializer_list<uint32_t> operands, uint32_t* result)
    {
        for (const uint32_t v : operands) {
            if (isSignalling(v)) {
                fpscr_ |= kInvalid;
                *result = quietNan(v | kQuiet);
                return true;
            }
        }
        for (const uint32_t v : operands) {
            if (isNan(v)) {
                *result = quietNan(v);
                return true;
            }
        }
        return false;
    }

    // An operand as the architecture reads it: a denormal is zero in flush-to-zero mode.
    uint32_t in(uint32_t v)
    {
        if ((fpscr_ & kFlushToZero) != 0 && (v & 0x7F800000U) == 0 && (v & 0x007FFFFFU) != 0) {
            fpscr_ |= kInputDenormal;
            return v & kSign;
        }
        return v;
    }

    // Runs a host operation in FPSCR's rounding mode and collects its exceptions. The host sees a tiny
    // result after rounding, the architecture before: rounded toward zero, a result that rounded up to
    // the smallest normal number shows whether it was tiny. Flush-to-zero makes a tiny result zero, with
    // underflow its only exception.
    // Clearing the host's flags is slow (it rewrites the x87 environment too), so they are cleared only
    // when one is set that FPSCR does not hold yet: a flag left from before then changes nothing, but for
    // the inexact a result near zero is judged by, for which the operation runs again on clear flags.
    template <typename Op>
    uint32_t host(Op op)
    {
        static constexpr int kModes[4] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
        const unsigned mode = (fpscr_ >> kRoundingShift) & 3U;
        if (mode != 0) {
            std::fesetround(kModes[mode]);
        }
        int before = std::fetestexcept(FE_ALL_EXCEPT);
        if ((before & ~heldFlags()) != 0) {
            std::feclearexcept(FE_ALL_EXCEPT);
            before = 0;
        }
        float result = flagged(op);
        int raised = std::fetestexcept(FE_ALL_EXCEPT);
        if ((before & FE_INEXACT) != 0 && (bitsOf(result) & 0x7FFFFFFFU) <= 0x00800000U) {
            std::feclearexcept(FE_ALL_EXCEPT);
            result = flagged(op);
            raised = std::fetestexcept(FE_ALL_EXCEPT);
        }
        if (mode != 0) {
            std::fesetround(FE_TONEAREST);
        }
        const uint32_t bits = bitsOf(result);
        const uint32_t magnitude = bits & 0x7FFFFFFFU;
        const bool inexact = (raised & FE_INEXACT) != 0;
        bool tiny = magnitude < 0x00800000U && (magnitude != 0 || inexact);  // an exact zero is not tiny

        if (inexact && magnitude == 0x00800000U) {
            std::fesetround(FE_TOWARDZERO);
            const float truncated = flagged(op);
            std::fesetround(FE_TONEAREST);
            tiny = (bitsOf(truncated) & 0x7FFFFFFFU) < 0x00800000U;
        }
        if (tiny && (fpscr_ & kFlushToZero) != 0) {
            fpscr_ |= kUnderflow;
            return bits & kSign;
        }
        fpscr_ |= ((raised & FE_INVALID) != 0 ? kInvalid : 0U) | ((raised & FE_DIVBYZERO) != 0 ? kDivideByZero : 0U) |
                  ((raised & FE_OVERFLOW) != 0 ? kOverflow : 0U) |
                  ((raised & FE_UNDERFLOW) != 0 || (tiny && inexact) ? kUnderflow : 0U) | (inexact ? kInexact : 0U);
        return isNan(bits) ? kDefaultNan : bits;  // only an invalid operation makes a NaN here
    }

    // The result of an operation from its value in double precision, `wide`, without the host's flags,
    // whose reading costs more than the operation, wherever that can be:
    // - Rounded to a single, `wide` is the result in round-to-nearest mode: for the basic operations and
    //   the square root a double has more than twice a single's precision plus two, so its rounding
    //   first changes nothing (Figueroa); a fused multiply-add's sum (FusedSum) is a rounding of its own,
    //   which matters only where it lies half-way between two singles. A normal result above the
    //   smallest normal number raises no flag but inexact: once FPSCR holds that, nothing is to be added.
    // - Most operations of a program are exact (integers held in singles, scaling by powers of two): a
    //   normal single equal to the exact value is the result in every rounding mode and raises no flag.
    // Otherwise the host runs `op`.
    template <bool FusedSum = false, typename IsExact, typename Op>
    uint32_t exactOrHost(double wide, IsExact isExact, Op op)
    {
        const float single = static_cast<float>(wide);
        const uint32_t magnitude = bitsOf(single) & 0x7FFFFFFFU;
        const bool normal = magnitude >= 0x00800000U && magnitude < 0x7F800000U;
        const bool nearestAndInexactHeld = (fpscr_ & (kInexact | kRoundingMask)) == kInexact;
        if (normal && magnitude != 0x00800000U && nearestAndInexactHeld && !(FusedSum && halfWay(wide))) {
            return bitsOf(single);
        }
        if (normal && isExact() && static_cast<double>(single) == wide) {
            return bitsOf(single);
        }
        return host(op);
    }

    // The operation, kept between the flag reads around it: the compiler does not know that arithmetic
    // sets them, and would move it (the empty asm says the operands and the result may be read or written
    // there, so they are computed in between).
    template <typename Op>
    static float flagged(Op& op)
    {
        asm volatile("" : : "g"(&op) : "memory");
        float result = op();
        asm volatile("" : : "g"(&result) : "memory");
        return result;
    }

    // The host's exception flags FPSCR holds already.
    int heldFlags() const
    {
        return ((fpscr_ & kInvalid) != 0 ? FE_INVALID : 0) | ((fpscr_ & kDivideByZero) != 0 ? FE_DIVBYZERO : 0) |
               ((fpscr_ & kOverflow) != 0 ? FE_OVERFLOW : 0) | ((fpscr_ & kUnderflow) != 0 ? FE_UNDERFLOW : 0) |
               ((fpscr_ & kInexact) != 0 ? FE_INEXACT : 0);
    }

    template <typename Op>
    uint32_t binary(uint32_t a, uint32_t b)
    {
        uint32_t r = 0;
        if (!(isNormal(a) && isNormal(b))) {
            a = in(a);
            b = in(b);
            if (nanOperands({a, b}, &r)) {
                return r;
            }
        }
        const double x = wideOf(a);
        const double y = wideOf(b);
        const double wide = Op::wide(x, y);
        return exactOrHost(wide, [&] { return Op::exact(x, y, wide); }, [&] { return Op::of(asFloat(a), asFloat(b)); });
    }

    uint32_t mulAdd(uint32_t addend, uint32_t x, uint32_t y)
    {
        if (!(isNormal(addend) && isNormal(x) && isNormal(y))) {
            addend = in(addend);
            x = in(x);
            y = in(y);
            uint32_t r = 0;
            const bool nan = nanOperands({addend, x, y}, &r);
            const auto infinite = [](uint32_t v) { return (v & 0x7FFFFFFFU) == 0x7F800000U; };
            const auto zero = [](uint32_t v) { return (v & 0x7FFFFFFFU) == 0; };
            if (isNan(addend) && !isSignalling(addend) && ((infinite(x) && zero(y)) || (zero(x) && infinite(y)))) {
                fpscr_ |= kInvalid;
                return quietNan(kDefaultNan);
            }
            if (nan) {
                return r;
            }
        }
        const double product = wideOf(x) * wideOf(y);  // exact, as for Mul
        const double sum = product + wideOf(addend);
        return exactOrHost<true>(sum, [&] { return sumIsExact(product, wideOf(addend), sum); },
                                 [&] { return std::fma(asFloat(x), asFloat(y), asFloat(addend)); });
    }

    void compare(uint32_t a, uint32_t b, bool signalAnyNan)
    {
        a = in(a);
        b = in(b);
        uint32_t nzcv = 0;
        if (isNan(a) || isNan(b)) {
            nzcv = 0x3;
            if (signalAnyNan || isSignalling(a) || isSignalling(b)) {
                fpscr_ |= kInvalid;
            }
        } else {
            const float x = asFloat(a);
            const float y = asFloat(b);
            nzcv = x == y ? 0x6 : x < y ? 0x8 : 0x2;
        }
        fpscr_ = (fpscr_ & 0x0FFFFFFFU) | (nzcv << 28);
    }

    // To a `width`-bit integer of `fraction` fraction bits, rounding toward zero or as FPSCR says; out of
    // range saturates. Extended to 32 bits.
    uint32_t toInteger(uint32_t a, bool isSigned, bool towardZero, unsigned fraction = 0, unsigned width = 32)
    {
        a = in(a);
        if (isNan(a)) {
            fpscr_ |= kInvalid;
            return 0;
        }
        // Scaled by a power of two (exact in a double) without a call: a conversion is a frequent instruction.
        const double x = static_cast<double>(asFloat(a)) * static_cast<double>(uint64_t{1} << fraction);
        double r = 0;
        switch (towardZero ? 3U : (fpscr_ >> kRoundingShift) & 3U) {
        case 0: r = std::nearbyint(x); break;
        case 1: r = std::ceil(x); break;
        case 2: r = std::floor(x); break;
        default: r = std::trunc(x); break;
        }
        const auto top = static_cast<double>(uint64_t{1} << (width - (isSigned ? 1U : 0U)));
        const double lowest = isSigned ? -top : 0.0;
        const double highest = top - 1.0;
        if (r < lowest || r > highest) {
            fpscr_ |= kInvalid;
            r = r < lowest ? lowest : highest;
        } else if (r != x) {
            fpscr_ |= kInexact;
        }
        return isSigned ? static_cast<uint32_t>(static_cast<int32_t>(r)) : static_cast<uint32_t>(r);
    }

    // A half (IEEE, or the alternative format without infinities and NaNs) to single: always exact.
    uint32_t fromHalf(uint32_t h)
    {
        const uint32_t sign = (h & 0x8000U) << 16;
        const uint32_t exponent = (h >> 10) & 0x1FU;
        const uint32_t fraction = h & 0x3FFU;
        if (exponent == 0x1F && (fpscr_ & kAlternativeHalf) == 0) {
            if (fraction == 0) {
                return sign | 0x7F800000U;
            }
            if ((fraction & 0x200U) == 0) {
                fpscr_ |= kInvalid;
            }
            return quietNan(sign | 0x7FC00000U | fraction << 13);
        }
        const double magnitude = std::ldexp(static_cast<double>(exponent == 0 ? fraction : fraction | 0x400U),
                                            static_cast<int>(exponent == 0 ? 1 : exponent) - 25);
        return sign | bitsOf(static_cast<float>(magnitude));
    }

    // A single to half, rounded as FPSCR says. Tininess is judged before rounding, as the architecture does.
    uint32_t toHalf(uint32_t a)
    {
        a = in(a);
        const bool alternative = (fpscr_ & kAlternativeHalf) != 0;
        const uint32_t sign = (a >> 16) & 0x8000U;
        const bool infinite = (a & 0x7FFFFFFFU) == 0x7F800000U;
        if (alternative && (isNan(a) || infinite)) {
            fpscr_ |= kInvalid;
            return isNan(a) ? sign : sign | 0x7FFFU;
        }
        if (isNan(a)) {
            if (isSignalling(a)) {
                fpscr_ |= kInvalid;
            }
            return (fpscr_ & kDefaultNanMode) != 0 ? 0x7E00U : sign | 0x7E00U | ((a >> 13) & 0x1FFU);
        }
        if (infinite) {
            return sign | 0x7C00U;
        }
        const double x = std::fabs(static_cast<double>(asFloat(a)));
        if (x == 0) {
            return sign;
        }
        int e = 0;
        std::frexp(x, &e);
        const double quantum = std::ldexp(1.0, std::max(e - 1, -14) - 10);
        const double scaled = x / quantum;  // exact: a power of two
        const unsigned mode = (fpscr_ >> kRoundingShift) & 3U;
        double rounded = 0;
        switch (mode) {
        case 0: rounded = std::nearbyint(scaled); break;  // the host runs to nearest, even ties, here
        case 1: rounded = sign != 0 ? std::floor(scaled) : std::ceil(scaled); break;
        case 2: rounded = sign != 0 ? std::ceil(scaled) : std::floor(scaled); break;
        default: rounded = std::trunc(scaled); break;
        }
        const double v = rounded * quantum;
        if (v > (alternative ? 131008.0 : 65504.0)) {
            if (alternative) {
                fpscr_ |= kInvalid;
                return sign | 0x7FFFU;
            }
            fpscr_ |= kOverflow | kInexact;
            const bool toInfinity = mode == 0 || (mode == 1 && sign == 0) || (mode == 2 && sign != 0);
            return sign | (toInfinity ? 0x7C00U : 0x7BFFU);
        }
        constexpr double kSmallestNormal = 1.0 / 16384;
        if (rounded != scaled) {
            fpscr_ |= kInexact | (x < kSmallestNormal ? kUnderflow : 0U);
        }
        if (v < kSmallestNormal) {
            return sign | static_cast<uint32_t>(std::ldexp(v, 24));
        }
        std::frexp(v, &e);
        return sign | static_cast<uint32_t>(e + 14) << 10 | (static_cast<uint32_t>(std::ldexp(v, 11 - e)) - 0x400U);
    }

    uint32_t quietNan(uint32_t v) const { return (fpscr_ & kDefaultNanMode) != 0 ? kDefaultNan : v; }

private:
    uint32_t& fpscr_;
};

}  // namespace

namespace {

// A handler per operation: the operation's case is all that is left of the switch.
template <FpOp Op>
Stop fpArithmetic(Context& c, const Instruction& i)
{
    c.regs.fpca = true;
    Fpu fpu(c);
    auto& s = c.regs.s;
    const uint32_t d = s[i.d];
    const uint32_t n = s[i.n];
    const uint32_t m = s[i.m];
    uint32_t& out = s[i.d];
    switch (Op) {
    case FpOp::Mla: out = fpu.binary<Add>(d, fpu.binary<Mul>(n, m)); break;
    case FpOp::Mls: out = fpu.binary<Add>(d, fpu.binary<Mul>(n, m) ^ kSign); break;
    case FpOp::Nmla: out = fpu.binary<Add>(d ^ kSign, fpu.binary<Mul>(n, m) ^ kSign); break;
    case FpOp::Nmls: out = fpu.binary<Add>(d ^ kSign, fpu.binary<Mul>(n, m)); break;
    case FpOp::Mul: out = fpu.binary<Mul>(n, m); break;
    case FpOp::Nmul: out = fpu.binary<Mul>(n, m) ^ kSign; break;
    case FpOp::Add: out = fpu.binary<Add>(n, m); break;
    case FpOp::Sub: out = fpu.binary<Sub>(n, m); break;
    case FpOp::Div: out = fpu.binary<Div>(n, m); break;
    case FpOp::Fma: out = fpu.mulAdd(d, n, m); break;
    case FpOp::Fms: out = fpu.mulAdd(d, n ^ kSign, m); break;
    case FpOp::Fnma: out = fpu.mulAdd(d ^ kSign, n ^ kSign, m); break;
    case FpOp::Fnms: out = fpu.mulAdd(d ^ kSign, n, m); break;
    case FpOp::MovImm: out = i.imm; break;
    case FpOp::Mov: out = m; break;
    case FpOp::Abs: out = m & ~kSign; break;
    case FpOp::Neg: out = m ^ kSign; break;
    case FpOp::Sqrt: {
        const uint32_t operand = fpu.in(m);
        uint32_t r = 0;
        if (fpu.nanOperands({operand}, &r)) {
            out = r;
        } else {
            const double root = std::sqrt(wideOf(operand));
            const auto single = static_cast<double>(static_cast<float>(root));
            out = fpu.exactOrHost(root, [&] { return single * single == wideOf(operand); },
                                  [&] { return std::sqrt(asFloat(operand)); });
        }
        break;
    }
    case FpOp::Cmp: fpu.compare(d, m, false); break;
    case FpOp::Cmpe: fpu.compare(d, m, true); break;
    case FpOp::CmpZero: fpu.compare(d, 0, false); break;
    case FpOp::CmpeZero: fpu.compare(d, 0, true); break;
    case FpOp::FromSigned: {
        const auto value = static_cast<int32_t>(m);
        out = fpu.exactOrHost(static_cast<double>(value), [] { return true; }, [&] { return static_cast<float>(value); });
        break;
    }
    case FpOp::FromUnsigned:
        out = fpu.exactOrHost(static_cast<double>(m), [] { return true; }, [&] { return static_cast<float>(m); });
        break;
    case FpOp::ToSigned: out = fpu.toInteger(m, true, true); break;
    case FpOp::ToUnsigned: out = fpu.toInteger(m, false, true); break;
    case FpOp::ToSignedR: out = fpu.toInteger(m, true, false); break;
    case FpOp::ToUnsignedR: out = fpu.toInteger(m, false, false); break;
    case FpOp::FromFixed: {
        const bool isSigned = (i.flags & kSigned) != 0;
        const uint32_t raw = i.shiftAmount == 16 ? (isSigned ? static_cast<uint32_t>(static_cast<int16_t>(m)) : m & 0xFFFFU) : m;
        const double value = isSigned ? static_cast<double>(static_cast<int32_t>(raw)) : static_cast<double>(raw);
        // Exact (32 bits at most, by a power of two), without the call of ldexp: a conversion is frequent.
        const double scaled = value / static_cast<double>(uint64_t{1} << i.imm);
        out = fpu.exactOrHost(scaled, [] { return true; }, [&] { return static_cast<float>(scaled); });
        break;
    }
    case FpOp::HalfToSingle: out = fpu.fromHalf((m >> i.imm) & 0xFFFFU); break;
    case FpOp::SingleToHalf: out = (d & ~(0xFFFFU << i.imm)) | fpu.toHalf(m) << i.imm; break;
    case FpOp::ToFixed: out = fpu.toInteger(m, (i.flags & kSigned) != 0, true, i.imm, i.shiftAmount); break;
    }
    return Stop::Ended;
}

}  // namespace

Handler fpArithmeticHandler(FpOp op)
{
    static constexpr auto kHandlers = handlersByOperation<static_cast<std::size_t>(FpOp::SingleToHalf) + 1>(
        [](auto n) { return threaded<fpArithmetic<static_cast<FpOp>(decltype(n)::value)>>; });
    return kHandlers[static_cast<std::size_t>(op)];
}

Stop fpLoadStore(Context& c, const Instruction& i)
{
    c.regs.fpca = true;
    const uint32_t base = i.n == 15 ? (i.addr + 4) & ~3U : c.regs.r[i.n];
    const uint32_t count = i.list;
    uint32_t start = 0;
    if ((i.flags & kIndex) != 0) {
        start = (i.flags & kAdd) != 0 ? base + i.imm : base - i.imm;
    } else {
        start = (i.flags & kAdd) != 0 ? base : base - 4 * count;
    }
    if ((start & 3U) != 0) {
        c.faultAddress = start;
        return Stop::Unaligned;
    }
    uint32_t* regs = &c.regs.s[i.d];
    auto* p = const_cast<uint8_t*>(c.direct(start, 4 * count, i.op == 0));
    if (p != nullptr) {  // word by word: lists are short
        for (uint32_t k = 0; k < count; ++k) {
            if (i.op != 0) {
                regs[k] = Context::loadBytes(p + static_cast<std::size_t>(k) * 4, 4);
            } else {
                Context::storeBytes(p + static_cast<std::size_t>(k) * 4, 4, regs[k]);
            }
        }
    } else if (i.op != 0) {
        uint32_t words[32];
        if (!readWords(c, start, count, words)) {
            return Stop::BusError;
        }
        std::memcpy(regs, words, sizeof(uint32_t) * count);
    } else if (!writeWords(c, start, count, regs)) {
        return Stop::BusError;
    }
    if ((i.flags & kWriteBack) != 0) {
        c.regs.r[i.n] = (i.flags & kAdd) != 0 ? base + 4 * count : start;
    }
    return Stop::Ended;
}

// VLDR/VSTR of a single register in RAM or flash, the commonest FP access, and VLDM/VSTM of one with
// increment after (imm 0): one move; the rest as above.
template <bool Load>
Stop fpLoadStoreWord(Context& c, const Instruction& i)
{
    const uint32_t base = i.n == 15 ? (i.addr + 4) & ~3U : c.regs.r[i.n];
    const uint32_t addr = (i.flags & kAdd) != 0 ? base + i.imm : base - i.imm;
    uint8_t* p = Load ? const_cast<uint8_t*>(c.memory.readable(addr, 4)) : c.memory.writable(addr, 4);
    if (p == nullptr || (addr & 3U) != 0) {
        return fpLoadStore(c, i);
    }
    c.regs.fpca = true;
    if (Load) {
        c.regs.s[i.d] = Context::loadBytes(p, 4);
    } else {
        Context::storeBytes(p, 4, c.regs.s[i.d]);
    }
    if ((i.flags & kWriteBack) != 0) {
        c.regs.r[i.n] = addr + 4;
    }
    return Stop::Ended;
}


namespace {

template <FpMove Op>
Stop fpMove(Context& c, const Instruction& i)
{
    c.regs.fpca = true;
    auto& r = c.regs.r;
    auto& s = c.regs.s;
    switch (Op) {
    case FpMove::ToCore: r[i.d] = s[i.m]; break;
    case FpMove::FromCore: s[i.m] = r[i.d]; break;
    case FpMove::ToCorePair:
        r[i.d] = s[i.m];
        r[i.a] = s[i.m + 1];
        break;
    case FpMove::FromCorePair:
        s[i.m] = r[i.d];
        s[i.m + 1] = r[i.a];
        break;
    case FpMove::FromFpscr: r[i.d] = c.regs.fpscr; break;
    case FpMove::FpscrToFlags: c.regs.setFlags(c.regs.fpscr); break;
    case FpMove::ToFpscr: c.regs.fpscr = r[i.d] & kFpscrWritable; break;
    }
    return Stop::Ended;
}

}  // namespace

Handler fpMoveHandler(FpMove op)
{
    static constexpr auto kHandlers = handlersByOperation<static_cast<std::size_t>(FpMove::ToFpscr) + 1>(
        [](auto n) { return threaded<fpMove<static_cast<FpMove>(decltype(n)::value)>>; });
    return kHandlers[static_cast<std::size_t>(op)];
}

EMU_THUMB_THREADED(fpLoadStore);
EMU_THUMB_THREADED(fpLoadStoreWord<true>);
EMU_THUMB_THREADED(fpLoadStoreWord<false>);

}  // namespace emu::thumb
