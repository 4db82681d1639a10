// The whole node on the simulated chip: frames in, frames out, lines and console. Every test powers the
// node on itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "firmware/board/gpio.hpp"
#include "firmware/board/kernel.hpp"
#include "firmware/drivers/NVM.hpp"
#include "firmware/node/params.hpp"
#include "firmware/node/ports.hpp"
#include "platform/sim/sim.hpp"
#include "sitl/node_runner.hpp"
#include "sitl/trace.hpp"
#include "sitl/bus_transfers.hpp"
#include "tests/node/getset_payloads.hpp"
#include "tests/node/node_fixture.hpp"

namespace {

constexpr uint64_t kMs = 1000000;  // ns
constexpr uint32_t kNodeStatusId = 341;

struct NodeFrame {
    sim::CanFrame frame;
    uint64_t end_ns;
};

class NodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        nodetest::startFromFormattedStore();
        for (unsigned port = 0; port < 3; ++port) {
            peers.push_back(std::make_unique<sim::CanPeer>(port));
        }
    }

    // Frames the node's controller on `port` got acknowledged, in order.
    static std::vector<NodeFrame> sentBy(unsigned port, uint32_t data_type_id)
    {
        std::vector<NodeFrame> out;
        for (const sim::CanBusRecord& r : sim::canBus(port).log()) {
            if (r.sender >= 0 && r.acknowledged && ((r.frame.id >> 8) & 0xFFFFU) == data_type_id) {
                out.push_back({r.frame, r.endNs});
            }
        }
        return out;
    }

    static uint16_t poolInUse(unsigned port) { return nodetest::port(port).xport.allocator.statistics.current_usage_blocks; }

    std::vector<std::unique_ptr<sim::CanPeer>> peers;
};

TEST_F(NodeTest, StartUpOrderOnLinesAndConsole)
{
    sitl::Trace trace;
    sitl::powerOn();
    sitl::runUntilNs(20 * kMs);

    // Every line's initial value, then each change, in the order they happened (no timer runs yet).
    std::vector<std::string> changes;
    const std::string text = trace.text();
    std::size_t at = 0;
    for (std::size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        const std::string line = text.substr(at, nl - at);
        const std::string name_value = line.substr(line.find(',') + 1);
        if (name_value.rfind("pwm", 0) != 0) {
            changes.push_back(name_value);
        }
    }
    const std::vector<std::string> expected_start = {
        "led1,0", "led2,0", "led3,0", "can1en,0", "can2en,0", "can3en,0",  // after reset
        "led1,1",                                                            // parameters loaded
        "can1en,1", "can2en,1", "can3en,1",                                  // bring-up
        "can1en,0", "can2en,0", "can3en,0",                                  // bring-up done
        "led3,1",                                                            // task started
        "led1,0", "led3,0",                                                  // all low
    };
    ASSERT_GE(changes.size(), expected_start.size()) << text;
    EXPECT_EQ(std::vector<std::string>(changes.begin(), changes.begin() + static_cast<long>(expected_start.size())),
              expected_start)
        << text;
    EXPECT_EQ(sim::usart2Sent(), "4bxcan init ok\n4bxcan init ok\n4bxcan init ok\n");

    // The clock tree the start-up programmed, read back from the RCC registers.
    RCC_ClocksTypeDef clocks{};
    RCC_GetClocksFreq(&clocks);
    EXPECT_EQ(clocks.SYSCLK_Frequency, 96000000U);
    EXPECT_EQ(clocks.HCLK_Frequency, 96000000U);
    EXPECT_EQ(clocks.PCLK1_Frequency, 48000000U);
    EXPECT_EQ(clocks.PCLK2_Frequency, 96000000U);
}

