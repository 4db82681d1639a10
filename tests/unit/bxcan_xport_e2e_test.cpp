// Transport and driver together on the simulated chip: transfers queued in one instance leave through
// bxcanTransmit onto the bus in arbitration order; frames from the bus come in through the receive
// interrupts and bxcanReceive and are reassembled and delivered by another instance.
#include <gtest/gtest.h>

#include <vector>

#include "firmware/drivers/CAN.hpp"
#include "firmware/xport/xport.hpp"
#include "platform/sim/sim.hpp"
#include "tests/unit/console_support.hpp"

namespace {

constexpr uint64_t kSignature = 0x5A3C96E1F00DBEEFULL;
constexpr uint8_t kNodeA = 10;
constexpr uint8_t kNodeB = 20;

CANXportPool_t g_pool[3];
XportInstance g_a;  // on CAN1
XportInstance g_b;  // on CAN2

struct Delivered {
    uint16_t data_type_id;
    uint8_t transfer_id;
    uint8_t priority;
    uint8_t source;
    std::vector<uint8_t> payload;
};
std::vector<Delivered> g_delivered;

bool acceptOurTypes(const XportInstance*, uint64_t* sig, uint16_t dtid, XportTransferType, uint8_t)
{
    if (dtid != 500 && dtid != 1000 && dtid != 2000) {
        return false;
    }
    *sig = kSignature;
    return true;
}

void record(XportInstance*, XportRxTransfer* t)
{
    Delivered d{t->data_type_id, t->transfer_id, t->priority, t->source_node_id, {}};
    for (uint16_t i = 0; i < t->payload_len; i++) {
        uint8_t b = 0;
        xportDecodeScalar(t, i * 8U, 8, false, &b);
        d.payload.push_back(b);
    }
    g_delivered.push_back(d);
}

sim::CanFrame toBus(const XportCANFrame& f)
{
    sim::CanFrame out;
    out.extended = (f.id & XPORT_CAN_FRAME_EFF) != 0U;
    out.remote = (f.id & XPORT_CAN_FRAME_RTR) != 0U;
    out.id = f.id & (out.extended ? XPORT_CAN_EXT_ID_MASK : XPORT_CAN_STD_ID_MASK);
    out.dlc = f.data_len;
    for (int i = 0; i < 8; i++) {
        out.data[i] = f.data[i];
    }
    return out;
}

std::vector<uint8_t> bytes(std::size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; i++) {
        v[i] = static_cast<uint8_t>(seed + 7U * i);
    }
    return v;
}

class DriverAndTransport : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
        bxcanColdReset();
        g_delivered.clear();
        ASSERT_TRUE(consoletest::startConsole());
        for (unsigned p = 0; p < 3; p++) {
            CANInit(static_cast<PortCAN_t>(p));
        }
        // B listens to data type 500 through an even bank (FIFO 0) and 1000 / 2000 through odd ones (FIFO 1).
        const BxcanAcceptanceFilterConfiguration filters[3] = {
            {XPORT_CAN_FRAME_EFF | (500U << 8), XPORT_CAN_FRAME_EFF | (0xFFFFU << 8)},
            {XPORT_CAN_FRAME_EFF | (1000U << 8), XPORT_CAN_FRAME_EFF | (0xFFFFU << 8)},
            {XPORT_CAN_FRAME_EFF | (2000U << 8), XPORT_CAN_FRAME_EFF | (0xFFFFU << 8)},
        };
        CANswInit(PortCAN1, nullptr, 0);
        CANswInit(PortCAN2, filters, 3);
        xportInit(&g_a, g_pool[0].bytes, sizeof g_pool[0].bytes, record, acceptOurTypes, nullptr);
        xportInit(&g_b, g_pool[1].bytes, sizeof g_pool[1].bytes, record, acceptOurTypes, nullptr);
        xportSetLocalNodeID(&g_a, kNodeA);
        xportSetLocalNodeID(&g_b, kNodeB);
        ASSERT_EQ(consoletest::console(), "4bxcan init ok\n4bxcan init ok\n");
    }

    // One pass of what the node's main loop does for a port: at most one frame out, one frame in.
    static void pump(XportInstance* ins, PortCAN_t port)
    {
        if (const XportCANFrame* head = xportPeekTxQueue(ins)) {
            const int r = bxcanTransmit(head, port);
            ASSERT_GE(r, 0);
            if (r == 1) {
                xportPopTxQueue(ins);
            }
        }
        XportCANFrame rx{};
        if (bxcanReceive(&rx, port) == 1) {
            xportHandleRxFrame(ins, &rx, sim::nowUs());
        }
    }

    static void run(uint64_t us)
    {
        for (uint64_t t = 0; t < us; t += 10) {
            pump(&g_a, PortCAN1);
            pump(&g_b, PortCAN2);
            sim::advanceUs(10);
        }
    }
};

