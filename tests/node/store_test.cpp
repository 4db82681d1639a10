// The store on a node that drives its outputs: a page transfer while a flight controller is elected only
// programs, so the outputs keep following the commands and NodeStatus keeps coming; the old page's erase
// waits until the votes stop. A write that would need an erase then is refused, and so is ERASE.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "chip.hpp"
#include "firmware/drivers/NVM.hpp"
#include "firmware/node/health.hpp"
#include "firmware/node/params.hpp"
#include "platform/sim/sim.hpp"
#include "platform/sim/sim_flash.hpp"
#include "sitl/node_runner.hpp"
#include "sitl/bus_transfers.hpp"
#include "tests/node/fc_payloads.hpp"
#include "tests/node/getset_payloads.hpp"
#include "tests/node/node_fixture.hpp"

namespace {

constexpr uint64_t kMs = 1000000;  // ns
constexpr uint8_t kFcNode = 20;
constexpr uint8_t kClientNode = 30;
constexpr uint64_t kFcUniqId = 0xA0A0A0A0A0A0A0A0ULL;
constexpr uint32_t kExecuteOpcodeId = 10;
constexpr uint64_t kExecuteOpcodeSignature = 0x3B131AC5EB69D2CDULL;
constexpr uint32_t kSlots = 32767;

std::vector<uint64_t> g_compareWrites;  // pwm0's compare writes, virtual ns

uint32_t erases() { return sim::flashEraseCount(10) + sim::flashEraseCount(11); }

class StoreTest : public nodetest::NodeFixture {
protected:
    void SetUp() override
    {
        NodeFixture::SetUp();
        client_ = std::make_unique<sim::CanPeer>(0);
        g_compareWrites.clear();
        sim::setCompareObserver([](const TIM_TypeDef* timer, unsigned channel, uint32_t, uint64_t ns) {
            if (timer == TIM5 && channel == 1) {
                g_compareWrites.push_back(ns);
            }
        });
    }
    void TearDown() override { sim::setCompareObserver(nullptr); }

    // Records of the rows' compiled-in values, round and round, written before power-on: the node finds
    // every row stored and writes nothing at start-up. Stops early where the store refuses.
    static uint32_t fillStore(uint32_t records)
    {
        uint32_t n = 0;
        for (; n < records; ++n) {
            const uint8_t row = static_cast<uint8_t>(n % Var_Last);
            if (!NVMSet(row, static_cast<NMVVar_t>(parameterRows[row].val & 0xFFFF))) {
                break;
            }
        }
        return n;
    }

    // A flight controller on bus 0 over [from, until): a vote for bus 0 every 100 ms, and a RawCommand
    // every 2.5 ms (400 Hz) whose value changes every time, so that each one writes the compare registers.
    void fly(uint64_t from_ns, uint64_t until_ns)
    {
        uint8_t raw_tid = 0;
        uint8_t vote_tid = 0;
        for (uint64_t t = from_ns, n = 0; t < until_ns; t += 2500000U, ++n) {
            if (n % 40U == 0U) {
                for (const sim::CanFrame& f :
                     bus::framesOf(bus::messageId(24, fc::kUseFlightControllerId, kFcNode), vote_tid++,
                                   fc::useFlightController(kFcUniqId, 0, 0), fc::kUseFlightControllerSignature)) {
                    peers[0]->sendAt(t, f);
                }
            }
            const int value = n % 2U == 0U ? 6000 : 3000;
            for (const sim::CanFrame& f : bus::framesOf(bus::messageId(24, fc::kRawCommandId, kFcNode), raw_tid++,
                                                        fc::rawCommand({value, value, value, value}),
                                                        fc::kRawCommandSignature)) {
                peers[0]->sendAt(t, f);
            }
        }
    }

    void requestAt(uint64_t at_ns, uint32_t dtid, uint64_t signature, const std::vector<uint8_t>& payload)
    {
        for (const sim::CanFrame& f : bus::framesOf(bus::serviceId(30, dtid, true, nodetest::kNodeIds[0], kClientNode),
                                                    client_tid_[dtid]++, payload, signature)) {
            client_->sendAt(at_ns, f);
        }
    }
    void writeParameterAt(uint64_t at_ns, int64_t value)
    {
        requestAt(at_ns, bus::kGetSetId, bus::kGetSetSignature,
                  getset::request(0, getset::value::integer(value), "CAN2PWM_CH1"));
    }

    // The node's answers of one service on bus 0, in order.
    static std::vector<bus::Transfer> answers(uint32_t dtid)
    {
        std::vector<bus::Transfer> out;
        for (const bus::Transfer& t : bus::transfersOf(bus::nodeFrames(0))) {
            if (bus::isService(t.can_id) && bus::dataTypeOfService(t.can_id) == dtid) {
                out.push_back(t);
            }
        }
        return out;
    }

