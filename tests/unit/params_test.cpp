// The parameter table as power-on leaves it: the names, values and ranges clients and the store rely on.
#include "firmware/node/params.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(ParameterTable, NamesValuesAndRanges)
{
    const auto& parameters = parameterRows;  // what every node's table starts as
    ASSERT_EQ(sizeof(parameters) / sizeof(parameters[0]), 31U);
    EXPECT_STREQ(parameters[Var_EEFormat].name, "FORMATID");
    EXPECT_EQ(parameters[Var_EEFormat].val, 6);
    EXPECT_EQ(parameters[Var_NETID0].val, 110);
    EXPECT_EQ(parameters[Var_NETID2].val, 112);
    EXPECT_EQ(parameters[Var_NETID1].max, 255);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(parameters[Var_CAN2PWM_CHStart + i].name, "CAN2PWM_CH" + std::to_string(i + 1));
        EXPECT_EQ(parameters[Var_CAN2PWM_CHStart + i].val, i + 1);
        EXPECT_EQ(parameters[Var_CAN2PWM_CHStart + i].defval, i + 1) << "the default is what ERASE restores";
        EXPECT_EQ(parameters[Var_CAN2PWM_ACTStart + i].defval, i < 4 ? 1 : 0);
        EXPECT_EQ(parameters[Var_CAN2PWM_ACTStart + i].val, i < 4 ? 1 : 0);
    }
    // Trailing blanks and the tab are part of the names clients send.
    EXPECT_EQ(std::strlen(parameters[Var_CAN_TotBlocks].name), 15U);
    EXPECT_STREQ(parameters[Var_CAN_RXOVF + 2].name, "CAN3_RXOVF\t   ");
    EXPECT_STREQ(parameters[Var_CAN_RXERR].name, "CAN1_RXERR     ");
    EXPECT_STREQ(parameters[Var_CAN_PeakBlocks + 1].name, "CAN2_PeakBlocks");
    EXPECT_STREQ(parameters[Var_Last - 1].name, "CAN3_RXERR     ");
    for (int i = Var_CAN_TotBlocks; i < Var_Last; ++i) {
        EXPECT_EQ(parameters[i].max, 65535) << i;
    }
}

}  // namespace
