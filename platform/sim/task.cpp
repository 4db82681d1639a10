#include "platform/sim/task.hpp"

#include <csetjmp>

#include "platform/interface/core.hpp"

namespace {

std::jmp_buf* kernel_start_return;
sim::StartedTask started;

}  // namespace

// The frames between the reset path and here (main, main_node, the kernel start) hold nothing that needs
// unwinding: the firmware has no destructors. Jumping out of them is what the chip does when the kernel
// abandons the main stack.
void coreStartTask(void (*entry)(const void*), const void* argument, void*)
{
    started = {entry, argument};
    if (kernel_start_return != nullptr) {
        std::longjmp(*kernel_start_return, 1);  // NOLINT(cert-err52-cpp): see above; no exceptions here
    }
    coreFatalStop(__FILE__, __LINE__);  // the kernel started outside runUntilKernelStart
}

bool sim::runUntilKernelStart(void (*reset_path)(), StartedTask* out)
{
    std::jmp_buf here;
    kernel_start_return = &here;
    if (setjmp(here) == 0) {  // NOLINT(cert-err52-cpp): the other end of the jump above
        reset_path();
        kernel_start_return = nullptr;
        return false;
    }
    kernel_start_return = nullptr;
    *out = started;
    return true;
}
