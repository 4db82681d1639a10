#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "firmware/xport/xport_internals.hpp"

namespace {

constexpr std::size_t kArenaSize = 3096;      // what the node gives each bus
constexpr std::size_t kLargeArenaSize = 8192;  // room to queue a 1023-byte transfer at once
constexpr uint64_t kSignature = 0x0123456789ABCDEFULL;

// A transport instance with its own arena and a log of what reception delivered.
struct Node {
    alignas(XportPoolAllocatorBlock) uint8_t arena[kLargeArenaSize]{};
    XportInstance ins{};
    struct Delivered {
        std::vector<uint8_t> payload;
        XportRxTransfer meta;
    };
    std::vector<Delivered> delivered;
    bool accept = true;
    int asked = 0;

    static Node* of(const XportInstance* ins) { return static_cast<Node*>(ins->user_reference); }

    static bool shouldAccept(const XportInstance* ins, uint64_t* sig, uint16_t, XportTransferType, uint8_t)
    {
        Node* self = of(ins);
        ++self->asked;
        *sig = kSignature;
        return self->accept;
    }

    static void onReception(XportInstance* ins, XportRxTransfer* t)
    {
        Delivered d{{}, *t};
        for (uint32_t i = 0; i < t->payload_len; ++i) {
            uint8_t byte = 0;
            EXPECT_EQ(xportDecodeScalar(t, i * 8U, 8, false, &byte), 8);
            d.payload.push_back(byte);
        }
        of(ins)->delivered.push_back(d);
    }

    explicit Node(uint8_t node_id = 0, std::size_t arena_size = kArenaSize)
    {
        xportInit(&ins, arena, arena_size, onReception, shouldAccept, this);
        if (node_id != 0) {
            xportSetLocalNodeID(&ins, node_id);
        }
    }

    std::vector<XportCANFrame> drain()
    {
        std::vector<XportCANFrame> out;
        while (const XportCANFrame* f = xportPeekTxQueue(&ins)) {
            out.push_back(*f);
            xportPopTxQueue(&ins);
        }
        return out;
    }

    void feed(const XportCANFrame& f, uint64_t t_usec) { xportHandleRxFrame(&ins, &f, t_usec); }
    uint16_t used() const { return ins.allocator.statistics.current_usage_blocks; }
};

XportCANFrame frame(uint32_t id, std::vector<uint8_t> bytes)
{
    XportCANFrame f{};
    f.id = id;
    f.data_len = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), f.data);
    return f;
}

std::vector<uint8_t> sequence(std::size_t n, uint8_t first = 0)
{
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(first + i);
    }
    return v;
}

// Frames of a multi-frame broadcast from node 10 of type 1000, produced by the transmit side.
std::vector<XportCANFrame> transferFrames(const std::vector<uint8_t>& payload, uint8_t tid)
{
    Node tx(10, kLargeArenaSize);
    uint8_t t = tid;
    EXPECT_GT(xportBroadcast(&tx.ins, kSignature, 1000, &t, 24, payload.data(), static_cast<uint16_t>(payload.size())),
              0);
    return tx.drain();
}

