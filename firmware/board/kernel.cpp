#include "firmware/board/kernel.hpp"

#include "platform/interface/core.hpp"

struct os_thread_cb {
    os_pthread entry;
    void* argument;
    uint32_t* stack_top;
};

namespace {

constexpr std::size_t kStackAlignment = 8;  // the call standard wants 8-byte aligned stacks
constexpr std::size_t kGuardBytes = kStackGuardWords * sizeof(uint32_t);
static_assert(kGuardBytes % kStackAlignment == 0);
constexpr std::size_t kGuardSlices = 8;  // ticks to check the whole band
constexpr std::size_t kGuardSliceWords = kStackGuardWords / kGuardSlices;
static_assert(kGuardSliceWords * kGuardSlices == kStackGuardWords);

os_thread_cb task;
bool task_created;
bool running;

}  // namespace

alignas(kStackAlignment) uint32_t ucHeap[configTOTAL_HEAP_SIZE / sizeof(uint32_t)];
volatile uint32_t osTickCount;
volatile uint32_t osTickWraps;

void osKernelInitialize()
{
    task = {};
    task_created = false;
    running = false;
    osTickCount = 0;
    osTickWraps = 0;
}

osThreadId osThreadCreate(const osThreadDef_t* thread_def, void* argument)
{
    const std::size_t stack_bytes = static_cast<std::size_t>(thread_def->stacksize) * sizeof(uint32_t);
    if (task_created || thread_def->pthread == nullptr || stack_bytes > sizeof(ucHeap) - kGuardBytes) {
        return nullptr;
    }
    for (std::size_t i = 0; i < kStackGuardWords; ++i) {
        ucHeap[i] = kStackGuardPattern;
    }
    task.entry = thread_def->pthread;
    task.argument = argument;
    task.stack_top = ucHeap + (kGuardBytes + (stack_bytes & ~(kStackAlignment - 1U))) / sizeof(uint32_t);
    task_created = true;
    return &task;
}

osStatus osKernelStart()
{
    if (!task_created) {
        return osErrorOS;
    }
    running = true;
    coreStartTask(task.entry, task.argument, task.stack_top);
}

uint32_t osKernelSysTick() { return osTickCount; }

uint64_t osKernelSysTick64()
{
    // The tick may come between the two reads: read again until the wraps held around the count.
    uint32_t wraps = 0;
    uint32_t count = 0;
    do {
        wraps = osTickWraps;
        count = osTickCount;
    } while (wraps != osTickWraps);
    return (static_cast<uint64_t>(wraps) << 32) | count;
}

void osSystickHandler()
{
    if (!running) {
        return;
    }
    osTickCount = osTickCount + 1U;
    if (osTickCount == 0U) {
        osTickWraps = osTickWraps + 1U;
    }
    // Every word, as a frame with an array need not write the band's top word to reach below it; an
    // eighth of the band per tick, the whole of it every 8 ms, so that the tick stays short (it delays
    // the main loop wherever it lands).
    const std::size_t first = (osTickCount % kGuardSlices) * kGuardSliceWords;
    for (std::size_t i = first; i < first + kGuardSliceWords; ++i) {
        if (ucHeap[i] != kStackGuardPattern) {
            coreFatalStop(__FILE__, __LINE__);  // the task's stack overflowed into its guard band
        }
    }
}
