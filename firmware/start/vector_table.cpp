// The image's vector table, built at compile time from the one handler list. It sits at the start of
// the image (0x08020000), where SystemInit points VTOR.

#include <array>

#include "firmware/start/interrupts.hpp"

// Deliberately not constexpr and never defined: reaching it while building the table stops the compilation.
void handlerListedForAVectorTheChipDoesNotHave();

namespace {

constexpr int kCoreExceptions = 16;
constexpr int kVectorCount = kCoreExceptions + DEVICE_IRQ_COUNT;

// Exceptions 2 (NMI) upwards, in table order. Reserved core slots stay empty; every other vector the
// board does not list goes to the spinning default handler.
using Handlers = std::array<InterruptHandler, kVectorCount - 2>;

constexpr bool reservedCoreSlot(int exception)
{
    return (exception >= 7 && exception <= 10) || exception == 13;
}

constexpr Handlers handlerTable()
{
    Handlers table{};
    for (int exception = 2; exception < kVectorCount; ++exception) {
        table[static_cast<unsigned>(exception - 2)] = reservedCoreSlot(exception) ? nullptr : Default_Handler;
    }
    for (const InterruptVector& v : kInterruptHandlers) {
        const int exception = v.irq + kCoreExceptions;
        if (exception < 2 || exception >= kVectorCount || reservedCoreSlot(exception)) {
            handlerListedForAVectorTheChipDoesNotHave();
        }
        table[static_cast<unsigned>(exception - 2)] = v.handler;
    }
    return table;
}

constexpr Handlers kHandlers = handlerTable();

// The layout the core reads: initial stack pointer, reset entry, then exceptions 2.. in order.
struct VectorTable {
    const uint32_t* initial_stack;
    InterruptHandler reset;
    Handlers handlers;
};

}  // namespace

extern "C" __attribute__((section(".isr_vector"), used)) const VectorTable g_pfnVectors = {
    &_estack, Reset_Handler, kHandlers};
static_assert(sizeof(VectorTable) == 4U * kVectorCount && kVectorCount * 4 == 472);
