// The ARMv7-M exception model of the emulated core, checked with small Thumb-2 programs.
#include <gmock/gmock.h>

#include "tests/emu/emu_fixture.hpp"

namespace emu_test {
namespace {

using ::testing::ElementsAre;
using EmuException = EmuProgram;

constexpr uint32_t kReturnToThreadMsp = 0xFFFFFFF9U;
constexpr uint32_t kReturnToThreadPsp = 0xFFFFFFFDU;
constexpr uint32_t kReturnToHandler = 0xFFFFFFF1U;
constexpr uint32_t kReturnToThreadMspFp = 0xFFFFFFE9U;

TEST_F(EmuException, EntryStacksTheBasicFrameRealignedAndReturnRestoresIt)
{
    start("exception_frame");
    runToEnd();
    const uint32_t threadSp = word("thread_sp");
    ASSERT_EQ(threadSp % 8U, 4U);
    const uint32_t frame = word("seen", 0);
    EXPECT_EQ(frame, threadSp - 0x24U) << "8 words, then down to an 8-byte boundary";
    EXPECT_EQ(word("seen", 1), kReturnToThreadMsp);
    EXPECT_EQ(word("seen", 2), 16U) << "IPSR of IRQ 0";
    const uint32_t expected[8] = {0xA0A0A0A0U, 0xA1A1A1A1U, 0xA2A2A2A2U, 0xA3A3A3A3U, 0xACACACACU,
                                  0xAEAEAEAEU, symbol("after_pend"),
                                  0xF8000000U | 1U << 24 | 1U << 9};  // NZCVQ, T, realigned
    for (unsigned i = 0; i < 8; ++i) {
        EXPECT_EQ(ramWord(frame + 4U * i), expected[i]) << "frame word " << i;
    }
    EXPECT_THAT(std::vector<uint32_t>({word("restored", 0), word("restored", 1), word("restored", 2),
                                       word("restored", 3), word("restored", 4), word("restored", 5),
                                       word("restored", 6), word("restored", 7)}),
                ElementsAre(0xA0A0A0A0U, 0xA1A1A1A1U, 0xA2A2A2A2U, 0xA3A3A3A3U, 0xACACACACU, 0xAEAEAEAEU,
                            0xF8000000U, threadSp));
}

TEST_F(EmuException, FpContextUsesTheExtendedFrameAndComesBack)
{
    start("fpu_frame");
    runToEnd();
    EXPECT_EQ(word("seen", 0) & 4U, 0U) << "CONTROL.FPCA clear at entry";
    EXPECT_EQ(word("seen", 3) & 4U, 4U) << "set again by the handler's first FP instruction";
    EXPECT_EQ(word("seen", 2), kReturnToThreadMspFp);
    const uint32_t frame = word("seen", 1);
    EXPECT_EQ(frame, 0x20050000U - 0x68U);
    for (unsigned i = 0; i < 16; ++i) {
        EXPECT_EQ(ramWord(frame + 0x20U + 4U * i), 0x3F800000U + i) << "stacked s" << i;
        EXPECT_EQ(word("restored", i), 0x3F800000U + i) << "restored s" << i;
    }
    EXPECT_EQ(ramWord(frame + 0x60U), 0x00C00000U) << "stacked FPSCR";
    EXPECT_EQ(word("restored", 16), 0x00C00000U) << "restored FPSCR";
    EXPECT_EQ(word("restored", 17) & 4U, 4U) << "FPCA back from EXC_RETURN";
    // Entry 12 and return 10 each; the FP state stored and loaded (17 each) only for the handler that
    // used the FPU.
    EXPECT_EQ(core.exceptionCycles(), 22U + 22U + 34U);
}

TEST_F(EmuException, PendingInterruptsTailChainInPriorityOrderOnOneFrame)
{
    start("tail_chain");
    runToEnd();
    const std::vector<uint32_t> log = logged();
    ASSERT_EQ(log.size(), 6U);
    EXPECT_EQ(log[0], 1U) << "IRQ 1 is more urgent";
    EXPECT_EQ(log[3], 0U);
    EXPECT_EQ(log[1], log[4]) << "the second handler runs on the first one's frame";
    EXPECT_EQ(log[2], kReturnToThreadMsp);
    EXPECT_EQ(log[5], kReturnToThreadMsp);
    EXPECT_THAT(chip.acknowledged, ElementsAre(17U, 16U));
}

TEST_F(EmuException, MoreUrgentPreemptsEqualWaitsForTheReturn)
{
    start("preemption");
    runToEnd();
    EXPECT_THAT(logged(), ElementsAre(0x00U, 0x0EU, 1U, kReturnToHandler, 0x0FU, 2U, kReturnToThreadMsp));
}

TEST_F(EmuException, PrimaskAndBasepriHoldInterruptsBack)
{
    start("masking");
    runToEnd();
    EXPECT_THAT(logged(), ElementsAre(0xA0U, 0U, 0xB0U, 1U, 0xB1U, 0U));
}

TEST_F(EmuException, ThreadOnTheProcessStackStacksThereAndHandlerRunsOnMain)
{
    start("psp_thread");
    runToEnd();
    const uint32_t top = symbol("task_stack_top");
    const uint32_t msp = word("seen", 0);
    EXPECT_EQ(word("seen", 1), top) << "thread sp after msr control";
    EXPECT_EQ(word("seen", 2), msp) << "handler sp";
    EXPECT_EQ(word("seen", 3), msp) << "handler msp: nothing stacked on it";
    EXPECT_EQ(word("seen", 4), top - 0x20U) << "handler psp: the frame";
    EXPECT_EQ(word("seen", 5), kReturnToThreadPsp);
    EXPECT_EQ(word("seen", 6), top) << "thread sp after the return";
    EXPECT_EQ(word("seen", 7), 2U) << "CONTROL.SPSEL after the return";
}

TEST_F(EmuException, SysTickWakesWfiEveryThousandCycles)
{
    start("systick");
    emu::Stop stop = emu::Stop::BudgetUsed;
    while (stop == emu::Stop::BudgetUsed && core.cycles() < 100000U) {
        stop = core.run(100);
        chip.advanceTo(core.cycles());
    }
    ASSERT_EQ(stop, emu::Stop::Breakpoint) << core.report().text();
    EXPECT_EQ(word("ticks"), 5U);
    EXPECT_GE(core.cycles(), 5000U);
    EXPECT_LT(core.cycles(), 5200U) << "slept through ticks";
}

}  // namespace
}  // namespace emu_test
