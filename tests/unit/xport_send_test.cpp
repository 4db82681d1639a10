#include "tests/unit/xport_harness.hpp"

TEST(XportTx, WorkedIdentifiers)
{
    Node n(10);
    uint8_t tid = 0;
    const uint8_t status[7] = {};
    ASSERT_EQ(xportBroadcast(&n.ins, 0, 341, &tid, 24, status, sizeof(status)), 1);
    EXPECT_EQ(xportPeekTxQueue(&n.ins)->id, 0x9801550AU);
    n.drain();

    ASSERT_EQ(xportRequestOrRespond(&n.ins, 20, 0, 11, &tid, 16, XportRequest, status, 1), 1);
    EXPECT_EQ(xportPeekTxQueue(&n.ins)->id & XPORT_CAN_EXT_ID_MASK, 0x100B948AU);
    n.drain();

    Node anon;
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(crcAdd(0xFFFF, bytes, 3), 0xADAD);
    ASSERT_EQ(xportBroadcast(&anon.ins, 0, 1, &tid, 30, bytes, 3), 1);
    EXPECT_EQ(xportPeekTxQueue(&anon.ins)->id, 0x1E5B5900U | XPORT_CAN_FRAME_EFF);
}

TEST(XportTx, SingleFrameTailsAndEmptyPayload)
{
    Node n(10);
    uint8_t tid = 31;
    ASSERT_EQ(xportBroadcast(&n.ins, 0, 1000, &tid, 24, nullptr, 0), 1);
    EXPECT_EQ(tid, 0);  // 31 wraps to 0
    auto frames = n.drain();
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0].data_len, 1);
    EXPECT_EQ(frames[0].data[0], 0xC0 | 31);

    const auto seven = sequence(7);
    ASSERT_EQ(xportBroadcast(&n.ins, 0, 1000, &tid, 24, seven.data(), 7), 1);
    frames = n.drain();
    EXPECT_EQ(frames[0].data_len, 8);
    EXPECT_EQ(frames[0].data[7], 0xC0);
}

TEST(XportTx, MultiFrameLayout)
{
    struct Case {
        uint16_t len;
        std::size_t frames;
    } cases[] = {{8, 2}, {13, 3}, {20, 4}, {300, 44}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.len);
        const auto payload = sequence(c.len, 0x10);
        const auto frames = transferFrames(payload, 5);
        ASSERT_EQ(frames.size(), c.frames);
        const uint16_t crc = crcAdd(crcAddSignature(0xFFFF, kSignature), payload.data(), payload.size());
        EXPECT_EQ(frames[0].data[0], crc & 0xFF);
        EXPECT_EQ(frames[0].data[1], crc >> 8);

        std::vector<uint8_t> rebuilt;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const XportCANFrame& f = frames[i];
            const uint8_t tail = f.data[f.data_len - 1];
            const uint8_t expected_flags = (i == 0 ? 0x80 : 0) | (i + 1 == frames.size() ? 0x40 : 0) |
                                           ((i % 2) ? 0x20 : 0);
            EXPECT_EQ(tail, expected_flags | 5) << "frame " << i;
            EXPECT_EQ(f.id, frames[0].id);
            rebuilt.insert(rebuilt.end(), f.data + (i == 0 ? 2 : 0), f.data + f.data_len - 1);
        }
        EXPECT_EQ(rebuilt, payload);
    }
    // 8 bytes: CRC + 5 payload bytes + tail, then 3 bytes + tail.
    const auto two = transferFrames(sequence(8), 1);
    EXPECT_EQ(two[0].data_len, 8);
    EXPECT_EQ(two[1].data_len, 4);
    EXPECT_EQ(two[1].data[3], 0x60 | 1);
}

