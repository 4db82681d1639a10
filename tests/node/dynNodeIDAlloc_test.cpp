// Dynamic node-ID allocation on the simulated chip: port 1 starts without a node ID and asks an allocator
// played by the test; ports 0 and 2 keep their configured IDs. One power-on per test (one process each).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/board/kernel.hpp"
#include "firmware/node/params.hpp"
#include "firmware/node/ports.hpp"
#include "platform/sim/sim.hpp"
#include "sitl/node_runner.hpp"
#include "sitl/bus_transfers.hpp"
#include "tests/node/node_fixture.hpp"

namespace {

constexpr uint64_t kMs = 1000000;  // ns
constexpr uint64_t kSlackNs = 2 * kMs;  // a few passes of the loop and a frame on the bus
using bus::kAllocationId;
using bus::kAllocationSignature;
using bus::kNodeStatusId;

constexpr uint8_t kAllocator = 10;
constexpr unsigned kPort = 1;

// Bytes 0..11 are the chip's three ID words, least significant byte first; 12..15 are always zero.
const std::vector<uint8_t> kUid = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0, 0, 0, 0};

struct Request {
    uint8_t node_id;
    bool first_part;
    std::vector<uint8_t> unique_id;
    bus::Transfer transfer;
};

class AllocationTest : public nodetest::NodeFixture {
protected:
    void SetUp() override
    {
        NodeFixture::SetUp();
        nodetest::storeParameter(Var_NETID1, 0);
    }

    // The anonymous allocation requests the node has sent on the port so far.
    static std::vector<Request> requests()
    {
        std::vector<std::pair<sim::CanFrame, uint64_t>> frames;
        for (const auto& f : bus::nodeFrames(kPort)) {
            if ((f.first.id & 0x7FU) == 0 && !bus::isService(f.first.id) && ((f.first.id >> 8) & 3U) == kAllocationId) {
                frames.push_back(f);
            }
        }
        std::vector<Request> out;
        for (const bus::Transfer& t : bus::transfersOf(frames)) {
            Request r{static_cast<uint8_t>(t.payload.at(0) >> 1), (t.payload.at(0) & 1U) != 0,
                      std::vector<uint8_t>(t.payload.begin() + 1, t.payload.end()), t};
            out.push_back(r);
        }
        return out;
    }

    // Runs until the node has sent `count` requests in all; false if it has not by `until_ns`.
    static bool runUntilRequests(std::size_t count, uint64_t until_ns)
    {
        while (sim::nowNs() < until_ns) {
            sitl::runUntilNs(sim::nowNs() + 100000);
            if (requests().size() >= count) {
                return true;
            }
        }
        return false;
    }

    // An allocation message from `source` (the allocator, or 0 for another node asking), sent now. Returns
    // the time its last frame is on the bus.
    uint64_t sendAllocation(uint8_t source, uint8_t node_id, const std::vector<uint8_t>& uid_bytes,
                            bool first_part = false)
    {
        std::vector<uint8_t> payload = {static_cast<uint8_t>((node_id << 1) | (first_part ? 1 : 0))};
        payload.insert(payload.end(), uid_bytes.begin(), uid_bytes.end());
        return sendRaw(source, payload);
    }

    uint64_t sendRaw(uint8_t source, const std::vector<uint8_t>& payload)
    {
        const uint32_t id = source == 0 ? bus::anonymousId(24, kAllocationId, payload)
                                        : bus::messageId(24, kAllocationId, source);
        for (const sim::CanFrame& f : bus::framesOf(id, tid++, payload, kAllocationSignature)) {
            peers[kPort]->send(f);
        }
        while (peers[kPort]->pending() > 0) {
            sitl::pass();
        }
        return peers[kPort]->sent.back().endNs;
    }

    static std::vector<uint8_t> uid(std::size_t from, std::size_t to)
    {
        return std::vector<uint8_t>(kUid.begin() + static_cast<long>(from), kUid.begin() + static_cast<long>(to));
    }

    static std::vector<bus::Transfer> nodeStatus(unsigned port)
    {
        std::vector<bus::Transfer> out;
        for (const bus::Transfer& t : bus::transfersOf(bus::nodeFrames(port))) {
            if (!bus::isService(t.can_id) && bus::dataTypeOfMessage(t.can_id) == kNodeStatusId) {
                out.push_back(t);
            }
        }
        return out;
    }

    uint8_t tid = 0;
};

