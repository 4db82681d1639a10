// The actuator path of the whole node on the simulated chip: flight controllers on the three buses vote,
// command and are ignored; the node's six PWM outputs, its LEDs and its visibility reports show the
// result. One power-on per test (CTest runs each in its own process).
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <deque>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "firmware/board/kernel.hpp"
#include "firmware/board/stm32f4xx_it.hpp"
#include "firmware/drivers/PWM.hpp"
#include "firmware/drivers/watchdog.hpp"
#include "firmware/node/fcselect.hpp"
#include "firmware/node/params.hpp"
#include "platform/sim/sim.hpp"
#include "firmware/xport/xport.hpp"
#include "sitl/node_runner.hpp"
#include "sitl/bus_transfers.hpp"
#include "tests/node/fc_payloads.hpp"
#include "tests/node/getset_payloads.hpp"
#include "tests/node/node_fixture.hpp"

namespace {

constexpr uint64_t kMs = 1000000;  // ns
using nodetest::kNodeIds;
// Chip unique ID words 0..2, and the node's 64-bit ID formed from them (word 1, word 0 ^ word 2).
constexpr uint32_t kUid[3] = {0x11223344U, 0x55667788U, 0x01020304U};
constexpr uint64_t kUniqID = 0x5566778810203040ULL;
constexpr uint64_t kFcA = 0xA0A0A0A0A0A0A0A0ULL;  // flight controllers' unique IDs
constexpr uint64_t kFcB = 0xB0B0B0B0B0B0B0B0ULL;

// One flight controller's node on one bus. Its frames leave in the order they are queued, so each keeps
// to one timeline: either scheduled ahead or sent as the test goes.
class Fc {
public:
    Fc(unsigned port, uint8_t node_id) : peer_(port), node_(node_id) {}

    void sendAt(uint64_t at_ns, uint16_t dtid, uint64_t signature, const std::vector<uint8_t>& payload)
    {
        for (const sim::CanFrame& f : bus::framesOf(bus::messageId(24, dtid, node_), tid_[dtid]++, payload, signature)) {
            peer_.sendAt(at_ns, f);
        }
    }
    void send(uint16_t dtid, uint64_t signature, const std::vector<uint8_t>& payload)
    {
        sendAt(sim::nowNs(), dtid, signature, payload);
    }
    void raw(const std::vector<int>& values) { send(fc::kRawCommandId, fc::kRawCommandSignature, fc::rawCommand(values)); }
    void actuators(std::initializer_list<fc::ActuatorCommand> commands)
    {
        send(fc::kArrayCommandId, fc::kArrayCommandSignature, fc::arrayCommand(commands));
    }
    void vote(uint64_t uniq_id, int use_bus, int this_bus)
    {
        send(fc::kUseFlightControllerId, fc::kUseFlightControllerSignature,
             fc::useFlightController(uniq_id, use_bus, this_bus));
    }
    // A vote every 100 ms over [from, until).
    void votes(uint64_t uniq_id, int use_bus, int this_bus, uint64_t from_ns, uint64_t until_ns)
    {
        for (uint64_t t = from_ns; t < until_ns; t += 100 * kMs) {
            sendAt(t, fc::kUseFlightControllerId, fc::kUseFlightControllerSignature,
                   fc::useFlightController(uniq_id, use_bus, this_bus));
        }
    }
    // A transfer lost on the bus: its transfer ID is spent, nothing reaches the node.
    void lose(uint16_t dtid) { ++tid_[dtid]; }
    void ignore(uint8_t node_id, bool p0, bool p1, bool p2)
    {
        send(fc::kIgnoreCanPortId, fc::kIgnoreCanPortSignature, fc::ignoreCanPort(node_id, p0, p1, p2));
    }
    void setParameter(uint8_t node_id, const std::string& name, int64_t value)
    {
        fc::Bits b;
        b.put(13, 0).put(3, 1).put(64, static_cast<uint64_t>(value));  // index 0, integer value
        for (const char c : name) {
            b.put(8, static_cast<uint8_t>(c));
        }
        for (const sim::CanFrame& f : bus::framesOf(bus::serviceId(30, bus::kGetSetId, true, node_id, node_),
                                                    tid_[bus::kGetSetId]++, b.bytes(), bus::kGetSetSignature)) {
            peer_.send(f);
        }
    }

private:
    sim::CanPeer peer_;
    uint8_t node_;
    std::map<uint16_t, uint8_t> tid_;
};

struct Visibility {
    uint64_t end_ns;
    uint8_t transfer_id;
    std::vector<uint8_t> payload;
    std::size_t frames;
};

class ActuatorTest : public nodetest::NodeFixture {
protected:
    ActuatorTest() : NodeFixture(kUid[0], kUid[1], kUid[2]) {}

    static void runMs(uint64_t ms) { sitl::runUntilNs(sim::nowNs() + ms * kMs); }
    static void runUntilMs(uint64_t ms) { sitl::runUntilNs(ms * kMs); }
    static uint32_t us(unsigned output) { return sim::pwmOutput(output).pulseUs(); }
    static uint32_t hz(unsigned output) { return sim::pwmOutput(output).frameHz(); }
    static std::vector<uint32_t> pulses()
    {
        std::vector<uint32_t> out;
        for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
            out.push_back(us(i));
        }
        return out;
    }
    static std::vector<uint32_t> rates()
    {
        std::vector<uint32_t> out;
        for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
            out.push_back(hz(i));
        }
        return out;
    }
    static std::vector<bool> leds()
    {
        return {sim::gpioOutput(GPIOE, 0), sim::gpioOutput(GPIOE, 1), sim::gpioOutput(GPIOE, 2)};
    }

    // The node's visibility reports on a port, in order.
    static std::vector<Visibility> reports(unsigned port)
    {
        std::vector<Visibility> out;
        for (const bus::Transfer& t : bus::transfersOf(bus::nodeFrames(port))) {
            if (!bus::isService(t.can_id) && bus::dataTypeOfMessage(t.can_id) == fc::kVisibleFlightControllerId) {
                out.push_back({t.end_ns, t.transfer_id, t.payload, t.frames});
            }
        }
        return out;
    }
    static std::vector<uint8_t> report(bool p0, bool p1, bool p2)
    {
        return fc::visibleFlightController(kUniqID, p0, p1, p2);
    }
};

