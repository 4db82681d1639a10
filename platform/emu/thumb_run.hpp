#pragma once
// The interpreter's run of a block, inline where blocks are run one after another: most blocks are a few
// instructions long, so a call and the set-up of one would cost as much as the instructions.

#include "platform/emu/thumb_internal.hpp"

namespace emu::thumb {

inline Stop Interpreter::run(const Block& block, uint32_t* faultAddress)
{
    Context& c = *context_;
    if (block.hasIt || c.regs.itState != 0) [[unlikely]] {
        return runConditional(block, faultAddress);
    }
    c.nextPc = block.start + block.bytes;
    c.inIt = false;
    for (const Instruction& i : block.instructions) {
        c.regs.r[15] = i.addr + 4;
        const Stop stopped = i.run(c, i);
        if (stopped != Stop::Ended) [[unlikely]] {
            return stoppedAt(i, stopped, 0, faultAddress);
        }
    }
    c.regs.r[15] = c.nextPc;
    return Stop::Ended;
}

}  // namespace emu::thumb
