// The CAN model's frames: their exact length on the wire and their arbitration key, against a second,
// straightforward implementation.
#include "tests/unit/sim_can_harness.hpp"

namespace {


// Straightforward second implementation: the frame as a string of '0'/'1', stuffed by pattern.
unsigned referenceBits(const CanFrame& f)
{
    std::string s = "0";
    auto put = [&s](uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            s += ((v >> i) & 1U) != 0U ? '1' : '0';
        }
    };
    if (f.extended) {
        put(f.id >> 18, 11);
        s += "11";
        put(f.id & 0x3FFFFU, 18);
        s += f.remote ? "1" : "0";
        s += "00";
    } else {
        put(f.id, 11);
        s += f.remote ? "1" : "0";
        s += "00";
    }
    put(f.dlc, 4);
    if (!f.remote) {
        for (int i = 0; i < f.dataBytes(); ++i) {
            put(f.data[i], 8);
        }
    }
    unsigned crc = 0;
    for (char c : s) {
        const unsigned bit = (c == '1') ^ ((crc >> 14) & 1U);
        crc = (crc << 1) & 0x7FFFU;
        if (bit != 0U) {
            crc ^= 0x4599U;
        }
    }
    put(crc, 15);
    std::string stuffed;
    int run = 0;
    char last = 'x';
    for (char c : s) {
        stuffed += c;
        run = c == last ? run + 1 : 1;
        last = c;
        if (run == 5) {
            last = c == '0' ? '1' : '0';
            stuffed += last;
            run = 1;
        }
    }
    return static_cast<unsigned>(stuffed.size()) + 13U;
}

TEST(SimCanFrame, BitCountsIncludeStuffBitsExactly)
{
    // Identifier 0, no data: 34 dominant bits from SOF to the end of the (all-zero) CRC take 6 stuff bits;
    // then CRC delimiter, ACK slot and delimiter, 7 EOF bits, 3 intermission bits.
    EXPECT_EQ(sim::canFrameBits(CanFrame::standard(0)), 34U + 6U + 13U);

    // Without stuffing the lengths are the textbook 47 / 111 (standard) and 67 / 131 (extended) bits; with
    // stuffing they can only grow, by at most one bit per four after the first.
    const CanFrame samples[] = {
        CanFrame::standard(0x555, {0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA}),
        CanFrame::standard(0x7FF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
        CanFrame::extendedFrame(0x1FFFFFFF),
        CanFrame::extendedFrame(0x0AAAAAAA, {1, 2, 3, 4, 5, 6, 7, 8}),
        CanFrame::extendedFrame(0x18CD7E22, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0}),
        CanFrame::remoteFrame(0x123, false, 8),
        CanFrame::remoteFrame(0x1234567, true, 0),
    };
    for (const CanFrame& f : samples) {
        const unsigned unstuffed = (f.extended ? 67U : 47U) + (f.remote ? 0U : 8U * f.dataBytes());
        const unsigned bits = sim::canFrameBits(f);
        EXPECT_EQ(bits, referenceBits(f)) << std::hex << f.id;
        EXPECT_GE(bits, unstuffed);
        EXPECT_LE(bits, unstuffed + (unstuffed - 13U - 1U) / 4U);
    }
}

TEST(SimCanFrame, DlcAboveEightCarriesEightBytes)
{
    CanFrame f = CanFrame::standard(0x10, {1, 2, 3, 4, 5, 6, 7, 8});
    const unsigned eight = sim::canFrameBits(f);
    f.dlc = 15;
    EXPECT_EQ(f.dataBytes(), 8U);
    EXPECT_EQ(sim::canFrameBits(f), referenceBits(f));
    EXPECT_GE(sim::canFrameBits(f) + 4U, eight);  // only the DLC bits (and their stuffing) differ
    EXPECT_LE(sim::canFrameBits(f), eight + 4U);
}

TEST(SimCanFrame, ArbitrationFollowsTheWire)
{
    using sim::canArbitrationKey;
    // Lower identifier wins; a data frame beats the remote frame of the same identifier.
    EXPECT_LT(canArbitrationKey(CanFrame::standard(0x100)), canArbitrationKey(CanFrame::standard(0x101)));
    EXPECT_LT(canArbitrationKey(CanFrame::standard(0x100)), canArbitrationKey(CanFrame::remoteFrame(0x100, false)));
    // Same 11 base bits: the standard frame wins (its IDE bit is dominant), even a standard remote frame.
    EXPECT_LT(canArbitrationKey(CanFrame::standard(0x100)), canArbitrationKey(CanFrame::extendedFrame(0x100U << 18)));
    EXPECT_LT(canArbitrationKey(CanFrame::remoteFrame(0x100, false)),
              canArbitrationKey(CanFrame::extendedFrame(0x100U << 18)));
    // Different base bits decide before IDE does.
    EXPECT_LT(canArbitrationKey(CanFrame::extendedFrame(0x0FFU << 18 | 0x3FFFF)),
              canArbitrationKey(CanFrame::standard(0x100)));
    EXPECT_LT(canArbitrationKey(CanFrame::extendedFrame(0x1000)), canArbitrationKey(CanFrame::extendedFrame(0x1001)));
    EXPECT_LT(canArbitrationKey(CanFrame::extendedFrame(0x1000)),
              canArbitrationKey(CanFrame::remoteFrame(0x1000, true)));
}

}  // namespace
