#pragma once

#include <cstdint>
// From reset to the node: peripheral reset, clock tree, descriptor, watchdog, board lines, then the node.

// Parameter-check hook of the peripheral calls: stops at a breakpoint.
extern "C" void assert_failed(uint8_t* file, uint32_t line);
