// The parameter server and GetNodeInfo over the simulated buses, as a client (node 10) sees them, checked
// against the frame vectors. A power cycle powers the node on again in the same process, on the same flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/board/app_descriptor.hpp"
#include "firmware/board/boot_handoff.hpp"
#include "firmware/drivers/bxcan.hpp"
#include "firmware/node/params.hpp"
#include "firmware/node/ports.hpp"
#include "firmware/node/rcpwm.hpp"
#include "firmware/node/services.hpp"
#include "platform/sim/sim.hpp"
#include "platform/sim/sim_flash.hpp"
#include "sitl/node_runner.hpp"
#include "sitl/bus_transfers.hpp"
#include "tests/node/fc_payloads.hpp"
#include "tests/node/getset_payloads.hpp"
#include "tests/node/node_fixture.hpp"
#include "tests/node/update_images.hpp"

// Present only in a build with coverage counters (whose link asks for it: a weak reference alone would not
// take it from the library).

namespace {

constexpr uint64_t kMs = 1000000;  // ns
using bus::kGetNodeInfoId;
using bus::kGetNodeInfoSignature;
using bus::kGetSetId;
using bus::kGetSetSignature;
using bus::kRestartNodeId;
using bus::kRestartNodeSignature;
using nodetest::kNodeIds;

constexpr uint8_t kClient = 10;

constexpr uint32_t kGetTransportStatsId = 4;
constexpr uint64_t kGetTransportStatsSignature = 0xBE6F76A7EC312B04ULL;
constexpr uint32_t kExecuteOpcodeId = 10;
constexpr uint64_t kExecuteOpcodeSignature = 0x3B131AC5EB69D2CDULL;
const std::vector<uint8_t> kRightMagic(std::begin(bus::kRestartMagic), std::end(bus::kRestartMagic));
const std::vector<uint8_t> kOk = {0x80};
const std::vector<uint8_t> kNotOk = {0x00};

// ExecuteOpcode request: opcode, 48-bit argument 0. Answer: argument 0, then ok in the top bit.
std::vector<uint8_t> opcode(uint8_t op) { return {op, 0, 0, 0, 0, 0, 0}; }
std::vector<uint8_t> opcodeAnswer(bool ok) { return {0, 0, 0, 0, 0, 0, static_cast<uint8_t>(ok ? 0x80 : 0)}; }

std::vector<uint8_t> le48(uint64_t v)
{
    std::vector<uint8_t> out;
    for (int i = 0; i < 6; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    return out;
}

using namespace getset;

class ServicesTest : public nodetest::NodeFixture {
protected:
    // A first life of the node: powered on, 10 ms in, then `life`, which says whether all went as
    // expected; then the power goes off and on again (flash, time and buses go on) and the second life
    // begins.
    void firstLifeThenPowerCycle(const std::function<bool()>& life)
    {
        sitl::powerOn();
        sitl::runUntilNs(10 * kMs);
        ASSERT_TRUE(life()) << "first life";
        sim::powerCycle();
        sitl::powerOn();
    }

    // The node's service responses of one type on a port, in order.
    static std::vector<bus::Transfer> responses(unsigned port, uint32_t dtid)
    {
        std::vector<bus::Transfer> out;
        for (const bus::Transfer& t : bus::transfersOf(bus::nodeFrames(port))) {
            if (bus::isService(t.can_id) && (t.can_id & (1U << 15)) == 0 && bus::dataTypeOfService(t.can_id) == dtid) {
                out.push_back(t);
            }
        }
        return out;
    }

    void sendFrames(unsigned port, const std::vector<sim::CanFrame>& frames)
    {
        for (const sim::CanFrame& f : frames) {
            peers[port]->send(f);
        }
    }

    // Sends a request and runs until the node's answer; an empty transfer (no frames) if none comes.
    bus::Transfer call(unsigned port, uint32_t dtid, uint64_t signature, const std::vector<uint8_t>& payload,
                       uint8_t tid = 0, uint8_t prio = 30)
    {
        const std::size_t before = responses(port, dtid).size();
        sendFrames(port, bus::framesOf(bus::serviceId(prio, dtid, true, kNodeIds[port], kClient), tid, payload,
                                       signature));
        const uint64_t until = sim::nowNs() + 50 * kMs;
        while (sim::nowNs() < until && responses(port, dtid).size() == before) {
            sitl::runUntilNs(sim::nowNs() + 100000);
        }
        const auto after = responses(port, dtid);
        return after.size() > before ? after.back() : bus::Transfer{};
    }

    std::vector<uint8_t> getset(unsigned port, const std::vector<uint8_t>& payload, uint8_t tid = 0)
    {
        return call(port, kGetSetId, kGetSetSignature, payload, tid).payload;
    }

    std::vector<uint8_t> executeOpcode(unsigned port, uint8_t op)
    {
        return call(port, kExecuteOpcodeId, kExecuteOpcodeSignature, opcode(op)).payload;
    }

    // Passes until t_ns or the firmware's reset request, whichever comes first; true at the request (the
    // node is not powered on again).
    static bool runUntilResetRequestNs(uint64_t t_ns)
    {
        while (sim::nowNs() < t_ns && !sim::systemResetRequested()) {
            sitl::pass();
        }
        return sim::systemResetRequested();
    }

    // A flight controller (node 20) votes for CAN2 and is elected; its vote ages out within two seconds.
    void electFlightController()
    {
        sendFrames(1, bus::framesOf(bus::messageId(24, fc::kUseFlightControllerId, 20), 0,
                                    fc::useFlightController(0xA0A0A0A0A0A0A0A0ULL, 1, 1),
                                    fc::kUseFlightControllerSignature));
        sitl::runUntilNs(sim::nowNs() + 10 * kMs);
    }

    // A RestartNode request on CAN1, whose bus goes away once the request is in and before the answer is
    // out: the answer waits in the mailbox, the restart stays armed until RESTART_BOUND_MS.
    void armRestartOnABusThatGoesAway()
    {
        sendFrames(0, bus::framesOf(bus::serviceId(30, kRestartNodeId, true, kNodeIds[0], kClient), 3, kRightMagic,
                                    kRestartNodeSignature));
        const uint64_t received = nodetest::port(0).xport.stats.transfers_rx;
        while (nodetest::port(0).xport.stats.transfers_rx == received) {
            sitl::pass();
        }
        sim::canBus(0).setConnected(false);
    }

    // Sends a RestartNode request and runs until the node requests the reset (at most a second). The
    // answer, and the virtual time of the reset request (0 if none came).
    std::pair<bus::Transfer, uint64_t> restart(unsigned port, const std::vector<uint8_t>& magic)
    {
        sendFrames(port, bus::framesOf(bus::serviceId(30, kRestartNodeId, true, kNodeIds[port], kClient), 3, magic,
                                       kRestartNodeSignature));
        const bool reset = runUntilResetRequestNs(sim::nowNs() + 1000 * kMs);
        const auto answers = responses(port, kRestartNodeId);
        return {answers.empty() ? bus::Transfer{} : answers.back(), reset ? sim::nowNs() : 0};
    }
};

TEST_F(ServicesTest, ReadsByIndexAndByName)
{
    sitl::powerOn();
    sitl::runUntilNs(10 * kMs);

    // Index 0 from node 10, transfer ID 6, priority 30: the independent implementation's seven frames.
    const std::vector<sitl::LoggedFrame> expected = nodetest::vectorFrames("getset_resp_FORMATID_int6.log");
    const std::size_t sent_before = bus::nodeFrames(0).size();
    EXPECT_EQ(call(0, kGetSetId, kGetSetSignature, request(0, value::kEmpty), 6).payload,
              answer(6, 6, 6, 6, "FORMATID"));
    const auto sent = bus::nodeFrames(0);
    ASSERT_EQ(sent.size() - sent_before, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(sent[sent_before + i].first == expected[i].frame) << i;
    }

    // Every answer carries the request's transfer ID and priority, to the requesting node.
    const bus::Transfer t = call(2, kGetSetId, kGetSetSignature, request(3, value::kEmpty), 17, 5);
    EXPECT_EQ(t.can_id, bus::serviceId(5, kGetSetId, false, kClient, 112));
    EXPECT_EQ(t.transfer_id, 17);
    EXPECT_EQ(t.payload, answer(112, 112, 127, 0, "NETID2")) << "node IDs report the range they can use";

    EXPECT_EQ(getset(0, request(31, value::kEmpty)), kNoSuchParameter);
    EXPECT_EQ(getset(0, request(8191, value::kEmpty)), kNoSuchParameter);

    // A name wins over the index. It selects the row it equals, whole or without the trailing blanks and
    // tab, and nothing else: a longer name (whose write would land in another row) or a shorter one
    // selects nothing.
    EXPECT_EQ(getset(0, request(5, value::kEmpty, "NETID0")), answer(110, 110, 127, 0, "NETID0"));
    EXPECT_EQ(getset(0, request(0, value::integer(5), "NETID0_BACKUP")), kNoSuchParameter);
    EXPECT_EQ(getset(0, request(0, value::integer(5), std::string("NETID0\0", 7))), kNoSuchParameter);
    EXPECT_EQ(nodetest::node().parameters[Var_NETID0].val, 110);
    EXPECT_EQ(getset(0, request(0, value::kEmpty, "NETID")), kNoSuchParameter);
    EXPECT_EQ(getset(0, request(0, value::kEmpty, "CAN1_TotBlocks")), answer(96, 0, 65535, 0, "CAN1_TotBlocks "));
    EXPECT_EQ(getset(1, request(0, value::kEmpty, "CAN2PWM_ACT_ESC5")), answer(0, 0, 1, 0, "CAN2PWM_ACT_ESC5"));
    EXPECT_EQ(getset(1, request(0, value::kEmpty, "CAN2_RXOVF\t   ")), answer(0, 0, 65535, 0, "CAN2_RXOVF\t   "));
    EXPECT_EQ(getset(1, request(0, value::kEmpty, "CAN2_RXOVF")), answer(0, 0, 65535, 0, "CAN2_RXOVF\t   "));
    EXPECT_EQ(getset(1, request(0, value::kEmpty, "CAN2_RXOVF\t")), kNoSuchParameter);
}

TEST_F(ServicesTest, AnsweredWholeWhileReceptionIsFlooded)
{
    sitl::powerOn();
    sitl::runUntilNs(10 * kMs);

    // Cut-off requests from every other node ID, each of which would hold a state and a buffer block:
    // far more than a port's 96 blocks.
    for (unsigned port = 0; port < 3; ++port) {
        for (uint8_t source = 1; source <= 127; ++source) {
            if (source != kClient) {
                const auto frames = bus::framesOf(bus::serviceId(30, kGetSetId, true, kNodeIds[port], source), 0,
                                                  request(0, value::kEmpty, "NETID0_and_more"), kGetSetSignature);
                sendFrames(port, {frames[0], frames[1]});
            }
        }
    }
    sitl::runUntilNs(sim::nowNs() + 40 * kMs);

    for (unsigned port = 0; port < 3; ++port) {
        SCOPED_TRACE(port);
        const XportInstance& ins = nodetest::port(port).xport;
        EXPECT_EQ(ins.allocator.statistics.current_usage_blocks - ins.tx_blocks, 64) << "reception's two thirds";
        EXPECT_EQ(getset(port, request(0, value::kEmpty, "NETID0")), answer(110, 110, 127, 0, "NETID0"));
        EXPECT_EQ(ins.allocator.statistics.capacity_blocks, 96);
    }
}

TEST_F(ServicesTest, WritesTakeEffectAndRefusedOnesStoreNothing)
{
    sitl::powerOn();
    sitl::runUntilNs(10 * kMs);

    // Integer 7 to CAN2PWM_CH1, as the independent implementation frames it: output 0 now follows the
    // seventh RawCommand element.
    const std::vector<sitl::LoggedFrame> write7 = nodetest::vectorFrames("getset_req_CAN2PWM_CH1_int7.log");
    for (const sitl::LoggedFrame& f : write7) {
        peers[0]->send(f.frame);
    }
    sitl::runUntilNs(sim::nowNs() + 20 * kMs);
    ASSERT_FALSE(responses(0, kGetSetId).empty());
    EXPECT_EQ(responses(0, kGetSetId).back().transfer_id, 5);
    EXPECT_EQ(responses(0, kGetSetId).back().payload, answer(7, 1, 16, 0, "CAN2PWM_CH1"));
    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_CHStart].val, 7);
    EXPECT_EQ(nodetest::node().rcpwm.EscLookup[6], 0);
    EXPECT_EQ(nodetest::node().rcpwm.EscLookup[0], -1);

