#pragma once
// Unicorn (the tests' reference Cortex-M4F) running a whole image from its reset vector.

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "platform/emu/elf_image.hpp"
#include "platform/emu/memory_map.hpp"

namespace emu_test {

// CPACR full access to CP10/CP11, written past Unicorn's system control space (which tests may map over).
inline void enableFpu(uc_engine* uc)
{
    uc_arm_cp_reg cpacr{};
    cpacr.cp = 15;
    cpacr.crn = 1;
    cpacr.opc2 = 2;
    cpacr.val = 0xF00000U;
    uc_reg_write(uc, UC_ARM_REG_CP_REG, &cpacr);
}

// Unicorn running the image from its reset handler, peripherals answering zeros, ones and alternating bits by turns; with
// `recordBlocks`, the blocks it translates (a hook at every block, which slows it).
class ImageInUnicorn {
public:
    explicit ImageInUnicorn(const emu::ElfImage& image, bool recordBlocks = true)
    {
        uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc_);
        uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M4);
        for (const emu::Segment& segment : image.segments()) {
            if (emu::inFlash(segment.address)) {
                vectors_ = std::min(vectors_, segment.address - emu::kFlashBase);
            }
            auto& memory = emu::inFlash(segment.address) ? flash : ram;
            const uint32_t base = emu::inFlash(segment.address) ? emu::kFlashBase : emu::kRamBase;
            std::copy(segment.bytes.begin(), segment.bytes.end(), memory.begin() + (segment.address - base));
        }
        uc_mem_map_ptr(uc_, emu::kFlashBase, emu::kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash.data());
        uc_mem_map_ptr(uc_, emu::kRamBase, emu::kRamSize, UC_PROT_ALL, ram.data());
        for (const auto& [base, size] : {std::pair{emu::kSystemMemoryBase, emu::kSystemMemorySize},
                                         std::pair{emu::kPeripheralBase, emu::kPeripheralSize}}) {
            uc_mmio_map(uc_, base, size, readAlternating, &turn_, ignoreWrite, nullptr);
        }
        // The system control space reads as zeros: the priority grouping's read-modify-write of AIRCR, had it
        // read ones, would write SYSRESETREQ back and end the run there, as the other reads' parity fell.
        uc_mmio_map(uc_, emu::kScsBase, emu::kScsSize, readZero, nullptr, ignoreWrite, nullptr);
        if (recordBlocks) {
            uc_hook hook = 0;
            uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(onBlock), this, 1, 0);
        }
    }
    ~ImageInUnicorn() { uc_close(uc_); }
    ImageInUnicorn(const ImageInUnicorn&) = delete;
    ImageInUnicorn& operator=(const ImageInUnicorn&) = delete;

    // From reset, for a number of instructions or up to `until`.
    void run(unsigned instructions, uint32_t until = 0xFFFFFFFEU)
    {
        uint32_t sp = 0;
        uint32_t reset = 0;
        std::memcpy(&sp, &flash[vectors_], 4);
        std::memcpy(&reset, &flash[vectors_ + 4], 4);
        uc_reg_write(uc_, UC_ARM_REG_SP, &sp);
        enableFpu(uc_);
        uc_emu_start(uc_, reset | 1U, until, 0, instructions);
    }

    std::vector<uint8_t> flash = std::vector<uint8_t>(emu::kFlashSize, 0xFF);
    std::vector<uint8_t> ram = std::vector<uint8_t>(emu::kRamSize, 0);
    std::map<uint32_t, uint32_t> blocks;  // start, bytes

private:
    // Zeros, ones and the two alternating bit patterns by turns, so that polling for a bit to set or to
    // clear ends, and so does one for a two-bit field to read 01 or 10 (the clock switch's status).
    static uint64_t readAlternating(uc_engine*, uint64_t, unsigned, void* user)
    {
        static constexpr uint64_t kPatterns[4] = {0U, ~uint64_t{0}, 0xAAAAAAAAAAAAAAAAU, 0x5555555555555555U};
        unsigned& turn = *static_cast<unsigned*>(user);
        turn = (turn + 1U) % 4U;
        return kPatterns[turn];
    }
    static uint64_t readZero(uc_engine*, uint64_t, unsigned, void*) { return 0; }
    static void ignoreWrite(uc_engine*, uint64_t, unsigned, uint64_t, void*) {}
    static void onBlock(uc_engine*, uint64_t address, uint32_t size, void* user)
    {
        static_cast<ImageInUnicorn*>(user)->blocks.emplace(static_cast<uint32_t>(address), size);
    }
    uc_engine* uc_ = nullptr;
    uint32_t vectors_ = UINT32_MAX;  // offset of the vector table: the lowest flash segment
    unsigned turn_ = 0;
};

}  // namespace emu_test
