#include <gtest/gtest.h>

#include "firmware/xport/xport_internals.hpp"

TEST(XportCrc, CheckValue)
{
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crcAdd(0xFFFF, text, sizeof(text)), 0x29B1);
}
