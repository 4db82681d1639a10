#include "sitl/node_runner.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "firmware/start/interrupts.hpp"
#include "firmware/board/system_stm32f4xx.hpp"
#include "firmware/drivers/bxcan.hpp"
#include "firmware/node/main_node.hpp"
#include "platform/sim/sim.hpp"
#include "platform/sim/task.hpp"

// The firmware's main, renamed by the build so that it does not clash with the PC program's.
int firmware_main();

namespace sitl {
namespace {

// What the chip's reset handler does once RAM is initialised (the host runtime did that).
void resetPath()
{
    SystemInit();
    firmware_main();
}

uint64_t passes_run = 0;
uint64_t hang_ns = UINT64_MAX;

}  // namespace

void powerOn()
{
    passes_run = 0;

    sim::setInterruptHandlers(kInterruptHandlers);  // what the image's vector table holds
    sim::StartedTask task{};
    if (!sim::runUntilKernelStart(resetPath, &task) || task.entry != MainTask) {
        std::fprintf(stderr, "the kernel did not start the node's task\n");
        std::exit(EXIT_FAILURE);
    }
    MainTaskStart();
}

void pass()
{
    if (!sim::systemResetRequested() && sim::nowNs() < hang_ns) {
        ++passes_run;
        MainTaskPass();
    }
    sim::advanceNs(kPassNs);
}

void hangFromNs(uint64_t t_ns) { hang_ns = t_ns; }

void profile(Profile* out)
{
    out->add("passes", passes_run);
    for (uint8_t port = PortCAN1; port < PortCANLast; ++port) {
        out->add("rx_overflow_can" + std::to_string(port + 1U), bxcanGetStats(static_cast<PortCAN_t>(port)).rx_overflow_count);
    }
}

void runUntilNs(uint64_t t_ns)
{
    while (sim::nowNs() < t_ns) {
        if (sim::systemResetRequested()) {
            // The chip's models reset (flash, time and buses go on), then the reset path again.
            sim::powerCycle();
            hang_ns = UINT64_MAX;  // one hang: the power-on after the reset runs normally
            powerOn();
        }
        pass();
    }
}

}  // namespace sitl