TEST_F(AllocationTest, ThreeStagesAgainstAnAllocatorWhileTheOtherPortsServe)
{
    const std::vector<sitl::LoggedFrame> expected = nodetest::vectorFrames("allocation_anon_requests.log");
    ASSERT_EQ(expected.size(), 3U);
    sitl::powerOn();
    EXPECT_EQ(nodetest::port(kPort).NodeID, 0);

    // Stage 1: node ID 0 (no preference), first part, bytes 0..5, 600..1000 ms after start.
    ASSERT_TRUE(runUntilRequests(1, 1100 * kMs));
    std::vector<Request> r = requests();
    EXPECT_GE(r[0].transfer.end_ns, 600 * kMs);
    EXPECT_LE(r[0].transfer.end_ns, 1000 * kMs + kSlackNs);
    EXPECT_EQ(bus::nodeFrames(kPort).size(), 1U) << "nothing else leaves an anonymous port";
    const sim::CanFrame first = bus::nodeFrames(kPort)[0].first;
    EXPECT_TRUE(first == expected[0].frame) << "the independent implementation's first request, to the bit";

    // Stage 2 after 6 confirmed bytes: 0..400 ms later, bytes 6..11, first-part flag clear.
    uint64_t answered = sendAllocation(kAllocator, 0, uid(0, 6));
    ASSERT_TRUE(runUntilRequests(2, answered + 500 * kMs));
    r = requests();
    EXPECT_LE(r[1].transfer.end_ns - answered, 400 * kMs + kSlackNs);
    EXPECT_TRUE(bus::nodeFrames(kPort)[1].first == expected[1].frame);

    // Stage 3 after 12 (a two-frame answer): the last four bytes, which are zero on this chip.
    answered = sendAllocation(kAllocator, 0, uid(0, 12));
    ASSERT_TRUE(runUntilRequests(3, answered + 500 * kMs));
    r = requests();
    EXPECT_LE(r[2].transfer.end_ns - answered, 400 * kMs + kSlackNs);
    const std::vector<uint8_t> stage3 = {0x00, 0, 0, 0, 0};
    EXPECT_EQ(r[2].transfer.payload, stage3);
    EXPECT_EQ(r[2].transfer.can_id, bus::anonymousId(24, kAllocationId, stage3));
    EXPECT_EQ(r[2].transfer.transfer_id, 2);
    // The framing helper agrees with the independent frames it could not have produced itself.
    EXPECT_EQ(expected[2].frame.id, bus::anonymousId(24, kAllocationId, {0x00, 0x0C, 0x0D, 0x0E, 0x0F}));

    // The final answer (three frames) carries node ID 42: the port switches to full service.
    answered = sendAllocation(kAllocator, 42, kUid);
    sitl::runUntilNs(answered + 1100 * kMs);
    EXPECT_EQ(nodetest::port(kPort).NodeID, 42);
    EXPECT_EQ(xportGetLocalNodeID(&nodetest::port(kPort).xport), 42);
    const auto status = nodeStatus(kPort);
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status[0].can_id, bus::messageId(24, kNodeStatusId, 42));
    EXPECT_LE(status[0].end_ns - answered, 1000 * kMs);
    EXPECT_EQ(requests().size(), 3U) << "no more requests once allocated";

    // Ports 0 and 2 were served the whole time.
    const uint64_t seconds = sim::nowNs() / (1000 * kMs);
    for (unsigned port : {0U, 2U}) {
        EXPECT_GE(nodeStatus(port).size(), seconds - 1);
        EXPECT_LE(nodeStatus(port).size(), seconds);
    }
    EXPECT_EQ(nodeStatus(0)[0].can_id, bus::messageId(24, kNodeStatusId, 110));
}

TEST_F(AllocationTest, WithoutAnAllocatorFirstStageRequestsRepeat)
{
    sitl::powerOn();
    sitl::runUntilNs(8000 * kMs);
    const std::vector<Request> r = requests();
    ASSERT_GE(r.size(), 8U);
    for (std::size_t i = 0; i < r.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r[i].node_id, 0);
        EXPECT_TRUE(r[i].first_part);
        EXPECT_EQ(r[i].unique_id, uid(0, 6));
        EXPECT_EQ(r[i].transfer.transfer_id, i % 32);
        if (i > 0) {
            const uint64_t gap = r[i].transfer.end_ns - r[i - 1].transfer.end_ns;
            EXPECT_GE(gap, 600 * kMs);
            EXPECT_LE(gap, 1000 * kMs + kSlackNs);
        }
    }
    EXPECT_TRUE(nodeStatus(kPort).empty());
    EXPECT_EQ(nodetest::port(kPort).NodeID, 0);
}

