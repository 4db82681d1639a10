// The multicast datagram byte for byte, and every way a datagram can fail to be a classic frame.
#include "sitl/mcast_datagram.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

// GetNodeInfo's first response frame would do as well; any extended frame with data shows the layout.
const std::vector<uint8_t> kWorked = {0x34, 0x29, 0xDA, 0x46, 0x00, 0x00, 0x8A, 0xEE, 0x01, 0x9E, 0xC2};
const sim::CanFrame kFrame = sim::CanFrame::extendedFrame(0x1E01EE8A, {0xC2});

std::vector<uint8_t> encoded(const sim::CanFrame& f)
{
    uint8_t out[sitl::kDatagramMax];
    const std::size_t n = sitl::encodeDatagram(f, out);
    return std::vector<uint8_t>(out, out + n);
}

const char* decoded(std::vector<uint8_t> bytes, bool fixCrc = true)
{
    if (fixCrc && bytes.size() >= 4) {
        const uint16_t crc = sitl::crc16Ccitt(bytes.data() + 4, bytes.size() - 4);
        bytes[2] = static_cast<uint8_t>(crc);
        bytes[3] = static_cast<uint8_t>(crc >> 8);
    }
    sim::CanFrame f;
    return sitl::decodeDatagram(bytes.data(), bytes.size(), &f);
}

TEST(McastDatagram, WorkedExampleBothWays)
{
    EXPECT_EQ(sitl::crc16Ccitt(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x29B1);  // CCITT-FALSE check
    EXPECT_EQ(encoded(kFrame), kWorked);
    sim::CanFrame f;
    ASSERT_EQ(sitl::decodeDatagram(kWorked.data(), kWorked.size(), &f), nullptr);
    EXPECT_EQ(f, kFrame);

    const sim::CanFrame standard = sim::CanFrame::standard(0x7FF, {1, 2, 3, 4, 5, 6, 7, 8});
    const std::vector<uint8_t> s = encoded(standard);
    ASSERT_EQ(sitl::decodeDatagram(s.data(), s.size(), &f), nullptr);
    EXPECT_EQ(f, standard);
}

TEST(McastDatagram, MalformedOnesAreNamed)
{
    std::vector<uint8_t> v = kWorked;
    EXPECT_STREQ(decoded({0x34, 0x29, 0, 0, 0, 0, 0, 0, 0}), "short datagram");
    EXPECT_STREQ(decoded(std::vector<uint8_t>(sitl::kDatagramMax + 1, 0)), "oversized datagram");
    v[0] = 0x35;
    EXPECT_STREQ(decoded(v), "wrong magic");
    v = kWorked;
    v[10] ^= 1;
    EXPECT_STREQ(decoded(v, false), "wrong CRC");
    v = kWorked;
    v[4] = 1;
    EXPECT_STREQ(decoded(v), "CAN FD frame");
    v[4] = 2;
    EXPECT_STREQ(decoded(v), "unknown flags");
    v = kWorked;
    v[9] = 0xDE;  // bit 30 (a remote or error flag elsewhere)
    EXPECT_STREQ(decoded(v), "invalid identifier");
    v = {0x34, 0x29, 0, 0, 0, 0, 0x00, 0x08, 0x00, 0x00};  // standard identifier 0x800
    EXPECT_STREQ(decoded(v), "invalid identifier");
    v = kWorked;
    v.resize(kWorked.size() + 8, 0xAA);  // nine data bytes
    EXPECT_STREQ(decoded(v), "DLC above 8");
}

}  // namespace
