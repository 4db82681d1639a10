// The node core's acceptance rule, without the simulated chip.
#include <gtest/gtest.h>

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
    // Message ID 1 is the allocation; service ID 1 is GetNodeInfo. Services come as requests only (the
    // node asks nothing, so no response is for it), messages as broadcasts only.
    EXPECT_EQ(port.accepts(1, XportTransferTypeBroadcast), kAllocation);
    EXPECT_EQ(port.accepts(1, XportTransferTypeRequest), kGetNodeInfo);
    EXPECT_EQ(port.accepts(1, XportTransferTypeResponse), 0U);
    EXPECT_EQ(port.accepts(11, XportTransferTypeRequest), kGetSet);
    EXPECT_EQ(port.accepts(11, XportTransferTypeResponse), 0U);
    EXPECT_EQ(port.accepts(11, XportTransferTypeBroadcast), 0U);
    EXPECT_EQ(port.accepts(1030, XportTransferTypeRequest), 0U);
    EXPECT_EQ(port.accepts(20111, XportTransferTypeResponse), 0U);
    EXPECT_EQ(port.accepts(341, XportTransferTypeBroadcast), 0x0F0868D0C1A7C6F1ULL);
    EXPECT_EQ(port.accepts(1010, XportTransferTypeBroadcast), 15611526220002114291ULL);
    EXPECT_EQ(port.accepts(1030, XportTransferTypeBroadcast), 0x217F5C87D7EC951DULL);
    EXPECT_EQ(port.accepts(20111, XportTransferTypeBroadcast), 0xB5B7819BAF5FDD7AULL);
    EXPECT_EQ(port.accepts(20113, XportTransferTypeBroadcast), 0xA8739EC093192F7FULL);
    EXPECT_EQ(port.accepts(1001, XportTransferTypeBroadcast), 0U);
    EXPECT_EQ(port.accepts(20112, XportTransferTypeBroadcast), 0U);  // our own visibility report
}

}  // namespace