XportRxTransfer contiguous(const uint8_t* bytes, uint16_t len)
{
    XportRxTransfer t{};
    t.payload_head = bytes;
    t.payload_len = len;
    return t;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Pool

TEST(XportPool, CapacityFromArenaSize)
{
    Node n96;
    EXPECT_EQ(n96.ins.allocator.statistics.capacity_blocks, 96);

    Node tiny(0, 31);
    EXPECT_EQ(tiny.ins.allocator.statistics.capacity_blocks, 0);
    EXPECT_EQ(allocateBlock(&tiny.ins.allocator), nullptr);

    std::vector<XportPoolAllocatorBlock> huge(70000);
    XportInstance ins{};
    xportInit(&ins, huge.data(), huge.size() * sizeof(XportPoolAllocatorBlock), nullptr, nullptr, nullptr);
    EXPECT_EQ(ins.allocator.statistics.capacity_blocks, 65535);
}

TEST(XportPool, CountersAndLastInFirstOut)
{
    Node n;
    XportPoolAllocator* a = &n.ins.allocator;
    void* b[5];
    for (auto& p : b) {
        p = allocateBlock(a);
    }
    EXPECT_EQ(static_cast<char*>(b[1]) - static_cast<char*>(b[0]), 32);  // ascending from a fresh pool
    freeBlock(a, b[3]);
    freeBlock(a, b[1]);
    EXPECT_EQ(a->statistics.current_usage_blocks, 3);
    EXPECT_EQ(a->statistics.peak_usage_blocks, 5);
    EXPECT_EQ(allocateBlock(a), b[1]);
    EXPECT_EQ(a->statistics.current_usage_blocks, 4);
    EXPECT_EQ(a->statistics.peak_usage_blocks, 5);

    while (allocateBlock(a) != nullptr) {
    }
    const XportPoolAllocatorStatistics before = a->statistics;
    EXPECT_EQ(allocateBlock(a), nullptr);
    EXPECT_EQ(a->statistics.current_usage_blocks, before.current_usage_blocks);
    EXPECT_EQ(a->statistics.peak_usage_blocks, 96);
}

TEST(XportPoolDeathTest, ReleaseWithNothingInUseStops)
{
    Node n;
    XportPoolAllocatorBlock stray{};
    EXPECT_DEATH(freeBlock(&n.ins.allocator, &stray), "fatal stop");
}

// ---------------------------------------------------------------------------------------------------------
// Identifiers, CRC and segmentation

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

    EXPECT_TRUE(isPriorityHigher((0x123U << 18) | XPORT_CAN_FRAME_EFF, 0x123));
    EXPECT_FALSE(isPriorityHigher(0x123, (0x123U << 18) | XPORT_CAN_FRAME_EFF));
    EXPECT_TRUE(isPriorityHigher(0x55 | XPORT_CAN_FRAME_EFF | XPORT_CAN_FRAME_RTR, 0x55 | XPORT_CAN_FRAME_EFF));
    EXPECT_FALSE(isPriorityHigher(0x55 | XPORT_CAN_FRAME_EFF, 0x55 | XPORT_CAN_FRAME_EFF));
    EXPECT_TRUE(isPriorityHigher(0x200 | XPORT_CAN_FRAME_EFF, 0x100 | XPORT_CAN_FRAME_EFF));
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

// ---------------------------------------------------------------------------------------------------------
// Reception

TEST(XportRx, IgnoresFramesThatAreNotTransfers)
{
    Node n(10);
    const uint8_t tail = 0xC0;
    n.feed(frame(0x123, {1, tail}), 1000);                                              // standard
    n.feed(frame(0x1803E80B | XPORT_CAN_FRAME_EFF | XPORT_CAN_FRAME_RTR, {tail}), 1000);  // remote
    n.feed(frame(0x1803E80B | XPORT_CAN_FRAME_EFF | XPORT_CAN_FRAME_ERR, {tail}), 1000);  // error
    n.feed(frame(0x1803E80B | XPORT_CAN_FRAME_EFF, {}), 1000);                           // empty
    XportCANFrame oversized = frame(0x1803E80B | XPORT_CAN_FRAME_EFF, {1, 2, 3, 4, 5, 6, 7, tail});
    oversized.data_len = 15;  // a DLC above 8 must not make us read past data[7]
    n.feed(oversized, 1000);
    EXPECT_EQ(n.asked, 0);
    EXPECT_TRUE(n.delivered.empty());
    EXPECT_EQ(n.used(), 0);
}

TEST(XportRx, ServiceAddressing)
{
    Node n(10);
    // Request type 11 from node 20 to node 42, then to node 10.
    const uint32_t to42 = XPORT_CAN_FRAME_EFF | (16U << 24) | (11U << 16) | (1U << 15) | (42U << 8) | 0x80 | 20;
    const uint32_t to10 = (to42 & ~(0x7FU << 8)) | (10U << 8);
    n.feed(frame(to42, {1, 0xC0}), 1000);
    EXPECT_TRUE(n.delivered.empty());
    n.feed(frame(to10, {1, 0xC0}), 1000);
    ASSERT_EQ(n.delivered.size(), 1U);
    EXPECT_EQ(n.delivered[0].meta.transfer_type, XportTransferTypeRequest);
    EXPECT_EQ(n.delivered[0].meta.dest_node_id, 10);
    EXPECT_EQ(n.delivered[0].meta.source_node_id, 20);
    EXPECT_EQ(n.delivered[0].meta.data_type_id, 11);
    EXPECT_EQ(n.delivered[0].meta.priority, 16);

    XportCANFrame f = frame(to42, {2, 0xC1});
    xportHandleRxFrame_internal(&n.ins, &f, 2000, true);
    ASSERT_EQ(n.delivered.size(), 2U);
    EXPECT_EQ(n.delivered[1].meta.dest_node_id, 42);

    Node anon;  // while anonymous only services to node 0 would pass
    anon.feed(frame(to10, {1, 0xC0}), 1000);
    EXPECT_TRUE(anon.delivered.empty());
}

TEST(XportRx, AnonymousBroadcastCarriesTwoBitType)
{
    Node n(10);
    n.feed(frame(XPORT_CAN_FRAME_EFF | 0x1E5B5900U, {1, 2, 3, 0xC4}), 1000);
    ASSERT_EQ(n.delivered.size(), 1U);
    EXPECT_EQ(n.delivered[0].meta.data_type_id, 1);
    EXPECT_EQ(n.delivered[0].meta.source_node_id, 0);
    EXPECT_EQ(n.delivered[0].meta.transfer_id, 4);
    EXPECT_EQ(n.delivered[0].payload, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(XportRx, SingleFrameTransferIdSequence)
{
    Node n(10);
    const uint32_t id = XPORT_CAN_FRAME_EFF | 0x1803E80B;
    auto send = [&](uint8_t tid, uint64_t t) { n.feed(frame(id, {9, static_cast<uint8_t>(0xC0 | tid)}), t); };
    send(5, 1000);
    send(5, 2000);  // distance 31: restart, delivered again
    send(6, 3000);  // distance 0
    send(8, 4000);  // distance 1 from the expected 7: no restart, delivered; expects 9 next
    send(8, 5000);  // distance 31 from 9: restart, delivered
    EXPECT_EQ(n.delivered.size(), 5U);
    EXPECT_EQ(n.used(), 1);  // one state, no buffers
}

TEST(XportRx, RoundTripsAndReleasesBlocks)
{
    std::mt19937 rng(1234);
    Node rx(20);
    uint64_t now = 1'000'000;
    for (int round = 0; round < 300; ++round) {
        const uint16_t len = static_cast<uint16_t>(round < 20 ? round * 51 % 1024 : static_cast<int>(rng() % 1024));
        std::vector<uint8_t> payload(len);
        for (auto& b : payload) {
            b = static_cast<uint8_t>(rng());
        }
        for (const auto& f : transferFrames(payload, static_cast<uint8_t>(round % 32))) {
            rx.feed(f, now);
        }
        ASSERT_EQ(rx.delivered.size(), static_cast<std::size_t>(round + 1)) << "len " << len;
        EXPECT_EQ(rx.delivered.back().payload, payload);
        EXPECT_EQ(rx.used(), 1) << "only the reception state stays allocated";
        now += 10'000;
    }
    xportCleanupStaleTransfers(&rx.ins, now + 3'000'000);
    EXPECT_EQ(rx.used(), 0);
}

TEST(XportRx, PayloadGeometryOfWorkedSequences)
{
    Node rx(20);
    auto capture = [&](const std::vector<uint8_t>& payload) {
        for (const auto& f : transferFrames(payload, 0)) {
            rx.feed(f, 1000);
        }
    };

    // Geometry is checked inside the callback, while the payload is alive.
    static std::vector<uint8_t> payload20 = sequence(20);
    rx.ins.on_reception = [](XportInstance*, XportRxTransfer* t) {
        ASSERT_EQ(t->payload_len, 20);
        EXPECT_EQ(std::memcmp(t->payload_head, payload20.data(), 6), 0);
        ASSERT_NE(t->payload_middle, nullptr);
        EXPECT_EQ(t->payload_middle->next, 0);
        EXPECT_EQ(std::memcmp(t->payload_middle->data, payload20.data() + 6, 14), 0);
        EXPECT_EQ(t->payload_tail, nullptr);
    };
    capture(payload20);

    static std::vector<uint8_t> payload40 = sequence(40, 100);
    static const uint8_t* last_frame_data = nullptr;
    rx.ins.on_reception = [](XportInstance*, XportRxTransfer* t) {
        ASSERT_EQ(t->payload_len, 40);
        ASSERT_NE(t->payload_middle, nullptr);
        EXPECT_EQ(std::memcmp(t->payload_middle->data, payload40.data() + 6, 28), 0);
        ASSERT_NE(t->payload_tail, nullptr);
        EXPECT_EQ(t->payload_tail, last_frame_data + 1);
        EXPECT_EQ(std::memcmp(t->payload_tail, payload40.data() + 34, 6), 0);
    };
    const auto frames = transferFrames(payload40, 0);
    ASSERT_EQ(frames.size(), 6U);
    for (const auto& f : frames) {
        last_frame_data = f.data;
        rx.feed(f, 1000);
    }
    EXPECT_EQ(rx.used(), 1);
}

TEST(XportRx, MultiFrameSequenceRules)
{
    const auto payload = sequence(13);
    Node rx(20);
    auto deliver = [&](uint8_t tid, uint64_t t) {
        for (const auto& f : transferFrames(payload, tid)) {
            rx.feed(f, t);
        }
    };
    deliver(6, 1000);
    ASSERT_EQ(rx.delivered.size(), 1U);  // expects 7 next
    deliver(8, 2000);                    // distance 1: no restart, wrong ID: lost
    EXPECT_EQ(rx.delivered.size(), 1U);
    deliver(9, 3000);  // distance 2 from the expected 7... restart, received
    EXPECT_EQ(rx.delivered.size(), 2U);
    EXPECT_EQ(rx.used(), 1);

    // A first frame with toggle 1 is dropped.
    auto frames = transferFrames(payload, 10);
    frames[0].data[frames[0].data_len - 1] |= 0x20;
    for (const auto& f : frames) {
        rx.feed(f, 4000);
    }
    EXPECT_EQ(rx.delivered.size(), 2U);

    // A middle frame with the wrong toggle is dropped; the right one completes the transfer.
    frames = transferFrames(payload, 11);
    XportCANFrame wrong = frames[1];
    wrong.data[wrong.data_len - 1] ^= 0x20;
    rx.feed(frames[0], 5000);
    rx.feed(wrong, 5000);
    rx.feed(frames[1], 5000);
    rx.feed(frames[2], 5000);
    EXPECT_EQ(rx.delivered.size(), 3U);
    EXPECT_EQ(rx.delivered.back().payload, payload);
}

TEST(XportRx, ShortFirstFrameAndCrcMismatch)
{
    const auto payload = sequence(30);
    Node rx(20);
    auto frames = transferFrames(payload, 3);
    XportCANFrame short_first = frames[0];
    short_first.data_len = 3;
    short_first.data[2] = short_first.data[7];
    rx.feed(short_first, 1000);
    EXPECT_EQ(rx.used(), 1);
    for (const auto& f : frames) {
        rx.feed(f, 1000);  // same transfer ID accepted after the short frame
    }
    ASSERT_EQ(rx.delivered.size(), 1U);

    frames = transferFrames(payload, 4);
    frames[2].data[0] ^= 0x01;
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        rx.feed(frames[i], 2000);
    }
    EXPECT_GT(rx.used(), 1);  // blocks held while receiving
    rx.feed(frames.back(), 2000);
    EXPECT_EQ(rx.delivered.size(), 1U);
    EXPECT_EQ(rx.used(), 1);  // every buffer block back
}

TEST(XportRx, NewStartFrameDiscardsUnfinishedPayload)
{
    Node rx(20);
    const auto old_payload = sequence(30, 0xA0);
    const auto new_payload = sequence(13, 0x01);
    // Two frames of a 30-byte transfer leave the toggle expecting 0, the same as a first frame.
    const auto unfinished = transferFrames(old_payload, 4);
    for (std::size_t i = 0; i < 2; ++i) {
        rx.feed(unfinished[i], 1000);
    }
    for (const auto& f : transferFrames(new_payload, 4)) {
        rx.feed(f, 2000);
    }
    ASSERT_EQ(rx.delivered.size(), 1U);
    EXPECT_EQ(rx.delivered[0].payload, new_payload);
    EXPECT_EQ(rx.used(), 1);

    // A single frame with the expected ID in the middle of a multi-frame transfer is delivered and the
    // half-received payload is released.
    const auto half = transferFrames(old_payload, 5);
    rx.feed(half[0], 3000);
    rx.feed(half[1], 3000);
    EXPECT_GT(rx.used(), 1);
    rx.feed(frame(half[0].id, {0x77, 0xC0 | 5}), 3000);
    ASSERT_EQ(rx.delivered.size(), 2U);
    EXPECT_EQ(rx.delivered[1].payload, (std::vector<uint8_t>{0x77}));
    EXPECT_EQ(rx.used(), 1);
}

TEST(XportRx, ShortFramesFillingTheLastBlockExactly)
{
    // A sender cutting frames short: 1 byte in the first frame, then 7, 7, 7, 7 and 5 bytes fill the head
    // and exactly one block of 28. The last frame then lies wholly in the tail.
    const std::vector<uint8_t> payload = sequence(1 + 33 + 4, 0x30);
    const uint16_t crc = crcAdd(crcAddSignature(0xFFFF, kSignature), payload.data(), payload.size());
    const uint32_t id = XPORT_CAN_FRAME_EFF | 0x1803E80AU;
    Node rx(20);
    rx.feed(frame(id, {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8), payload[0], 0x80}), 1000);
    std::size_t at = 1;
    uint8_t toggle = 1;
    for (std::size_t n : {7U, 7U, 7U, 7U, 5U, 4U}) {
        std::vector<uint8_t> bytes(payload.begin() + static_cast<long>(at), payload.begin() + static_cast<long>(at + n));
        at += n;
        bytes.push_back(static_cast<uint8_t>((toggle << 5) | (at == payload.size() ? 0x40 : 0)));
        rx.feed(frame(id, bytes), 1000);
        toggle ^= 1;
    }
    ASSERT_EQ(rx.delivered.size(), 1U);
    EXPECT_EQ(rx.delivered[0].payload, payload);
    EXPECT_EQ(rx.used(), 1);
}

TEST(XportRx, RejectedAtFirstFrameAllocatesNothing)
{
    Node rx(20);
    rx.accept = false;
    for (const auto& f : transferFrames(sequence(40), 0)) {
        rx.feed(f, 1000);
    }
    EXPECT_EQ(rx.asked, 1);
    EXPECT_EQ(rx.used(), 0);
}

TEST(XportRx, TimeoutsAndClockGoingBack)
{
    const auto payload = sequence(13);
    Node rx(20);
    const auto frames = transferFrames(payload, 0);
    rx.feed(frames[0], 1'000'000);
    rx.feed(frames[1], 3'000'000);  // exactly 2 s after the first frame: still the same transfer
    rx.feed(frames[2], 3'000'000);
    EXPECT_EQ(rx.delivered.size(), 1U);

    const auto next = transferFrames(payload, 1);
    rx.feed(next[0], 4'000'000);
    rx.feed(next[1], 6'000'001);  // 2 s + 1 us: restart, transfer lost
    rx.feed(next[2], 6'000'001);
    EXPECT_EQ(rx.delivered.size(), 1U);

    // Cleanup keeps a state idle for exactly 2 s and removes it at 2 s + 1 us.
    Node c(20);
    c.feed(frame(XPORT_CAN_FRAME_EFF | 0x1803E80B, {0xC0}), 5'000'000);
    xportCleanupStaleTransfers(&c.ins, 7'000'000);
    EXPECT_EQ(c.used(), 1);
    xportCleanupStaleTransfers(&c.ins, 7'000'001);
    EXPECT_EQ(c.used(), 0);

    // A frame stamped before the state's time restarts it as if timed out; cleanup at an earlier time
    // frees states stamped later.
    const auto stepped = transferFrames(payload, 2);
    rx.feed(stepped[0], 9'000'000);
    rx.feed(stepped[1], 8'999'999);
    rx.feed(stepped[2], 8'999'999);
    EXPECT_EQ(rx.delivered.size(), 1U);
    xportCleanupStaleTransfers(&rx.ins, 1'000'000);
    EXPECT_EQ(rx.used(), 0);
    c.feed(frame(XPORT_CAN_FRAME_EFF | 0x1803E80B, {0xC0}), 9'000'000);
    xportCleanupStaleTransfers(&c.ins, 1'000'000);
    EXPECT_EQ(c.used(), 0);
}

TEST(XportRx, OversizedTransferIsDroppedCleanly)
{
    // 1030 bytes cannot be held by the 10-bit length: dropped, pool back, next transfer fine.
    Node rx(20);
    for (const auto& f : transferFrames(sequence(1030), 0)) {
        rx.feed(f, 1000);
    }
    EXPECT_TRUE(rx.delivered.empty());
    EXPECT_EQ(rx.used(), 1);
    const auto ok = sequence(1023);
    for (const auto& f : transferFrames(ok, 1)) {
        rx.feed(f, 2000);
    }
    ASSERT_EQ(rx.delivered.size(), 1U);
    EXPECT_EQ(rx.delivered[0].payload, ok);
}

TEST(XportRx, PoolExhaustionAbandonsTransfer)
{
    Node rx(20, 4 * 32);  // reception's share: one state + two buffer blocks
    for (const auto& f : transferFrames(sequence(100), 0)) {
        rx.feed(f, 1000);
    }
    EXPECT_TRUE(rx.delivered.empty());
    EXPECT_EQ(rx.used(), 1);
    for (const auto& f : transferFrames(sequence(40), 1)) {
        rx.feed(f, 2000);
    }
    EXPECT_EQ(rx.delivered.size(), 1U);
}

TEST(XportRx, FloodOfCutOffTransfersLeavesTheNodeItsThird)
{
    Node n(20);
    const auto cut_off = transferFrames(sequence(20), 0);  // three frames: only the first two are sent
    auto from = [](XportCANFrame f, uint8_t source) {
        f.id = (f.id & ~0x7FU) | source;
        return f;
    };
    uint64_t t = 1000;
    for (uint8_t source = 1; source <= 100; ++source) {  // each would hold a state and a buffer block
        n.feed(from(cut_off[0], source), t);
        n.feed(from(cut_off[1], source), t);
        t += 100;
    }
    EXPECT_EQ(n.used(), 64) << "reception holds two thirds of the 96 blocks";
    EXPECT_EQ(n.ins.stats.rx_errors, 100U - 32U) << "each transfer given up for a newer one is a loss";

    uint8_t tid = 0;
    const auto payload = sequence(222);  // 2 + 222 bytes: 32 frames
    EXPECT_EQ(xportBroadcast(&n.ins, 0, 1000, &tid, 24, payload.data(), 222), 32);
    EXPECT_EQ(xportBroadcast(&n.ins, 0, 1000, &tid, 24, payload.data(), 1), -XPORT_ERROR_OUT_OF_MEMORY);

    // With the pool full, the newest transfer still completes, at the expense of the stalest.
    for (const auto& f : cut_off) {
        n.feed(from(f, 127), t);
    }
    ASSERT_EQ(n.delivered.size(), 1U);
    EXPECT_EQ(n.delivered[0].payload, sequence(20));
    EXPECT_EQ(n.used(), 32 + 63) << "the stalest state and its block went, the new state stays";

    EXPECT_EQ(n.drain().size(), 32U);
    xportCleanupStaleTransfers(&n.ins, t + 3'000'000);
    EXPECT_EQ(n.used(), 0);
    EXPECT_EQ(n.ins.allocator.statistics.peak_usage_blocks, 96);
}

// ---------------------------------------------------------------------------------------------------------
// Bit codec

TEST(XportCodec, EncodeWorkedExamples)
{
    struct Case {
        uint32_t offset;
        uint8_t bits;
        uint64_t value;
        std::vector<uint8_t> before;
        std::vector<uint8_t> after;
    } cases[] = {
        {5, 3, 5, {0, 0}, {0x05, 0x00}},
        {6, 3, 7, {0, 0}, {0x03, 0x80}},
        {0, 12, 0xABC, {0, 0}, {0xBC, 0xA0}},
        {4, 12, 0xABC, {0, 0, 0}, {0x0B, 0xCA, 0x00}},
        {0, 16, 0x1234, {0, 0}, {0x34, 0x12}},
        {3, 16, 0x1234, {0, 0, 0}, {0x06, 0x82, 0x40}},
        {0, 14, 0x3FFF, {0, 0}, {0xFF, 0xFC}},  // -1 as int14
        {0, 14, 8191, {0, 0}, {0xFF, 0x7C}},
        {0, 14, 0x2000, {0, 0}, {0x00, 0x80}},  // -8192
        {5, 3, 0, {0xFF}, {0xF8}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buf = c.before;
        xportEncodeScalar(buf.data(), c.offset, c.bits, &c.value);  // little-endian host: low bytes first
        EXPECT_EQ(buf, c.after) << "offset " << c.offset << " bits " << int(c.bits);
    }
    int16_t minus_one = -1;
    uint8_t out[2] = {};
    xportEncodeScalar(out, 0, 14, &minus_one);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xFC);
}

TEST(XportCodec, DecodeSignedAndShortReads)
{
    const uint8_t b1[] = {0x00, 0x80};
    XportRxTransfer t = contiguous(b1, 2);
    int16_t s16 = 0;
    EXPECT_EQ(xportDecodeScalar(&t, 0, 14, true, &s16), 14);
    EXPECT_EQ(s16, -8192);

    const uint8_t b2[] = {0xA0};
    t = contiguous(b2, 1);
    int8_t s8 = 0;
    EXPECT_EQ(xportDecodeScalar(&t, 0, 3, true, &s8), 3);
    EXPECT_EQ(s8, -3);

    const uint8_t nine[9] = {0, 0, 0, 0, 0, 0, 0, 0xAB, 0xCD};
    t = contiguous(nine, 9);
    uint8_t u8 = 0x11;
    EXPECT_EQ(xportDecodeScalar(&t, 60, 8, false, &u8), 8);
    EXPECT_EQ(u8, 0xBC);
    EXPECT_EQ(xportDecodeScalar(&t, 68, 8, false, &u8), 4);
    EXPECT_EQ(u8, 0xD0);
    u8 = 0x11;
    EXPECT_EQ(xportDecodeScalar(&t, 72, 8, false, &u8), 0);
    EXPECT_EQ(u8, 0x11);

    uint64_t u64 = 0;
    EXPECT_EQ(xportDecodeScalar(&t, 0, 65, false, &u64), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportDecodeScalar(&t, 0, 1, true, &u8), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportDecodeScalar(&t, 0, 0, false, &u8), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportDecodeScalar(nullptr, 0, 8, false, &u8), -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(xportDecodeScalar(&t, 0, 8, false, nullptr), -XPORT_ERROR_INVALID_ARGUMENT);
}

TEST(XportCodec, RandomScalarsRoundTripAtEveryOffset)
{
    std::mt19937_64 rng(99);
    for (int i = 0; i < 5000; ++i) {
        const uint8_t bits = static_cast<uint8_t>(1 + rng() % 64);
        const uint32_t offset = static_cast<uint32_t>(rng() % 40);
        const bool is_signed = bits > 1 && (rng() & 1);
        const uint64_t mask = bits == 64 ? ~0ULL : ((1ULL << bits) - 1);
        const uint64_t value = rng() & mask;
        uint8_t buf[16];
        std::memset(buf, static_cast<int>(rng() & 0xFF), sizeof(buf));
        const std::vector<uint8_t> before(buf, buf + 16);
        xportEncodeScalar(buf, offset, bits, &value);
        // Bits outside the field are untouched.
        for (uint32_t b = 0; b < 128; ++b) {
            if (b < offset || b >= offset + bits) {
                ASSERT_EQ((buf[b / 8] >> (7 - b % 8)) & 1, (before[b / 8] >> (7 - b % 8)) & 1);
            }
        }
        XportRxTransfer t = contiguous(buf, 16);
        uint64_t out = 0;
        ASSERT_EQ(xportDecodeScalar(&t, offset, bits, is_signed, &out), bits);
        const uint8_t width = bits <= 8 ? 1 : bits <= 16 ? 2 : bits <= 32 ? 4 : 8;
        uint64_t expected = value;
        if (is_signed && ((value >> (bits - 1)) & 1)) {
            expected |= ~mask;
        }
        if (width < 8) {
            expected &= (1ULL << (8 * width)) - 1;
        }
        ASSERT_EQ(out, expected) << int(bits) << "@" << offset;
    }
}

TEST(XportCodec, FieldsStraddleHeadBlocksAndTail)
{
    // 68-byte payload: head 6, two full blocks of 28, then 6 bytes left in the last frame as the tail.
    static std::vector<uint8_t> payload;
    payload.resize(68);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    Node rx(20);
    rx.ins.on_reception = [](XportInstance*, XportRxTransfer* t) {
        const XportRxTransfer flat = contiguous(payload.data(), static_cast<uint16_t>(payload.size()));
        ASSERT_NE(t->payload_tail, nullptr);
        for (uint32_t offset = 0; offset + 1 < payload.size() * 8; offset += 3) {
            for (uint8_t bits : {uint8_t{7}, uint8_t{16}, uint8_t{29}, uint8_t{64}}) {
                for (bool is_signed : {false, true}) {
                    uint64_t a = 0;
                    uint64_t b = 0;
                    const int ra = xportDecodeScalar(t, offset, bits, is_signed, &a);
                    const int rb = xportDecodeScalar(&flat, offset, bits, is_signed, &b);
                    ASSERT_EQ(ra, rb);
                    ASSERT_EQ(a, b) << offset << "/" << int(bits) << (is_signed ? " signed" : "");
                }
            }
        }
        // Whole bytes across the pieces, up to the payload's end and no further.
        for (uint16_t first = 0; first <= payload.size(); first += 5) {
            uint8_t out[80] = {};
            const uint16_t got = xportReadPayloadBytes(t, first, 70, out);
            ASSERT_EQ(got, payload.size() - first) << first;
            ASSERT_TRUE(std::equal(out, out + got, payload.begin() + first)) << first;
            ASSERT_EQ(out[got], 0) << first;
        }
    };
    for (const auto& f : transferFrames(payload, 0)) {
        rx.feed(f, 1000);
    }
}

TEST(XportCodec, Float16Conversion)
{
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0x3C00), 1.0f);
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0xC000), -2.0f);
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0x7BFF), 65504.0f);
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0x3555), 0.333251953125f);
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0x0001), std::ldexp(1.0f, -24));
    EXPECT_EQ(xportConvertFloat16ToNativeFloat(0x0400), std::ldexp(1.0f, -14));
    EXPECT_TRUE(std::isinf(xportConvertFloat16ToNativeFloat(0x7C00)));
    EXPECT_GT(xportConvertFloat16ToNativeFloat(0x7C00), 0.0f);
    EXPECT_LT(xportConvertFloat16ToNativeFloat(0xFC00), 0.0f);
    EXPECT_TRUE(std::isinf(xportConvertFloat16ToNativeFloat(0xFC00)));
    EXPECT_TRUE(std::isnan(xportConvertFloat16ToNativeFloat(0x7E00)));
    const float nz = xportConvertFloat16ToNativeFloat(0x8000);
    EXPECT_EQ(nz, 0.0f);
    EXPECT_TRUE(std::signbit(nz));
}

