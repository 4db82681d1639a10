#include "tests/unit/xport_harness.hpp"

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

// Any first frame with another ID than the expected one starts a new transfer, the ID of the transfer just
// received too.
TEST(XportRx, SingleFrameTransferIdSequence)
{
    Node n(10);
    const uint32_t id = XPORT_CAN_FRAME_EFF | 0x1803E80B;
    auto send = [&](uint8_t tid, uint64_t t) {
        const std::size_t before = n.delivered.size();
        n.feed(frame(id, {9, static_cast<uint8_t>(0xC0 | tid)}), t);
        return n.delivered.size() - before;
    };
    EXPECT_EQ(send(5, 1000), 1U);
    EXPECT_EQ(send(5, 2000), 1U) << "the transfer just received, again";
    EXPECT_EQ(send(6, 3000), 1U);
    EXPECT_EQ(send(8, 4000), 1U) << "7 was lost";
    EXPECT_EQ(send(8, 5000), 1U);
    EXPECT_EQ(send(10, 6000), 1U) << "IDs stepping by 2";
    EXPECT_EQ(send(12, 7000), 1U);
    EXPECT_EQ(send(31, 8000), 1U);
    EXPECT_EQ(send(0, 9000), 1U) << "the IDs wrap";
    EXPECT_EQ(n.ins.stats.rx_errors, 0U);
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
        const std::size_t before = rx.delivered.size();
        for (const auto& f : transferFrames(payload, tid)) {
            rx.feed(f, t);
        }
        return rx.delivered.size() - before;
    };
    EXPECT_EQ(deliver(6, 1000), 1U);  // expects 7 next
    EXPECT_EQ(deliver(8, 2000), 1U) << "7 was lost: costs 7 only";
    EXPECT_EQ(deliver(8, 2500), 1U) << "the transfer just received, again";
    EXPECT_EQ(deliver(11, 3000), 1U) << "9 and 10 lost";
    EXPECT_EQ(deliver(30, 3500), 1U);
    EXPECT_EQ(deliver(0, 3600), 1U) << "31 lost, across the IDs' wrap";
    EXPECT_EQ(rx.used(), 1);

    // A transfer whose last frame was lost, then the next one: the new first frame starts it.
    auto frames = transferFrames(payload, 1);
    rx.feed(frames[0], 3700);
    rx.feed(frames[1], 3700);
    EXPECT_EQ(deliver(2, 3800), 1U);

    // Repeated frames of the transfer in progress restart nothing: a first frame (its toggle is wrong
    // then) and a middle frame.
    frames = transferFrames(payload, 3);
    rx.feed(frames[0], 3900);
    rx.feed(frames[0], 3900);
    rx.feed(frames[1], 3900);
    rx.feed(frames[1], 3900);
    rx.feed(frames[2], 3900);
    ASSERT_EQ(rx.delivered.size(), 8U);
    EXPECT_EQ(rx.delivered.back().payload, payload);

    // A first frame with toggle 1 is dropped.
    frames = transferFrames(payload, 4);
    frames[0].data[frames[0].data_len - 1] |= 0x20;
    rx.feed(frames[0], 4000);
    rx.feed(frames[1], 4000);
    EXPECT_EQ(rx.delivered.size(), 8U);

    // A middle frame with the wrong toggle is dropped; the right one completes the transfer.
    frames = transferFrames(payload, 5);
    XportCANFrame wrong = frames[1];
    wrong.data[wrong.data_len - 1] ^= 0x20;
    rx.feed(frames[0], 5000);
    rx.feed(wrong, 5000);
    rx.feed(frames[1], 5000);
    rx.feed(frames[2], 5000);
    EXPECT_EQ(rx.delivered.size(), 9U);
    EXPECT_EQ(rx.delivered.back().payload, payload);
}

// Time 0 is a time like any other (the node's first millisecond): a stream's state is marked used by its
// birth, not by a timestamp that is not 0.
TEST(XportRx, TransfersAtTimeZero)
{
    Node rx(20);
    const auto payload = sequence(13);
    for (const auto& f : transferFrames(payload, 0)) {
        rx.feed(f, 0);
    }
    ASSERT_EQ(rx.delivered.size(), 1U);
    EXPECT_EQ(rx.delivered[0].payload, payload);
    EXPECT_EQ(rx.delivered[0].meta.timestamp_usec, 0U);
    for (const auto& f : transferFrames(payload, 1)) {
        rx.feed(f, 0);
    }
    EXPECT_EQ(rx.delivered.size(), 2U);
    EXPECT_EQ(rx.ins.stats.rx_errors, 0U);
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

// A reception carries the signature acceptance gave its own first frame, also when another transfer's first
// frame came between its frames.
TEST(XportRx, ATransferKeepsItsSignatureAcrossAnotherOnesStart)
{
    Node rx(20);
    rx.ins.should_accept = [](const XportInstance*, uint64_t* sig, uint16_t type, XportTransferType, uint8_t) {
        *sig = type == 1000 ? kSignature : ~kSignature;
        return true;
    };
    const auto frames = transferFrames(sequence(20), 0);
    ASSERT_GT(frames.size(), 1U);
    rx.feed(frames[0], 1000);
    rx.feed(frame(XPORT_CAN_FRAME_EFF | (24U << 24) | (2000U << 8) | 11U, {0x01, 0xC0}), 1000);
    for (std::size_t i = 1; i < frames.size(); ++i) {
        rx.feed(frames[i], 1000);
    }
    ASSERT_EQ(rx.delivered.size(), 2U);
    EXPECT_EQ(rx.delivered[0].meta.data_type_signature, ~kSignature);
    EXPECT_EQ(rx.delivered[1].meta.data_type_signature, kSignature);
}