const std::vector<uint32_t> kOff = {0, 0, 0, 0, 0, 0};
const std::vector<uint32_t> kFirstBootRates = {490, 490, 490, 490, 50, 50};

// ---------------------------------------------------------------------------------------------------------
// Commands to pulses

// ESC outputs emit no pulse from reset (1500 us would be half throttle to an armed ESC); servo outputs
// take the neutral 1500 us from their first whole frame.
TEST_F(ActuatorTest, NeutralAtStartThenOffUntilAPortIsElected)
{
    sitl::powerOn();
    EXPECT_EQ(pulses(), kOff);
    runUntilMs(45);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({0, 0, 0, 0, 1500, 1500}));
    EXPECT_EQ(rates(), kFirstBootRates) << "the first-boot mapping: four ESCs, two servos";
    // The first check (tick 50) finds no elected port: no pulses, the frames go on.
    runUntilMs(75);
    EXPECT_EQ(pulses(), kOff);
    EXPECT_EQ(rates(), kFirstBootRates);
    EXPECT_EQ(leds(), std::vector<bool>({false, false, false}));
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), -1);
}

TEST_F(ActuatorTest, RawCommandWorkedExample)
{
    // The helpers reproduce the independent implementation's frame.
    const auto vector = nodetest::vectorFrames("rawcommand_4ch.log");
    ASSERT_EQ(vector.size(), 1U);
    EXPECT_TRUE(bus::framesOf(vector[0].frame.id, 0, fc::rawCommand({0, 4171, 8181, 8191}), 0)[0] == vector[0].frame);

    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    voter.votes(kFcA, 0, 0, 10 * kMs, 1000 * kMs);
    runUntilMs(100);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 0);
    EXPECT_EQ(leds(), std::vector<bool>({true, false, false}));
    fc0.raw({0, 4171, 8181, 8191});
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({1000, 1500, 1999, 2000, 1500, 1500}))
        << "servo outputs no command has set hold the neutral 1500 us";
    EXPECT_EQ(rates(), kFirstBootRates);
    EXPECT_EQ(TIM5->CCR3, 5997U);
}

TEST_F(ActuatorTest, ArrayCommandWorkedExample)
{
    const auto vector = nodetest::vectorFrames("arraycommand_act5_act6.log");
    const auto frames =
        bus::framesOf(vector.at(0).frame.id, 0, fc::arrayCommand({{5, 0, 0.25F}, {6, 0, -1.0F}}), fc::kArrayCommandSignature);
    ASSERT_EQ(frames.size(), vector.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(frames[i] == vector[i].frame) << i;
    }

    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    voter.votes(kFcA, 0, 0, 10 * kMs, 1000 * kMs);
    runUntilMs(100);
    fc0.actuators({{5, 0, 0.25F}, {6, 0, -1.0F}, {1, 0, 1.0F}});  // actuator 1 has no output
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({0, 0, 0, 0, 1250, 0})) << "ESC outputs wait for their RawCommand";
    EXPECT_EQ(rates(), kFirstBootRates) << "a 0 us pulse: the frames go on, the pin stays low";
}

TEST_F(ActuatorTest, RawCommandLengthsAndTheEsc5Mapping)
{
    // Output 4 follows RawCommand element 16 as an ESC: both TIM2 outputs run at 490 Hz.
    nodetest::storeParameter(Var_CAN2PWM_CHStart + 4, 16);
    nodetest::storeParameter(Var_CAN2PWM_ACTStart + 4, 1);
    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    voter.votes(kFcA, 0, 0, 10 * kMs, 1000 * kMs);
    runUntilMs(100);
    EXPECT_EQ(rates(), std::vector<uint32_t>(6, 490));

    // 25 elements: only the first 20 are read.
    std::vector<int> values(25, 4171);
    values[15] = 8191;
    fc0.raw(values);
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({1500, 1500, 1500, 1500, 2000, 1500}));

    // Two elements: the outputs of the others repeat their stored levels.
    fc0.raw({0, 8191});
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({1000, 2000, 1500, 1500, 2000, 1500}));

    // Values beyond the raw range are limited to it.
    fc0.raw({-500, 100, 161, 8182});
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({1000, 1000, 1000, 2000, 2000, 1500}));
}

TEST_F(ActuatorTest, CommandTypeOneRewritesTheOutputsFromTheirStoredLevels)
{
    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    runUntilMs(100);
    voter.vote(kFcA, 0, 0);
    runMs(10);
    fc0.actuators({{5, 0, 0.5F}, {6, 0, 0.25F}});
    fc0.raw({8191, 4171});
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({2000, 1500, 0, 0, 1500, 1250})) << "ESC outputs 2, 3: no command yet";

    // The only voter withdraws: off at once. It votes again: still off until a command arrives.
    voter.vote(kFcA, -1, 0);
    runMs(25);
    EXPECT_EQ(pulses(), kOff);
    voter.vote(kFcA, 0, 0);
    runMs(25);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 0);
    EXPECT_EQ(pulses(), kOff);

    // A position command changes no level, yet every output is rewritten from the stored ones.
    fc0.actuators({{5, 1, 1.0F}});
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({2000, 1500, 0, 0, 1500, 1250})) << "ESC outputs 2, 3: no command yet";
}