TEST(XportCodecDeathTest, EncodeRejectsBadLength)
{
    uint8_t buf[16] = {};
    uint64_t v = 0;
    EXPECT_DEATH(xportEncodeScalar(buf, 0, 0, &v), "fatal stop");
    EXPECT_DEATH(xportEncodeScalar(buf, 0, 65, &v), "fatal stop");
}

// ---------------------------------------------------------------------------------------------------------
// Counters

TEST(XportStats, TransfersSentDeliveredAndLost)
{
    Node tx(10);
    uint8_t tid = 0;
    const auto payload = sequence(13);
    EXPECT_GT(xportBroadcast(&tx.ins, kSignature, 1000, &tid, 24, payload.data(), 3), 0);
    EXPECT_GT(xportBroadcast(&tx.ins, kSignature, 1000, &tid, 24, payload.data(), 13), 0);
    EXPECT_EQ(tx.ins.stats.transfers_tx, 2U) << "a transfer counts once, whatever its frames";
    Node tiny(10, 32);
    EXPECT_LT(xportBroadcast(&tiny.ins, kSignature, 1000, &tid, 24, payload.data(), 13), 0);
    EXPECT_EQ(tiny.ins.stats.transfers_tx, 0U) << "one not queued whole is not counted";

    Node rx(20);
    auto frames = transferFrames(payload, 0);
    ASSERT_EQ(frames.size(), 3U);
    for (const auto& f : frames) {
        rx.feed(f, 1000);
    }
    EXPECT_EQ(rx.ins.stats.transfers_rx, 1U);
    EXPECT_EQ(rx.ins.stats.rx_errors, 0U);

    frames = transferFrames(payload, 1);  // bad CRC
    frames[1].data[0] ^= 0x01;
    for (const auto& f : frames) {
        rx.feed(f, 2000);
    }
    EXPECT_EQ(rx.ins.stats.rx_errors, 1U);

    frames = transferFrames(payload, 2);  // a middle frame with the wrong toggle, then the right ones
    XportCANFrame wrong = frames[1];
    wrong.data[wrong.data_len - 1] ^= 0x20;
    rx.feed(frames[0], 3000);
    rx.feed(wrong, 3000);
    rx.feed(frames[1], 3000);
    rx.feed(frames[2], 3000);
    EXPECT_EQ(rx.ins.stats.rx_errors, 2U);
    EXPECT_EQ(rx.ins.stats.transfers_rx, 2U);

    frames = transferFrames(payload, 3);  // the rest arrives after the transfer timed out: both frames lost
    rx.feed(frames[0], 4000);
    rx.feed(frames[1], 4000 + 3000000);
    rx.feed(frames[2], 4000 + 3000000);
    EXPECT_EQ(rx.ins.stats.rx_errors, 4U);

    Node small(20, 4 * 32);  // reception's share, a state and two buffer blocks: 100 bytes do not fit
    for (const auto& f : transferFrames(sequence(100), 0)) {
        small.feed(f, 1000);
    }
    // The frame that found no block, then each of the five later frames of the abandoned transfer.
    EXPECT_EQ(small.ins.stats.rx_errors, 6U);
    EXPECT_EQ(small.ins.stats.transfers_rx, 0U);
}
