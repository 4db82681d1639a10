#pragma once
// The interpreter's run of a block, inline where blocks are run one after another: most blocks are a few
// instructions long, so a call and the set-up of one would cost as much as the instructions.

#include "platform/emu/thumb_internal.hpp"

namespace emu::thumb {

// Enters a block's chain from outside an IT block, its own IT blocks ending inside it (the instructions of
// them behind their guards; ITSTATE stays 0, as at the way in). Context::inIt is false here: the 16-bit
// forms inside IT blocks are decoded without their flag setting. Interpreter::run's way in, and the way on
// from a block's end for the owner's hook (Interpreter::chainBlocks).
[[gnu::always_inline]] inline Stop enterBlock(Context& c, const Block& block)
{
    c.block = &block;
    c.nextPc = block.start + block.bytes;
    return block.entry(c, block.chain.front());
}

[[gnu::always_inline]] inline Stop Interpreter::run(const Block& block, uint32_t* faultAddress, bool chain)
{
    Context& c = *context_;
    if (c.regs.itState != 0 || block.itGoesOn) [[unlikely]] {
        c.block = &block;
        c.chainsLeft = 0;  // its branches end each step
        const Stop stopped = runConditional(block, faultAddress);
        c.inIt = false;
        return stopped;
    }
    c.chainsLeft = chain ? chainLimit_ : 0U;
    const Stop stopped = enterBlock(c, block);
    if (stopped != Stop::Ended) [[unlikely]] {
        return c.block->hasIt ? stoppedInPredicated(*c.block, *c.stopped, stopped, faultAddress)
                              : stoppedAt(*c.stopped, stopped, 0, faultAddress);
    }
    return Stop::Ended;
}

}  // namespace emu::thumb