    // The longest time between two of the node's NodeStatus broadcasts on the port, up to now.
    static uint64_t longestNodeStatusGapNs(unsigned port)
    {
        uint64_t last = 0;
        uint64_t longest = 0;
        for (const auto& [frame, end_ns] : bus::nodeFrames(port)) {
            if (!bus::isService(frame.id) && bus::dataTypeOfMessage(frame.id) == bus::kNodeStatusId) {
                longest = std::max(longest, end_ns - last);
                last = end_ns;
            }
        }
        return std::max(longest, sim::nowNs() - last);
    }

    // Health (top two bits of byte 4) of the port's last NodeStatus and its source node; {-1, 0} if none.
    static std::pair<int, unsigned> lastNodeStatus(unsigned port)
    {
        std::pair<int, unsigned> last{-1, 0};
        for (const auto& [frame, end_ns] : bus::nodeFrames(port)) {
            if (!bus::isService(frame.id) && bus::dataTypeOfMessage(frame.id) == bus::kNodeStatusId) {
                last = {frame.data[4] >> 6, frame.id & 0x7FU};
            }
        }
        return last;
    }

    std::vector<uint8_t> getsetAt(uint64_t at_ns, const std::vector<uint8_t>& request)
    {
        const std::size_t before = answers(bus::kGetSetId).size();
        requestAt(at_ns, bus::kGetSetId, bus::kGetSetSignature, request);
        sitl::runUntilNs(at_ns + 20 * kMs);
        const auto after = answers(bus::kGetSetId);
        return after.size() > before ? after.back().payload : std::vector<uint8_t>{};
    }

    // The store moved to its other page without the old page's erase, which waits for the quiet time.
    static void leaveAnErasePending()
    {
        InitNVM();
        NVMAllowErase(false);
        ASSERT_EQ(fillStore(kSlots + 1U), kSlots + 1U);
        ASSERT_TRUE(EE_ErasePending());
        sim::reset();
    }

    static uint64_t longestGapNs(const std::vector<uint64_t>& times, uint64_t from_ns, uint64_t until_ns)
    {
        uint64_t last = from_ns;
        uint64_t longest = 0;
        for (const uint64_t t : times) {
            if (t >= from_ns && t < until_ns) {
                longest = std::max(longest, t - last);
                last = t;
            }
        }
        return std::max(longest, until_ns - last);
    }

    std::unique_ptr<sim::CanPeer> client_;
    std::map<uint32_t, uint8_t> client_tid_;
};

TEST_F(StoreTest, APageTransferInFlightOnlyProgramsAndTheOldPageIsErasedOnceTheVotesStop)
{
    InitNVM();
    ASSERT_EQ(fillStore(kSlots - 12U), kSlots - 12U);  // twelve free records left
    sim::reset();
    fly(100 * kMs, 3000 * kMs);
    for (uint64_t i = 0; i < 20U; ++i) {
        writeParameterAt((1000 + 50 * i) * kMs, 1);  // its compiled-in value: the outputs' mapping stays
    }
    const uint32_t erased = erases();
    sitl::powerOn();
    sitl::runUntilNs(3000 * kMs);

    ASSERT_EQ(answers(bus::kGetSetId).size(), 20U);
    EXPECT_EQ(sim::flashPeek16(sim::kFlashSector11), 0x0000U) << "the store moved to its other page";
    EXPECT_EQ(erases(), erased) << "without an erase";
    EXPECT_TRUE(EE_ErasePending());
    EXPECT_GT(g_compareWrites.size(), 1000U);
    EXPECT_LE(longestGapNs(g_compareWrites, 200 * kMs, 3000 * kMs), 50 * kMs) << "the outputs followed the commands";
    for (unsigned port = 0; port < 3; ++port) {
        EXPECT_LE(longestNodeStatusGapNs(port), 1100 * kMs) << "port " << port;
    }

    sitl::runUntilNs(10500 * kMs);  // the vote times out at 3.25 s, the quiet time ends at 9.25 s
    EXPECT_EQ(erases(), erased + 1U) << "the old page erased once the votes stopped";
    EXPECT_FALSE(EE_ErasePending());
}

TEST_F(StoreTest, WhileElectedAWriteThatNeedsAnEraseAndEraseItselfAreRefused)
{
    InitNVM();
    ASSERT_EQ(fillStore(kSlots), kSlots);
    NVMAllowErase(false);  // both pages full: the second one without the first one's erase
    fillStore(2U * kSlots);
    ASSERT_TRUE(NVMWriteRefused());
    sim::reset();
    fly(100 * kMs, 1000 * kMs);
    writeParameterAt(500 * kMs, 7);
    requestAt(600 * kMs, kExecuteOpcodeId, kExecuteOpcodeSignature, {1, 0, 0, 0, 0, 0, 0});  // ERASE
    writeParameterAt(4500 * kMs, 7);
    sitl::powerOn();

    sitl::runUntilNs(1000 * kMs);
    ASSERT_EQ(answers(bus::kGetSetId).size(), 1U);
    EXPECT_EQ(getset::valueOf(answers(bus::kGetSetId)[0].payload), 1) << "refused: the value unchanged";
    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_CHStart].val, 1);
    ASSERT_EQ(answers(kExecuteOpcodeId).size(), 1U);
    EXPECT_EQ(answers(kExecuteOpcodeId)[0].payload.back(), 0U) << "ERASE answers ok=false";
    EXPECT_EQ(nodetest::node().health.nodeHealth(), UAVCAN_PROTOCOL_NODESTATUS_HEALTH_OK) << "refused, the store has not failed";

    // The vote times out at 1.15 s: with no flight controller elected the write may erase, and does, in
    // its own pass (the waiting page first, then the transfer), before the answer leaves.
    sitl::runUntilNs(6000 * kMs);
    ASSERT_EQ(answers(bus::kGetSetId).size(), 2U);
    EXPECT_EQ(getset::valueOf(answers(bus::kGetSetId)[1].payload), 7) << "stored once the erase could run";
}