    // Refused: not an integer, FORMATID, outside the row's range, a node ID the transport cannot use.
    // The answer shows the unchanged value and the flash is not touched.
    const uint64_t flash_ops = sim::flashOperations();
    EXPECT_EQ(getset(0, request(0, value::kReal1_5, "CAN2PWM_CH1")), answer(7, 1, 16, 0, "CAN2PWM_CH1"));
    EXPECT_EQ(getset(0, request(0, value::kTrue, "CAN2PWM_CH1")), answer(7, 1, 16, 0, "CAN2PWM_CH1"));
    EXPECT_EQ(getset(0, request(0, value::integer(5))), answer(6, 6, 6, 6, "FORMATID"));
    EXPECT_EQ(getset(0, request(4, value::integer(17))), answer(7, 1, 16, 0, "CAN2PWM_CH1"));
    EXPECT_EQ(getset(0, request(4, value::integer(-1))), answer(7, 1, 16, 0, "CAN2PWM_CH1"));
    EXPECT_EQ(getset(0, request(4, value::integer(INT64_MIN))), answer(7, 1, 16, 0, "CAN2PWM_CH1"));
    EXPECT_EQ(getset(0, request(10, value::integer(2))), answer(1, 1, 1, 0, "CAN2PWM_ACT_ESC1"));
    EXPECT_EQ(getset(0, request(2, value::integer(128))), answer(111, 111, 127, 0, "NETID1"));
    EXPECT_EQ(getset(0, request(2, value::integer(255))), answer(111, 111, 127, 0, "NETID1"));
    EXPECT_EQ(getset(0, request(16, value::integer(65536))), answer(96, 0, 65535, 0, "CAN1_TotBlocks "));
    EXPECT_EQ(sim::flashOperations(), flash_ops);
    EXPECT_EQ(nodetest::node().parameters[Var_EEFormat].val, 6);
    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_CHStart].val, 7);
    EXPECT_EQ(nodetest::node().parameters[Var_NETID1].val, 111);

    // Requests cut short (in the index, in the integer) are neither answered nor applied.
    const std::size_t answers = responses(0, kGetSetId).size();
    sendFrames(0, bus::framesOf(bus::serviceId(30, kGetSetId, true, 110, kClient), 1, {0x04}, kGetSetSignature));
    sendFrames(0, bus::framesOf(bus::serviceId(30, kGetSetId, true, 110, kClient), 2, {0x04, 0x01, 0x02, 0x00},
                                kGetSetSignature));
    sitl::runUntilNs(sim::nowNs() + 20 * kMs);
    EXPECT_EQ(responses(0, kGetSetId).size(), answers);
    EXPECT_EQ(sim::flashOperations(), flash_ops);
    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_CHStart].val, 7);

    // Accepted at the ends of the ranges. A new node ID is stored but the running port keeps its own.
    EXPECT_EQ(getset(0, request(2, value::integer(0))), answer(0, 111, 127, 0, "NETID1"));
    EXPECT_EQ(getset(0, request(3, value::integer(127))), answer(127, 112, 127, 0, "NETID2"));
    EXPECT_EQ(getset(0, request(9, value::integer(16))), answer(16, 6, 16, 0, "CAN2PWM_CH6"));
    EXPECT_GT(sim::flashOperations(), flash_ops);
    EXPECT_EQ(xportGetLocalNodeID(&nodetest::port(1).xport), 111);
    EXPECT_EQ(nodetest::port(2).NodeID, 112);
    EXPECT_EQ(getset(1, request(0, value::kEmpty, "FORMATID")).size(), answer(6, 6, 6, 6, "FORMATID").size());
}

