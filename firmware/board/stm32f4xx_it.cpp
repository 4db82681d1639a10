#include "firmware/board/stm32f4xx_it.hpp"

#include "firmware/board/kernel.hpp"
#include "platform/interface/core.hpp"

namespace {

// A fault stops the node where it happened; the breakpoint first drives the outputs low (the fatal-stop
// hook).
[[noreturn]] void stopAtFault()
{
    coreBreakpoint();
    for (;;) {
    }
}

}  // namespace

extern "C" {

void NMI_Handler() {}
void HardFault_Handler() { stopAtFault(); }
void MemManage_Handler() { stopAtFault(); }
void BusFault_Handler() { stopAtFault(); }
void UsageFault_Handler() { stopAtFault(); }
// The kernel never switches tasks, so it has no use for these two.
void SVC_Handler() {}
void PendSV_Handler() {}
void DebugMon_Handler() {}
void SysTick_Handler() { osSystickHandler(); }

}