TEST_F(AllocationTest, RequestPeriodHoldsAcrossTheTickWrap)
{
    sitl::powerOn();
    osTickCount = 0xFFFFFFFFU - 700U;  // the first request falls due after the 32-bit tick wraps
    sitl::runUntilNs(5000 * kMs);
    const std::vector<Request> r = requests();
    ASSERT_GE(r.size(), 5U);
    EXPECT_GE(r[0].transfer.end_ns, 600 * kMs);
    for (std::size_t i = 1; i < r.size(); ++i) {
        EXPECT_GE(r[i].transfer.end_ns - r[i - 1].transfer.end_ns, 600 * kMs) << i;
    }
}

TEST_F(AllocationTest, OtherNodesRequestsPushBackAndRestartTheExchange)
{
    sitl::powerOn();
    ASSERT_TRUE(runUntilRequests(1, 1100 * kMs));
    sendAllocation(kAllocator, 0, uid(0, 6));
    // Before the follow-up is due, another anonymous node asks for itself.
    const uint64_t other = sendAllocation(0, 0, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}, true);
    ASSERT_TRUE(runUntilRequests(2, other + 1100 * kMs));
    const Request next = requests()[1];
    EXPECT_TRUE(next.first_part) << "the exchange starts over";
    EXPECT_EQ(next.unique_id, uid(0, 6));
    EXPECT_GE(next.transfer.end_ns - other, 600 * kMs);
    EXPECT_LE(next.transfer.end_ns - other, 1000 * kMs + kSlackNs);
}

TEST_F(AllocationTest, ForeignMalformedAndEmptyAnswersAreNeverTaken)
{
    sitl::powerOn();
    ASSERT_TRUE(runUntilRequests(1, 1100 * kMs));
    std::size_t seen = 1;
    auto nextRequest = [&](uint64_t after) {
        EXPECT_TRUE(runUntilRequests(seen + 1, after + 1100 * kMs));
        ++seen;
        return requests()[seen - 1];
    };

    // Another node's unique ID: back to the first part, after the usual 600..1000 ms.
    uint64_t at = sendAllocation(kAllocator, 0, {0, 1, 2, 3, 4, 0xEE});
    Request r = nextRequest(at);
    EXPECT_TRUE(r.first_part);
    EXPECT_GE(r.transfer.end_ns - at, 600 * kMs);

    // An answer with no unique-ID bytes matches nothing in particular: first part again, 0..400 ms later.
    at = sendAllocation(kAllocator, 0, {});
    r = nextRequest(at);
    EXPECT_TRUE(r.first_part);
    EXPECT_LE(r.transfer.end_ns - at, 400 * kMs + kSlackNs);

    // The whole ID matched, but node ID 0 is no allocation.
    at = sendAllocation(kAllocator, 0, kUid);
    r = nextRequest(at);
    EXPECT_TRUE(r.first_part);
    EXPECT_EQ(nodetest::port(kPort).NodeID, 0);

    // Seventeen unique-ID bytes whose first sixteen match: no allocator sends that; dropped.
    std::vector<uint8_t> too_long = kUid;
    too_long.push_back(0x55);
    at = sendAllocation(kAllocator, 42, too_long);
    // An empty payload (a lone tail byte) from the allocator: dropped too.
    sendRaw(kAllocator, {});
    r = nextRequest(at);
    EXPECT_TRUE(r.first_part);
    EXPECT_EQ(nodetest::port(kPort).NodeID, 0);
    EXPECT_EQ(xportGetLocalNodeID(&nodetest::port(kPort).xport), 0);

    // Three stages done right still work after all that.
    at = sendAllocation(kAllocator, 0, uid(0, 6));
    r = nextRequest(at);
    EXPECT_EQ(r.unique_id, uid(6, 12));
    at = sendAllocation(kAllocator, 0, uid(0, 12));
    r = nextRequest(at);
    EXPECT_EQ(r.unique_id, uid(12, 16));
    at = sendAllocation(kAllocator, 43, kUid);
    sitl::runUntilNs(at + 10 * kMs);
    EXPECT_EQ(nodetest::port(kPort).NodeID, 43);
}

TEST_F(AllocationTest, AllocationMessagesOnAConfiguredPortChangeNothing)
{
    nodetest::storeParameter(Var_NETID1, 111);
    sitl::powerOn();
    sitl::runUntilNs(100 * kMs);
    sendAllocation(kAllocator, 42, kUid);
    sendAllocation(0, 0, uid(0, 6), true);
    sitl::runUntilNs(3100 * kMs);
    EXPECT_EQ(nodetest::port(kPort).NodeID, 111);
    EXPECT_EQ(xportGetLocalNodeID(&nodetest::port(kPort).xport), 111);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(nodeStatus(kPort).size(), 3U);
}

}  // namespace
