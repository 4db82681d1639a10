#include "tests/unit/xport_harness.hpp"

TEST(XportTx, CrcCheckValueAndSignatureSeed)
{
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crcAdd(0xFFFF, text, sizeof(text)), 0x29B1);
    uint8_t sig_bytes[8];
    for (int i = 0; i < 8; ++i) {
        sig_bytes[i] = static_cast<uint8_t>(kSignature >> (8 * i));
    }
    EXPECT_EQ(crcAddSignature(0xFFFF, kSignature), crcAdd(0xFFFF, sig_bytes, 8));
}
