// A workload of compiled C for the DSP extension and the FPU, as a motor or sensor loop has: a Q15 filter
// with saturation and packed arithmetic, the same filter in floats, and conversions. Each result is also
// reached a second way, so the program checks itself: `mismatches` counts the disagreements and
// `checksum` sums what was computed. It ends in done().
#include <arm_acle.h>
#include <stdint.h>

#define SAMPLES 64
#define TAPS 8
#define ROUNDS 40
#define EXPECTED_CHECKSUM 0xCD509457U  // as Unicorn computes it too

volatile uint32_t mismatches;
volatile uint32_t checksum;
volatile uint32_t rounds_done;
volatile uint32_t repeats;  // how often the whole workload runs (0: once), written before the start

static int16_t samples[SAMPLES + TAPS];
static int16_t taps[TAPS];
static float samplesF[SAMPLES + TAPS];
static float tapsF[TAPS];

static uint32_t seed;  // set at the start: the programs have no initialised data

static uint32_t next(void)
{
    seed = seed * 1664525U + 1013904223U;
    return seed >> 8;
}

static void check(int ok) { mismatches += ok ? 0U : 1U; }

// Q15 FIR by pairs of taps through SMLAD, saturated to 16 bits; and by single products in plain C.
static int32_t firPacked(const int16_t* x)
{
    int32_t acc = 0;
    for (int k = 0; k < TAPS; k += 2) {
        const int32_t xx = (int32_t)((uint32_t)(uint16_t)x[k] | (uint32_t)(uint16_t)x[k + 1] << 16);
        const int32_t tt = (int32_t)((uint32_t)(uint16_t)taps[k] | (uint32_t)(uint16_t)taps[k + 1] << 16);
        acc = __smlad(xx, tt, acc);
    }
    return (int32_t)__ssat(acc >> 15, 16);
}

static int32_t firPlain(const int16_t* x)
{
    int64_t acc = 0;
    for (int k = 0; k < TAPS; ++k) {
        acc += (int32_t)x[k] * taps[k];  // smlabb or smlal, as the compiler sees fit
    }
    int32_t r = (int32_t)(acc >> 15);
    return r > 32767 ? 32767 : r < -32768 ? -32768 : r;
}

static float firFloat(const float* x)
{
    float acc = 0.0f;
    for (int k = 0; k < TAPS; ++k) {
        acc = __builtin_fmaf(x[k], tapsF[k], acc);
    }
    return acc;
}

// Packed bytes and halves: saturating adds, GE-selected maxima, sums of differences.
static uint32_t packed(uint32_t a, uint32_t b)
{
    const uint32_t sum = __uqadd8(a, b);
    (void)__usub8(a, b);  // GE: a byte of a at least b's
    const uint32_t larger = __sel(a, b);
    const uint32_t halves = (uint32_t)(__qadd16((int32_t)a, (int32_t)b) ^ __shsub16((int32_t)a, (int32_t)b));
    const uint32_t sad = __usada8(a, b, 0);
    uint32_t bytewiseMax = 0;
    for (int k = 0; k < 32; k += 8) {
        const uint32_t x = (a >> k) & 0xFFU;
        const uint32_t y = (b >> k) & 0xFFU;
        bytewiseMax |= (x >= y ? x : y) << k;
    }
    check(larger == bytewiseMax);
    return sum ^ halves ^ sad ^ (uint32_t)__qadd((int32_t)a, (int32_t)b) ^ ((a & 0xFFFFU) | ((b << 8) & 0xFFFF0000U));
}

static void fill(void)
{
    for (int k = 0; k < SAMPLES + TAPS; ++k) {
        samples[k] = (int16_t)((int32_t)(next() & 0xFFU) - 128);  // small enough for floats to be exact
        samplesF[k] = (float)samples[k];
    }
    for (int k = 0; k < TAPS; ++k) {
        taps[k] = (int16_t)((int32_t)(next() & 0x3FFFU) - 0x2000);
        tapsF[k] = (float)taps[k];
    }
}

// Where a run ends: a semihosting SYS_EXIT, whose status under QEMU says whether the program agreed with
// itself; the emulated core and Unicorn stop at its breakpoint.
void done(void);
__attribute__((noinline)) void done(void)
{
    register uint32_t operation __asm__("r0") = 0x18U;
    register uint32_t reason __asm__("r1") = mismatches == 0 ? 0x20026U : 0x20023U;  // exit, or an error
    __asm__ volatile("bkpt 0xAB" : : "r"(operation), "r"(reason));
    for (;;) {
    }
}

__attribute__((noinline)) static void run(void)
{
    for (uint32_t repeat = 0; repeat < (repeats != 0 ? repeats : 1U); ++repeat) {
        seed = 12345;
        uint32_t sum = 0;
        for (int round = 0; round < ROUNDS; ++round) {
            fill();
            for (int n = 0; n < SAMPLES; ++n) {
                const int32_t packedResult = firPacked(&samples[n]);
                check(packedResult == firPlain(&samples[n]));
                // Products and sums of 8- and 14-bit integers stay below 2^24: the float filter is exact.
                const float f = firFloat(&samplesF[n]);
                const int32_t unscaled = (int32_t)f;
                const int32_t q = unscaled >> 15;
                check((q > 32767 ? 32767 : q < -32768 ? -32768 : q) == packedResult);
                // A division by a power of two and the square root of a square are exact too.
                const float magnitude = __builtin_fabsf(f / 32768.0f);
                const float root = __builtin_sqrtf((float)(n * n));
                check(root == (float)n);
                // Round trip through half precision of an integer it holds exactly.
                const __fp16 h = (__fp16)(float)(n - 32);
                check((float)h == (float)(n - 32));
                sum = sum * 31U + (uint32_t)packedResult + (uint32_t)(int32_t)(magnitude * 256.0f);
                sum ^= packed(next(), next());
            }
        }
        checksum = sum;
        check(sum == EXPECTED_CHECKSUM);
    }
    rounds_done = ROUNDS;
    done();
}

void reset(void);
void reset(void)
{
    *(volatile uint32_t*)0xE000ED88U |= 0xFU << 20;  // CPACR: CP10 and CP11 full access
    __asm__ volatile("dsb\n\tisb");
    run();
}
