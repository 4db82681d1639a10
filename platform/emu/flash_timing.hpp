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
    FlashTiming()
    {
        cached_.fill(kNoLine);
        configure(0);
    }

    void configure(uint32_t acr);

    // The lines a block of `bytes` at `start` is fetched from: once per block.
    struct Fetch {
        uint32_t firstLine = 0;
        uint32_t lastLine = 0;
        bool fromFlash = false;
    };
    static Fetch fetchOf(uint32_t start, uint32_t bytes)
    {
        return {start >> kLineShift, (start + bytes - 1U) >> kLineShift, inFlash(start)};
    }

    // Stall cycles of one run of a block with its literal loads; `sequential` when it follows on from the
    // previous block.
    // Inline: it runs at every block.
    uint32_t stallCycles(const Fetch& fetch, uint32_t literalLoads, bool sequential)
    {
        if (latency_ == 0U || !fetch.fromFlash) {
            lastLine_ = kNoLine;
            return 0;
        }
        uint32_t stall = literalLoads * literalLatency_;
        // The prefetcher fetches the next line while the current one executes: the block's first line
        // too when it follows on.
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

private:
    static constexpr uint32_t kNoLine = UINT32_MAX;
    static constexpr unsigned kLineShift = 4;  // 128-bit lines
    static constexpr unsigned kCacheLines = 64;  // the instruction cache: 64 lines of 128 bits

    uint32_t latency_ = 0;
    uint32_t literalLatency_ = 0;  // a literal load's wait: none from the data cache
    bool prefetch_ = false;
    bool icache_ = false;
    uint32_t lastLine_ = kNoLine;  // the line in the fetch buffer
    std::array<uint32_t, kCacheLines> cached_{};
};

}  // namespace emu