TEST_F(ServicesTest, StatisticsRowsShowTheLiveFigures)
{
    sitl::powerOn();
    sitl::runUntilNs(10 * kMs);
    const uint16_t capacity = nodetest::port(0).xport.allocator.statistics.capacity_blocks;
    EXPECT_EQ(capacity, 96);
    EXPECT_EQ(valueOf(getset(0, request(0, value::kEmpty, "CAN1_TotBlocks "))), capacity);

    // Read-only: a write is answered with the live figure, so a tool sees it did not take, and nothing is
    // stored.
    const uint64_t flash_ops = sim::flashOperations();
    EXPECT_EQ(valueOf(getset(0, request(0, value::integer(1234), "CAN1_TotBlocks "))), capacity);
    EXPECT_EQ(valueOf(getset(0, request(30, value::integer(7)))), 0);
    EXPECT_EQ(sim::flashOperations(), flash_ops);

    // The loop stalls while a burst arrives: the receive FIFO overflows.
    for (uint8_t i = 0; i < 20; ++i) {
        peers[0]->send(
            sim::CanFrame::extendedFrame(bus::messageId(24, bus::kNodeStatusId, 5), {i, 0, 0, 0, 0, 0, 0, 0xC0}));
    }
    sim::advanceNs(5 * kMs);
    sitl::runUntilNs(sim::nowNs() + 5 * kMs);
    const BxcanStats stats = bxcanGetStats(PortCAN1);
    EXPECT_GT(stats.rx_overflow_count, 0U);
    EXPECT_EQ(valueOf(getset(0, request(0, value::kEmpty, "CAN1_RXOVF\t   "))),
              static_cast<int64_t>(stats.rx_overflow_count));
    EXPECT_EQ(valueOf(getset(0, request(28, value::kEmpty))), static_cast<int64_t>(stats.error_count));

    // Port 0's bus goes dead: its NodeStatus frames wait in the queue, which port 2's client can see.
    sim::canBus(0).setConnected(false);
    while (nodetest::port(0).xport.allocator.statistics.current_usage_blocks == 0 && sim::nowNs() < 5000 * kMs) {
        sitl::runUntilNs(sim::nowNs() + kMs);
    }
    const uint16_t waiting = nodetest::port(0).xport.allocator.statistics.current_usage_blocks;
    ASSERT_GT(waiting, 0);
    EXPECT_EQ(valueOf(getset(2, request(0, value::kEmpty, "CAN1_CurrBlocks"))), waiting);
    EXPECT_EQ(valueOf(getset(2, request(22, value::kEmpty))), nodetest::port(0).xport.allocator.statistics.peak_usage_blocks);
    EXPECT_EQ(nodetest::port(0).xport.allocator.statistics.current_usage_blocks, waiting);
}