// A flight controller that reboots (up to 5 s of silence) finds the node answering, and driving the
// outputs, within 10 ms of its first frames: the waiting erase does not start in the silence, also after
// a flight longer than the quiet time.
TEST_F(StoreTest, AFlightControllerBackFromARebootDrivesTheOutputsAtOnce)
{
    leaveAnErasePending();
    const uint32_t erased = erases();
    fly(100 * kMs, 7000 * kMs);
    fly(10000 * kMs, 10500 * kMs);  // back after 3 s
    fly(15500 * kMs, 16000 * kMs);  // back after 5 s
    sitl::powerOn();
    for (const uint64_t back_ms : {10000U, 15500U}) {
        sitl::runUntilNs(back_ms * kMs);
        EXPECT_EQ(sim::pwmOutput(0).pulseUs(), 0U) << "silent: no pulse";
        sitl::runUntilNs((back_ms + 10U) * kMs);
        EXPECT_NE(sim::pwmOutput(0).pulseUs(), 0U) << "back at " << back_ms << " ms: driven within 10 ms";
        EXPECT_EQ(erases(), erased) << "no erase in the silence before " << back_ms << " ms";
    }
}

// A store that cannot be brought up (a page transfer a power cut stopped as it began, which EE_Init must
// finish, on sectors write-protected so that it cannot) does not stop the node: it serves on the
// compiled-in values, reports ERROR, answers reads, refuses writes with the unchanged value, and says why
// on the console.
TEST_F(StoreTest, AStoreThatCannotStartLeavesTheNodeServingOnCompiledInValues)
{
    nodetest::storeParameter(Var_CAN2PWM_CHStart, 7);
    sim::flashPoke16(sim::kFlashSector11, RECEIVE_DATA);
    sim::flashSetWriteProtection(10, true);
    sim::flashSetWriteProtection(11, true);
    sim::reset();
    sitl::powerOn();
    sitl::runUntilNs(1100 * kMs);

    EXPECT_EQ(lastNodeStatus(0), std::make_pair(int{UAVCAN_PROTOCOL_NODESTATUS_HEALTH_ERROR}, 110U));
    EXPECT_EQ(getsetAt(1100 * kMs, getset::request(0, getset::value::kEmpty, "CAN2PWM_CH1")),
              getset::answer(1, 1, 16, 0, "CAN2PWM_CH1"));
    EXPECT_EQ(getsetAt(1200 * kMs, getset::request(0, getset::value::integer(3), "CAN2PWM_CH1")),
              getset::answer(1, 1, 16, 0, "CAN2PWM_CH1"));
    EXPECT_NE(sim::usart2Sent().find("store not started: compiled-in parameters, writes refused\n"),
              std::string::npos);
}

