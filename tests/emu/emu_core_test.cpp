// The emulated core's memory map, fault reports and cycle counts.
#include <gmock/gmock.h>

#include <map>

#include "tests/emu/emu_fixture.hpp"

namespace emu_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using EmuCore = EmuProgram;

TEST_F(EmuCore, BusGetsPeripheralSystemAndFlashWritesAndUnansweredAccessFaults)
{
    start("memory_map");
    ASSERT_EQ(core.run(kPlenty), emu::Stop::Fault);
    EXPECT_THAT(chip.log, ElementsAre(Access{false, 0x40023C00U, 4, 0U},  // FLASH_ACR, for the wait states
                                      Access{true, 0x40000010U, 1, 0x5AU}, Access{true, 0x40000012U, 2, 0x1234U},
                                      Access{true, 0x40000014U, 4, 0xCAFEF00DU},
                                      Access{false, 0x40000014U, 4, 0xCAFEF00DU},
                                      Access{false, 0x1FFF7A10U, 4, 0x12345678U},
                                      Access{true, 0x08080000U, 2, 0xBEEFU}));
    EXPECT_EQ(word("result", 0), 0xCAFEF00DU);
    EXPECT_EQ(word("result", 1), 0x12345678U);
    EXPECT_EQ(word("result", 2), 0xFFFFU) << "flash keeps what the flash interface did not program";
    EXPECT_THAT(core.report().what, HasSubstr("0x40010000"));
    EXPECT_EQ(core.report().pc, symbol("unanswered"));
}

TEST_F(EmuCore, BreakpointUndefinedInstructionAndUnmappedLoadInAHandlerStopWithReports)
{
    start("faults");
    ASSERT_EQ(core.run(kPlenty), emu::Stop::Breakpoint);
    const emu::FaultReport& bkpt = core.report();
    EXPECT_EQ(bkpt.what, "bkpt #7");
    EXPECT_EQ(bkpt.pc, symbol("stop_here"));
    EXPECT_EQ(bkpt.function, "stop_here");
    EXPECT_EQ(bkpt.r[14], symbol("continue_here") | 1U);
    EXPECT_FALSE(bkpt.frame.has_value());
    EXPECT_THAT(bkpt.text(), HasSubstr("in stop_here"));

    core.resumeAt(symbol("undefined_here"));
    ASSERT_EQ(core.run(kPlenty), emu::Stop::Fault);
    EXPECT_EQ(core.report().what, "undefined instruction");
    EXPECT_EQ(core.report().pc, symbol("undefined_here"));

    core.resumeAt(symbol("continue_here"));
    ASSERT_EQ(core.run(kPlenty), emu::Stop::Fault);
    const emu::FaultReport& load = core.report();
    EXPECT_THAT(load.what, HasSubstr("read of 4 bytes at 0x30000000: nothing mapped"));
    EXPECT_EQ(load.pc, symbol("bad_load"));
    EXPECT_EQ(load.function, "irq0_handler");
    EXPECT_EQ(load.exception, 16U);
    ASSERT_TRUE(load.frame.has_value());
    EXPECT_EQ((*load.frame)[6], symbol("after_pend")) << "stacked return address";
    ASSERT_FALSE(load.recent.empty());
    EXPECT_EQ(load.recent.back(), symbol("bad_load"));
    EXPECT_THAT(load.text(), HasSubstr("in irq0_handler"));
}

TEST_F(EmuCore, InterruptWithoutHandlerStopsWithReport)
{
    start("faults");
    core.resumeAt(symbol("unhandled"));
    ASSERT_EQ(core.run(kPlenty), emu::Stop::Fault);
    EXPECT_EQ(core.report().what, "exception 19: no Thumb handler in the vector table at VTOR 0x08000000");
    EXPECT_EQ(core.report().function, "unhandled");
}

TEST_F(EmuCore, CyclesFollowCortexM4Timing)
{
    start("cycles");
    runToEnd();
    // ALU and MUL 1, a load 2 and each load behind it 1 (2 for the one whose base the load before it
    // wrote), PUSH/POP 1 + N, a taken branch 1 + 2, BKPT 1.
    EXPECT_EQ(core.cycles(), 4U + 5U + 5U + 5U + 3U + 1U);
    EXPECT_EQ(core.instructions(), 11U);
}