TEST_F(ServicesTest, WrittenValuesSurviveAPowerCycle)
{
    // First life: write CAN2PWM_CH1 = 7 (the vector's request) and NETID1 = 0, then lose power.
    ASSERT_NO_FATAL_FAILURE(firstLifeThenPowerCycle([this] {
        for (const sitl::LoggedFrame& f : nodetest::vectorFrames("getset_req_CAN2PWM_CH1_int7.log")) {
            peers[0]->send(f.frame);
        }
        sitl::runUntilNs(sim::nowNs() + 20 * kMs);
        return getset(0, request(2, value::integer(0))) == answer(0, 111, 127, 0, "NETID1") &&
               nodetest::node().parameters[Var_CAN2PWM_CHStart].val == 7;
    }));

    const uint64_t second_life = sim::nowNs();
    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_CHStart].val, 7);
    EXPECT_EQ(nodetest::port(1).NodeID, 0) << "port 1 now obtains its node ID by allocation";
    sitl::runUntilNs(second_life + 1100 * kMs);
    EXPECT_EQ(getset(0, request(0, value::kEmpty, "CAN2PWM_CH1")), answer(7, 1, 16, 0, "CAN2PWM_CH1"));
    bool asked = false;
    for (const auto& f : bus::nodeFrames(1)) {
        asked = asked || (f.first.id & 0x7FU) == 0;
    }
    EXPECT_TRUE(asked) << "an anonymous allocation request on port 1";
}

// Health in the last NodeStatus the node sent on a port (the top two bits of its fifth byte).
int lastHealth(unsigned port)
{
    int health = -1;
    for (const auto& [frame, end] : bus::nodeFrames(port)) {
        if (bus::dataTypeOfMessage(frame.id) == bus::kNodeStatusId && !bus::isService(frame.id)) {
            health = frame.data[4] >> 6;
        }
    }
    return health;
}

