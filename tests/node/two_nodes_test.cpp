// Two of our nodes on the same simulated buses: the chip's node (A, on the simulated chip's drivers) and a
// second one in the same process (B) on test doubles: a participant on each bus, a store in RAM, outputs
// that only record. Different unique IDs and node IDs; a test peer on each bus besides.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "firmware/node/main_node.hpp"
#include "platform/sim/sim.hpp"
#include "sitl/bus_transfers.hpp"
#include "sitl/node_runner.hpp"
#include "tests/node/node_fixture.hpp"

namespace {

constexpr uint64_t kMs = 1000000;  // ns
constexpr uint8_t kNodeIdsB[3] = {20, 21, 22};
constexpr uint8_t kClient = 10;
constexpr uint8_t kAllocator = 9;

// A bus as the second node sees it: one mailbox on a participant of the simulated bus.
class SimBusPort final : public CanPort {
public:
    explicit SimBusPort(unsigned bus) : peer_(bus) {}

    bool joinBus() override { return true; }
    int transmit(const XportCANFrame& frame) override
    {
        if (peer_.pending() > 0) {
            return 0;
        }
        sim::CanFrame out = sim::CanFrame::extendedFrame(frame.id & XPORT_CAN_EXT_ID_MASK);
        out.dlc = frame.data_len;
        std::copy(frame.data, frame.data + frame.data_len, out.data);
        peer_.send(out);
        ++stats_.frames_tx;
        return 1;
    }
    bool transmitPending() override { return peer_.pending() > 0; }
    int receive(XportCANFrame& frame) override
    {
        if (next_ == peer_.received.size()) {
            return 0;
        }
        const sim::CanFrame& in = peer_.received[next_++].frame;
        frame.id = in.id | (in.extended ? XPORT_CAN_FRAME_EFF : 0U);
        frame.data_len = in.dataBytes();
        std::copy(in.data, in.data + frame.data_len, frame.data);
        ++stats_.frames_rx;
        return 1;
    }
    bool busDown() override { return false; }
    CanPortStats statistics() override { return stats_; }

    // What the node sent, with the frames' end times.
    std::vector<std::pair<sim::CanFrame, uint64_t>> sent() const
    {
        std::vector<std::pair<sim::CanFrame, uint64_t>> out;
        for (const sim::CanBusRecord& r : peer_.sent) {
            out.emplace_back(r.frame, r.endNs);
        }
        return out;
    }

private:
    sim::CanPeer peer_;
    std::size_t next_ = 0;
    CanPortStats stats_{};
};

class RamStore final : public Store {
public:
    bool start() override { return true; }
    bool formatted() override { return false; }
    bool get(uint8_t idx, uint16_t& value) override
    {
        const auto it = values.find(idx);
        if (it == values.end()) {
            values[idx] = value;
            return false;
        }
        value = it->second;
        return true;
    }
    bool set(uint8_t idx, uint16_t value) override
    {
        values[idx] = value;
        return true;
    }
    bool erase() override
    {
        values.clear();
        return true;
    }
    void allowErase(bool) override {}
    bool eraseAllowed() override { return true; }
    bool writeRefused() override { return false; }
    void upkeep(bool) override {}

    std::map<uint8_t, uint16_t> values;
};

class RecordingOutputs final : public Outputs {
public:
    void setCompare(uint8_t output, uint32_t compare) override { compares[output] = compare; }
    void setFast(uint8_t, bool) override {}
    void setLeds(uint8_t) override {}

    uint32_t compares[NUM_PWM] = {};
};

class TwoNodes : public nodetest::NodeFixture {
protected:
    void SetUp() override
    {
        NodeFixture::SetUp();
        for (uint8_t p = 0; p < 3; ++p) {
            buses.push_back(std::make_unique<SimBusPort>(p));
            store.values[static_cast<uint8_t>(Var_NETID0 + p)] = kNodeIdsB[p];
        }
    }

