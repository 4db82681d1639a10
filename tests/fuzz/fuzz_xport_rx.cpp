// Arbitrary frame sequences into one transport instance, with stale cleanups in between. After every step
// the pool must account for every block, and once everything is stale the pool must be empty again.
#include <cstdlib>
#include <cstring>

#include "firmware/xport/xport_internals.hpp"

namespace {

alignas(XportPoolAllocatorBlock) uint8_t arena[3096];
XportInstance ins;

bool shouldAccept(const XportInstance*, uint64_t* signature, uint16_t data_type_id, XportTransferType, uint8_t)
{
    *signature = 0x0123456789ABCDEFULL ^ data_type_id;
    return (data_type_id % 7) != 3;  // reject some streams too
}

void onReception(XportInstance*, XportRxTransfer* transfer)
{
    // Read every bit of the payload in odd-sized pieces: descatter must stay inside what it was given.
    uint64_t value = 0;
    const uint32_t bits = transfer->payload_len * 8U;
    for (uint32_t offset = 0; offset < bits; offset += 13) {
        if (xportDecodeScalar(transfer, offset, 37, true, &value) <= 0) {
            std::abort();
        }
    }
}

void checkPool()
{
    const XportPoolAllocatorStatistics& s = ins.allocator.statistics;
    unsigned free_blocks = 0;
    for (const XportPoolAllocatorBlock* b = ins.allocator.free_list; b != nullptr; b = b->next) {
        ++free_blocks;
    }
    if (free_blocks + s.current_usage_blocks != s.capacity_blocks || s.peak_usage_blocks < s.current_usage_blocks) {
        std::abort();
    }
}

// A few identifiers that collide often, plus whatever the input says.
uint32_t pickId(const uint8_t* p)
{
    static const uint32_t common[] = {
        0x1803E80AU | XPORT_CAN_FRAME_EFF,                                  // broadcast type 1000 from 10
        0x1E5B5900U | XPORT_CAN_FRAME_EFF,                                  // anonymous allocation
        0x100B948AU | XPORT_CAN_FRAME_EFF,                                  // request to 20 from 10
        0x100B148AU | XPORT_CAN_FRAME_EFF,                                  // response to 20 from 10
    };
    uint32_t raw = 0;
    std::memcpy(&raw, p + 1, 4);
    return (p[0] & 0x80U) != 0 ? raw : common[p[0] & 3U];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    xportInit(&ins, arena, sizeof(arena), onReception, shouldAccept, nullptr);
    xportSetLocalNodeID(&ins, 20);
    uint64_t now = 1;
    constexpr size_t kStep = 16;  // op, id selector (5), data_len, data (8), time step
    for (size_t pos = 0; pos + kStep <= size; pos += kStep) {
        const uint8_t* p = data + pos;
        now += static_cast<uint64_t>(p[15]) * 20000U;
        if (p[0] == 0xFF) {
            xportCleanupStaleTransfers(&ins, now);
        } else {
            XportCANFrame frame{};
            frame.id = pickId(p + 1);
            frame.data_len = static_cast<uint8_t>(p[6] & 0x0FU);  // up to 15, as a controller may report
            std::memcpy(frame.data, p + 7, 8);
            xportHandleRxFrame_internal(&ins, &frame, now, (p[0] & 1U) != 0);
        }
        checkPool();
    }
    xportCleanupStaleTransfers(&ins, now + 2000001U);
    checkPool();
    if (ins.allocator.statistics.current_usage_blocks != 0) {
        std::abort();
    }
    return 0;
}
