// The node core's tables and its acceptance rule, without the simulated chip.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "firmware/node/main_node.hpp"

namespace {

struct Port {
    alignas(XportPoolAllocatorBlock) uint8_t arena[256];
    XportInstance ins{};
    explicit Port(uint8_t node_id)
    {
        xportInit(&ins, arena, sizeof(arena), nullptr, shouldAcceptTransfer, nullptr);
        if (node_id != 0) {
            xportSetLocalNodeID(&ins, node_id);
        }
    }
    // The signature written on acceptance, or 0 when rejected (nothing written).
    uint64_t accepts(uint16_t data_type_id, XportTransferType kind) const
    {
        uint64_t signature = 0;
        return shouldAcceptTransfer(&ins, &signature, data_type_id, kind, 5) ? signature : 0;
    }
};

constexpr uint64_t kAllocation = 0x0B2A812620A11D40ULL;
constexpr uint64_t kGetNodeInfo = 0xEE468A8121C46A9EULL;
constexpr uint64_t kGetSet = 0xA7B622F939D1A4D5ULL;

TEST(Acceptance, AnonymousPortHearsAllocationBroadcastsOnly)
{
    const Port anon(0);
    EXPECT_EQ(anon.accepts(1, XportTransferTypeBroadcast), kAllocation);
    EXPECT_EQ(anon.accepts(1, XportTransferTypeRequest), 0U);  // GetNodeInfo
    EXPECT_EQ(anon.accepts(11, XportTransferTypeRequest), 0U);
    EXPECT_EQ(anon.accepts(341, XportTransferTypeBroadcast), 0U);
    EXPECT_EQ(anon.accepts(1010, XportTransferTypeBroadcast), 0U);
}

TEST(Acceptance, PortWithNodeIdFollowsTheTable)
{
    const Port port(110);
    // Message ID 1 is the allocation; service ID 1 is GetNodeInfo, in either direction.
    EXPECT_EQ(port.accepts(1, XportTransferTypeBroadcast), kAllocation);
    EXPECT_EQ(port.accepts(1, XportTransferTypeRequest), kGetNodeInfo);
    EXPECT_EQ(port.accepts(1, XportTransferTypeResponse), kGetNodeInfo);
    for (const auto kind : {XportTransferTypeBroadcast, XportTransferTypeRequest, XportTransferTypeResponse}) {
        EXPECT_EQ(port.accepts(11, kind), kGetSet) << int(kind);
    }
    EXPECT_EQ(port.accepts(341, XportTransferTypeBroadcast), 0x0F0868D0C1A7C6F1ULL);
    EXPECT_EQ(port.accepts(1010, XportTransferTypeBroadcast), 15611526220002114291ULL);
    EXPECT_EQ(port.accepts(1030, XportTransferTypeBroadcast), 0x217F5C87D7EC951DULL);
    EXPECT_EQ(port.accepts(20111, XportTransferTypeBroadcast), 0xB5B7819BAF5FDD7AULL);
    EXPECT_EQ(port.accepts(20113, XportTransferTypeBroadcast), 0xA8739EC093192F7FULL);
    EXPECT_EQ(port.accepts(1001, XportTransferTypeBroadcast), 0U);
    EXPECT_EQ(port.accepts(20112, XportTransferTypeBroadcast), 0U);  // our own visibility report
}

TEST(ParameterTable, NamesValuesAndRanges)
{
    ASSERT_EQ(sizeof(parameters) / sizeof(parameters[0]), 31U);
    EXPECT_STREQ(parameters[Var_EEFormat].name, "FORMATID");
    EXPECT_EQ(parameters[Var_EEFormat].val, 6);
    EXPECT_EQ(parameters[Var_NETID0].val, 110);
    EXPECT_EQ(parameters[Var_NETID2].val, 112);
    EXPECT_EQ(parameters[Var_NETID1].max, 255);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(parameters[Var_CAN2PWM_CHStart + i].name, "CAN2PWM_CH" + std::to_string(i + 1));
        EXPECT_EQ(parameters[Var_CAN2PWM_CHStart + i].val, i + 1);
        EXPECT_EQ(parameters[Var_CAN2PWM_CHStart + i].defval, 0);
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
