#pragma once
// The interpreter's run of a block, inline where blocks are run one after another: most blocks are a few
// instructions long, so a call and the set-up of one would cost as much as the instructions.

#include "platform/emu/thumb_internal.hpp"

namespace emu::thumb {

// A block's instructions one after another. Predicated: those of its IT blocks run only when the condition
// decoded with them passes (the IT instruction sets ITSTATE, which nothing reads here; the block's end clears
// it).
template <bool Predicated>
[[gnu::always_inline]] inline Stop Interpreter::runStraight(const Block& block, uint32_t* faultAddress)
{
    Context& c = *context_;
    c.nextPc = block.start + block.bytes;
    c.inIt = false;  // the 16-bit forms inside IT blocks are decoded without their flag setting
    for (const Instruction& i : block.instructions) {
        if (Predicated && i.cond != kAlways && !conditionPassed(c, i.cond)) {
            continue;
        }
        c.regs.r[15] = i.addr + 4;
        const Stop stopped = i.run(c, i);
        if (stopped != Stop::Ended) [[unlikely]] {
            return Predicated ? stoppedInPredicated(block, i, stopped, faultAddress)
                              : stoppedAt(i, stopped, 0, faultAddress);
        }
    }
    if (Predicated) {
        c.regs.itState = 0;
    }
    c.regs.r[15] = c.nextPc;
    return Stop::Ended;
}

[[gnu::always_inline]] inline Stop Interpreter::run(const Block& block, uint32_t* faultAddress)
{
    if (!block.hasIt && context_->regs.itState == 0) [[likely]] {
        return runStraight<false>(block, faultAddress);
    }
    return block.predicated && context_->regs.itState == 0 ? runPredicated(block, faultAddress)
                                                           : runConditional(block, faultAddress);
}

}  // namespace emu::thumb