TEST(XportTx, TransferIdRulesAndArgumentErrors)
{
    Node n(10);
    const uint8_t p[8] = {};
    uint8_t tid = 3;
    EXPECT_EQ(xportRequestOrRespond(&n.ins, 20, 0, 11, &tid, 24, XportResponse, p, 1), 1);
    EXPECT_EQ(tid, 3);  // responses reuse the request's ID
    EXPECT_EQ(xportRequestOrRespond(&n.ins, 20, 0, 11, &tid, 24, XportRequest, p, 1), 1);
    EXPECT_EQ(tid, 4);

    EXPECT_EQ(xportBroadcast(&n.ins, 0, 1000, &tid, 32, p, 1), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportBroadcast(&n.ins, 0, 1000, &tid, 24, nullptr, 3), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportRequestOrRespond(&n.ins, 20, 0, 11, &tid, 24, XportResponse, p, 1), 1);
    EXPECT_EQ(xportRequestOrRespond(&n.ins, 20, 0, 11, nullptr, 24, XportResponse, p, 1),
              -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(tid, 4);
    n.drain();

    Node anon;
    EXPECT_EQ(xportBroadcast(&anon.ins, 0, 1, &tid, 24, p, 8), -XPORT_ERROR_NODE_ID_NOT_SET);
    EXPECT_EQ(xportBroadcast(&anon.ins, 0, 4, &tid, 24, p, 1), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportRequestOrRespond(&anon.ins, 20, 0, 11, &tid, 24, XportRequest, p, 1),
              -XPORT_ERROR_NODE_ID_NOT_SET);
    EXPECT_EQ(tid, 4);
    EXPECT_EQ(xportPeekTxQueue(&anon.ins), nullptr);
}

TEST(XportTx, QueueLeavesInArbitrationOrder)
{
    Node n(10);
    uint8_t tid = 0;
    // Source node IDs 0x10, 0x08, 0x10 at priority 0 and type 0 give identifiers 0x10, 0x08, 0x10.
    for (uint8_t source : {uint8_t{0x10}, uint8_t{0x08}, uint8_t{0x10}}) {
        const auto order = static_cast<uint8_t>(n.used());
        ASSERT_EQ(xportBroadcast_internal(&n.ins, 0, 0, &tid, 0, &order, 1, source), 1);
    }
    const auto out = n.drain();
    ASSERT_EQ(out.size(), 3U);
    EXPECT_EQ(out[0].id & XPORT_CAN_EXT_ID_MASK, 0x08U);
    EXPECT_EQ(out[1].data[0], 0);  // the first 0x10 before the second
    EXPECT_EQ(out[2].data[0], 2);

    EXPECT_TRUE(isPriorityHigher(0x123, (0x123U << 18) | XPORT_CAN_FRAME_EFF));
    EXPECT_FALSE(isPriorityHigher((0x123U << 18) | XPORT_CAN_FRAME_EFF, 0x123));
    EXPECT_TRUE(isPriorityHigher(0x55 | XPORT_CAN_FRAME_EFF, 0x55 | XPORT_CAN_FRAME_EFF | XPORT_CAN_FRAME_RTR));
    EXPECT_FALSE(isPriorityHigher(0x55 | XPORT_CAN_FRAME_EFF, 0x55 | XPORT_CAN_FRAME_EFF));
    EXPECT_TRUE(isPriorityHigher(0x100 | XPORT_CAN_FRAME_EFF, 0x200 | XPORT_CAN_FRAME_EFF));
}

TEST(XportTx, TransfersInterleaveByPriority)
{
    Node n(10);
    uint8_t tid = 0;
    const auto low = sequence(20);
    const uint8_t high[1] = {0xAA};
    ASSERT_EQ(xportBroadcast(&n.ins, 0, 2000, &tid, 24, low.data(), 20), 4);
    ASSERT_EQ(xportBroadcast(&n.ins, 0, 2000, &tid, 8, high, 1), 1);
    const auto out = n.drain();
    ASSERT_EQ(out.size(), 5U);
    EXPECT_EQ(PRIORITY_FROM_ID(out[0].id), 8);
    for (std::size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(out[i].data[out[i].data_len - 1] & 0x1F, 0);  // the four frames of tid 0, in order
    }
    EXPECT_EQ(n.used(), 0);
}

TEST(XportTx, TransferIsQueuedWholeOrNotAtAll)
{
    Node n(10, 5 * 32);
    uint8_t tid = 7;
    const auto payload = sequence(300);
    EXPECT_EQ(xportBroadcast(&n.ins, 0, 1000, &tid, 24, payload.data(), 300), -XPORT_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(tid, 8);  // advanced even though queuing failed
    EXPECT_EQ(n.used(), 0);
    EXPECT_EQ(n.ins.stats.transfers_tx, 0U);
    EXPECT_EQ(xportBroadcast(&n.ins, 0, 1000, &tid, 24, payload.data(), 33), 5);  // 2 + 33 bytes: exactly five
    EXPECT_EQ(n.drain().size(), 5U);

    // 13 bytes fit two frames only without the CRC: two free blocks are not enough.
    Node small(10, 2 * 32);
    EXPECT_EQ(xportBroadcast(&small.ins, 0, 1000, &tid, 24, payload.data(), 13), -XPORT_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(xportPeekTxQueue(&small.ins), nullptr);
    EXPECT_EQ(small.used(), 0);
}

TEST(XportTxDeathTest, NodeIdSetOnceWithinRange)
{
    Node n;
    EXPECT_DEATH(xportSetLocalNodeID(&n.ins, 0), "fatal stop");
    EXPECT_DEATH(xportSetLocalNodeID(&n.ins, 128), "fatal stop");
    xportSetLocalNodeID(&n.ins, 127);
    EXPECT_DEATH(xportSetLocalNodeID(&n.ins, 5), "fatal stop");
    EXPECT_EQ(xportGetLocalNodeID(&n.ins), 127);
}