TEST_F(ServicesTest, HealthWarnsWhileABusIsDownOrTheStoreCannotBeWritten)
{
    sitl::powerOn();
    sitl::runUntilNs(1100 * kMs);
    EXPECT_EQ(lastHealth(0), 0);

    // Nobody acknowledges CAN2's frames: its controller soon turns error-passive.
    sim::canBus(1).setConnected(false);
    sitl::runUntilNs(3100 * kMs);
    EXPECT_EQ(lastHealth(0), 1) << "WARNING on CAN1";
    EXPECT_EQ(lastHealth(2), 1);
    sim::canBus(1).setConnected(true);
    sitl::runUntilNs(5100 * kMs);
    EXPECT_EQ(lastHealth(0), 0) << "OK once CAN2 carries frames again";

    // A write the flash fails: WARNING until a write succeeds.
    sim::flashFailOperation(1, FLASH_ERROR_PGP);
    EXPECT_EQ(getset(0, request(0, value::integer(7), "CAN2PWM_CH1"))[1], 7);
    sitl::runUntilNs(6100 * kMs);
    EXPECT_EQ(lastHealth(0), 1);
    EXPECT_EQ(getset(0, request(0, value::integer(8), "CAN2PWM_CH1"))[1], 8);
    sitl::runUntilNs(7100 * kMs);
    EXPECT_EQ(lastHealth(0), 0);
}

TEST_F(ServicesTest, GetNodeInfoAnswers)
{
    sitl::powerOn();
    sitl::runUntilNs(5500 * kMs);

    // The independent implementation's request (node 10, transfer ID 2, priority 30) and answer. This chip's
    // unique ID ends in four zero bytes where the vector's has 0C..0F; everything else is the same.
    const std::vector<sitl::LoggedFrame> req = nodetest::vectorFrames("getnodeinfo_req_n10_to_n110.log");
    const std::vector<sitl::LoggedFrame> expected = nodetest::vectorFrames("getnodeinfo_resp_n110_flags3.log");
    std::vector<std::pair<sim::CanFrame, uint64_t>> expected_frames;
    for (const sitl::LoggedFrame& f : expected) {
        expected_frames.emplace_back(f.frame, 0);
    }
    const bus::Transfer vector_answer = bus::transfersOf(expected_frames).at(0);
    ASSERT_EQ(vector_answer.payload.size(), 57U);
    std::vector<uint8_t> payload = vector_answer.payload;
    for (std::size_t i = 36; i < 40; ++i) {
        payload[i] = 0;  // unique-ID bytes 12..15
    }
    // The vector's software version has placeholders (commit 1, CRC 0xDEADBEEF); this firmware reports the
    // commit it was built from and, being no linked image, no CRC: only the commit flagged.
    const uint32_t commit = appDescriptorVcsCommit();
    payload[9] = commit != 0U ? 1 : 0;  // optional_field_flags: the VCS commit, when built from git
    for (std::size_t i = 0; i < 4; ++i) {
        payload[10 + i] = static_cast<uint8_t>(commit >> (8 * i));
    }
    std::fill(payload.begin() + 14, payload.begin() + 22, 0);  // image_crc
    std::vector<sim::CanFrame> frames = bus::framesOf(vector_answer.can_id, 2, payload, kGetNodeInfoSignature);
    // The framing helper reproduces the vector from its own payload.
    const std::vector<sim::CanFrame> reframed =
        bus::framesOf(vector_answer.can_id, 2, vector_answer.payload, kGetNodeInfoSignature);
    ASSERT_EQ(reframed.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(reframed[i] == expected[i].frame) << i;
    }

    // The node's visibility report may go out meanwhile; only the answer is compared.
    const auto answerFrames = [] {
        auto all = bus::nodeFrames(0);
        std::erase_if(all, [](const auto& f) {
            return !bus::isService(f.first.id) && bus::dataTypeOfMessage(f.first.id) == fc::kVisibleFlightControllerId;
        });
        return all;
    };
    const std::size_t before = answerFrames().size();
    peers[0]->send(req.at(0).frame);
    sitl::runUntilNs(sim::nowNs() + 20 * kMs);
    const auto sent = answerFrames();
    ASSERT_EQ(sent.size() - before, frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(sent[before + i].first == frames[i]) << i;
    }

    // Each port answers for itself; a GetNodeInfo response from someone else is not answered.
    const bus::Transfer t = call(2, kGetNodeInfoId, kGetNodeInfoSignature, {}, 9, 20);
    EXPECT_EQ(t.can_id, bus::serviceId(20, kGetNodeInfoId, false, kClient, 112));
    EXPECT_EQ(t.transfer_id, 9);
    ASSERT_EQ(t.payload.size(), payload.size());
    EXPECT_TRUE(std::equal(payload.begin() + 4, payload.end(), t.payload.begin() + 4)) << "same but the uptime";
    const std::size_t answers = responses(2, kGetNodeInfoId).size();
    sendFrames(2, bus::framesOf(bus::serviceId(30, kGetNodeInfoId, false, 112, kClient), 4, payload,
                                kGetNodeInfoSignature));
    sitl::runUntilNs(sim::nowNs() + 20 * kMs);
    EXPECT_EQ(responses(2, kGetNodeInfoId).size(), answers);
}

