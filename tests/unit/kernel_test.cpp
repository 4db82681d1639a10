// The kernel's refusals and its tick before the start; the running kernel (the task, the tick, the stack's
// guard band) is tested with the whole node (tests/node).
#include <gtest/gtest.h>

#include "firmware/board/kernel.hpp"

namespace {

void task(const void*) {}

TEST(Kernel, RefusesWhatItCannotRunAndCountsNoTickBeforeTheStart)
{
    EXPECT_EQ(osKernelStart(), osErrorOS) << "no task to run";
    osSystickHandler();
    EXPECT_EQ(osKernelSysTick(), 0U);

    const osThreadDef_t no_entry = {"t", nullptr, osPriorityNormal, 0, 256};
    EXPECT_EQ(osThreadCreate(&no_entry, nullptr), nullptr);
    // The heap less the guard band is the most a stack can have.
    const auto most = static_cast<uint32_t>(configTOTAL_HEAP_SIZE / 4 - kStackGuardWords);
    const osThreadDef_t too_large = {"t", task, osPriorityNormal, 0, most + 1U};
    EXPECT_EQ(osThreadCreate(&too_large, nullptr), nullptr);
    const osThreadDef_t largest = {"t", task, osPriorityNormal, 0, most};
    EXPECT_NE(osThreadCreate(&largest, nullptr), nullptr);
    for (std::size_t i = 0; i < kStackGuardWords; ++i) {
        EXPECT_EQ(ucHeap[i], kStackGuardPattern) << i;
    }
    EXPECT_EQ(osThreadCreate(&largest, nullptr), nullptr) << "one task only";
}

}  // namespace