TEST_F(NodeTest, NodeStatusOncePerSecondFromEveryPort)
{
    sitl::powerOn();
    sitl::runUntilNs(3500 * kMs);

    const uint8_t node_ids[3] = {110, 111, 112};
    for (unsigned port = 0; port < 3; ++port) {
        SCOPED_TRACE(port);
        const auto frames = sentBy(port, kNodeStatusId);
        ASSERT_EQ(frames.size(), 3U);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const sim::CanFrame& f = frames[i].frame;
            EXPECT_TRUE(f.extended);
            EXPECT_EQ(f.id, (24U << 24) | (kNodeStatusId << 8) | node_ids[port]);
            ASSERT_EQ(f.dlc, 8);
            uint32_t uptime = 0;
            for (int b = 3; b >= 0; --b) {
                uptime = (uptime << 8) | f.data[b];
            }
            EXPECT_EQ(uptime, i + 1);  // whole seconds of kernel time when it was queued
            EXPECT_EQ(f.data[4], 0);   // health OK, mode operational, sub-mode 0
            EXPECT_EQ(f.data[7], 0xC0 | i) << "single frame, transfer ID counting up";
            if (i > 0) {
                EXPECT_GE(frames[i].end_ns - frames[i - 1].end_ns, 999 * kMs);
            }
        }
    }
}

// Twice in one process: the second start begins from reset values, not from what the first life left in
// RAM, and reads the store again.
TEST_F(NodeTest, ASecondPowerOnStartsFromResetValuesAndTheStore)
{
    sitl::powerOn();
    sitl::runUntilNs(2500 * kMs);
    nodetest::node().parameters[Var_CAN2PWM_CHStart].val = 9;                // in RAM only
    ASSERT_TRUE(NVMSet(Var_CAN2PWM_CHStart + 1, 11));       // stored
    nodetest::port(0).vis.IgnoreCanPort = true;

    sim::powerCycle();
    const std::size_t before = sentBy(0, kNodeStatusId).size();
    sitl::powerOn();
    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_CHStart].val, 1);
    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_CHStart + 1].val, 11);
    EXPECT_FALSE(nodetest::port(0).vis.IgnoreCanPort);
    sitl::runUntilNs(sim::nowNs() + 1100 * kMs);
    const auto frames = sentBy(0, kNodeStatusId);
    ASSERT_EQ(frames.size(), before + 1);
    EXPECT_EQ(frames.back().frame.data[0], 1) << "uptime 1 s: the tick started again from 0";
    EXPECT_EQ(frames.back().frame.data[7], 0xC0) << "transfer ID 0";
}

// NodeStatus carries whole seconds: at 1.6 s of kernel time, 1.
TEST_F(NodeTest, NodeStatusUptimeIsTruncatedToWholeSeconds)
{
    sitl::powerOn();
    osTickCount = 1600;
    nodetest::port(0).spin_time = 600;  // the next NodeStatus is due now
    sitl::runUntilNs(sim::nowNs() + 2 * kMs);
    const auto frames = sentBy(0, kNodeStatusId);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0].frame.data[0], 1);
}

TEST_F(NodeTest, DisconnectedBusIsFlushedWhileOthersCarryOn)
{
    sim::canBus(1).setConnected(false);
    sitl::powerOn();

    uint16_t peak_in_use = 0;
    bool emptied_after_being_used = false;
    bool used = false;
    for (uint64_t t = 100 * kMs; t <= 6500 * kMs; t += 10 * kMs) {
        sitl::runUntilNs(t);
        peak_in_use = std::max(peak_in_use, poolInUse(1));
        used = used || poolInUse(1) > 0;
        emptied_after_being_used = emptied_after_being_used || (used && poolInUse(1) == 0 && t > 3000 * kMs);
    }
    EXPECT_TRUE(emptied_after_being_used) << "the blocked queue is dropped";
    // Until the flush the queue holds what the periodic broadcasts (NodeStatus and the two-frame visibility
    // report every 100 ms) queued since the wait began; a NodeStatus taking a mailbox restarts the wait once.
    EXPECT_LE(peak_in_use, 40) << "a dead bus must not eat the pool";
    EXPECT_TRUE(sentBy(1, kNodeStatusId).empty());
    EXPECT_EQ(sentBy(0, kNodeStatusId).size(), 6U);
    EXPECT_EQ(sentBy(2, kNodeStatusId).size(), 6U);
}