// Transfers and frames counted where they pass: the answer shows the port's own counters, and a bad CRC
// moves the error count only.
TEST_F(ServicesTest, TransportStatsShowThePortsCounters)
{
    sitl::powerOn();
    sitl::runUntilNs(1100 * kMs);

    const bus::Transfer first = call(1, kGetTransportStatsId, kGetTransportStatsSignature, {}, 5, 20);
    EXPECT_EQ(first.can_id, bus::serviceId(20, kGetTransportStatsId, false, kClient, kNodeIds[1]));
    EXPECT_EQ(first.transfer_id, 5);
    ASSERT_EQ(first.payload.size(), 36U) << "one interface, no length prefix";

    // A GetSet whose CRC is wrong: lost, and counted.
    std::vector<sim::CanFrame> bad =
        bus::framesOf(bus::serviceId(30, kGetSetId, true, kNodeIds[1], kClient), 1, request(0, value::kEmpty, "NETID1"),
                      kGetSetSignature);
    ASSERT_GT(bad.size(), 1U);
    bad[0].data[0] ^= 0x01;
    sendFrames(1, bad);
    sitl::runUntilNs(sim::nowNs() + 20 * kMs);
    EXPECT_TRUE(responses(1, kGetSetId).empty());

    const bus::Transfer second = call(1, kGetTransportStatsId, kGetTransportStatsSignature, {}, 6, 20);
    const XportStats& xs = nodetest::port(1).xport.stats;
    const BxcanStats fs = bxcanGetStats(PortCAN2);
    // What was received is settled; what was sent grows with this answer itself, so it is read back from it.
    std::vector<uint8_t> expected = le48(0);
    for (const uint64_t v : {xs.transfers_rx, xs.rx_errors}) {
        const std::vector<uint8_t> b = le48(v);
        expected.insert(expected.end(), b.begin(), b.end());
    }
    expected.insert(expected.end(), 6, 0);
    for (const uint64_t v : {fs.frames_rx, fs.error_count + fs.rx_overflow_count}) {
        const std::vector<uint8_t> b = le48(v);
        expected.insert(expected.end(), b.begin(), b.end());
    }
    ASSERT_EQ(second.payload.size(), 36U);
    std::vector<uint8_t> got = second.payload;
    const auto field = [](const std::vector<uint8_t>& p, std::size_t at) {
        uint64_t v = 0;
        for (std::size_t i = 6; i-- > 0;) {
            v = (v << 8) | p[at + i];
        }
        return v;
    };
    std::fill(got.begin(), got.begin() + 6, 0);
    std::fill(got.begin() + 18, got.begin() + 24, 0);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(xs.rx_errors, 1U);
    EXPECT_EQ(xs.transfers_rx, 2U) << "the two requests";
    EXPECT_EQ(field(second.payload, 6) - field(first.payload, 6), 1U);
    EXPECT_EQ(field(second.payload, 24) - field(first.payload, 24), bad.size() + 1U) << "frames received";
    EXPECT_GT(field(second.payload, 0), field(first.payload, 0)) << "at least the first answer sent";
    EXPECT_LE(field(second.payload, 0), xs.transfers_tx);
    EXPECT_GT(field(second.payload, 18), field(first.payload, 18));
    EXPECT_LE(field(second.payload, 18), fs.frames_tx);
}

TEST_F(ServicesTest, RestartNodeWrongMagicChangesNothingRightMagicResetsAfterTheAnswer)
{
    sitl::powerOn();
    sitl::runUntilNs(1100 * kMs);

    std::vector<uint8_t> wrong = kRightMagic;
    wrong[4] ^= 0x01;
    const auto [refused, no_reset] = restart(2, wrong);
    EXPECT_EQ(refused.payload, kNotOk);
    EXPECT_EQ(no_reset, 0U);
    EXPECT_EQ(restart(2, {0x1E, 0x1B}).second, 0U);
    EXPECT_EQ(responses(2, kRestartNodeId).size(), 1U) << "a short request is not answered";
    std::vector<uint8_t> top_bit = kRightMagic;
    top_bit[4] ^= 0x80;  // bit 39: all 40 bits are compared
    const auto [refused_top, no_reset_top] = restart(2, top_bit);
    EXPECT_EQ(refused_top.payload, kNotOk);
    EXPECT_EQ(no_reset_top, 0U);

    const auto [accepted, reset_ns] = restart(2, kRightMagic);
    EXPECT_EQ(accepted.can_id, bus::serviceId(30, kRestartNodeId, false, kClient, kNodeIds[2]));
    EXPECT_EQ(accepted.transfer_id, 3);
    EXPECT_EQ(accepted.payload, kOk);
    EXPECT_TRUE(sim::systemResetRequested());
    EXPECT_GE(reset_ns, accepted.end_ns) << "the answer left the port first";
    EXPECT_LT(reset_ns, accepted.end_ns + kMs);
}

TEST_F(ServicesTest, RestartOnABusThatTakesNothingComesAfterTheBound)
{
    sitl::powerOn();
    sitl::runUntilNs(1100 * kMs);
    armRestartOnABusThatGoesAway();
    const uint64_t asked = sim::nowNs();
    EXPECT_TRUE(runUntilResetRequestNs(asked + 1000 * kMs));
    EXPECT_TRUE(responses(0, kRestartNodeId).empty()) << "nobody acknowledged the answer";
    EXPECT_GE(sim::nowNs() - asked, RESTART_BOUND_MS * kMs);
    EXPECT_LT(sim::nowNs() - asked, 2 * RESTART_BOUND_MS * kMs);
}

