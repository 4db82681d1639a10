// Stopping a run with a report: what happened, where, and the state around it.
#include <cstring>

#include "platform/emu/core.hpp"
#include "platform/emu/memory_map.hpp"

namespace emu {

void Core::fault(const std::string& what, uint32_t pc)
{
    if (faulted_) {
        return;  // the first fault is the one that matters
    }
    report_ = FaultReport{};
    report_.what = what;
    fillReport(pc);
    faulted_ = true;
}

void Core::fillReport(uint32_t pc)
{
    report_.pc = pc;
    report_.function = image_ != nullptr ? image_->functionAt(pc) : "?";
    for (unsigned i = 0; i < 16; ++i) {
        report_.r[i] = reg(i);
    }
    report_.r[15] = pc;
    report_.xpsr = xpsr();
    report_.msp = msp();
    report_.psp = psp();
    report_.control = control();
    report_.primask = primask_;
    report_.basepri = basepri_;
    if (!active_.empty()) {
        std::array<uint32_t, 8> frame{};
        if (inRam(active_.back().frame, sizeof frame)) {
            std::memcpy(frame.data(), ram_.data() + (active_.back().frame - kRamBase), sizeof frame);
            report_.exception = active_.back().number;
            report_.frame = frame;
        }
    }
    for (unsigned i = 0; i < kHistory; ++i) {
        const Code* code = history_[(historyNext_ + i) % kHistory];
        if (code == nullptr) {
            continue;
        }
        for (uint32_t k = 0; k < code->block.count; ++k) {
            const uint32_t a = code->block.addressOf(k);
            // The faulting block ran only up to the fault.
            if (code == current() && a > pc) {
                break;
            }
            report_.recent.push_back(a);
        }
    }
}

}  // namespace emu
