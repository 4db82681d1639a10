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
    // Inline: it runs at every block, nearly always from flash with the prefetcher and the cache on.
    uint32_t stallCycles(const Fetch& fetch, uint32_t literalLoads, bool sequential)
    {
        if (fetch.fromFlash && stalls_ == Stalls::Accelerated) [[likely]] {
            return acceleratedStall(fetch, sequential);
        }
        return stallOtherwise(fetch, literalLoads, sequential);
    }
    // How the configuration stalls: not at all (no wait states: stallCycles is noStall), as the
    // accelerator does (wait states with the prefetcher and both caches on: acceleratedStall for a block
    // in flash, noStall for one in RAM), or otherwise. The first two call nothing.
    enum class Stalls : uint8_t { None, Accelerated, Other };
    Stalls stalls() const { return stalls_; }
    uint32_t noStall()
    {
        lastLine_ = kNoLine;
        return 0;
    }
    // With wait states, the prefetcher and the caches: literal loads come from the data cache, and only the
    // block's first line can stall, when it is not the line being executed, not in the cache and not
    // prefetched (the block follows on from the one before, whose last line the prefetcher has fetched the
    // next of). The prefetcher brings each further line while the one before executes. Every line goes
    // into the cache.
    uint32_t acceleratedStall(const Fetch& fetch, bool sequential)
    {
        uint32_t line = fetch.firstLine;
        const uint32_t last = fetch.lastLine;
        uint32_t stall = 0;
        if (line != lastLine_) {
            uint32_t& slot = cached_[line % kCacheLines];
            stall = slot != line && !sequential ? latency_ : 0U;
            slot = line;
        }
        while (line != last) {
            ++line;
            cached_[line % kCacheLines] = line;
        }
        lastLine_ = last;
        return stall;
    }

private:
    uint32_t stallOtherwise(const Fetch& fetch, uint32_t literalLoads, bool sequential);

    static constexpr uint32_t kNoLine = UINT32_MAX;
    static constexpr unsigned kLineShift = 4;  // 128-bit lines
    static constexpr unsigned kCacheLines = 64;  // the instruction cache: 64 lines of 128 bits

    uint32_t latency_ = 0;
    uint32_t literalLatency_ = 0;  // a literal load's wait: none from the data cache
    bool prefetch_ = false;
    bool icache_ = false;
    Stalls stalls_ = Stalls::None;
    uint32_t lastLine_ = kNoLine;  // the line in the fetch buffer
    std::array<uint32_t, kCacheLines> cached_{};
};

}  // namespace emu
