#include "platform/emu/flash_timing.hpp"

#include "platform/emu/memory_map.hpp"

namespace emu {

namespace {
constexpr uint32_t kLatencyMask = 0xFU;
constexpr uint32_t kPrftEn = 1U << 8;
constexpr uint32_t kIcEn = 1U << 9;
constexpr uint32_t kDcEn = 1U << 10;
constexpr unsigned kLineShift = 4;  // 128-bit lines
}  // namespace

void FlashTiming::configure(uint32_t acr)
{
    latency_ = acr & kLatencyMask;
    prefetch_ = (acr & kPrftEn) != 0U;
    const bool icache = (acr & kIcEn) != 0U;
    if (icache && !icache_) {
        cached_.fill(kNoLine);
    }
    icache_ = icache;
    dcache_ = (acr & kDcEn) != 0U;
    lastLine_ = kNoLine;
}

uint32_t FlashTiming::stallCycles(uint32_t start, uint32_t bytes, uint32_t literalLoads, bool sequential)
{
    if (latency_ == 0U || !inFlash(start)) {
        lastLine_ = kNoLine;
        return 0;
    }
    uint32_t stall = 0;
    const uint32_t first = start >> kLineShift;
    const uint32_t last = (start + bytes - 1U) >> kLineShift;
    for (uint32_t line = first; line <= last; ++line) {
        if (line == lastLine_) {
            continue;
        }
        // The prefetcher fetches the next line while the current one executes.
        const bool prefetched = prefetch_ && (line != first || sequential);
        uint32_t& slot = cached_[line % kCacheLines];
        const bool hit = icache_ && slot == line;
        if (!hit && !prefetched) {
            stall += latency_;
        }
        if (icache_) {
            slot = line;
        }
        lastLine_ = line;
    }
    if (!dcache_) {
        stall += literalLoads * latency_;
    }
    return stall;
}

}  // namespace emu
