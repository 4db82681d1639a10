#pragma once
// Wait states of instruction fetches and literal loads from flash, as FLASH_ACR sets them up: the
// latency, and the adaptive accelerator's prefetch and caches (128-bit lines).

#include <array>
#include <cstdint>


namespace emu {

constexpr uint32_t kFlashAcr = 0x40023C00U;

class FlashTiming {
public:
    FlashTiming() { configure(0); }

    void configure(uint32_t acr);

    // Stall cycles of one run of the block of `bytes` at `start` with its literal loads; `sequential`
    // when it follows on from the previous block.
    uint32_t stallCycles(uint32_t start, uint32_t bytes, uint32_t literalLoads, bool sequential);

private:
    static constexpr uint32_t kNoLine = UINT32_MAX;
    static constexpr unsigned kCacheLines = 64;  // the instruction cache: 64 lines of 128 bits

    uint32_t latency_ = 0;
    bool prefetch_ = false;
    bool icache_ = false;
    bool dcache_ = false;
    uint32_t lastLine_ = kNoLine;  // the line in the fetch buffer
    std::array<uint32_t, kCacheLines> cached_{};
};

}  // namespace emu
