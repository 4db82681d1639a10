#pragma once
// Loads one of the Thumb-2 test programs (built next to the tests) into a core on the test chip.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/emu/core.hpp"
#include "platform/emu/memory_map.hpp"
#include "tests/emu/test_chip.hpp"

namespace emu_test {

class EmuProgram : public ::testing::Test {
protected:
    static constexpr uint64_t kPlenty = 1000000;

    void start(const std::string& program)
    {
        const std::string error = image.loadFile(std::string(EMU_PROGRAMS_DIR) + "/" + program + ".elf");
        ASSERT_EQ(error, "");
        ASSERT_EQ(core.load(image), "");
    }

    uint32_t symbol(const std::string& name) const
    {
        const uint32_t address = image.addressOf(name);
        EXPECT_NE(address, 0U) << name;
        return address;
    }

    uint32_t ramWord(uint32_t address)
    {
        uint32_t v = 0;
        std::memcpy(&v, &core.ram()[address - emu::kRamBase], sizeof v);
        return v;
    }

    uint32_t word(const std::string& name, unsigned index = 0) { return ramWord(symbol(name) + 4U * index); }

    // The programs end in `bkpt #0`.
    void runToEnd()
    {
        ASSERT_EQ(core.run(kPlenty), emu::Stop::Breakpoint) << core.report().text();
        ASSERT_EQ(core.report().what, "bkpt #0") << core.report().text();
    }

    // The cycles from `entry` to its BKPT on a core of its own (nothing run before, so no refill into
    // it), with FLASH_ACR as given.
    uint64_t cyclesFrom(const std::string& entry, uint32_t flashAcr = 0)
    {
        TestChip otherChip;
        otherChip.flashAcr = flashAcr;
        emu::Core other(otherChip, otherChip);
        EXPECT_EQ(other.load(image), "");
        other.resumeAt(symbol(entry));
        EXPECT_EQ(other.run(kPlenty), emu::Stop::Breakpoint) << other.report().text();
        return other.cycles();
    }

    std::vector<uint32_t> logged() { return logFrom(0); }
    std::vector<uint32_t> logFrom(unsigned first)
    {
        std::vector<uint32_t> entries;
        for (unsigned i = first; i < word("log_count"); ++i) {
            entries.push_back(word("log", i));
        }
        return entries;
    }

    TestChip chip;
    emu::ElfImage image;
    emu::Core core{chip, chip};
};

}  // namespace emu_test
