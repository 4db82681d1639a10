#pragma once
// Powering the simulated chip on: the firmware's own reset path runs until the kernel starts its task;
// then control comes back here and the caller runs the task's passes itself.

namespace sim {

struct StartedTask {
    void (*entry)(const void*);
    const void* argument;
};

// Runs reset_path (SystemInit, main, ...). Returns true with the task the kernel started, or false if
// reset_path came back without starting one.
bool runUntilKernelStart(void (*reset_path)(), StartedTask* out);

}  // namespace sim