TEST_F(ActuatorTest, StoredMappingWithUnassignedDuplicateAndInvalidOutputs)
{
    nodetest::storeParameter(Var_CAN2PWM_CHStart + 0, 5);  // servo on actuator 5, as is output 4: output 4 wins
    nodetest::storeParameter(Var_CAN2PWM_ACTStart + 0, 0);
    nodetest::storeParameter(Var_CAN2PWM_CHStart + 2, 0);   // unassigned: an ESC output no command sets
    nodetest::storeParameter(Var_CAN2PWM_CHStart + 5, 17);  // outside the row's range: its compiled-in 6
    sitl::powerOn();
    Fc voter(2, 10);
    Fc fc2(2, 11);
    voter.votes(kFcB, 2, 2, 10 * kMs, 1000 * kMs);
    runUntilMs(100);
    EXPECT_EQ(rates(), kFirstBootRates) << "outputs 1 and 3 are ESCs: TIM5 at 490 Hz";
    EXPECT_EQ(leds(), std::vector<bool>({false, false, true}));
    fc2.actuators({{5, 0, 0.5F}, {17, 0, 1.0F}, {6, 0, 1.0F}});
    fc2.raw({8191, 8191, 8191, 8191});
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({1500, 2000, 0, 2000, 1500, 2000}));
}

TEST_F(ActuatorTest, ParameterWriteMovesBothTimer2OutputsTo490Hz)
{
    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    Fc tool(0, 12);
    voter.votes(kFcA, 0, 0, 10 * kMs, 1000 * kMs);
    runUntilMs(100);
    fc0.raw({0, 0, 0, 0, 4171});
    fc0.actuators({{6, 0, 0.5F}});
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({1000, 1000, 1000, 1000, 1500, 1500}));

    tool.setParameter(kNodeIds[0], "CAN2PWM_ACT_ESC5", 1);
    runMs(25);
    EXPECT_EQ(rates(), std::vector<uint32_t>(6, 490)) << "output 5 stays a servo, at its timer's rate";
    EXPECT_EQ(pulses(), std::vector<uint32_t>({1000, 1000, 1000, 1000, 0, 1500}))
        << "output 4, an ESC output now, waits for its command: its servo width would be a throttle";
    fc0.raw({0, 0, 0, 0, 4171});
    runMs(25);
    EXPECT_EQ(us(4), 1500U) << "output 4 follows ESC element 5 now";
}

// ---------------------------------------------------------------------------------------------------------
// The election over the buses

TEST_F(ActuatorTest, WithoutAVoteCommandsOnlyMarkTheirPortVisible)
{
    sitl::powerOn();
    Fc fc0(0, 11);
    runUntilMs(250);
    fc0.actuators({{5, 0, 1.0F}});
    runMs(5);
    EXPECT_TRUE(nodetest::node().fcselect.getPixVisibility(PortCAN1));
    runMs(20);
    EXPECT_EQ(pulses(), kOff);

    // Every port reports every port's visibility: 9 bytes, two frames, the vendor signature in the CRC.
    runUntilMs(445);
    for (unsigned port = 0; port < 3; ++port) {
        SCOPED_TRACE(port);
        const auto r = reports(port);
        ASSERT_GE(r.size(), 4U);
        EXPECT_EQ(r[1].payload, report(false, false, false));  // tick 200
        EXPECT_EQ(r[2].payload, report(true, false, false));   // tick 300: the command came at 250
        EXPECT_EQ(r[3].payload, report(false, false, false));  // tick 400: dropped by the check at 350
        for (std::size_t i = 1; i < r.size(); ++i) {
            EXPECT_EQ(r[i].transfer_id, (r[i - 1].transfer_id + 1) & 31) << "consecutive transfer IDs";
            EXPECT_GE(r[i].end_ns - r[i - 1].end_ns, 99 * kMs);
            EXPECT_LE(r[i].end_ns - r[i - 1].end_ns, 101 * kMs);
        }
        // Frame for frame as the wire format gives them.
        const auto expected = bus::framesOf(bus::messageId(24, fc::kVisibleFlightControllerId, kNodeIds[port]),
                                            r[2].transfer_id, report(true, false, false),
                                            fc::kVisibleFlightControllerSignature);
        ASSERT_EQ(expected.size(), 2U);
        std::vector<sim::CanFrame> sent;
        for (const auto& [frame, end] : bus::nodeFrames(port)) {
            if (bus::dataTypeOfMessage(frame.id) == fc::kVisibleFlightControllerId) {
                sent.push_back(frame);
            }
        }
        ASSERT_GE(sent.size(), 6U);
        EXPECT_TRUE(sent[4] == expected[0]);
        EXPECT_TRUE(sent[5] == expected[1]);
    }
    EXPECT_FALSE(nodetest::node().fcselect.getPixVisibility(PortCAN1));
}

TEST_F(ActuatorTest, VisibilityHoldsAtSixtyMillisecondCommandsAndFlickersAtOneTwenty)
{
    sitl::powerOn();
    Fc fc2(2, 11);
    runUntilMs(100);
    bool dropped = false;
    for (uint64_t t = 100; t < 1300; t += 5) {
        if (t % 60 == 40) {
            fc2.raw({100});
        }
        runUntilMs(t);
        dropped = dropped || (t > 120 && !nodetest::node().fcselect.getPixVisibility(PortCAN3));
    }
    EXPECT_FALSE(dropped) << "a command every 60 ms keeps the port visible";

    bool fell = false;
    bool rose_again = false;
    for (uint64_t t = 1300; t < 2500; t += 5) {
        if (t % 120 == 0) {
            fc2.raw({100});
        }
        runUntilMs(t);
        fell = fell || !nodetest::node().fcselect.getPixVisibility(PortCAN3);
        rose_again = rose_again || (fell && nodetest::node().fcselect.getPixVisibility(PortCAN3));
    }
    EXPECT_TRUE(fell);
    EXPECT_TRUE(rose_again);
}

