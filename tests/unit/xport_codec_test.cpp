#include "tests/unit/xport_harness.hpp"

TEST(XportCodec, EncodeWorkedExamples)
{
    struct Case {
        uint32_t offset;
        uint8_t bits;
        uint64_t value;
        std::vector<uint8_t> before;
        std::vector<uint8_t> after;
    } cases[] = {
        {5, 3, 5, {0, 0}, {0x05, 0x00}},
        {6, 3, 7, {0, 0}, {0x03, 0x80}},
        {0, 12, 0xABC, {0, 0}, {0xBC, 0xA0}},
        {4, 12, 0xABC, {0, 0, 0}, {0x0B, 0xCA, 0x00}},
        {0, 16, 0x1234, {0, 0}, {0x34, 0x12}},
        {3, 16, 0x1234, {0, 0, 0}, {0x06, 0x82, 0x40}},
        {0, 14, 0x3FFF, {0, 0}, {0xFF, 0xFC}},  // -1 as int14
        {0, 14, 8191, {0, 0}, {0xFF, 0x7C}},
        {0, 14, 0x2000, {0, 0}, {0x00, 0x80}},  // -8192
        {5, 3, 0, {0xFF}, {0xF8}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buf = c.before;
        xportEncodeScalar(buf.data(), c.offset, c.bits, &c.value);  // little-endian host: low bytes first
        EXPECT_EQ(buf, c.after) << "offset " << c.offset << " bits " << int(c.bits);
    }
    int16_t minus_one = -1;
    uint8_t out[2] = {};
    xportEncodeScalar(out, 0, 14, &minus_one);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xFC);
}

TEST(XportCodec, DecodeSignedAndShortReads)
{
    const uint8_t b1[] = {0x00, 0x80};
    XportRxTransfer t = contiguous(b1, 2);
    int16_t s16 = 0;
    EXPECT_EQ(xportDecodeScalar(&t, 0, 14, true, &s16), 14);
    EXPECT_EQ(s16, -8192);

    const uint8_t b2[] = {0xA0};
    t = contiguous(b2, 1);
    int8_t s8 = 0;
    EXPECT_EQ(xportDecodeScalar(&t, 0, 3, true, &s8), 3);
    EXPECT_EQ(s8, -3);

    const uint8_t nine[9] = {0, 0, 0, 0, 0, 0, 0, 0xAB, 0xCD};
    t = contiguous(nine, 9);
    uint8_t u8 = 0x11;
    EXPECT_EQ(xportDecodeScalar(&t, 60, 8, false, &u8), 8);
    EXPECT_EQ(u8, 0xBC);
    EXPECT_EQ(xportDecodeScalar(&t, 68, 8, false, &u8), 4);
    EXPECT_EQ(u8, 0xD0);
    u8 = 0x11;
    EXPECT_EQ(xportDecodeScalar(&t, 72, 8, false, &u8), 0);
    EXPECT_EQ(u8, 0x11);

    uint64_t u64 = 0;
    EXPECT_EQ(xportDecodeScalar(&t, 0, 65, false, &u64), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportDecodeScalar(&t, 0, 1, true, &u8), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportDecodeScalar(&t, 0, 0, false, &u8), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportDecodeScalar(nullptr, 0, 8, false, &u8), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportDecodeScalar(&t, 0, 8, false, nullptr), -XPORT_ERROR_INVALID_ARGUMENT);
}

