#include "platform/interface/core.hpp"

#include "chip.hpp"

namespace {

// The delay loop is SUBS (1 cycle) and a taken BNE (1 + 1..3 cycles of pipeline refill on the Cortex-M4).
// Counting the fastest case, 3 cycles, a delay never comes out short; flash wait states only lengthen it.
constexpr uint32_t kCyclesPerLoop = 3;

}  // namespace

namespace {
void (*fatal_stop_hook)();
}  // namespace

void coreSetFatalStopHook(void (*hook)()) { fatal_stop_hook = hook; }

[[noreturn]] void coreFatalStop(const char*, int)
{
    if (fatal_stop_hook != nullptr) {
        fatal_stop_hook();
    }
    // BKPT #1 halts under a debugger; without one it escalates to the hard fault, which stops for good.
    __asm volatile("bkpt #1");
    for (;;) {
    }
}

void coreRelax() {}

void coreSystemReset()
{
    __asm volatile("dsb" ::: "memory");  // writes still buffered reach memory first
    NVIC_RequestSystemReset();
    __asm volatile("dsb" ::: "memory");
    for (;;) {
    }
}

void coreBreakpoint()
{
    if (fatal_stop_hook != nullptr) {
        fatal_stop_hook();
    }
    __asm volatile("bkpt #0");
}

void coreDelayUs(uint32_t us)
{
    // Read each time: the delay stays right before and after the clock tree is set up.
    RCC_ClocksTypeDef clocks{};
    RCC_GetClocksFreq(&clocks);
    // One more than the quotient: never short, and never zero, which would make the loop count wrap.
    const uint32_t loopsPerUs = clocks.HCLK_Frequency / 1000000U / kCyclesPerLoop + 1U;
    for (; us > 0U; --us) {
        uint32_t loops = loopsPerUs;
        __asm volatile("1: subs %0, %0, #1\n\tbne 1b" : "+r"(loops) : : "cc");
    }
}

void coreDisableInterrupts() { __asm volatile("cpsid i" ::: "memory"); }

void coreEnableInterrupts() { __asm volatile("cpsie i" ::: "memory"); }

void coreStartImage(uint32_t vector_table)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the image's vector table is at a fixed address
    const auto* table = reinterpret_cast<const volatile uint32_t*>(vector_table);
    constexpr uint32_t kIcsrPendStClr = 1U << 25;
    __asm volatile("cpsid i" ::: "memory");
    SysTick->CTRL = 0;
    SCB->ICSR = kIcsrPendStClr;  // a tick that came meanwhile is not the image's
    SCB->VTOR = vector_table;
    // Unmasked again as at reset, which the image's start-up expects: nothing of ours can interrupt it,
    // SysTick is stopped and the caller has disabled every interrupt it enabled. On the main stack in
    // thread mode with no FP context, as after a reset, also when called from a task.
    __asm volatile(
        "dsb\n"
        "isb\n"
        "msr msp, %0\n"
        "msr control, %2\n"
        "isb\n"
        "cpsie i\n"
        "bx %1\n" ::"r"(table[0]),
        "r"(table[1]), "r"(0U));
    for (;;) {
    }
}
