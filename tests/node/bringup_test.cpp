// A damaged bus on the whole node: the other buses serve from the first second, the node never resets for
// it, and the damaged bus comes back by itself once the fault is gone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/node/params.hpp"
#include "sitl/node_runner.hpp"
#include "sitl/bus_transfers.hpp"
#include "tests/node/node_fixture.hpp"

namespace {

constexpr uint64_t kMs = 1000000;  // ns

struct Status {
    uint8_t source;
    uint8_t health;  // 0 OK, 1 WARNING
    uint64_t end_ns;
};

// The NodeStatus messages the node got acknowledged on `port`, in order.
std::vector<Status> nodeStatus(unsigned port)
{
    std::vector<Status> out;
    for (const auto& [f, end_ns] : bus::nodeFrames(port)) {
        if (!bus::isService(f.id) && bus::dataTypeOfMessage(f.id) == bus::kNodeStatusId) {
            out.push_back({static_cast<uint8_t>(f.id & 0x7FU), static_cast<uint8_t>(f.data[4] >> 6), end_ns});
        }
    }
    return out;
}

using BringUpTest = nodetest::NodeFixture;

// Receive line of CAN3 stuck dominant from power-on: the controller never leaves initialisation mode. One
// start-up (no watchdog reset), NodeStatus with health WARNING on the two other buses within 1.5 s; once
// the line is released CAN3 joins, its allocation client runs and takes the node ID an allocator gives.
TEST_F(BringUpTest, OneBusStuckDominantFromPowerOnLeavesTheOthersServing)
{
    nodetest::storeParameter(Var_NETID2, 0);
    sim::canSetRxStuckDominant(2, true);
    sitl::powerOn();
    sitl::runUntilNs(1500 * kMs);
    EXPECT_EQ(sim::usart2Sent(), "4bxcan init ok\n4bxcan init ok\n3inak not cleared\ninit failed\n");
    for (unsigned port : {0U, 1U}) {
        const std::vector<Status> status = nodeStatus(port);
        ASSERT_EQ(status.size(), 1U) << port;
        EXPECT_EQ(status[0].source, nodetest::kNodeIds[port]);
        EXPECT_EQ(status[0].health, 1U) << port;
    }
    EXPECT_TRUE(sim::canBus(2).log().empty());

    sim::canSetRxStuckDominant(2, false);
    const uint64_t released_ns = sim::nowNs();
    while (bus::nodeFrames(2).empty() && sim::nowNs() < released_ns + 1100 * kMs) {
        sitl::runUntilNs(sim::nowNs() + kMs);
    }
    ASSERT_FALSE(bus::nodeFrames(2).empty()) << "an allocation request within 1.1 s";
    EXPECT_EQ(bus::nodeFrames(2)[0].first.id & 0x7FU, 0U) << "anonymous";
    EXPECT_EQ(sim::usart2Sent().substr(sim::usart2Sent().size() - 15), "4bxcan init ok\n");

    // The allocator names the node's whole unique ID (bytes 0..11, then four zeros) with node ID 42.
    std::vector<uint8_t> answer = {42 << 1};
    for (uint8_t i = 0; i < 16; ++i) {
        answer.push_back(i < 12 ? i : 0);
    }
    for (const sim::CanFrame& f : bus::framesOf(bus::messageId(24, bus::kAllocationId, 10), 0, answer,
                                                bus::kAllocationSignature)) {
        peers[2]->send(f);
    }
    sitl::runUntilNs(sim::nowNs() + 1100 * kMs);
    const std::vector<Status> joined = nodeStatus(2);
    ASSERT_FALSE(joined.empty());
    EXPECT_EQ(joined.back().source, 42);
    EXPECT_EQ(joined.back().health, 0U);
    EXPECT_EQ(nodeStatus(0).back().health, 0U);
    EXPECT_EQ(sim::usart2Sent().find("reset cause"), std::string::npos);
}

// A bus shorted while the node runs: CAN2's controller goes bus-off and, its receive line held dominant,
// stays so (health WARNING, nothing sent there). Released, it recovers by itself (automatic bus-off
// management: 128 x 11 recessive bits) and sends again; health is OK again.
TEST_F(BringUpTest, BusOffControllerRecoversOnceItsBusAllows)
{
    sitl::powerOn();
    sitl::runUntilNs(1200 * kMs);
    sim::canForceBusOff(1);
    sim::canSetRxStuckDominant(1, true);
    sitl::runUntilNs(2500 * kMs);
    ASSERT_EQ(nodeStatus(0).size(), 2U);
    EXPECT_EQ(nodeStatus(0)[0].health, 0U);
    EXPECT_EQ(nodeStatus(0)[1].health, 1U);
    ASSERT_EQ(nodeStatus(1).size(), 1U) << "only the one before the fault";

    sim::canSetRxStuckDominant(1, false);
    sitl::runUntilNs(3500 * kMs);
    const std::vector<Status> after = nodeStatus(1);
    ASSERT_GE(after.size(), 2U);
    EXPECT_GT(after[1].end_ns, 2500 * kMs);
    EXPECT_EQ(nodeStatus(0).back().health, 0U);
    EXPECT_EQ(nodeStatus(1).back().health, 0U);
}

}  // namespace