// A service is served only as a request: a stray response (another node of ours answering, say) or a
// broadcast of a service's ID gets no answer, so that two nodes never answer each other for ever.
TEST_F(ServicesTest, ServicesAnswerRequestsOnly)
{
    sitl::powerOn();
    sitl::runUntilNs(10 * kMs);
    const struct {
        uint32_t id;
        uint64_t signature;
        std::vector<uint8_t> payload;
    } services[] = {
        {kGetNodeInfoId, kGetNodeInfoSignature, {}},
        {kGetTransportStatsId, kGetTransportStatsSignature, {}},
        {kRestartNodeId, kRestartNodeSignature, kRightMagic},
        {kExecuteOpcodeId, kExecuteOpcodeSignature, opcode(0)},
        {kGetSetId, kGetSetSignature, {0x00, 0x00, 0x00, 0xC0}},  // the single frame 1E0B6EEF#0000C0's
    };
    for (const auto& service : services) {
        SCOPED_TRACE(service.id);
        sendFrames(0, bus::framesOf(bus::serviceId(30, service.id, false, kNodeIds[0], kClient), 3, service.payload,
                                    service.signature));
    }
    // Broadcasts of the IDs that no message type of the node's shares.
    for (const uint32_t id : {kGetTransportStatsId, kExecuteOpcodeId, kGetSetId}) {
        sendFrames(0, bus::framesOf(bus::messageId(30, id, kClient), 4, {0x00, 0x00}, kGetSetSignature));
    }
    sitl::runUntilNs(sim::nowNs() + 30 * kMs);
    for (const auto& service : services) {
        EXPECT_TRUE(responses(0, service.id).empty()) << service.id;
    }
    EXPECT_FALSE(sim::systemResetRequested());
    EXPECT_EQ(getset(0, request(0, value::kEmpty)), answer(6, 6, 6, 6, "FORMATID")) << "a request still is";
}

// Another node with port 1's node ID: its requests and commands are not taken, and health warns while it
// is heard and for DUPLICATE_NODE_ID_HOLD_MS after.
TEST_F(ServicesTest, AnotherNodeWithOurNodeIdIsIgnoredAndReported)
{
    sitl::powerOn();
    sitl::runUntilNs(1100 * kMs);
    EXPECT_EQ(lastHealth(0), 0);
    const uint8_t ours = kNodeIds[1];
    sendFrames(1, bus::framesOf(bus::messageId(24, bus::kNodeStatusId, ours), 0, {0, 0, 0, 0, 0, 0, 0}, 0));
    sendFrames(1, bus::framesOf(bus::serviceId(30, kGetSetId, true, ours, ours), 1, request(0, value::kEmpty),
                                kGetSetSignature));
    sitl::runUntilNs(sim::nowNs() + 20 * kMs);
    EXPECT_TRUE(responses(1, kGetSetId).empty());
    sitl::runUntilNs(2100 * kMs);
    EXPECT_EQ(lastHealth(0), 1) << "WARNING on every bus";
    const uint64_t heard_ns = 1100 * kMs;
    sitl::runUntilNs(heard_ns + (DUPLICATE_NODE_ID_HOLD_MS - 200) * kMs);
    EXPECT_EQ(lastHealth(2), 1) << "still within the hold";
    sitl::runUntilNs(heard_ns + (DUPLICATE_NODE_ID_HOLD_MS + 1100) * kMs);
    EXPECT_EQ(lastHealth(2), 0) << "OK once it has gone quiet";
    EXPECT_EQ(getset(1, request(0, value::kEmpty)), answer(6, 6, 6, 6, "FORMATID"));
}

// A restart stops every output: refused while a flight controller is elected, as ERASE is; obeyed once
// none is.
TEST_F(ServicesTest, RestartNodeRefusedWhileAFlightControllerIsElected)
{
    sitl::powerOn();
    sitl::runUntilNs(100 * kMs);
    electFlightController();
    const auto [refused, no_reset] = restart(0, kRightMagic);
    EXPECT_EQ(refused.payload, kNotOk);
    EXPECT_EQ(no_reset, 0U);
    EXPECT_EQ(lastHealth(0), 0);

    // The vote ages out; then the same request is obeyed.
    sitl::runUntilNs(sim::nowNs() + 2000 * kMs);
    EXPECT_EQ(restart(0, kRightMagic).first.payload, kOk);
}

// First life: a write, SAVE, ERASE (running values stay), a write after it, an unknown opcode, the
// restart. Second life on the same flash: compiled-in values but for the write after ERASE.
TEST_F(ServicesTest, EraseThenRestartBringsBackCompiledInValues)
{
    ASSERT_NO_FATAL_FAILURE(firstLifeThenPowerCycle([this] {
        return getset(0, request(0, value::integer(7), "CAN2PWM_CH1")) == answer(7, 1, 16, 0, "CAN2PWM_CH1") &&
               executeOpcode(0, 0) == opcodeAnswer(true) && executeOpcode(1, 1) == opcodeAnswer(true) &&
               nodetest::node().parameters[Var_CAN2PWM_CHStart].val == 7 &&
               getset(2, request(0, value::integer(9), "CAN2PWM_CH2")) == answer(9, 2, 16, 0, "CAN2PWM_CH2") &&
               executeOpcode(2, 2) == opcodeAnswer(false) && restart(0, kRightMagic).second != 0;
    }));

    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_CHStart].val, 1) << "compiled in";
    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_CHStart + 1].val, 9) << "written after ERASE";
}

}  // namespace