    // B's power-on, in the order the chip's start-up takes.
    void powerOnB()
    {
        b = std::make_unique<Node>(NodeDevices{{buses[0].get(), buses[1].get(), buses[2].get()},
                                               &store,
                                               &outputs,
                                               {{0x11111111U, 0x22222222U, 0x33333333U}}});
        (void)b->paramserver.loadParameters();
        for (Port& port : b->ports) {
            b->startTransport(port);
        }
        b->rcpwm.rcpwmStart();
        b->MainTaskStart();
    }

    // Both nodes' main loops, pass by pass, for `ns` of virtual time; A restarts when it asks to.
    void runBoth(uint64_t ns, const std::function<void()>& eachPass = [] {})
    {
        const uint64_t until = sim::nowNs() + ns;
        while (sim::nowNs() < until) {
            sitl::runUntilNs(sim::nowNs() + sitl::kPassNs);
            b->MainTaskPass();
            eachPass();
        }
    }

    void send(unsigned bus, uint32_t can_id, const std::vector<uint8_t>& payload, uint64_t signature)
    {
        for (const sim::CanFrame& f : bus::framesOf(can_id, tid++, payload, signature)) {
            peers[bus]->send(f);
        }
    }

    // The transfers of one service kind (requests or responses of data type `id`) in `frames`.
    static std::size_t services(const std::vector<std::pair<sim::CanFrame, uint64_t>>& frames, uint32_t id,
                                bool request)
    {
        std::size_t n = 0;
        for (const bus::Transfer& t : bus::transfersOf(frames)) {
            n += bus::isService(t.can_id) && bus::dataTypeOfService(t.can_id) == id &&
                 ((t.can_id & 0x8000U) != 0) == request;
        }
        return n;
    }

    static std::vector<bus::Transfer> nodeStatus(const std::vector<std::pair<sim::CanFrame, uint64_t>>& frames)
    {
        std::vector<bus::Transfer> out;
        for (const bus::Transfer& t : bus::transfersOf(frames)) {
            if (!bus::isService(t.can_id) && bus::dataTypeOfMessage(t.can_id) == bus::kNodeStatusId) {
                out.push_back(t);
            }
        }
        return out;
    }