// The check every 50 ms drops a port whose last command is 100 ms old: kept at 1050 ms, dropped at 1100.
TEST_F(ActuatorTest, APortFallsFromViewAtTheCheckAHundredMillisecondsAfterItsCommand)
{
    const auto runUntilTick = [](uint32_t tick) {
        while (osKernelSysTick() < tick) {
            sitl::pass();
        }
    };
    sitl::powerOn();
    Fc fc0(0, 11);
    runUntilTick(1000);
    fc0.raw({100});
    runUntilTick(1051);
    ASSERT_EQ(nodetest::port(0).vis.RxFCTick, 1000U);
    EXPECT_TRUE(nodetest::node().fcselect.getPixVisibility(PortCAN1));
    runUntilTick(1101);
    EXPECT_FALSE(nodetest::node().fcselect.getPixVisibility(PortCAN1));
}

TEST_F(ActuatorTest, AVoteElectsItsPortAndOnlyThatPortDrives)
{
    sitl::powerOn();
    Fc voter(1, 10);
    Fc fc0(0, 11);
    Fc fc1(1, 11);
    Fc fc2(2, 11);
    voter.votes(kFcA, 1, 1, 10 * kMs, 2000 * kMs);
    runUntilMs(100);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 1);
    EXPECT_EQ(leds(), std::vector<bool>({false, true, false}));

    fc1.raw({4171, 4171, 4171, 4171});
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({1500, 1500, 1500, 1500, 1500, 1500}));
    fc0.raw({8191, 8191, 8191, 8191});
    fc1.raw({4171, 4171, 4171, 4171});
    fc2.actuators({{5, 0, 1.0F}});
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({1500, 1500, 1500, 1500, 1500, 1500})) << "other ports do not drive";
    EXPECT_TRUE(nodetest::node().fcselect.getPixVisibility(PortCAN1) && nodetest::node().fcselect.getPixVisibility(PortCAN2) && nodetest::node().fcselect.getPixVisibility(PortCAN3))
        << "but they are seen";
    runUntilMs(205);
    EXPECT_EQ(reports(0).back().payload, report(true, true, true));

    fc1.actuators({{5, 0, 1.0F}});
    runMs(25);
    EXPECT_EQ(us(4), 2000U);
}

TEST_F(ActuatorTest, AVoteHeardOnAnotherBusThanItNamesIsNotCounted)
{
    sitl::powerOn();
    Fc stray(2, 10);  // claims to be on bus 1, but is heard on bus 2
    Fc voter(1, 10);
    Fc fc1(1, 11);
    runUntilMs(100);
    stray.vote(kFcB, 2, 1);
    runMs(10);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), -1);
    fc1.raw({8191});
    runMs(25);
    EXPECT_EQ(pulses(), kOff);

    voter.vote(kFcA, 1, 1);
    runMs(10);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 1);
    stray.vote(kFcB, 2, 1);
    runMs(10);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 1) << "the current result stands";

    // Once every vote has aged out, an uncounted vote does not bring back the port nobody votes for.
    runMs(400);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), -1);
    stray.vote(kFcB, 2, 1);
    runMs(10);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), -1);
    fc1.raw({8191});
    runMs(25);
    EXPECT_EQ(pulses(), kOff);
    EXPECT_EQ(leds(), std::vector<bool>({false, false, false}));
}

// ---------------------------------------------------------------------------------------------------------
// Output safety

uint64_t g_esc_pulse_ns;  // when an ESC output (0..3) first pulsed since the last clear; 0: none did
void recordEscPulse(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    if (output < 4 && now.pulseNs != 0 && g_esc_pulse_ns == 0) {
        g_esc_pulse_ns = ns;
    }
}

TEST_F(ActuatorTest, EscOutputsStayQuietFromResetUntilTheirFirstCommandAlsoAfterARestart)
{
    g_esc_pulse_ns = 0;
    sim::setPwmObserver(recordEscPulse);
    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    voter.votes(kFcA, 0, 0, 10 * kMs, 3000 * kMs);
    runUntilMs(300);
    EXPECT_EQ(g_esc_pulse_ns, 0U) << "elected, but no command yet";
    const uint64_t command_ns = sim::nowNs();
    fc0.raw({4171, 4171, 4171, 4171});
    runMs(25);
    EXPECT_GE(g_esc_pulse_ns, command_ns);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({1500, 1500, 1500, 1500, 1500, 1500}));

    // A reset in flight (RestartNode is refused while elected): the votes go on, and the ESC outputs of
    // the node started again wait for a command.
    sim::powerCycle();
    sitl::powerOn();
    g_esc_pulse_ns = 0;
    runMs(300);
    EXPECT_LE(osKernelSysTick(), 300U) << "started again";
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 0);
    EXPECT_EQ(g_esc_pulse_ns, 0U);
    fc0.raw({4171, 4171, 4171, 4171});
    runMs(25);
    EXPECT_NE(g_esc_pulse_ns, 0U);
    sim::setPwmObserver(nullptr);
}

uint64_t g_off_at_ns[6];  // when each output last lost its pulse
void recordOffs(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    if (now.pulseNs == 0 && now.periodNs != 0) {
        g_off_at_ns[output] = ns;
    }
}