// Stored values outside their rows' ranges are not used: the compiled-in ones replace them, with health
// WARNING and a console line. The node keeps its node ID, its ESC outputs and GetSet its ranges.
TEST_F(StoreTest, StoredValuesOutsideTheirRangesAreReplacedByTheCompiledInOnes)
{
    nodetest::storeParameter(Var_CAN2PWM_ACTStart + 4, 5);
    nodetest::storeParameter(Var_NETID0, 200);
    nodetest::storeParameter(Var_CAN2PWM_CHStart, 32767);
    nodetest::storeParameter(Var_CAN2PWM_CHStart + 1, 16);  // in range: used
    sim::reset();
    sitl::powerOn();
    sitl::runUntilNs(1100 * kMs);

    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_ACTStart + 4].val, 0);
    EXPECT_EQ(nodetest::node().parameters[Var_CAN2PWM_CHStart + 1].val, 16);
    EXPECT_EQ(lastNodeStatus(0), std::make_pair(int{UAVCAN_PROTOCOL_NODESTATUS_HEALTH_WARNING}, 110U));
    EXPECT_EQ(getsetAt(1100 * kMs, getset::request(0, getset::value::kEmpty, "CAN2PWM_CH1")),
              getset::answer(1, 1, 16, 0, "CAN2PWM_CH1"));
    EXPECT_NE(sim::usart2Sent().find("stored parameter out of range: compiled-in value used\n"), std::string::npos);
}

// The first start on blank flash formats the store: both pages erased, a second each, before the node
// drives anything. A start on a formatted store erases nothing.
TEST_F(StoreTest, OnlyTheFirstStartOnBlankFlashPaysForTheErases)
{
    sim::flashReset();
    sitl::powerOn();
    EXPECT_GE(sim::nowNs(), 2000 * kMs);
    sim::powerCycle();
    const uint64_t again = sim::nowNs();
    sitl::powerOn();
    EXPECT_LT(sim::nowNs() - again, 20 * kMs);
}

// The image on the emulated core (endpoint-sitl --elf), for what only its cycles show: the built-in
// firmware pays nothing for reading flash.
class StoreImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::ifstream(ENDPOINT_IMAGE)) {
            GTEST_SKIP() << "no chip image at " << ENDPOINT_IMAGE << ": build the stm32f413 preset first";
        }
        dir_ = std::filesystem::temp_directory_path() / ("store_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override
    {
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_);
        }
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    static std::string slurp(const std::string& file)
    {
        std::ostringstream text;
        text << std::ifstream(file, std::ios::binary).rdbuf();
        return text.str();
    }
    int run(const std::string& args) const
    {
        const std::string command = std::string(ENDPOINT_SITL) + " --elf " + ENDPOINT_IMAGE + " " + args + " > " +
                                    path("stdout.txt") + " 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // One figure of a --profile file.
    static double figure(const std::string& profile, const std::string& name)
    {
        std::istringstream lines(slurp(profile));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(name + ",", 0) == 0) {
                return std::stod(line.substr(name.size() + 1));
            }
        }
        ADD_FAILURE() << "no " << name << " in the profile";
        return 0;
    }

private:
    std::filesystem::path dir_;
};

// A page filled up with one row's writes: every other row is found at its start, each a walk of the whole
// page (some 6 ms on the chip), all of them together longer than the watchdog's period. The start-up
// keeps the watchdog fed between them and comes up.
TEST_F(StoreImageTest, AStartOnAFullPageOfOldRowsComesUpWithinTheWatchdog)
{
    sim::flashReset();
    InitNVM();
    for (uint8_t row = 0; row < Var_Last; ++row) {
        ASSERT_TRUE(NVMSet(row, static_cast<NMVVar_t>(parameterRows[row].val)));
    }
    for (uint32_t n = Var_Last; n < kSlots; ++n) {
        ASSERT_TRUE(NVMSet(Var_CAN2PWM_CHStart, 1));
    }
    ASSERT_EQ(sim::flashPeek32(sim::kFlashSector10 + sim::kFlashSectorSize - 4U) >> 16, Var_CAN2PWM_CHStart + 1U)
        << "the page is full";
    const std::vector<uint16_t> image = sim::flashImage();
    std::ofstream(path("flash.bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size() * 2U));

    ASSERT_EQ(run("--flash " + path("flash.bin") + " --until 0.5 --console " + path("console.txt")), 0)
        << slurp(path("stdout.txt"));
    const std::string console = slurp(path("console.txt"));
    EXPECT_NE(console.find("4bxcan init ok\n"), std::string::npos) << console;
    EXPECT_EQ(console.find("reset cause: watchdog"), std::string::npos) << console;
}

// No pass of the main loop outside a page transfer or an erase may outlast what the receive buffers hold
// at full load: 10 + 3 frames per bus at 13333 frames/s, some 93000 cycles at 96 MHz. An idle node past
// its first seconds checks its spare page, 128 KB of reading, a slice at a time.
TEST_F(StoreImageTest, NoPassButATransferOrAnEraseOutlastsTheReceiveBuffers)
{
    constexpr double kReceiveBufferCycles = 90000;
    ASSERT_EQ(run("--until 2.5 --profile " + path("profile.csv")), 0) << slurp(path("stdout.txt"));
    EXPECT_LT(figure(path("profile.csv"), "pass_cycles_max_besides_transfer_and_erase"), kReceiveBufferCycles);
}

}  // namespace