TEST_F(DriverAndTransport, QueuedTransfersLeaveInArbitrationOrderAndArriveWhole)
{
    sim::CanPeer tap(0);    // listens on CAN1's bus
    sim::CanPeer relay(1);  // repeats it on CAN2's bus

    uint8_t tid[3] = {};
    const auto low1 = bytes(3, 1);
    const auto mid = bytes(20, 2);  // with the transfer CRC, four frames
    const auto high = bytes(1, 3);
    const auto low2 = bytes(5, 4);
    ASSERT_GT(xportBroadcast(&g_a, kSignature, 1000, &tid[0], XPORT_TRANSFER_PRIORITY_LOW, low1.data(), 3), 0);
    ASSERT_GT(xportBroadcast(&g_a, kSignature, 500, &tid[1], XPORT_TRANSFER_PRIORITY_MEDIUM, mid.data(), 20), 0);
    ASSERT_GT(xportBroadcast(&g_a, kSignature, 2000, &tid[2], XPORT_TRANSFER_PRIORITY_HIGH, high.data(), 1), 0);
    ASSERT_GT(xportBroadcast(&g_a, kSignature, 1000, &tid[0], XPORT_TRANSFER_PRIORITY_LOW, low2.data(), 5), 0);

    run(2000);
    EXPECT_EQ(xportPeekTxQueue(&g_a), nullptr);

    // Seven frames, in the order the bus arbitrates them; the frames of one transfer keep their order.
    const auto& log = sim::canBus(0).log();
    ASSERT_EQ(log.size(), 7U);
    const uint32_t highId = (8U << 24) | (2000U << 8) | kNodeA;
    const uint32_t midId = (16U << 24) | (500U << 8) | kNodeA;
    const uint32_t lowId = (24U << 24) | (1000U << 8) | kNodeA;
    const uint32_t expected[7] = {highId, midId, midId, midId, midId, lowId, lowId};
    for (std::size_t i = 0; i < log.size(); i++) {
        EXPECT_EQ(log[i].frame.id, expected[i]) << i;
        EXPECT_TRUE(log[i].frame.extended);
        EXPECT_TRUE(log[i].acknowledged);
        EXPECT_EQ(log[i].sender, 0);
    }
    ASSERT_EQ(tap.received.size(), 7U);

    for (const auto& r : tap.received) {
        relay.send(r.frame);
    }
    run(2000);

    ASSERT_EQ(g_delivered.size(), 4U);
    EXPECT_EQ(g_delivered[0].data_type_id, 2000);
    EXPECT_EQ(g_delivered[0].payload, high);
    EXPECT_EQ(g_delivered[0].priority, XPORT_TRANSFER_PRIORITY_HIGH);
    EXPECT_EQ(g_delivered[1].data_type_id, 500);
    EXPECT_EQ(g_delivered[1].payload, mid);
    EXPECT_EQ(g_delivered[2].payload, low1);
    EXPECT_EQ(g_delivered[2].transfer_id, 0);
    EXPECT_EQ(g_delivered[3].payload, low2);
    EXPECT_EQ(g_delivered[3].transfer_id, 1);
    for (const auto& d : g_delivered) {
        EXPECT_EQ(d.source, kNodeA);
    }
    EXPECT_EQ(bxcanGetStats(PortCAN2).rx_overflow_count, 0U);
    EXPECT_EQ(bxcanGetStats(PortCAN2).error_count, 0U);
}

// A peer floods B with a long transfer (more frames than the software FIFO holds) plus frames B does
// not listen to; serving the port on every pass keeps up, and the filters keep the rest out.
TEST_F(DriverAndTransport, LongTransferFromAPeerIsReassembled)
{
    XportInstance sender{};
    alignas(XportPoolAllocatorBlock) static uint8_t arena[3096];
    xportInit(&sender, arena, sizeof arena, record, acceptOurTypes, nullptr);
    xportSetLocalNodeID(&sender, 33);

    sim::CanPeer peer(1);
    uint8_t tid = 0;
    const auto payload = bytes(100, 9);  // 15 frames
    ASSERT_GT(xportBroadcast(&sender, kSignature, 1000, &tid, XPORT_TRANSFER_PRIORITY_LOW, payload.data(), 100), 0);
    int frames = 0;
    while (const XportCANFrame* f = xportPeekTxQueue(&sender)) {
        peer.send(toBus(*f));
        peer.send(sim::CanFrame::extendedFrame((24U << 24) | (777U << 8) | 33U, {0xC0}));  // filtered out
        xportPopTxQueue(&sender);
        frames++;
    }
    ASSERT_EQ(frames, 15);

    run(6000);
    EXPECT_EQ(peer.pending(), 0U);
    ASSERT_EQ(g_delivered.size(), 1U);
    EXPECT_EQ(g_delivered[0].source, 33);
    EXPECT_EQ(g_delivered[0].payload, payload);
    EXPECT_EQ(bxcanGetStats(PortCAN2).rx_overflow_count, 0U);
}

}  // namespace
