#include "firmware/node/ports.hpp"

#include "firmware/board/kernel.hpp"

XportInstance g_xport[PortCANLast];
uint8_t gNodeID[PortCANLast];
uint64_t UniqID;

uint32_t getUptime() { return osKernelSysTick(); }
