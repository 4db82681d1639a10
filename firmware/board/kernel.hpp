#pragma once
// The kernel the node runs on: one application task that never blocks, a 1 kHz tick from SysTick, and a
// start that hands the processor to the task. The calls keep the names of the kernel interface the node
// was written against.

#include <cstddef>
#include <cstdint>

#include "chip.hpp"
#include "firmware/board/system_stm32f4xx.hpp"

inline constexpr uint32_t configTICK_RATE_HZ = 1000;
inline constexpr std::size_t configTOTAL_HEAP_SIZE = 10240;  // task stacks are carved from it

// The heap, in words. Its first kStackGuardWords are the task stack's guard band, filled with
// kStackGuardPattern when the task is created; the stack lies above it. An overflow that reaches the band
// is a fatal stop within 8 ticks (the tick checks an eighth of the band), before it reaches anything below
// the heap.
inline constexpr std::size_t kStackGuardWords = 64;
inline constexpr uint32_t kStackGuardPattern = 0x57AC6A2DU;
extern uint32_t ucHeap[configTOTAL_HEAP_SIZE / sizeof(uint32_t)];

enum osPriority : int8_t {
    osPriorityIdle = -3,
    osPriorityLow = -2,
    osPriorityBelowNormal = -1,
    osPriorityNormal = 0,
    osPriorityAboveNormal = 1,
    osPriorityHigh = 2,
    osPriorityRealtime = 3,
};

enum osStatus : int32_t {
    osOK = 0,
    osErrorResource = 0x81,
    osErrorOS = 0xFF,
};

using os_pthread = void (*)(const void* argument);

struct osThreadDef_t {
    const char* name;
    os_pthread pthread;
    osPriority tpriority;
    uint32_t instances;
    uint32_t stacksize;  // in 32-bit words
};

struct os_thread_cb;
using osThreadId = os_thread_cb*;

// No task, no tick, the kernel stopped: the state at power-on. Called by main before anything else of
// the kernel.
void osKernelInitialize();
// Null when the heap cannot hold the stack or a task already exists.
osThreadId osThreadCreate(const osThreadDef_t* thread_def, void* argument);
// Runs the task; returns only when there is none to run.
osStatus osKernelStart();
// The tick count behind osKernelSysTick, and how often it has wrapped; only osSystickHandler writes them.
extern volatile uint32_t osTickCount;
extern volatile uint32_t osTickWraps;

// Milliseconds since the kernel started; wraps after 2^32 (49.7 days): for unsigned-difference periods.
uint32_t osKernelSysTick();
// The same in 64 bits, which never wrap: for what must rise for the node's whole life (its uptime, the
// transport's timestamps).
uint64_t osKernelSysTick64();
// From the SysTick interrupt: once the kernel runs, counts the tick and checks the stack's guard band.
void osSystickHandler();
// The 1 kHz tick from the core clock, at the lowest priority. Inline: each image calls it once.
[[gnu::always_inline]] inline void osSysTickStart()
{
    constexpr uint8_t kSysTickLowestPriority = 0xF0;
    const uint32_t reload = SystemCoreClock / configTICK_RATE_HZ - 1U;
    if (reload > 0xFFFFFFU) {
        return;
    }
    SysTick->LOAD = reload;
    SCB->SHP[11] = kSysTickLowestPriority;
    SysTick->VAL = 0;
    SysTick->CTRL = SysTick_CTRL_CLKSOURCE_Msk | SysTick_CTRL_TICKINT_Msk | SysTick_CTRL_ENABLE_Msk;
}
