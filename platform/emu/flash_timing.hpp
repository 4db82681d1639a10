#pragma once
// Wait states of instruction fetches and literal loads from flash, as FLASH_ACR sets them up: the
// latency, and the adaptive accelerator's prefetch and caches (128-bit lines).

#include <array>
#include <cstdint>

#include "platform/emu/memory_map.hpp"


namespace emu {

constexpr uint32_t kFlashAcr = 0x40023C00U;

class FlashTiming {
public:
    FlashTiming() { configure(0); }

    void configure(uint32_t acr);

    // Stall cycles of one run of the block of `bytes` at `start` with its literal loads; `sequential`
    // when it follows on from the previous block.
    // Inline: it runs at every block.
    uint32_t stallCycles(uint32_t start, uint32_t bytes, uint32_t literalLoads, bool sequential)
    {
        if (latency_ == 0U || !inFlash(start)) {
            lastLine_ = kNoLine;
            return 0;
        }
        uint32_t stall = dcache_ ? 0U : literalLoads * latency_;
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
        return stall;
    }

private:
    static constexpr uint32_t kNoLine = UINT32_MAX;
    static constexpr unsigned kLineShift = 4;  // 128-bit lines
    static constexpr unsigned kCacheLines = 64;  // the instruction cache: 64 lines of 128 bits

    uint32_t latency_ = 0;
    bool prefetch_ = false;
    bool icache_ = false;
    bool dcache_ = false;
    uint32_t lastLine_ = kNoLine;  // the line in the fetch buffer
    std::array<uint32_t, kCacheLines> cached_{};
};

}  // namespace emu
