#include "platform/emu/block_cost.hpp"

#include <capstone/capstone.h>

#include <bit>
#include <cstdio>
#include <cstdlib>

namespace emu {

namespace {

struct Cost {
    uint32_t cycles;
    Access access;
    bool pipelinable;  // a single load or store, whose address phase overlaps a preceding one
};

int8_t registerNumber(unsigned reg)
{
    if (reg >= ARM_REG_R0 && reg <= ARM_REG_R12) {
        return static_cast<int8_t>(reg - ARM_REG_R0);
    }
    return static_cast<int8_t>(reg == ARM_REG_SP ? 13 : reg == ARM_REG_LR ? 14 : -1);
}

uint32_t registerBit(unsigned reg)
{
    const int8_t n = registerNumber(reg);
    return n < 0 ? 0U : 1U << n;
}

// The [base, #disp] operand of a load or store, if it has one (register lists have none).
const cs_arm_op* addressOperand(const cs_arm& arm)
{
    for (uint8_t i = 0; i < arm.op_count; ++i) {
        if (arm.operands[i].type == ARM_OP_MEM) {
            return &arm.operands[i];
        }
    }
    return nullptr;
}

bool literal(const cs_arm& arm)
{
    const cs_arm_op* address = addressOperand(arm);
    return address != nullptr && address->mem.base == ARM_REG_PC;
}

uint32_t registers(const cs_arm& arm, unsigned baseOperands)
{
    return arm.op_count > baseOperands ? arm.op_count - baseOperands : 0U;
}

// Cortex-M4 timings (instruction cycles at zero wait states; a taken branch's refill is added later).
Cost costOf(const cs_insn& insn)
{
    const cs_arm& arm = insn.detail->arm;
    switch (insn.id) {
    case ARM_INS_LDR: case ARM_INS_LDRB: case ARM_INS_LDRH: case ARM_INS_LDRSB: case ARM_INS_LDRSH:
    case ARM_INS_LDRT: case ARM_INS_LDRBT: case ARM_INS_LDRHT: case ARM_INS_LDRSBT: case ARM_INS_LDRSHT:
    case ARM_INS_LDREX: case ARM_INS_LDREXB: case ARM_INS_LDREXH:
        return {2, Access::Read, true};
    case ARM_INS_STR: case ARM_INS_STRB: case ARM_INS_STRH:
        // With an immediate offset the address is formed at once and the data goes out while the next
        // instruction executes: 1 cycle, and nothing pipelines behind it.
        if (const cs_arm_op* address = addressOperand(arm);
            address != nullptr && address->mem.index == ARM_REG_INVALID && !arm.writeback) {
            return {1, Access::Write, false};
        }
        return {2, Access::Write, true};
    case ARM_INS_STRT: case ARM_INS_STRBT: case ARM_INS_STRHT: case ARM_INS_STREX: case ARM_INS_STREXB:
    case ARM_INS_STREXH:
        return {2, Access::Write, true};
    case ARM_INS_LDRD: return {3, Access::Read, false};
    case ARM_INS_STRD: return {3, Access::Write, false};
    case ARM_INS_TBB: case ARM_INS_TBH: return {2, Access::Read, false};
    case ARM_INS_POP: return {1 + registers(arm, 0), Access::Read, false};
    case ARM_INS_PUSH: return {1 + registers(arm, 0), Access::Write, false};
    case ARM_INS_LDM: case ARM_INS_LDMDB: return {1 + registers(arm, 1), Access::Read, false};
    case ARM_INS_STM: case ARM_INS_STMDB: return {1 + registers(arm, 1), Access::Write, false};
    case ARM_INS_VLDR: return {2, Access::Read, false};
    case ARM_INS_VSTR: return {2, Access::Write, false};
    case ARM_INS_VPOP: return {1 + registers(arm, 0), Access::Read, false};
    case ARM_INS_VPUSH: return {1 + registers(arm, 0), Access::Write, false};
    case ARM_INS_VLDMIA: case ARM_INS_VLDMDB: return {1 + registers(arm, 1), Access::Read, false};
    case ARM_INS_VSTMIA: case ARM_INS_VSTMDB: return {1 + registers(arm, 1), Access::Write, false};
    case ARM_INS_MLA: case ARM_INS_MLS: return {2, Access::None, false};
    // 2..12 cycles depending on the operands: the middle of the range in an IT block; otherwise the
    // core charges it by its operands.
    case ARM_INS_SDIV: case ARM_INS_UDIV: return {arm.cc == ARM_CC_AL ? 0U : 7U, Access::None, false};
    case ARM_INS_VMLA: case ARM_INS_VMLS: case ARM_INS_VNMLA: case ARM_INS_VNMLS: case ARM_INS_VFMA:
    case ARM_INS_VFMS: case ARM_INS_VFNMA: case ARM_INS_VFNMS:
        return {3, Access::None, false};
    case ARM_INS_VDIV: case ARM_INS_VSQRT: return {14, Access::None, false};
    case ARM_INS_ISB: return {1 + kBranchRefill, Access::None, false};
    default: return {1, Access::None, false};
    }
}

// The registers a load's address is formed from.
uint32_t addressRegisters(const cs_arm& arm)
{
    const cs_arm_op* address = addressOperand(arm);
    return address == nullptr ? 0U
                              : registerBit(static_cast<unsigned>(address->mem.base)) |
                                    registerBit(static_cast<unsigned>(address->mem.index));
}

}  // namespace

uint32_t divisionCycles(uint32_t quotient)
{
    const auto bits = static_cast<uint32_t>(32 - std::countl_zero(quotient));
    return 2U + (bits * 10U + 31U) / 32U;
}

// The registers r0..r14 the instruction writes with its result; a load's or store's base written back
// is formed in the address phase and holds nothing up.
uint32_t BlockDecoder::resultRegisters(const cs_insn& insn, Access access) const
{
    cs_regs read{}, written{};
    uint8_t readCount = 0, writtenCount = 0;
    if (cs_regs_access(handle_, &insn, read, &readCount, written, &writtenCount) != CS_ERR_OK) {
        return 0;
    }
    uint32_t bits = 0;
    for (uint8_t i = 0; i < writtenCount; ++i) {
        bits |= registerBit(written[i]);
    }
    if (access != Access::None) {
        if (const cs_arm_op* address = addressOperand(insn.detail->arm); address != nullptr && insn.detail->arm.writeback) {
            bits &= ~registerBit(static_cast<unsigned>(address->mem.base));
        }
    }
    return bits;
}

BlockDecoder::BlockDecoder()
{
    csh handle = 0;
    if (cs_open(CS_ARCH_ARM, static_cast<cs_mode>(CS_MODE_THUMB | CS_MODE_MCLASS), &handle) != CS_ERR_OK) {
        std::fprintf(stderr, "emu: Capstone cannot decode Thumb\n");
        std::abort();
    }
    cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    handle_ = handle;
}

BlockDecoder::~BlockDecoder()
{
    csh handle = handle_;
    cs_close(&handle);
}

BlockInfo BlockDecoder::decode(uint32_t address, std::span<const uint8_t> code) const
{
    BlockInfo block;
    block.start = address;
    block.bytes = static_cast<uint32_t>(code.size());
    cs_insn* insns = nullptr;
    const std::size_t count = cs_disasm(handle_, code.data(), code.size(), address, 0, &insns);
    bool afterLoadStore = false;
    uint32_t lastResults = 0;  // what the instruction before wrote
    std::vector<uint32_t> results(count);  // what each instruction writes
    std::vector<std::size_t> divisionAt;     // the index of each division
    for (std::size_t i = 0; i < count; ++i) {
        const cs_arm& arm = insns[i].detail->arm;
        const Cost cost = costOf(insns[i]);
        block.cycles += cost.pipelinable && afterLoadStore ? 1U : cost.cycles;
        // A load cannot form its address from a result still being written: it waits a cycle (and so
        // does not pipeline behind the load that produces it).
        if (cost.pipelinable && cost.access == Access::Read && (addressRegisters(arm) & lastResults) != 0U) {
            ++block.cycles;
        }
        afterLoadStore = cost.pipelinable;
        lastResults = results[i] = resultRegisters(insns[i], cost.access);
        if (cost.access == Access::Read && literal(arm)) {
            ++block.literalLoads;
        }
        if ((insns[i].id == ARM_INS_UDIV || insns[i].id == ARM_INS_SDIV) && arm.cc == ARM_CC_AL) {
            // Rd, Rn, Rm (Rd, Rm when Rd is Rn).
            const auto reg = [&arm](int n) { return registerNumber(static_cast<unsigned>(arm.operands[n].reg)); };
            const bool three = arm.op_count == 3;
            block.divisions.push_back({static_cast<uint32_t>(insns[i].address), reg(0), reg(three ? 1 : 0),
                                       reg(three ? 2 : 1), insns[i].id == ARM_INS_SDIV, true});
            divisionAt.push_back(i);
        }
        // Every floating-point instruction of the M4 is a V one (VADD, VLDR, VMOV, VMRS, ...).
        block.usesFp = block.usesFp || insns[i].mnemonic[0] == 'v';
        block.addresses.push_back(static_cast<uint32_t>(insns[i].address));
    }
    cs_free(insns, count);
    for (std::size_t d = 0; d < divisionAt.size(); ++d) {
        uint32_t later = 0;
        for (std::size_t i = divisionAt[d] + 1; i < count; ++i) {
            later |= results[i];
        }
        block.divisions[d].quotientKept = (later & (1U << block.divisions[d].quotient)) == 0U;
    }
    return block;
}

}  // namespace emu
