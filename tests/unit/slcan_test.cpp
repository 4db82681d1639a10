// The SLCAN adapter as a host talks to it: the handshake, frames both ways, and lines it must refuse
// without losing the ones around them.
#include "sitl/slcan.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Host {
    sitl::SlcanAdapter adapter;
    sitl::SlcanAdapter::Output out;

    std::string say(const std::string& text)
    {
        out = {};
        adapter.feed(text.data(), text.size(), &out);
        return out.reply;
    }
};

TEST(Slcan, HandshakeThenFramesBothWays)
{
    Host h;
    EXPECT_EQ(h.say("C\r"), "\r");
    EXPECT_EQ(h.say("S8\r"), "\r");
    EXPECT_EQ(h.say("V\r"), "V1010\r");
    EXPECT_EQ(h.say("N\r"), "NSITL\r");
    EXPECT_EQ(h.adapter.frameLine(sim::CanFrame::extendedFrame(1, {})), "") << "nothing reaches a closed channel";
    EXPECT_EQ(h.say("O\r"), "\r");
    EXPECT_EQ(h.say("F\r"), "F00\r");
    EXPECT_EQ(h.say("S4\r"), "\a") << "speed is fixed while open";

    // In pieces, lower-case hex, CR LF endings.
    EXPECT_EQ(h.say("T1E01EE8a"), "");
    EXPECT_EQ(h.say("3c0ff01\r\nt7FF0\r"), "\r\r");
    ASSERT_EQ(h.out.frames.size(), 2U);
    EXPECT_EQ(h.out.frames[0], sim::CanFrame::extendedFrame(0x1E01EE8A, {0xC0, 0xFF, 0x01}));
    EXPECT_EQ(h.out.frames[1], sim::CanFrame::standard(0x7FF));

    EXPECT_EQ(h.adapter.frameLine(sim::CanFrame::extendedFrame(0x1E01EE8A, {0xC0, 0xFF, 0x01})), "T1E01EE8A3C0FF01\r");
    EXPECT_EQ(h.adapter.frameLine(sim::CanFrame::standard(0x123, {0xAB})), "t1231AB\r");

    EXPECT_EQ(h.say("C\r"), "\r");
    EXPECT_EQ(h.say("t1230\r"), "\a");
}

TEST(Slcan, GarbageIsRefusedLineByLine)
{
    Host h;
    h.say("O\r");
    const std::string longest = "T1FFFFFFF8" + std::string(16, '0') + "\r";
    const std::string garbage = "T1FFFFFFF9" + std::string(18, '0') + "\r"  // DLC above 8
                                "T2FFFFFFF0\r"                             // identifier above 29 bits
                                "t8000\r"                                  // above 11 bits
                                "T123456782001\r"                          // half a byte short
                                "t12310G\r"                                // not hex
                                "R123456780\r"                             // remote
                                "X\r" +                                    // unknown
                                std::string(5000, 'T') + "\r";             // longer than any valid line
    EXPECT_EQ(h.say(garbage + longest), std::string(8, '\a') + "\r");
    ASSERT_EQ(h.out.frames.size(), 1U);
    EXPECT_EQ(h.out.frames[0].id, 0x1FFFFFFFU);
    EXPECT_EQ(h.out.dropped.size(), 8U);
    EXPECT_STREQ(h.out.dropped.back(), "line too long");

    // A host that went away and came back finds the adapter closed, with no half line left over.
    h.say("T123");
    h.adapter.reset();
    EXPECT_FALSE(h.adapter.isOpen());
    EXPECT_EQ(h.say("O\rt1230\r"), "\r\r");
    EXPECT_EQ(h.out.frames.size(), 1U);
}

}  // namespace
