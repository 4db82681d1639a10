// The acceptance filters exactly as the filter registers say: CAN1's 28 banks split with CAN2 at CAN2SB,
// CAN3's own 14 banks; mask and list modes at 32- and 16-bit scale; FIFO assignment; the filter match index.
#include <algorithm>
#include <bit>

#include "platform/sim/can_model.hpp"

namespace sim::can {

uint32_t image32(const CanFrame& f)
{
    const uint32_t idBits = f.extended ? ((f.id & 0x1FFFFFFFU) << 3) | CAN_RI0R_IDE : (f.id & 0x7FFU) << 21;
    return idBits | (f.remote ? CAN_RI0R_RTR : 0U);
}

namespace {

// The 16-bit filter image: STID[10:0] RTR IDE EXID[17:15].
uint32_t image16(const CanFrame& f)
{
    const uint32_t stid = f.extended ? (f.id >> 18) & 0x7FFU : f.id & 0x7FFU;
    const uint32_t exidTop = f.extended ? (f.id >> 15) & 7U : 0U;
    return (stid << 5) | (f.remote ? 0x10U : 0U) | (f.extended ? 0x08U : 0U) | exidTop;
}

}  // namespace

CanController::Match CanController::match(const CanFrame& frame) const
{
    Match best;
    const CAN_TypeDef& fb = filterBlock();
    if ((fb.FMR.peek() & CAN_FMR_FINIT) != 0U) {
        return best;  // filters in initialisation mode: nothing is accepted
    }
    if (index_ == 1U && !apb1Enabled(RCC_APB1Periph_CAN1)) {
        return best;  // CAN2's filters live in CAN1
    }
    unsigned first = 0;
    unsigned end = CAN3_FILTER_BANKS;
    if (index_ != 2U) {
        const unsigned split = std::min((fb.FMR.peek() & CAN_FMR_CAN2SB) >> CAN_FMR_CAN2SB_Pos, CAN_FILTER_BANKS);
        first = index_ == 0U ? 0U : split;
        end = index_ == 0U ? split : CAN_FILTER_BANKS;
    }
    const uint32_t fm1r = fb.FM1R.peek();
    const uint32_t fs1r = fb.FS1R.peek();
    const uint32_t ffa1r = fb.FFA1R.peek();
    const uint32_t banks = ((1U << end) - 1U) & ~((1U << first) - 1U);
    const uint32_t i32 = image32(frame);
    const uint32_t i16 = image16(frame);
    // Only the active banks can match; the filter numbers count the inactive ones too.
    for (uint32_t rest = fb.FA1R.peek() & banks; rest != 0U; rest &= rest - 1U) {
        const auto b = static_cast<unsigned>(std::countr_zero(rest));
        const uint32_t bit = 1U << b;
        const bool list = (fm1r & bit) != 0U;
        const bool wide = (fs1r & bit) != 0U;
        const uint32_t fr1 = fb.sFilterRegister[b].FR1.peek();
        const uint32_t fr2 = fb.sFilterRegister[b].FR2.peek();
        int hit = -1;  // index of the matching filter within the bank
        if (wide && !list) {
            hit = ((i32 ^ fr1) & fr2 & ~1U) == 0U ? 0 : -1;
        } else if (wide) {
            hit = ((i32 ^ fr1) & ~1U) == 0U ? 0 : (((i32 ^ fr2) & ~1U) == 0U ? 1 : -1);
        } else if (!list) {
            const uint32_t ids[2] = {fr1 & 0xFFFFU, fr2 & 0xFFFFU};
            const uint32_t masks[2] = {fr1 >> 16, fr2 >> 16};
            for (int k = 0; k < 2 && hit < 0; ++k) {
                hit = ((i16 ^ ids[k]) & masks[k]) == 0U ? k : -1;
            }
        } else {
            const uint32_t ids[4] = {fr1 & 0xFFFFU, fr1 >> 16, fr2 & 0xFFFFU, fr2 >> 16};
            for (int k = 0; k < 4 && hit < 0; ++k) {
                hit = i16 == ids[k] ? k : -1;
            }
        }
        if (hit < 0) {
            continue;
        }
        // 32-bit before 16-bit, list before mask, then the lower number (bank order).
        const int rank = (wide ? 2 : 0) + (list ? 1 : 0);
        if (!best.found || rank > best.rank) {
            const unsigned fifo = (ffa1r & bit) != 0U ? 1U : 0U;
            // The filters of this FIFO in the banks below: two 32-bit ids or masks, four 16-bit ids,
            // two 16-bit masks, or one 32-bit mask per bank.
            const uint32_t below = banks & (bit - 1U) & (fifo == 1U ? ffa1r : ~ffa1r);
            const auto count = [below](uint32_t kind) { return static_cast<uint32_t>(std::popcount(below & kind)); };
            best.found = true;
            best.rank = rank;
            best.fifo = fifo;
            best.fmi = 2U * count(fs1r & fm1r) + count(fs1r & ~fm1r) + 4U * count(~fs1r & fm1r) +
                       2U * count(~fs1r & ~fm1r) + static_cast<uint32_t>(hit);
        }
    }
    return best;
}

void CanController::writeFilter(uint32_t offset, uint32_t value)
{
    CAN_TypeDef& c = regs();
    const bool finit = (c.FMR.peek() & CAN_FMR_FINIT) != 0U;
    if (offset == offsetof(CAN_TypeDef, FMR)) {
        uint32_t fmr = (c.FMR.peek() & ~(CAN_FMR_FINIT)) | (value & CAN_FMR_FINIT);
        if (finit || (value & CAN_FMR_FINIT) != 0U) {
            fmr = (fmr & ~CAN_FMR_CAN2SB) | (value & CAN_FMR_CAN2SB);
        }
        c.FMR.poke(fmr);
        return;
    }
    constexpr uint32_t kBanks = (1U << CAN_FILTER_BANKS) - 1U;
    if (offset == offsetof(CAN_TypeDef, FA1R)) {
        c.FA1R.poke(value & kBanks);
        return;
    }
    if (offset == offsetof(CAN_TypeDef, FM1R) || offset == offsetof(CAN_TypeDef, FS1R) ||
        offset == offsetof(CAN_TypeDef, FFA1R)) {
        if (finit) {  // mode, scale and FIFO assignment change only in filter initialisation mode
            store(offset, value & kBanks, 4);
        }
        return;
    }
    if (offset >= offsetof(CAN_TypeDef, sFilterRegister)) {
        const auto bank = static_cast<uint32_t>((offset - offsetof(CAN_TypeDef, sFilterRegister)) / 8U);
        // A bank's registers change only while it is inactive or in filter initialisation mode.
        if (bank < CAN_FILTER_BANKS && (finit || (c.FA1R.peek() & (1U << bank)) == 0U)) {
            store(offset, value, 4);
        }
    }
}

}  // namespace sim::can
