// The chip-specific parts of the peripheral library: the clock query reads the RCC registers, the unique
// ID sits in system memory.
#include "chip.hpp"

void RCC_GetClocksFreq(RCC_ClocksTypeDef* RCC_Clocks)
{
    *RCC_Clocks = rccClocksFromRegisters(RCC->CFGR, RCC->PLLCFGR);
}

namespace {
uint32_t uidWord(uint32_t index)
{
    return *reinterpret_cast<const volatile uint32_t*>(UID_BASE + 4U * index);  // NOLINT: fixed address
}
}  // namespace

uint32_t LL_GetUID_Word0() { return uidWord(0); }
uint32_t LL_GetUID_Word1() { return uidWord(1); }
uint32_t LL_GetUID_Word2() { return uidWord(2); }
