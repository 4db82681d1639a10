#include "firmware/board/kernel.hpp"

#include "platform/interface/core.hpp"

struct os_thread_cb {
    os_pthread entry;
    void* argument;
    uint32_t* stack_top;
};

namespace {

constexpr std::size_t kStackAlignment = 8;  // the call standard wants 8-byte aligned stacks

alignas(kStackAlignment) uint8_t ucHeap[configTOTAL_HEAP_SIZE];
os_thread_cb task;
bool task_created;
bool running;

}  // namespace

volatile uint32_t osTickCount;

osThreadId osThreadCreate(const osThreadDef_t* thread_def, void* argument)
{
    const std::size_t stack_bytes = static_cast<std::size_t>(thread_def->stacksize) * sizeof(uint32_t);
    if (task_created || thread_def->pthread == nullptr || stack_bytes > sizeof(ucHeap)) {
        return nullptr;
    }
    task.entry = thread_def->pthread;
    task.argument = argument;
    task.stack_top = reinterpret_cast<uint32_t*>(ucHeap + (stack_bytes & ~(kStackAlignment - 1U)));
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

void osSystickHandler()
{
    if (running) {
        osTickCount = osTickCount + 1U;
    }
}