// While the votes go on: an ESC output whose RawCommand element stops stops 500..550 ms later and comes
// back with its next command; servo outputs hold.
TEST_F(ActuatorTest, AnEscOutputWithoutCommandsForHalfASecondStopsServosHold)
{
    std::fill(std::begin(g_off_at_ns), std::end(g_off_at_ns), 0);
    sim::setPwmObserver(recordOffs);
    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    voter.votes(kFcA, 0, 0, 10 * kMs, 3000 * kMs);
    runUntilMs(100);
    fc0.raw({4171, 4171, 4171, 4171});
    fc0.actuators({{5, 0, 0.5F}});
    const uint64_t all_ns = sim::nowNs();
    uint64_t first_ns = 0;
    for (uint64_t t = 120; t <= 1000; t += 20) {  // element 0 alone goes on until 1 s
        runUntilMs(t);
        first_ns = sim::nowNs();
        fc0.raw({4171});
    }
    runUntilMs(1800);
    sim::setPwmObserver(nullptr);
    for (unsigned out = 1; out < 4; ++out) {
        EXPECT_GE(g_off_at_ns[out], all_ns + 499 * kMs) << out;
        EXPECT_LE(g_off_at_ns[out], all_ns + 550 * kMs) << out;
    }
    EXPECT_GE(g_off_at_ns[0], first_ns + 499 * kMs);
    EXPECT_LE(g_off_at_ns[0], first_ns + 550 * kMs);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({0, 0, 0, 0, 1500, 1500})) << "servo outputs hold";
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 0);

    fc0.raw({8191});
    runMs(25);
    EXPECT_EQ(pulses(), std::vector<uint32_t>({2000, 0, 0, 0, 1500, 1500})) << "back with its next command";
}

// Panic: three messages, each within 500 ms of the one before, from any node on any port not ignored,
// stop every output; 500 ms after the last the commands drive them again. Two change nothing.
TEST_F(ActuatorTest, PanicStopsEveryOutputUntilHalfASecondAfterTheLast)
{
    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    sim::CanPeer& panic1 = *peers[1];
    sim::CanPeer& panic2 = *peers[2];
    voter.votes(kFcA, 0, 0, 10 * kMs, 4000 * kMs);
    uint8_t tid = 0;
    const auto panic = [&tid](sim::CanPeer& peer, uint8_t node) {
        for (const sim::CanFrame& f : bus::framesOf(bus::messageId(24, bus::kPanicId, node), tid++, {'S', 'T', 'O', 'P'},
                                                    bus::kPanicSignature)) {
            peer.send(f);
        }
    };
    const auto commandUntil = [&fc0](uint64_t ms) {
        for (uint64_t t = sim::nowNs() / kMs; t < ms; t += 20) {
            fc0.raw({8191, 8191, 8191, 8191});
            fc0.actuators({{5, 0, 1.0F}, {6, 0, 0.5F}});
            runUntilMs(t + 20);
        }
    };
    const std::vector<uint32_t> driven = {2000, 2000, 2000, 2000, 2000, 1500};
    runUntilMs(100);
    panic(panic1, 30);
    runMs(410);
    panic(panic2, 31);
    commandUntil(1020);
    EXPECT_EQ(pulses(), driven) << "two messages change nothing";

    panic(panic1, 30);  // 510 ms after the second: not a run of three
    commandUntil(1200);
    EXPECT_EQ(pulses(), driven);
    panic(panic2, 31);
    runMs(10);
    panic(panic1, 32);
    commandUntil(1400);
    EXPECT_EQ(pulses(), kOff) << "the third within 500 ms of the one before";
    const uint64_t last_ns = sim::nowNs();
    panic(panic2, 31);
    commandUntil(1880);
    EXPECT_EQ(pulses(), kOff) << "still within 500 ms of the last";
    commandUntil(2000);
    EXPECT_EQ(pulses(), driven);
    EXPECT_GT(sim::nowNs(), last_ns + 500 * kMs);
}

uint64_t g_off_ns;  // when output 0 last lost its pulse
void recordOff(unsigned output, const sim::PwmOutput& now, uint64_t ns)
{
    if (output == 0 && now.pulseNs == 0 && now.periodNs != 0) {
        g_off_ns = ns;
    }
}

TEST_F(ActuatorTest, WhenTheVotesStopTheOutputsGoOffAndStayOff)
{
    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    const uint64_t last_vote_ns = 1010 * kMs;
    voter.votes(kFcA, 0, 0, 10 * kMs, last_vote_ns + 1);
    sim::setPwmObserver(recordOff);
    runUntilMs(100);
    // Commands keep coming every 20 ms; only the loss of every vote switches the outputs off.
    for (uint64_t t = 100; t < 1400; t += 20) {
        fc0.raw({4171});
        runUntilMs(t + 20);
        if (t < 1200) {
            EXPECT_EQ(us(0), 1500U) << t;
        }
    }
    sim::setPwmObserver(nullptr);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), -1);
    EXPECT_EQ(us(0), 0U);
    EXPECT_GE(g_off_ns, last_vote_ns + 250 * kMs);
    EXPECT_LE(g_off_ns, last_vote_ns + 300 * kMs + 3 * kMs) << "ageing every 50 ms, then one 490 Hz frame";

    // While no port is elected the outputs are switched off again every 50 ms: a compare set behind the
    // node's back does not last.
    runUntilMs(1410);
    TIM5->CCR1 = 4500;
    runMs(3);
    EXPECT_EQ(us(0), 1500U);
    runMs(55);
    EXPECT_EQ(us(0), 0U);
}

