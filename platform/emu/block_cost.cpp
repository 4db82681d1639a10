#include "platform/emu/block_cost.hpp"

#include <bit>

#include "platform/emu/thumb_execute.hpp"

namespace emu {

uint32_t divisionCycles(uint32_t quotient)
{
    const auto bits = static_cast<uint32_t>(32 - std::countl_zero(quotient));
    return 2U + (bits * 10U + 31U) / 32U;
}

BlockInfo costOf(const thumb::Block& block)
{
    using thumb::Instruction;
    BlockInfo info;
    bool afterPipelined = false;
    uint32_t lastResults = 0;  // what the instruction before wrote
    for (const Instruction& i : block.chain) {
        if (!thumb::isInstruction(i)) {
            continue;
        }
        const bool pipelined = (i.timing & thumb::kPipelined) != 0;
        info.cycles += pipelined && afterPipelined ? 1U : i.cycles;
        // A load cannot form its address from a result still being written: it waits a cycle (and so
        // does not pipeline behind the load that produces it).
        if (pipelined && (i.timing & thumb::kReads) != 0) {
            const uint32_t address = (i.n < 15 ? 1U << i.n : 0U) |
                                     ((i.timing & thumb::kRegisterOffset) != 0 && i.m < 15 ? 1U << i.m : 0U);
            info.cycles += (address & lastResults) != 0 ? 1U : 0U;
        }
        afterPipelined = pipelined;
        lastResults = i.results;
        info.literalLoads += (i.timing & thumb::kLiteral) != 0 ? 1U : 0U;
        info.usesFp = info.usesFp || (i.timing & thumb::kFloat) != 0;
        if ((i.timing & thumb::kDivision) != 0) {
            info.divisions.push_back({i.addr, static_cast<int8_t>(i.d), static_cast<int8_t>(i.n), static_cast<int8_t>(i.m),
                                      i.op == static_cast<uint8_t>(thumb::MulOp::Sdiv), true});
        }
    }
    // Rd is read at the block's end unless a later instruction writes it.
    for (Division& d : info.divisions) {
        for (const Instruction& i : block.chain) {
            if (thumb::isInstruction(i) && i.addr > d.address && (i.results & (1U << d.quotient)) != 0) {
                d.quotientKept = false;
            }
        }
    }
    return info;
}

}  // namespace emu
