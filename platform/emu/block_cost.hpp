#pragma once
// Cortex-M4 execution cycles of a decoded block, summed from the costs its instructions carry and cached by
// the core. Wait states of flash fetches are added per run of the block (flash_timing.hpp).

#include <cstdint>
#include <vector>

namespace emu {

namespace thumb {
struct Block;
}

// Cycles a taken branch adds for the pipeline refill (1 + P with P = 2 on the M4).
constexpr uint32_t kBranchRefill = 2;

// UDIV/SDIV terminate early by the operands' leading zeros, that is by how many significant bits the
// quotient has: 2 cycles for none (dividend below divisor, or a zero divisor), 12 for 32, linear
// between. The quotient's magnitude for SDIV.
uint32_t divisionCycles(uint32_t quotient);

// An unconditional UDIV/SDIV (Rd = Rn / Rm, registers r0..r14), charged by the core from what it
// computes; one in an IT block costs the middle of the range, 7.
struct Division {
    uint32_t address = 0;
    int8_t quotient = 0;
    int8_t dividend = 0;
    int8_t divisor = 0;
    bool isSigned = false;
    bool quotientKept = false;  // no later instruction of the block writes Rd: read at the block's end
};

struct BlockInfo {
    // At zero wait states, with the block's last branch not taken (the core adds the refill when the
    // next block does not follow on).
    uint32_t cycles = 0;
    // Loads of literals placed next to the code (flash data reads when the code runs from flash).
    uint32_t literalLoads = 0;
    bool usesFp = false;  // holds a floating-point instruction (one that makes a lazy FP save happen)
    std::vector<Division> divisions;  // not in its cycles
};

BlockInfo costOf(const thumb::Block& block);

}  // namespace emu