TEST_F(ActuatorTest, AWithdrawnVoteSwitchesTheOutputsOffAtOnce)
{
    sitl::powerOn();
    Fc voter(2, 10);
    Fc fc2(2, 11);
    runUntilMs(100);
    voter.vote(kFcB, 2, 2);
    runMs(5);
    fc2.raw({8191});
    runUntilMs(210);  // just after an ageing check (every 50 ms)
    EXPECT_EQ(us(0), 2000U);
    sim::setPwmObserver(recordOff);
    voter.vote(kFcB, -1, 2);
    runUntilMs(240);  // before the next check
    sim::setPwmObserver(nullptr);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), -1);
    EXPECT_EQ(us(0), 0U);
    EXPECT_LT(g_off_ns, 215 * kMs);
}

TEST_F(ActuatorTest, TheVoterTableOverTheBus)
{
    sitl::powerOn();
    std::deque<Fc> voters;  // each its own node on bus 0
    for (uint8_t n = 0; n < 5; ++n) {
        voters.emplace_back(0, static_cast<uint8_t>(10 + n));
    }
    runUntilMs(100);
    struct Row {
        std::vector<int> ports;
        int8_t result;
    };
    const Row rows[] = {
        {{}, -1},       {{1}, 1},       {{0, 1}, 0},          {{1, 2}, 1},
        {{2, 2, 0}, 2}, {{0, 1, 2}, 0}, {{1, 1, 2, 2, 0}, 1}, {{5}, -1},
    };
    uint64_t id = 1000;
    for (const Row& row : rows) {
        std::vector<uint64_t> ids;
        for (const int port : row.ports) {
            ids.push_back(++id);
            voters[ids.size() - 1].vote(ids.back(), port, 0);  // all heard on bus 0, which they name as theirs
        }
        runMs(10);
        EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), row.result) << row.ports.size() << " votes";
        EXPECT_EQ(leds(), std::vector<bool>({row.result == 0, row.result == 1, row.result == 2}));
        for (std::size_t i = 0; i < ids.size(); ++i) {
            voters[i].vote(ids[i], -1, 0);
        }
        runMs(10);
        EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), -1);
    }
}

// A faulty node voting under ever new unique IDs holds one vote: it cannot take the election from the
// flight controller that commands.
TEST_F(ActuatorTest, ANodeVotingUnderManyUniqueIdsCountsOnce)
{
    sitl::powerOn();
    Fc voter(0, 10);
    Fc faulty(1, 30);
    voter.votes(kFcA, 0, 0, 10 * kMs, 1000 * kMs);
    for (uint64_t t = 50; t < 1000; t += 100) {
        for (uint64_t id = 1; id <= 5; ++id) {
            faulty.sendAt(t * kMs, fc::kUseFlightControllerId, fc::kUseFlightControllerSignature,
                          fc::useFlightController(id, 2, 1));
        }
    }
    for (uint64_t t = 20; t < 1000; t += 10) {
        runUntilMs(t);
        ASSERT_EQ(nodetest::node().fcselect.getActiveFCPort(), 0) << "at " << t << " ms";
    }
}

TEST_F(ActuatorTest, TenVotersAreHeldAndTheEleventhWaitsForAFreeSlot)
{
    sitl::powerOn();
    std::deque<Fc> voters;  // voter v is node 9 + v on bus 0
    for (uint8_t v = 1; v <= 11; ++v) {
        voters.emplace_back(0, static_cast<uint8_t>(9 + v));
    }
    // Voters 1..5 name port 2, voters 6..9 port 1, voter 10 port 0: port 2. The eleventh names port 1 and
    // would make a tie that port 1 wins.
    const int named[12] = {0, 2, 2, 2, 2, 2, 1, 1, 1, 1, 0, 1};
    for (uint64_t t = 100; t < 1500; t += 100) {
        for (uint64_t v = 1; v <= 11; ++v) {
            if (v == 10 && t >= 700) {
                continue;  // voter 10 falls silent
            }
            voters[v - 1].sendAt(t * kMs, fc::kUseFlightControllerId, fc::kUseFlightControllerSignature,
                          fc::useFlightController(v, named[v], 0));
        }
    }
    runUntilMs(650);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 2) << "the eleventh vote is not held";
    // Voter 10's last vote (tick 600) ages out by tick 900; the eleventh's next vote takes its slot.
    runUntilMs(880);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 2);
    runUntilMs(1050);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 1);
}

TEST_F(ActuatorTest, ShortVendorMessagesAreDropped)
{
    sitl::powerOn();
    Fc fc0(0, 10);
    runUntilMs(100);
    std::vector<uint8_t> vote = fc::useFlightController(kFcA, 0, 0);
    vote.resize(9);
    fc0.send(fc::kUseFlightControllerId, fc::kUseFlightControllerSignature, vote);
    runMs(10);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), -1);

    fc0.ignore(kNodeIds[0], false, false, true);
    runMs(10);
    EXPECT_TRUE(nodetest::node().fcselect.getIgnoreCanPort(PortCAN3));
    fc0.send(fc::kIgnoreCanPortId, fc::kIgnoreCanPortSignature, {kNodeIds[0]});  // no flags
    runMs(10);
    EXPECT_TRUE(nodetest::node().fcselect.getIgnoreCanPort(PortCAN3)) << "a short order changes no flag";
}

