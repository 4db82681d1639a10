#pragma once
// Which of two frames wins arbitration on the wire, for the transport's send queue and the driver's
// mailboxes alike.

#include <cstdint>

#include "firmware/xport/xport.hpp"

// True when the frame with identifier word `a` wins arbitration against the one with `b`.
constexpr bool isPriorityHigher(uint32_t a, uint32_t b)
{
    const uint32_t clean_a = a & XPORT_CAN_EXT_ID_MASK;
    const uint32_t clean_b = b & XPORT_CAN_EXT_ID_MASK;
    const bool ext_a = (a & XPORT_CAN_FRAME_EFF) != 0U;
    const bool ext_b = (b & XPORT_CAN_FRAME_EFF) != 0U;

    if (ext_a != ext_b) {
        // Mixed formats meet first on the 11 base bits; on a tie the standard frame's dominant IDE wins.
        const uint32_t arb11_a = ext_a ? (clean_a >> 18) : clean_a;
        const uint32_t arb11_b = ext_b ? (clean_b >> 18) : clean_b;
        if (arb11_a != arb11_b) {
            return arb11_a < arb11_b;
        }
        return ext_b;
    }
    const bool rtr_a = (a & XPORT_CAN_FRAME_RTR) != 0U;
    const bool rtr_b = (b & XPORT_CAN_FRAME_RTR) != 0U;
    if (clean_a == clean_b && rtr_a != rtr_b) {
        return rtr_b;  // the data frame wins over the remote frame
    }
    return clean_a < clean_b;
}

static_assert(isPriorityHigher(0x123U, 0x123U << 18 | XPORT_CAN_FRAME_EFF));
static_assert(!isPriorityHigher(0x123U << 18 | XPORT_CAN_FRAME_EFF, 0x123U));
static_assert(isPriorityHigher(100U, 100U | XPORT_CAN_FRAME_RTR));
static_assert(!isPriorityHigher(100U, 100U));