namespace {

using update::kBeginUpdateId;
using update::kBeginUpdateSignature;

std::vector<uint8_t> updateRequest(uint8_t source, const std::string& path)
{
    std::vector<uint8_t> out{source};
    out.insert(out.end(), path.begin(), path.end());
    return out;
}

class UpdateTest : public ServicesTest {
protected:
    void TearDown() override
    {
        BootHandoff stale{};
        (void)bootHandoffTake(&stale);  // the record outlives the node's power cycles, not the test
        ServicesTest::TearDown();
    }

    // Sends BeginFirmwareUpdate and runs until the reset request (at most a second): the answer, and
    // whether the reset came.
    std::pair<bus::Transfer, bool> beginUpdate(unsigned port, const std::vector<uint8_t>& payload, uint8_t tid)
    {
        const std::size_t before = responses(port, kBeginUpdateId).size();
        sendFrames(port, bus::framesOf(bus::serviceId(30, kBeginUpdateId, true, kNodeIds[port], kClient), tid,
                                       payload, kBeginUpdateSignature));
        const bool reset = runUntilResetRequestNs(sim::nowNs() + 1000 * kMs);
        const auto answers = responses(port, kBeginUpdateId);
        return {answers.size() > before ? answers.back() : bus::Transfer{}, reset};
    }
};

}  // namespace

// The path needs two frames, so the transfer CRC with the type's signature must hold. The record names
// this bus, our ID there and the requester as the file server; it is taken once.
TEST_F(UpdateTest, AnsweredOkThenTheHandoffRecordAndTheReset)
{
    sitl::powerOn();
    sitl::runUntilNs(1100 * kMs);
    const auto [answer, reset] = beginUpdate(1, updateRequest(0, "fw/b.bin"), 5);
    EXPECT_EQ(answer.can_id, bus::serviceId(30, kBeginUpdateId, false, kClient, kNodeIds[1]));
    EXPECT_EQ(answer.transfer_id, 5);
    EXPECT_EQ(answer.payload, std::vector<uint8_t>{0x00});
    ASSERT_TRUE(reset);
    EXPECT_GE(sim::nowNs(), answer.end_ns) << "the answer left the port first";

    BootHandoff record{};
    ASSERT_TRUE(bootHandoffTake(&record));
    EXPECT_EQ(record.bus, 1);
    EXPECT_EQ(record.node_id, kNodeIds[1]);
    EXPECT_EQ(record.server_node_id, kClient);
    EXPECT_EQ(std::string(record.path, record.path + record.path_len), "fw/b.bin");
    EXPECT_FALSE(bootHandoffTake(&record)) << "taken once";

    // A named file server other than the requester.
    sim::powerCycle();
    sitl::powerOn();
    sitl::runUntilNs(sim::nowNs() + 1100 * kMs);
    ASSERT_TRUE(beginUpdate(0, updateRequest(42, "a"), 1).second);
    ASSERT_TRUE(bootHandoffTake(&record));
    EXPECT_EQ(record.server_node_id, 42);
    EXPECT_EQ(record.bus, 0);
}

// Never while a flight controller is elected; a server that cannot be a node, or a request without even
// its first byte, starts nothing either.
TEST_F(UpdateTest, RefusedWhileAFlightControllerIsElectedOrTheServerIsNoNode)
{
    sitl::powerOn();
    sitl::runUntilNs(100 * kMs);
    electFlightController();
    const auto [refused, reset] = beginUpdate(0, updateRequest(0, "b.bin"), 0);
    const std::string text = "flight controller elected";
    std::vector<uint8_t> invalid_mode{0x01};
    invalid_mode.insert(invalid_mode.end(), text.begin(), text.end());
    EXPECT_EQ(refused.payload, invalid_mode);
    EXPECT_FALSE(reset);

    sitl::runUntilNs(sim::nowNs() + 2000 * kMs);  // the vote ages out
    const auto [unknown, no_reset] = beginUpdate(0, updateRequest(128, "b.bin"), 1);
    EXPECT_EQ(unknown.payload, std::vector<uint8_t>{0xFF});
    EXPECT_FALSE(no_reset);
    EXPECT_FALSE(beginUpdate(0, {}, 2).second);
    EXPECT_EQ(responses(0, kBeginUpdateId).size(), 2U) << "an empty request is not answered";
    BootHandoff record{};
    EXPECT_FALSE(bootHandoffTake(&record));

    EXPECT_TRUE(beginUpdate(0, updateRequest(127, "b.bin"), 3).second);
}

// A restart armed on a bus that takes nothing: an update asked for meanwhile is IN_PROGRESS, and the reset
// that comes is a plain one, which leaves no record.
TEST_F(UpdateTest, InProgressWhileARestartIsArmed)
{
    sitl::powerOn();
    sitl::runUntilNs(1100 * kMs);
    armRestartOnABusThatGoesAway();
    const auto [busy, reset] = beginUpdate(1, updateRequest(0, "b.bin"), 4);
    EXPECT_EQ(busy.payload, std::vector<uint8_t>{0x02});
    EXPECT_TRUE(reset);
    BootHandoff record{};
    EXPECT_FALSE(bootHandoffTake(&record));
}