TEST_F(ActuatorTest, AnIgnoreOrderSilencesAPortUntilLifted)
{
    sitl::powerOn();
    Fc voter(1, 10);
    Fc fc1(1, 11);
    Fc tool(1, 12);
    voter.votes(kFcA, 1, 1, 10 * kMs, 3000 * kMs);
    runUntilMs(100);
    fc1.raw({4171});
    runMs(25);
    ASSERT_EQ(us(0), 1500U);

    // Addressed by the node's ID on another bus: not for this port, nothing happens.
    tool.ignore(kNodeIds[0], false, true, false);
    runMs(10);
    EXPECT_FALSE(nodetest::node().fcselect.getIgnoreCanPort(PortCAN2));

    const uint64_t order_ns = sim::nowNs();
    tool.ignore(kNodeIds[1], false, true, false);
    runMs(10);
    EXPECT_TRUE(nodetest::node().fcselect.getIgnoreCanPort(PortCAN2));
    const std::size_t reports_then = reports(1).size();
    const std::size_t nodestatus_then = bus::nodeFrames(1).size();

    // Commands and votes on the port are dropped: the outputs keep their widths, then the votes age out.
    fc1.raw({8191});
    runMs(25);
    EXPECT_EQ(us(0), 1500U);
    sitl::runUntilNs(order_ns + 150 * kMs);
    EXPECT_FALSE(nodetest::node().fcselect.getPixVisibility(PortCAN2)) << "the port falls from view within 150 ms of its last command";
    runMs(250);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), -1);
    EXPECT_EQ(us(0), 0U);
    runUntilMs(1100);
    EXPECT_EQ(reports(1).size(), reports_then) << "no visibility report on the ignored port";
    EXPECT_GT(bus::nodeFrames(1).size(), nodestatus_then) << "NodeStatus goes on";
    EXPECT_EQ(reports(0).back().payload, report(false, false, false));

    // A second order on the ignored port itself lifts it.
    tool.ignore(kNodeIds[1], false, false, false);
    runMs(150);
    EXPECT_FALSE(nodetest::node().fcselect.getIgnoreCanPort(PortCAN2));
    EXPECT_GT(reports(1).size(), reports_then);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 1) << "votes count again";
    fc1.raw({8191});
    runMs(25);
    EXPECT_EQ(us(0), 2000U);
}

TEST_F(ActuatorTest, PeriodsHoldAcrossTheTickWrap)
{
    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    runUntilMs(10);
    osTickCount = 0xFFFFFFFFU - 400U;  // 400 ms before the 32-bit millisecond tick wraps
    const uint64_t t0 = sim::nowNs();
    const uint64_t last_vote_ns = t0 + 310 * kMs;  // 90 ms before the wrap
    voter.votes(kFcA, 0, 0, t0 + 10 * kMs, last_vote_ns + 1);
    sim::setPwmObserver(recordOff);
    for (uint64_t t = 20; t < 800; t += 20) {
        fc0.raw({4171});
        sitl::runUntilNs(t0 + t * kMs);
    }
    sim::setPwmObserver(nullptr);
    EXPECT_LT(osKernelSysTick(), 1000U) << "the tick has wrapped";
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), -1);
    EXPECT_GE(g_off_ns, last_vote_ns + 250 * kMs);
    EXPECT_LE(g_off_ns, last_vote_ns + 300 * kMs + 3 * kMs);

    // Visibility reports kept their 100 ms on every port, and the flag stayed up while commands came.
    EXPECT_TRUE(nodetest::node().fcselect.getPixVisibility(PortCAN1));
    for (unsigned port = 0; port < 3; ++port) {
        const auto r = reports(port);
        ASSERT_GE(r.size(), 7U);
        for (std::size_t i = r.size() - 6; i < r.size(); ++i) {
            EXPECT_GE(r[i].end_ns - r[i - 1].end_ns, 99 * kMs) << port << " " << i;
            EXPECT_LE(r[i].end_ns - r[i - 1].end_ns, 101 * kMs) << port << " " << i;
            EXPECT_EQ(r[i].payload, report(true, false, false));
        }
    }
    // The check still drops the flag after the wrap.
    sitl::runUntilNs(sim::nowNs() + 160 * kMs);
    EXPECT_FALSE(nodetest::node().fcselect.getPixVisibility(PortCAN1));
}