    std::vector<std::unique_ptr<SimBusPort>> buses;
    RamStore store;
    RecordingOutputs outputs;
    std::unique_ptr<Node> b;
    uint8_t tid = 0;
};

// A response is never answered: a stray one between two of our nodes is heard once and dies out, while a
// request to either is answered by that one only.
TEST_F(TwoNodes, AStrayGetSetResponseBetweenThemDiesOut)
{
    sitl::powerOn();
    powerOnB();
    runBoth(50 * kMs);
    const std::vector<uint8_t> index0 = {0, 0, 0, 0};  // empty value, index 0: a read of FORMATID
    send(0, bus::serviceId(30, bus::kGetSetId, false, kNodeIdsB[0], nodetest::kNodeIds[0]), index0,
         bus::kGetSetSignature);
    send(0, bus::serviceId(30, bus::kGetSetId, false, nodetest::kNodeIds[0], kNodeIdsB[0]), index0,
         bus::kGetSetSignature);
    runBoth(500 * kMs);
    EXPECT_EQ(services(bus::nodeFrames(0), bus::kGetSetId, false), 0U) << "A answered a response";
    EXPECT_EQ(services(buses[0]->sent(), bus::kGetSetId, false), 0U) << "B answered a response";

    send(0, bus::serviceId(30, bus::kGetSetId, true, kNodeIdsB[0], kClient), index0, bus::kGetSetSignature);
    runBoth(500 * kMs);
    EXPECT_EQ(services(buses[0]->sent(), bus::kGetSetId, false), 1U);
    EXPECT_EQ(services(bus::nodeFrames(0), bus::kGetSetId, false), 0U) << "B's answer is not A's business";
}

// Both ask one allocator on bus 1 at once; each takes the ID answered to its own unique ID only.
TEST_F(TwoNodes, BothTakeTheirOwnIdFromOneAllocator)
{
    nodetest::storeParameter(Var_NETID1, 0);
    store.values[Var_NETID1] = 0;
    sitl::powerOn();
    powerOnB();

    // The allocator: a unique ID gathered request by request (a first part starts it over), the next free
    // node ID once it is whole.
    std::vector<uint8_t> gathered;
    std::map<std::vector<uint8_t>, uint8_t> allocated;
    std::size_t seen = 0;
    const auto allocator = [&] {
        const std::vector<sim::CanBusRecord>& log = sim::canBus(1).log();
        for (; seen < log.size(); ++seen) {
            const sim::CanFrame& f = log[seen].frame;
            if ((f.id & 0x7FU) != 0 || bus::isService(f.id) || ((f.id >> 8) & 3U) != bus::kAllocationId) {
                continue;  // not an anonymous allocation request
            }
            const bool first = (f.data[0] & 1U) != 0;
            if (first) {
                gathered.clear();
            } else if (gathered.empty()) {
                continue;
            }
            gathered.insert(gathered.end(), f.data + 1, f.data + f.dataBytes() - 1);
            uint8_t id = 0;
            if (gathered.size() >= 16) {
                gathered.resize(16);
                id = allocated.emplace(gathered, static_cast<uint8_t>(50 + allocated.size())).first->second;
            }
            std::vector<uint8_t> answer = {static_cast<uint8_t>(id << 1)};
            answer.insert(answer.end(), gathered.begin(), gathered.end());
            send(1, bus::messageId(24, bus::kAllocationId, kAllocator), answer, bus::kAllocationSignature);
            if (id != 0) {
                gathered.clear();
            }
        }
    };
    for (int second = 0; second < 20 && (nodetest::port(1).NodeID == 0 || b->ports[1].NodeID == 0); ++second) {
        runBoth(1000 * kMs, allocator);
    }
    EXPECT_EQ(allocated.size(), 2U);
    EXPECT_GE(nodetest::port(1).NodeID, 50);
    EXPECT_GE(b->ports[1].NodeID, 50);
    EXPECT_NE(nodetest::port(1).NodeID, b->ports[1].NodeID);
    EXPECT_EQ(b->ports[0].NodeID, kNodeIdsB[0]) << "the other buses keep their IDs";
}

// A restarts on request; B, beside it on the same buses, goes on serving: its NodeStatus keeps its period
// and it answers, while A starts again. (Both read the process's one kernel tick, which A's power-on
// restarts: B's reported uptime falls with it.)
TEST_F(TwoNodes, ANodeThatRestartsBesideOneThatDoesNot)
{
    sitl::powerOn();
    powerOnB();
    runBoth(3000 * kMs);
    const std::vector<uint8_t> magic(std::begin(bus::kRestartMagic), std::end(bus::kRestartMagic));
    send(0, bus::serviceId(30, bus::kRestartNodeId, true, nodetest::kNodeIds[0], kClient), magic,
         bus::kRestartNodeSignature);
    runBoth(3000 * kMs);
    send(0, bus::serviceId(30, bus::kGetSetId, true, kNodeIdsB[0], kClient), {0, 0, 0, 0}, bus::kGetSetSignature);
    runBoth(100 * kMs);

    const auto uptime = [](const bus::Transfer& t) {
        return t.payload[0] | (t.payload[1] << 8) | (t.payload[2] << 16) | (t.payload[3] << 24);
    };
    const std::vector<bus::Transfer> a = nodeStatus(bus::nodeFrames(0));
    bool restarted = false;
    for (std::size_t i = 1; i < a.size(); ++i) {
        restarted = restarted || uptime(a[i]) < uptime(a[i - 1]);
    }
    EXPECT_TRUE(restarted) << "A started again";
    const std::vector<bus::Transfer> bs = nodeStatus(buses[0]->sent());
    ASSERT_GE(bs.size(), 5U);
    for (std::size_t i = 1; i < bs.size(); ++i) {
        EXPECT_LE(bs[i].end_ns - bs[i - 1].end_ns, 1100 * kMs) << i;
    }
    EXPECT_EQ(services(buses[0]->sent(), bus::kRestartNodeId, false), 0U) << "the request was not B's";
    EXPECT_EQ(services(buses[0]->sent(), bus::kGetSetId, false), 1U) << "B answers after A's restart";
}

}  // namespace
