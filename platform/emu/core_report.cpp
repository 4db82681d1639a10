// Stopping a run with a report: what happened, where, and the state around it.
#include <unicorn/unicorn.h>

#include "platform/emu/core.hpp"

namespace emu {

void Core::fault(const std::string& what, uint32_t pc)
{
    if (event_ == Event::Fault) {
        return;  // the first fault is the one that matters
    }
    report_ = FaultReport{};
    report_.what = what;
    fillReport(pc);
    event_ = Event::Fault;
    uc_emu_stop(uc_);
}

// Unicorn tells memory callbacks the address of the block, not of the instruction. The instruction is
// the block's last one of that kind whose base register (as it is now) points at the address; failing
// that, its first one of that kind.
void Core::faultAtAccess(const std::string& what, Access access, uint32_t address)
{
    uint32_t pc = get(UC_ARM_REG_PC);
    if (current_ != nullptr) {
        bool found = false;
        for (std::size_t i = current_->memory.size(); i-- > 0 && !found;) {
            const MemoryOperand& op = current_->memory[i];
            if (op.access == access && op.base >= 0) {
                const int64_t offset = int64_t{address} - int64_t{reg(static_cast<unsigned>(op.base))};
                found = offset >= op.low && offset <= op.high;
                pc = found ? current_->addresses[i] : pc;
            }
        }
        for (std::size_t i = 0; i < current_->memory.size() && !found; ++i) {
            found = current_->memory[i].access == access && current_->memory[i].base >= 0;
            pc = found ? current_->addresses[i] : pc;
        }
    }
    fault(what, pc);
}

void Core::fillReport(uint32_t pc)
{
    report_.pc = pc;
    report_.function = image_ != nullptr ? image_->functionAt(pc) : "?";
    for (unsigned i = 0; i < 16; ++i) {
        report_.r[i] = reg(i);
    }
    report_.r[15] = pc;
    report_.xpsr = get(UC_ARM_REG_XPSR);
    report_.msp = msp();
    report_.psp = psp();
    report_.control = control();
    report_.primask = get(UC_ARM_REG_PRIMASK);
    report_.basepri = get(UC_ARM_REG_BASEPRI);
    if (!active_.empty()) {
        std::array<uint32_t, 8> frame{};
        if (uc_mem_read(uc_, active_.back().frame, frame.data(), sizeof frame) == UC_ERR_OK) {
            report_.exception = active_.back().number;
            report_.frame = frame;
        }
    }
    for (unsigned i = 0; i < kHistory; ++i) {
        const BlockInfo* block = history_[(historyNext_ + i) % kHistory];
        if (block == nullptr) {
            continue;
        }
        for (uint32_t a : block->addresses) {
            // The faulting block ran only up to the fault.
            if (block == current_ && a > pc) {
                break;
            }
            report_.recent.push_back(a);
        }
    }
}

}  // namespace emu