// 49.7 days after a reset by the watchdog: the election, the commands and a GetSet request whose frames
// straddle the tick's wrap carry on; NodeStatus and GetNodeInfo report an uptime that keeps rising (others
// take a falling one for a restart) and health OK (the watchdog's reset warns for the first minute only).
TEST_F(ActuatorTest, TheNodeRunsOnAcrossTheTickWrap)
{
    sitl::powerOn();
    sitl::hangFromNs(sim::nowNs());
    runMs(300);
    ASSERT_EQ(resetCause(), ResetCause::Watchdog);
    osTickCount = 0xFFFFFFFFU - 9999U;  // the 32-bit millisecond tick wraps 10 s from now
    const uint64_t t0 = sim::nowNs();
    const uint64_t wrap_ns = t0 + 10000 * kMs;
    Fc voter(0, 10);
    Fc fc0(0, 11);
    voter.votes(kFcA, 0, 0, t0 + 10 * kMs, t0 + 20000 * kMs);
    sim::CanPeer client(0);  // node 20
    const auto getset_request = bus::framesOf(bus::serviceId(30, bus::kGetSetId, true, kNodeIds[0], 20), 7,
                                              getset::request(0, getset::value::kEmpty, "CAN2PWM_CH1"),
                                              bus::kGetSetSignature);
    ASSERT_EQ(getset_request.size(), 3U);
    client.sendAt(wrap_ns - 20 * kMs, getset_request[0]);
    client.sendAt(wrap_ns + 20 * kMs, getset_request[1]);
    client.sendAt(wrap_ns + 20 * kMs, getset_request[2]);
    client.sendAt(wrap_ns + 5000 * kMs,
                  bus::framesOf(bus::serviceId(30, bus::kGetNodeInfoId, true, kNodeIds[0], 20), 8, {}, 0)[0]);

    g_off_ns = 0;
    for (uint64_t t = 100; t < 20000; t += 20) {
        fc0.raw({4171});
        sitl::runUntilNs(t0 + t * kMs);
        if (t == 200) {
            ASSERT_EQ(us(0), 1500U);
            sim::setPwmObserver(recordOff);
        }
    }
    sim::setPwmObserver(nullptr);
    EXPECT_EQ(osTickWraps, 1U);
    EXPECT_EQ(nodetest::node().fcselect.getActiveFCPort(), 0);
    EXPECT_EQ(g_off_ns, 0U) << "output 0 kept its pulse";

    std::vector<uint32_t> uptimes;
    std::map<uint32_t, bus::Transfer> answers;  // by data type
    for (const bus::Transfer& t : bus::transfersOf(bus::nodeFrames(0))) {
        if (t.end_ns < t0) {
            continue;
        }
        if (bus::isService(t.can_id)) {
            answers[bus::dataTypeOfService(t.can_id)] = t;
        } else if (bus::dataTypeOfMessage(t.can_id) == bus::kNodeStatusId) {
            uptimes.push_back(static_cast<uint32_t>(t.payload[0] | t.payload[1] << 8 | t.payload[2] << 16) |
                              static_cast<uint32_t>(t.payload[3]) << 24);
            EXPECT_EQ(t.payload[4] >> 6, 0) << "health OK at " << uptimes.back();
        }
    }
    ASSERT_GE(uptimes.size(), 19U);
    EXPECT_EQ(uptimes.front(), 4294957U);
    for (std::size_t i = 1; i < uptimes.size(); ++i) {
        EXPECT_EQ(uptimes[i], uptimes[i - 1] + 1U) << i;
    }
    EXPECT_GE(uptimes.back(), 4294967U + 9U) << "2^32 ms are 4294967.296 s";

    ASSERT_EQ(answers.count(bus::kGetSetId), 1U) << "the request whose frames straddle the wrap";
    EXPECT_EQ(answers[bus::kGetSetId].payload, getset::answer(1, 1, 16, 0, "CAN2PWM_CH1"));
    EXPECT_EQ(answers[bus::kGetSetId].transfer_id, 7);
    ASSERT_EQ(answers.count(bus::kGetNodeInfoId), 1U);
    const std::vector<uint8_t>& info = answers[bus::kGetNodeInfoId].payload;
    EXPECT_EQ(static_cast<uint32_t>(info[0] | info[1] << 8 | info[2] << 16) | static_cast<uint32_t>(info[3]) << 24,
              4294967U + 5U);
    EXPECT_EQ(info[4] >> 6, 0);
}

// A transfer lost on the bus costs that transfer only: the vote after a lost one counts (two lost votes
// in a row would end the election), and the command after a lost two-frame one reaches the pin.
TEST_F(ActuatorTest, ALostTransferCostsThatOneOnly)
{
    sitl::powerOn();
    Fc voter(0, 10);
    Fc fc0(0, 11);
    voter.votes(kFcA, 0, 0, 10 * kMs, 400 * kMs);
    voter.lose(fc::kUseFlightControllerId);  // 410 ms
    voter.votes(kFcA, 0, 0, 510 * kMs, 1100 * kMs);
    runUntilMs(100);
    g_off_ns = 0;
    for (uint64_t t = 100; t < 1000; t += 20) {
        fc0.raw({4171});
        runUntilMs(t + 20);
        ASSERT_EQ(nodetest::node().fcselect.getActiveFCPort(), 0) << t;
        if (t == 100) {
            ASSERT_EQ(us(0), 1500U);
            sim::setPwmObserver(recordOff);
        }
    }
    sim::setPwmObserver(nullptr);
    EXPECT_EQ(g_off_ns, 0U) << "output 0 kept its pulse";

    fc0.raw({8191, 0, 0, 0, 0});  // five elements: two frames
    runMs(25);
    ASSERT_EQ(us(0), 2000U);
    fc0.lose(fc::kRawCommandId);
    fc0.raw({0, 0, 0, 0, 0});
    runMs(25);
    EXPECT_EQ(us(0), 1000U);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Stopping

namespace {

// What the outputs were set to when the node halted (SIGABRT: the simulator's halt), on stderr for the
// death test to match.
void reportOutputsAtHalt(int)
{
    char text[128];
    const auto cen = [](const TIM_TypeDef* t) { return (t->CR1 & TIM_CR1_CEN) != 0U ? 1U : 0U; };
    const int n = std::snprintf(text, sizeof text, "compares %u %u %u %u %u %u running %u %u\n",
                                static_cast<unsigned>(TIM5->CCR1), static_cast<unsigned>(TIM5->CCR2),
                                static_cast<unsigned>(TIM5->CCR3), static_cast<unsigned>(TIM5->CCR4),
                                static_cast<unsigned>(TIM2->CCR1), static_cast<unsigned>(TIM2->CCR3), cen(TIM2),
                                cen(TIM5));
    (void)write(STDERR_FILENO, text, static_cast<std::size_t>(n));
    _exit(1);
}

void haltVia(void (*stop)())
{
    std::signal(SIGABRT, reportOutputsAtHalt);
    stop();
}

}  // namespace

TEST_F(ActuatorTest, AFatalStopOrAHardFaultDrivesEveryOutputLowFirst)
{
    sitl::powerOn();
    runUntilMs(45);
    ASSERT_EQ(pulses(), std::vector<uint32_t>({0, 0, 0, 0, 1500, 1500}));
    const char* const kLowAndRunning = "compares 0 0 0 0 0 0 running 1 1";
    EXPECT_DEATH(haltVia([] { XPORT_ASSERT(false); }), kLowAndRunning);
    EXPECT_DEATH(haltVia(HardFault_Handler), kLowAndRunning);
}