TEST_F(NodeTest, UnlistedDataTypeIsRejectedWithoutAllocating)
{
    sitl::powerOn();
    sitl::runUntilNs(10 * kMs);
    // First frame of a multi-frame broadcast of type 1001 from node 5: nothing may be allocated for it.
    peers[0]->send(sim::CanFrame::extendedFrame((24U << 24) | (1001U << 8) | 5U, {0x12, 0x34, 1, 2, 3, 4, 5, 0x80}));
    // The same for an accepted type (GetSet request to this node) does take a reception state.
    peers[2]->send(sim::CanFrame::extendedFrame((24U << 24) | (11U << 16) | (1U << 15) | (112U << 8) | 0x80U | 5U,
                                                {0x12, 0x34, 1, 2, 3, 4, 5, 0x80}));
    sitl::runUntilNs(20 * kMs);
    EXPECT_EQ(poolInUse(0), 0);
    EXPECT_GE(poolInUse(2), 1);
}

TEST_F(NodeTest, PortWithoutUsableNodeIdStartsAnonymous)
{
    nodetest::storeParameter(Var_NETID1, 0);    // obtain one by allocation
    nodetest::storeParameter(Var_NETID2, 200);  // not a node ID the transport can use: the compiled-in 112
    sitl::powerOn();
    EXPECT_EQ(nodetest::port(1).NodeID, 0);
    EXPECT_EQ(nodetest::port(2).NodeID, 112);
    EXPECT_EQ(xportGetLocalNodeID(&nodetest::port(1).xport), 0);

    sitl::runUntilNs(2500 * kMs);
    EXPECT_TRUE(sentBy(1, kNodeStatusId).empty());
    EXPECT_EQ(sentBy(2, kNodeStatusId).size(), 2U);
    EXPECT_EQ(sentBy(0, kNodeStatusId).size(), 2U);
}

// A heartbeat a person sees: LED3 lit 100 ms of every second while the ports are served (the display of
// the elected port, none here, must not overwrite it), and as well while no port has a node ID.
TEST_F(NodeTest, HeartbeatFlashesOncePerSecond)
{
    for (const bool anonymous : {false, true}) {
        SCOPED_TRACE(anonymous);
        sim::powerCycle();
        for (uint8_t p = 0; anonymous && p < 3; ++p) {
            nodetest::storeParameter(static_cast<uint8_t>(Var_NETID0 + p), 0);
        }
        sitl::Trace trace;
        sitl::powerOn();
        const uint64_t start_us = sim::nowNs() / 1000;
        sitl::runUntilNs(sim::nowNs() + 3500 * kMs);

        std::vector<std::pair<uint64_t, char>> led3;  // after the task's own start-up writes
        const std::string text = trace.text();
        for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
            const std::string line = text.substr(at, nl - at);
            const uint64_t us = std::stoull(line.substr(0, line.find(',')));
            if (line.find(",led3,") != std::string::npos && us > start_us + 100000) {
                led3.emplace_back(us, line.back());
            }
        }
        ASSERT_GE(led3.size(), 6U);
        for (std::size_t i = 0; i + 1 < led3.size(); ++i) {
            const uint64_t lasted_us = led3[i + 1].first - led3[i].first;
            if (led3[i].second == '1') {
                EXPECT_NEAR(static_cast<double>(lasted_us), 100000.0, 1000.0) << i;
            } else {
                EXPECT_NEAR(static_cast<double>(lasted_us), 900000.0, 1000.0) << i;
            }
        }
    }
}

TEST_F(NodeTest, TaskStackReachingItsGuardBandIsAFatalStop)
{
    sitl::powerOn();
    sitl::runUntilNs(20 * kMs);
    // The task runs on the PC's stack here, so the test writes what an overflow would: the band's top word,
    // the first a growing stack reaches, and its bottom word, which a large frame may reach alone.
    for (const std::size_t word : {kStackGuardWords - 1U, std::size_t{0}}) {
        EXPECT_DEATH(
            {
                ucHeap[word] = 0;
                sitl::runUntilNs(sim::nowNs() + 10 * kMs);  // the band is checked whole every 8 ms
            },
            "fatal stop at .*kernel.cpp")
            << word;
    }
}