TEST(XportCodec, RandomScalarsRoundTripAtEveryOffset)
{
    std::mt19937_64 rng(99);
    for (int i = 0; i < 5000; ++i) {
        const uint8_t bits = static_cast<uint8_t>(1 + rng() % 64);
        const uint32_t offset = static_cast<uint32_t>(rng() % 40);
        const bool is_signed = bits > 1 && (rng() & 1);
        const uint64_t mask = bits == 64 ? ~0ULL : ((1ULL << bits) - 1);
        const uint64_t value = rng() & mask;
        uint8_t buf[16];
        std::memset(buf, static_cast<int>(rng() & 0xFF), sizeof(buf));
        const std::vector<uint8_t> before(buf, buf + 16);
        xportEncodeScalar(buf, offset, bits, &value);
        // Bits outside the field are untouched.
        for (uint32_t b = 0; b < 128; ++b) {
            if (b < offset || b >= offset + bits) {
                ASSERT_EQ((buf[b / 8] >> (7 - b % 8)) & 1, (before[b / 8] >> (7 - b % 8)) & 1);
            }
        }
        XportRxTransfer t = contiguous(buf, 16);
        uint64_t out = 0;
        ASSERT_EQ(xportDecodeScalar(&t, offset, bits, is_signed, &out), bits);
        const uint8_t width = bits <= 8 ? 1 : bits <= 16 ? 2 : bits <= 32 ? 4 : 8;
        uint64_t expected = value;
        if (is_signed && ((value >> (bits - 1)) & 1)) {
            expected |= ~mask;
        }
        if (width < 8) {
            expected &= (1ULL << (8 * width)) - 1;
        }
        ASSERT_EQ(out, expected) << int(bits) << "@" << offset;
    }
}

TEST(XportCodec, FieldsStraddleHeadBlocksAndTail)
{
    // 68-byte payload: head 6, two full blocks of 28, then 6 bytes left in the last frame as the tail.
    static std::vector<uint8_t> payload;
    payload.resize(68);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    Node rx(20);
    rx.ins.on_reception = [](XportInstance*, XportRxTransfer* t) {
        const XportRxTransfer flat = contiguous(payload.data(), static_cast<uint16_t>(payload.size()));
        ASSERT_NE(t->payload_tail, nullptr);
        for (uint32_t offset = 0; offset + 1 < payload.size() * 8; offset += 3) {
            for (uint8_t bits : {uint8_t{7}, uint8_t{16}, uint8_t{29}, uint8_t{64}}) {
                for (bool is_signed : {false, true}) {
                    uint64_t a = 0;
                    uint64_t b = 0;
                    const int ra = xportDecodeScalar(t, offset, bits, is_signed, &a);
                    const int rb = xportDecodeScalar(&flat, offset, bits, is_signed, &b);
                    ASSERT_EQ(ra, rb);
                    ASSERT_EQ(a, b) << offset << "/" << int(bits) << (is_signed ? " signed" : "");
                }
            }
        }
        // Whole bytes across the pieces, up to the payload's end and no further.
        for (uint16_t first = 0; first <= payload.size(); first += 5) {
            uint8_t out[80] = {};
            const uint16_t got = xportReadPayloadBytes(t, first, 70, out);
            ASSERT_EQ(got, payload.size() - first) << first;
            ASSERT_TRUE(std::equal(out, out + got, payload.begin() + first)) << first;
            ASSERT_EQ(out[got], 0) << first;
        }
    };
    for (const auto& f : transferFrames(payload, 0)) {
        rx.feed(f, 1000);
    }
}

TEST(XportCodec, Float16Conversion)
{
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0x3C00), 1.0f);
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0xC000), -2.0f);
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0x7BFF), 65504.0f);
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0x3555), 0.333251953125f);
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0x0001), std::ldexp(1.0f, -24));
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0x0400), std::ldexp(1.0f, -14));
    EXPECT_TRUE(std::isinf(xportConvertFloat16ToNativeFloat(0x7C00)));
    EXPECT_GT(xportConvertFloat16ToNativeFloat(0x7C00), 0.0f);
    EXPECT_LT(xportConvertFloat16ToNativeFloat(0xFC00), 0.0f);
    EXPECT_TRUE(std::isinf(xportConvertFloat16ToNativeFloat(0xFC00)));
    EXPECT_TRUE(std::isnan(xportConvertFloat16ToNativeFloat(0x7E00)));
    const float nz = xportConvertFloat16ToNativeFloat(0x8000);
    EXPECT_EQ(nz, 0.0f);
    EXPECT_TRUE(std::signbit(nz));
}

TEST(XportCodecDeathTest, EncodeRejectsBadLength)
{
    uint8_t buf[16] = {};
    uint64_t v = 0;
    EXPECT_DEATH(xportEncodeScalar(buf, 0, 0, &v), "fatal stop");
    EXPECT_DEATH(xportEncodeScalar(buf, 0, 65, &v), "fatal stop");
}
