#include "platform/emu/flash_timing.hpp"

namespace emu {

namespace {
constexpr uint32_t kLatencyMask = 0xFU;
constexpr uint32_t kPrftEn = 1U << 8;
constexpr uint32_t kIcEn = 1U << 9;
constexpr uint32_t kDcEn = 1U << 10;
}  // namespace

void FlashTiming::configure(uint32_t acr)
{
    latency_ = acr & kLatencyMask;
    prefetch_ = (acr & kPrftEn) != 0U;
    const bool icache = (acr & kIcEn) != 0U;
    if (icache != icache_) {
        cached_.fill(kNoLine);  // off: nothing hits; on: it starts empty
    }
    icache_ = icache;
    literalLatency_ = (acr & kDcEn) != 0U ? 0U : latency_;
    if (latency_ == 0U) {
        stalls_ = Stalls::None;
    } else {
        stalls_ = prefetch_ && icache_ && literalLatency_ == 0U ? Stalls::Accelerated : Stalls::Other;
    }
    lastLine_ = kNoLine;
}

// Code in RAM, no wait states, or flash without its accelerator's prefetcher or one of its caches.
uint32_t FlashTiming::stallOtherwise(const Fetch& fetch, uint32_t literalLoads, bool sequential)
{
    if (latency_ == 0U || !fetch.fromFlash) {
        return noStall();
    }
    uint32_t stall = literalLoads * literalLatency_;
    // The prefetcher fetches the next line while the current one executes: the block's first line too
    // when it follows on.
    bool prefetched = prefetch_ && sequential;
    for (uint32_t line = fetch.firstLine; line <= fetch.lastLine; ++line) {
        if (line != lastLine_) {
            uint32_t& slot = cached_[line % kCacheLines];
            if (slot != line && !prefetched) {  // no line is cached while the cache is off
                stall += latency_;
            }
            if (icache_) {
                slot = line;
            }
            lastLine_ = line;
        }
        prefetched = prefetch_;
    }
    return stall;
}

}  // namespace emu
