#pragma once
// The interpreter's run of a block, inline where blocks are run one after another: most blocks are a few
// instructions long, so a call and the set-up of one would cost as much as the instructions.

#include "platform/emu/thumb_internal.hpp"

namespace emu::thumb {

// A block's chain, when it is entered outside an IT block and its own IT blocks end inside it (the
// instructions of them behind their guards; the IT instruction sets ITSTATE, which nothing reads here, and
// it is cleared at the end). Context::inIt is false here: the 16-bit forms inside IT blocks are decoded
// without their flag setting.
[[gnu::always_inline]] inline Stop Interpreter::run(const Block& block, uint32_t* faultAddress)
{
    Context& c = *context_;
    if (c.regs.itState != 0 || block.itGoesOn) [[unlikely]] {
        const Stop stopped = runConditional(block, faultAddress);
        c.inIt = false;
        return stopped;
    }
    c.nextPc = block.start + block.bytes;
    const Instruction& first = block.chain.front();
    const Stop stopped = first.run(c, first);
    if (stopped != Stop::Ended) [[unlikely]] {
        return block.hasIt ? stoppedInPredicated(block, *c.stopped, stopped, faultAddress)
                           : stoppedAt(*c.stopped, stopped, 0, faultAddress);
    }
    c.regs.itState = 0;  // 0 already unless it has IT blocks
    return Stop::Ended;
}

}  // namespace emu::thumb
