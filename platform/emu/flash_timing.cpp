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
    lastLine_ = kNoLine;
}

}  // namespace emu