TEST_F(NodeTest, PeriodicWorkKeepsItsPeriodAcrossTheTickWrap)
{
    sim::canBus(1).setConnected(false);
    sitl::powerOn();
    osTickCount = 0xFFFFFFFFU - 1500U;  // 1.5 s before the 32-bit millisecond tick wraps

    // An unfinished transfer holds a reception state and a buffer block until the stale cleanup.
    peers[0]->send(sim::CanFrame::extendedFrame((24U << 24) | (11U << 16) | (1U << 15) | (110U << 8) | 0x80U | 5U,
                                                {0x12, 0x34, 1, 2, 3, 4, 5, 0x80}));
    peers[0]->send(sim::CanFrame::extendedFrame((24U << 24) | (11U << 16) | (1U << 15) | (110U << 8) | 0x80U | 5U,
                                                {6, 7, 8, 9, 10, 11, 12, 0x20}));
    sitl::runUntilNs(sim::nowNs() + 20 * kMs);
    EXPECT_EQ(poolInUse(0), 2);

    bool cleaned = false;
    bool flushed_after_wrap = false;
    bool port1_used_after_wrap = false;
    const uint64_t start = sim::nowNs();
    for (uint64_t t = start; t < start + 6000 * kMs; t += 10 * kMs) {
        sitl::runUntilNs(t);
        cleaned = cleaned || poolInUse(0) == 0;
        const bool wrapped = osKernelSysTick() < 0x80000000U;
        port1_used_after_wrap = port1_used_after_wrap || (wrapped && poolInUse(1) > 0);
        flushed_after_wrap = flushed_after_wrap || (port1_used_after_wrap && poolInUse(1) == 0);
    }
    EXPECT_TRUE(cleaned) << "stale reception state freed across the wrap";
    EXPECT_TRUE(flushed_after_wrap) << "blocked queue still flushed after the wrap";
    // NodeStatus keeps coming once a second on the live ports, through the wrap.
    EXPECT_GE(sentBy(0, kNodeStatusId).size(), 6U);
}

// With reception's share of the pool full of cut-off transfers begun before the wrap, the ones begun after
// it must still count as the newest: making room for a second one must not cost the first.
TEST_F(NodeTest, TheStalestReceptionMakesRoomAcrossTheTickWrap)
{
    sitl::powerOn();
    sitl::runUntilNs(20 * kMs);
    osTickCount = 0xFFFFFFFFU - 399U;  // 400 ms before the wrap
    nodetest::port(0).tx.CleanUp = osTickCount - 100U;  // no stale cleanup until 500 ms after it
    const uint64_t wrap_ns = sim::nowNs() + 400 * kMs;
    auto request = [](uint8_t source) {
        return bus::framesOf(bus::serviceId(30, bus::kGetSetId, true, nodetest::kNodeIds[0], source), 3,
                             getset::request(0, getset::value::kEmpty, "CAN2PWM_CH1"), bus::kGetSetSignature);
    };
    for (uint8_t source = 1; source <= 70; ++source) {  // a first frame each: a state each
        peers[0]->sendAt(wrap_ns - 300 * kMs, request(source)[0]);
    }
    const auto first = request(100);
    peers[0]->sendAt(wrap_ns + 50 * kMs, first[0]);
    peers[0]->sendAt(wrap_ns + 60 * kMs, request(101)[0]);
    peers[0]->sendAt(wrap_ns + 70 * kMs, first[1]);
    peers[0]->sendAt(wrap_ns + 70 * kMs, first[2]);
    sitl::runUntilNs(wrap_ns);
    EXPECT_GE(poolInUse(0), 64) << "reception's share full";
    sitl::runUntilNs(wrap_ns + 150 * kMs);
    bool answered = false;
    for (const bus::Transfer& t : bus::transfersOf(bus::nodeFrames(0))) {
        answered = answered || (bus::isService(t.can_id) && ((t.can_id >> 8) & 0x7FU) == 100U);
    }
    EXPECT_TRUE(answered) << "node 100's request, begun after the wrap, completed";
}

}  // namespace
