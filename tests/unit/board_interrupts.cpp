// Linked into every unit test of the drivers on the simulated chip: the simulator dispatches to the
// board's handlers, as the image's vector table does.
#include "firmware/start/interrupts.hpp"
#include "platform/sim/sim.hpp"

namespace {
const bool g_installed = [] {
    sim::setInterruptHandlers(kInterruptHandlers);
    return true;
}();
}  // namespace