TEST_F(EmuCore, FlashWaitStatesCostUntilPrefetchAndCacheHideThem)
{
    start("cycles");
    auto loopCycles = [&](uint32_t flashAcr) { return cyclesFrom("loop", flashAcr); };
    // 100 passes of 13 ALU instructions and a branch, taken 99 times.
    const uint64_t noWait = loopCycles(0);
    EXPECT_EQ(noWait, 1U + 100U * 14U + 99U * 2U + 1U);
    constexpr uint32_t kLatency5 = 5, kPrefetch = 1U << 8, kCaches = 3U << 9;
    EXPECT_GE(loopCycles(kLatency5), noWait + 100U * 2U * 5U) << "both lines of the loop stall every pass";
    const uint64_t accelerated = loopCycles(kLatency5 | kPrefetch | kCaches);
    EXPECT_GT(accelerated, noWait) << "the first fetch misses";
    EXPECT_LE(accelerated, noWait + 2U * 5U) << "then the loop runs from the cache";
    // Written half-way through a run, where blocks have chained at no wait states: the blocks after the
    // write stall, each of the 49 passes left on at least two lines.
    EXPECT_GE(cyclesFrom("switch_to_wait_states"), cyclesFrom("switch_to_no_wait_states") + 49U * 2U * 5U);
}

// The Cortex-M4 TRM's load/store pipelining and early-terminating division.
TEST_F(EmuCore, LoadsBehindTheirAddressAndImmediateStoresCostAsOnTheM4)
{
    start("timing");
    EXPECT_EQ(cyclesFrom("load_after_load"), 2U + 2U + 1U + 1U + 1U + 1U);
    EXPECT_EQ(cyclesFrom("load_after_push"), 2U + 3U + 2U + 1U + 1U);
    EXPECT_EQ(cyclesFrom("load_after_alu"), 2U + 1U + 3U + 1U + 3U + 1U + 2U + 1U);
    EXPECT_EQ(cyclesFrom("store_immediate"), 2U + 1U + 1U + 1U + 2U + 1U + 1U + 2U + 1U);
}

TEST_F(EmuCore, DivisionsCostTwoToTwelveByTheirOperandsAndGiveTheArchitecturesQuotients)
{
    start("timing");
    struct Case {
        const char* entry;
        uint64_t cycles;
        uint32_t quotient;
    };
    constexpr uint64_t kOperands = 4, kRecord = 3 + 2 + 1 + 1;  // branch, LDR, STR, BKPT
    for (const Case& c : {Case{"udiv_below", 2, 0}, Case{"udiv_by_zero", 2, 0}, Case{"udiv_small", 4, 14},
                          Case{"udiv_full", 12, 0xFFFFFFFFU}, Case{"sdiv_negative", 4, static_cast<uint32_t>(-14)},
                          Case{"sdiv_min", 12, 0x80000000U}, Case{"sdiv_by_zero", 2, 0}}) {
        TestChip otherChip;
        emu::Core other(otherChip, otherChip);
        ASSERT_EQ(other.load(image), "");
        other.resumeAt(symbol(c.entry));
        ASSERT_EQ(other.run(kPlenty), emu::Stop::Breakpoint) << other.report().text();
        EXPECT_EQ(other.cycles(), kOperands + c.cycles + kRecord) << c.entry;
        EXPECT_EQ(other.instructions(), 4U + 1U + 4U) << c.entry;
        uint32_t quotient = 0;
        std::memcpy(&quotient, &other.ram()[symbol("quotient") - emu::kRamBase], sizeof quotient);
        EXPECT_EQ(quotient, c.quotient) << c.entry;
    }
    EXPECT_EQ(cyclesFrom("udiv_overwritten"), 2U + 1U + 1U + 12U + 1U + 1U + 1U) << "quotient gone at the end";
    // Two passes, the branch taken once: 0xFFFFFFFF / 1, then 0xFFFF / 1.
    core.countCyclesByBlock();
    core.resumeAt(symbol("udiv_loop"));
    runToEnd();
    EXPECT_EQ(core.cycles(), 4U + (12U + 4U) + 2U + (7U + 4U) + 1U);
    // Each run's division in its own block, also where the block after it is entered without the run loop.
    std::map<uint32_t, uint64_t> spent;
    for (const auto& [start, cycles] : core.cyclesByBlock()) {
        spent[start] = cycles;
    }
    EXPECT_EQ(spent[symbol("udiv_again")], 2U + 7U + 4U);
    EXPECT_EQ(spent[symbol("udiv_done")], 1U);
    EXPECT_EQ(word("quotients", 0), 0xFFFFFFFFU);
    EXPECT_EQ(word("quotients", 1), 0xFFFFU);
}

// Compiled C using the DSP extension and the FPU checks its own results.
TEST_F(EmuCore, CompiledDspAndFpuProgramRunsToItsOwnResult)
{
    start("dsp_fpu");
    ASSERT_EQ(core.run(100 * kPlenty), emu::Stop::Breakpoint) << core.report().text();
    EXPECT_EQ(core.report().what, "bkpt #171") << "the exit call in done()";
    EXPECT_EQ(word("rounds_done"), 40U);
    EXPECT_EQ(word("mismatches"), 0U) << std::hex << word("checksum");
}

}  // namespace
}  // namespace emu_test
