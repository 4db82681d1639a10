// endpoint-sitl as a user runs it: scripts in, logs out, byte for byte repeatable.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sitl/candump.hpp"
#include "sitl/bus_transfers.hpp"
#include "tests/node/fc_payloads.hpp"
#include "tests/node/sitl_firmware.hpp"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The LogMessages the node sent on a bus, whole and with their CRC checked, as "LEVEL SOURCE: TEXT".
std::vector<std::string> logMessagesOf(const std::vector<sitl::LoggedFrame>& sent, unsigned port)
{
    constexpr uint32_t kLogMessageId = 16383;
    constexpr uint64_t kLogMessageSignature = 0xD654A48E0C049D75ULL;
    std::vector<std::pair<sim::CanFrame, uint64_t>> frames;
    for (const sitl::LoggedFrame& f : sent) {
        if (f.port == port && !bus::isService(f.frame.id) && bus::dataTypeOfMessage(f.frame.id) == kLogMessageId) {
            EXPECT_EQ(f.frame.id >> 24, 24U) << "at the node's low priority";
            frames.emplace_back(f.frame, f.time_us);
        }
    }
    std::vector<std::string> out;
    for (const bus::Transfer& t : bus::transfersOf(frames)) {
        EXPECT_TRUE(t.frames == 1 || t.crc == bus::transferCrc(kLogMessageSignature, t.payload));
        const std::size_t source = t.payload.at(0) & 31U;
        out.push_back(std::to_string(t.payload[0] >> 5) + " " +
                      std::string(t.payload.begin() + 1, t.payload.begin() + 1 + static_cast<long>(source)) + ": " +
                      std::string(t.payload.begin() + 1 + static_cast<long>(source), t.payload.end()));
    }
    return out;
}

class SitlFixture : public ::testing::Test {
protected:
    fs::path dir;
    std::string firmware;  // how endpoint-sitl runs the node: empty for its built-in firmware

    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("sitl_test_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const std::string& name, const std::string& text) { std::ofstream(dir / name) << text; }

    // Exit status of endpoint-sitl with these arguments; stdout goes to dir/stdout.txt, stderr to
    // dir/stderr.txt.
    int run(const std::string& args)
    {
        const std::string command = std::string(ENDPOINT_SITL) + " " + firmware + " " + args + " >" + (dir / "stdout.txt").string() +
                                    " 2>" + (dir / "stderr.txt").string();
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }
};

// Scenarios run both ways: the firmware compiled into endpoint-sitl, and the flashed image itself on the
// emulated core. The outcomes are the same; only times may differ where the chip is slower.
class SitlRun : public SitlFixture, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override
    {
        firmware = GetParam();
        SITL_SKIP_WITHOUT_IMAGE(firmware);
        SitlFixture::SetUp();
    }
};
INSTANTIATE_TEST_SUITE_P(Firmware, SitlRun, sitl_firmware::kBothWays, sitl_firmware::name);

TEST_P(SitlRun, APortStartedWithoutANodeIdTakesTheOneAnAllocatorGives)
{
    // The allocator (node 10) names the node's whole unique ID (chip ID 1, 2, 3, each word LSB first, then
    // four zero bytes) with node ID 42, on CAN2, a second after start.
    const std::vector<uint8_t> payload = {42 << 1, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
    std::string script;
    for (const sim::CanFrame& f : bus::framesOf(bus::messageId(24, bus::kAllocationId, 10), 0, payload,
                                                bus::kAllocationSignature)) {
        script += sitl::formatCandump({1000000, 1, f}) + "\n";
    }
    write("in.log", script);
    ASSERT_EQ(run("--param NETID1=0 --uid 1,2,3 --replay " + path("in.log") + " --until 2.6 --out " + path("out.log")),
              0)
        << slurp(dir / "stderr.txt");
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(dir / "out.log"), &sent, &error)) << error;
    bool anonymous_before = false;
    bool status_as_42 = false;
    for (const auto& f : sent) {
        anonymous_before = anonymous_before || (f.port == 1 && (f.frame.id & 0x7FU) == 0 && f.time_us < 1000000);
        status_as_42 = status_as_42 || (f.port == 1 && f.frame.id == bus::messageId(24, bus::kNodeStatusId, 42));
    }
    EXPECT_TRUE(anonymous_before) << "the port asked for a node ID first";
    EXPECT_TRUE(status_as_42) << "and then served as node 42";
}

// Output safety and health, as the trace and the bus show them. Node 10 votes for CAN1 all along; node 11
// commands the four ESC outputs at 0.2 s, then element 0 alone every 50 ms; node 30 panics on CAN2 at 1.2,
// 1.3 and 1.4 s; CAN3 is disconnected from 1.5 to 3.5 s.
TEST_P(SitlRun, EscTimeoutPanicAndHealthBothWays)
{
    std::vector<std::pair<uint64_t, std::string>> lines;  // sorted into the script
    uint8_t tid[3] = {};
    const auto add = [&](uint64_t us, unsigned port, uint32_t dtid, uint64_t signature, uint8_t node,
                         const std::vector<uint8_t>& payload) {
        for (const sim::CanFrame& f : bus::framesOf(bus::messageId(24, dtid, node), tid[node % 3]++, payload, signature)) {
            lines.emplace_back(us, sitl::formatCandump({us, port, f}));
        }
    };
    for (uint64_t us = 100000; us < 4500000; us += 100000) {
        add(us, 0, fc::kUseFlightControllerId, fc::kUseFlightControllerSignature, 10,
            fc::useFlightController(0xA0A0A0A0A0A0A0A0ULL, 0, 0));
    }
    add(200500, 0, fc::kRawCommandId, fc::kRawCommandSignature, 11, fc::rawCommand({4171, 4171, 4171, 4171}));
    for (uint64_t us = 250500; us < 2500000; us += 50000) {
        add(us, 0, fc::kRawCommandId, fc::kRawCommandSignature, 11, fc::rawCommand({8191}));
    }
    for (const uint64_t us : {1200700U, 1300700U, 1400700U}) {
        add(us, 1, bus::kPanicId, bus::kPanicSignature, 30, {'S', 'T', 'O', 'P'});
    }
    std::stable_sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string script;
    for (const auto& line : lines) {
        script += line.second + "\n";
    }
    write("in.log", script);
    ASSERT_EQ(run("--replay " + path("in.log") + " --until 4.5 --disconnect can2@1.5:3.5 --trace " +
                  path("trace.csv") + " --out " + path("out.log")),
              0)
        << slurp(dir / "stderr.txt");

    // The last value of each output at a time, from the trace's changes.
    std::map<std::string, std::map<uint64_t, long>> changes;
    std::istringstream trace(slurp(dir / "trace.csv"));
    for (std::string line; std::getline(trace, line);) {
        const auto a = line.find(',');
        const auto b = line.rfind(',');
        changes[line.substr(a + 1, b - a - 1)][std::stoull(line.substr(0, a))] = std::stol(line.substr(b + 1));
    }
    const auto valueAt = [&](const std::string& name, uint64_t us) {
        const auto& c = changes[name];
        auto it = c.upper_bound(us);
        return it == c.begin() ? -1L : std::prev(it)->second;
    };
    EXPECT_EQ(valueAt("pwm1_us", 200000), 0) << "no ESC pulse before the first command";
    EXPECT_EQ(valueAt("pwm1_us", 690000), 1500);
    EXPECT_EQ(valueAt("pwm1_us", 760000), 0) << "element 1's last command came at 0.2 s";
    EXPECT_EQ(valueAt("pwm0_us", 1390000), 2000) << "two Panic messages change nothing";
    EXPECT_EQ(valueAt("pwm0_us", 1420000), 0) << "the third stops every output";
    EXPECT_EQ(valueAt("pwm4_us", 1420000), 0);
    EXPECT_EQ(valueAt("pwm0_us", 1890000), 0);
    EXPECT_EQ(valueAt("pwm0_us", 1960000), 2000) << "500 ms after the last, commands drive again";

    // NodeStatus health on CAN1: OK, WARNING while CAN3 is out, OK again.
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(dir / "out.log"), &sent, &error)) << error;
    std::map<uint64_t, int> health;
    for (const auto& f : sent) {
        if (f.port == 0 && bus::dataTypeOfMessage(f.frame.id) == bus::kNodeStatusId) {
            health[f.time_us / 1000000] = f.frame.data[4] >> 6;
        }
    }
    EXPECT_EQ(health, (std::map<uint64_t, int>{{1, 0}, {2, 1}, {3, 1}, {4, 0}}));
}

TEST_P(SitlRun, ProfileSaysWhatTheRunCost)
{
    const std::string byFunction = firmware.empty() ? "" : " --profile-functions " + path("functions.csv");
    ASSERT_EQ(run("--until 1.2 --profile " + path("profile.csv") + byFunction), 0);
    std::map<std::string, double> figure;
    std::istringstream lines(slurp(dir / "profile.csv"));
    for (std::string line; std::getline(lines, line);) {
        figure[line.substr(0, line.find(','))] = std::stod(line.substr(line.find(',') + 1));
    }
    EXPECT_DOUBLE_EQ(figure["emulated_seconds"], 1.2);
    EXPECT_GT(figure["wall_seconds"], 0.0);
    EXPECT_GT(figure["passes"], 1000.0);
    EXPECT_EQ(figure.count("rx_overflow_can3"), 1U);
    EXPECT_EQ(figure["cmd_to_compare_us_max"], 0.0) << "no commands, nothing measured";
    if (!firmware.empty()) {
        // Counted on the image: a pass is hundreds of cycles, the task's stack (5 KB) is used but not
        // exhausted, 96 M cycles a second once the clock tree is up.
        EXPECT_GT(figure["pass_cycles_p50"], 100.0);
        EXPECT_LE(figure["pass_cycles_p50"], figure["pass_cycles_p99"]);
        EXPECT_LE(figure["pass_cycles_p99"], figure["pass_cycles_max"]);
        EXPECT_GT(figure["isr_cycles_max"], 0.0);
        EXPECT_GT(figure["stack_task_max_bytes"], 64.0);
        EXPECT_LT(figure["stack_task_max_bytes"], 5120.0);
        EXPECT_GT(figure["stack_main_max_bytes"], 0.0);
        EXPECT_NEAR(figure["cycles"], 1.2 * 96e6, 0.05 * 96e6);
        EXPECT_GT(figure["instructions"], 0.0);
        // Every cycle of the run in some function's line, the main loop's among the most.
        std::istringstream rows(slurp(dir / "functions.csv"));
        double counted = 0;
        double mainLoop = 0;
        for (std::string row; std::getline(rows, row);) {
            const std::size_t comma = row.rfind(',', row.rfind(',') - 1);
            if (comma != std::string::npos && row.front() == '"') {
                const double cycles = std::stod(row.substr(comma + 1));
                counted += cycles;
                mainLoop += row.rfind("\"Node::MainTaskPass()\"", 0) == 0 ? cycles : 0;
            }
        }
        EXPECT_NEAR(counted, figure["cycles"], 0.01 * figure["cycles"]);
        EXPECT_GT(mainLoop, 0.05 * figure["cycles"]);
    }
}

// What the program says about its command line, whichever firmware it would run.
using SitlCli = SitlFixture;

TEST_P(SitlRun, SameInputsGiveTheSameOutputs)
{
    write("in.log", "(0.500000) can1 1804060A#00012D0F57FFDFC0\n(1.250000) can2 1E01EE8A#C2\n");
    const std::string common = "--replay " + path("in.log") + " --until 2.5 --uid 1,2,3 ";
    ASSERT_EQ(run(common + "--out " + path("a.log") + " --trace " + path("a.csv") + " --console " + path("a.txt")), 0);
    ASSERT_EQ(run(common + "--out " + path("b.log") + " --trace " + path("b.csv") + " --console " + path("b.txt")), 0);
    EXPECT_FALSE(slurp(dir / "a.log").empty());
    EXPECT_EQ(slurp(dir / "a.log"), slurp(dir / "b.log"));
    EXPECT_EQ(slurp(dir / "a.csv"), slurp(dir / "b.csv"));
    EXPECT_EQ(slurp(dir / "a.txt"), slurp(dir / "b.txt"));

    // Two NodeStatus per port, stamped when they ended on the bus, in the replay's own format.
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(dir / "a.log"), &sent, &error)) << error;
    unsigned per_port[3] = {};
    for (const auto& f : sent) {
        if (((f.frame.id >> 8) & 0xFFFFU) == 341) {
            ++per_port[f.port];
            EXPECT_TRUE(f.frame.extended);
            EXPECT_GT(f.time_us, 1000000U);
        }
    }
    EXPECT_EQ(per_port[0], 2U);
    EXPECT_EQ(per_port[1], 2U);
    EXPECT_EQ(per_port[2], 2U);
}

TEST_P(SitlRun, UntilDefaultsToOneSecondAfterTheLastFrame)
{
    write("in.log", "(2.000000) can0 1804060A#00012D0F57FFDFC0\n");
    ASSERT_EQ(run("--replay " + path("in.log") + " --out " + path("out.log")), 0);
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(dir / "out.log"), &sent, &error)) << error;
    ASSERT_FALSE(sent.empty());
    EXPECT_LE(sent.back().time_us, 3000000U);
    EXPECT_GT(sent.back().time_us, 2000000U);  // NodeStatus at 2 s was still sent
}

TEST_P(SitlRun, DisconnectedBusSendsNothing)
{
    // can1 for the whole run, can2 from 0.5 s to 1.5 s.
    ASSERT_EQ(run("--until 2.2 --disconnect can1 --disconnect can2@0.5:1.5 --out " + path("out.log")), 0);
    const std::string out = slurp(dir / "out.log");
    EXPECT_EQ(out.find(" can1 "), std::string::npos);
    EXPECT_NE(out.find(" can0 "), std::string::npos);
    const std::size_t first = out.find(" can2 18015570#01");
    ASSERT_NE(first, std::string::npos);
    const double sent_s = std::stod(out.substr(out.rfind('(', first) + 1));
    EXPECT_GE(sent_s, 1.5) << "the 1 s NodeStatus waits in its mailbox until can2 is back";
    EXPECT_NE(out.find(" can2 18015570#02"), std::string::npos);
}

// RestartNode with the magic number from node 10 to node 110 at 2.5 s: the node is power-cycled on its
// flash and comes back with the same node ID, and the scenario goes on.
TEST_P(SitlRun, RestartNodePowersTheNodeOnAgainAndTheScenarioGoesOn)
{
    // RestartNode with the right magic at 2.5 s, a GetNodeInfo request at 3.7 s.
    write("in.log", "(2.500000) can0 1E05EE8A#1E1B55CEACC3\n(3.700000) can0 1E01EE8A#C1\n");
    const int status = run("--replay " + path("in.log") + " --until 4.5 --out " + path("out.log") + " --console " +
                           path("console.txt"));
    ASSERT_EQ(status, 0) << slurp(dir / "stderr.txt");
    const std::string console = slurp(dir / "console.txt");
    std::size_t port_starts = 0;
    for (std::size_t at = 0; (at = console.find("4bxcan init ok\n", at)) != std::string::npos; ++at) {
        ++port_starts;
    }
    EXPECT_EQ(port_starts, 6U) << "the serial line keeps the first life's texts and shows the second start-up";
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(dir / "out.log"), &sent, &error)) << error;
    uint64_t answered_us = 0;
    uint32_t uptime_before = 0, uptime_after = UINT32_MAX;
    for (const auto& f : sent) {
        if (f.port == 0 && f.frame.id == 0x1E050AEEU && f.frame.dlc == 2 && f.frame.data[0] == 0x80) {
            answered_us = f.time_us;
        }
        if (f.port == 0 && ((f.frame.id >> 8) & 0xFFFFU) == 341 && (f.frame.id & 0x7FU) == 110) {
            uint32_t uptime = 0;
            for (int i = 3; i >= 0; --i) {
                uptime = (uptime << 8) | f.frame.data[i];
            }
            if (answered_us == 0) {
                uptime_before = uptime;
            } else if (uptime_after == UINT32_MAX) {
                uptime_after = uptime;
            }
        }
    }
    ASSERT_NE(answered_us, 0U) << "the answer, ok true";
    EXPECT_EQ(uptime_before, 2U);
    EXPECT_EQ(uptime_after, 1U) << "NodeStatus from node 110 again, counting from the restart";
    EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const sitl::LoggedFrame& f) {
        return f.port == 0 && f.frame.id == 0x1E010AEEU && f.time_us > 3700000U;
    })) << "the node started afresh answers GetNodeInfo";
}

TEST_P(SitlRun, FlashFileKeepsTheStoreAcrossRuns)
{
    // A format erases both sectors, a second each: the image's run must last that long to finish it.
    ASSERT_EQ(run("--until 2.2 --flash " + path("flash.bin")), 0);
    EXPECT_EQ(fs::file_size(dir / "flash.bin"), 256U * 1024U);
    const std::string first = slurp(dir / "flash.bin");
    ASSERT_EQ(run("--until 0.1 --flash " + path("flash.bin")), 0);
    EXPECT_EQ(slurp(dir / "flash.bin"), first) << "a second start finds the store formatted and reads it only";
    EXPECT_EQ(slurp(dir / "stderr.txt"), "");

    // A store of the right size that cannot be read is formatted, as the chip would, and the user told.
    write("flash.bin", std::string(256U * 1024U, '\x5A'));
    ASSERT_EQ(run("--until 2.2 --flash " + path("flash.bin")), 0);
    EXPECT_NE(slurp(dir / "stderr.txt").find("could not be read and was formatted"), std::string::npos);
    EXPECT_EQ(slurp(dir / "flash.bin"), first);

    // One of another layout (FORMATID 4: the record of variable 1, value first) is wiped, and the user told.
    std::string other = first;
    const std::size_t record = other.find(std::string("\x06\x00\x01\x00", 4));
    ASSERT_NE(record, std::string::npos);
    other[record] = '\x04';
    write("flash.bin", other);
    ASSERT_EQ(run("--until 0.5 --flash " + path("flash.bin")), 0);
    EXPECT_NE(slurp(dir / "stderr.txt").find("has another layout (FORMATID 4) and was formatted"), std::string::npos)
        << slurp(dir / "stderr.txt");
}

// Anything but a new file or a store image is refused and left byte for byte as it was.
TEST_F(SitlCli, FlashFileOfAnotherKindIsLeftAlone)
{
    const std::pair<std::string, std::string> files[] = {
        {"image.elf", std::string("\x7f" "ELF") + std::string(70000, '\x01')},  // a firmware image given by mistake
        {"short.bin", std::string(256U * 1024U - 2U, '\xFF')},
        {"long.bin", std::string(256U * 1024U + 1U, '\xFF')},
        {"empty.bin", ""},
    };
    for (const auto& [name, content] : files) {
        write(name, content);
        EXPECT_EQ(run("--until 0.1 --flash " + path(name)), 2) << name;
        EXPECT_NE(slurp(dir / "stderr.txt").find("a flash file is 262144 bytes"), std::string::npos) << name;
        EXPECT_EQ(slurp(dir / name), content) << name;
    }
    fs::create_directory(dir / "store");
    EXPECT_EQ(run("--until 0.1 --flash " + path("store")), 2);
    EXPECT_NE(slurp(dir / "stderr.txt").find("not a regular file"), std::string::npos);
}

// The main loop hangs at 1.5 s in the failover scenario (A elected, outputs at 1727 us): the watchdog resets
// the chip, the outputs drop, and the node starts again, says why on its console, reports a warning and
// follows the commands again.
TEST_P(SitlRun, AHungMainLoopIsResetByTheWatchdogAndTheNodeComesBack)
{
    constexpr uint64_t kHangUs = 1500000;
    ASSERT_EQ(run("--replay " + std::string(SCENARIO_DIR) + "/failover.log --until 3 --hang 1.5 --trace " + path("trace.csv") + " --console " +
                  path("console.txt") + " --out " + path("out.log")),
              0)
        << slurp(dir / "stderr.txt");
    EXPECT_NE(slurp(dir / "console.txt").find("4bxcan init ok\nreset cause: watchdog\n4bxcan init ok\n"),
              std::string::npos);

    // pwm0's widths after the hang, in order: the chip's reset drops them, the start-up sets neutral
    // and then none until the vote, then A's command.
    std::istringstream trace(slurp(dir / "trace.csv"));
    uint64_t restarted_us = 0;
    bool following_again = false;
    for (std::string line; std::getline(trace, line);) {
        const uint64_t t = std::stoull(line.substr(0, line.find(',')));
        const std::string what = line.substr(line.find(',') + 1);
        if (t > kHangUs && restarted_us == 0 && what == "led1,1") {
            restarted_us = t;  // the start-up has loaded its parameters
        }
        following_again = following_again || (restarted_us != 0 && what == "pwm0_us,1727");
    }
    ASSERT_NE(restarted_us, 0U);
    EXPECT_LT(restarted_us, kHangUs + 300000U) << "outputs dropped within 300 ms";
    EXPECT_GT(restarted_us, kHangUs + 85000U) << "not before the watchdog's period on its fastest clock";
    EXPECT_TRUE(following_again);

    // NodeStatus on every bus counts from the restart, with health WARNING (1, the top two bits of byte 4).
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(dir / "out.log"), &sent, &error)) << error;
    for (unsigned port = 0; port < 3; ++port) {
        EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [port, restarted_us](const sitl::LoggedFrame& f) {
            return f.port == port && f.time_us > restarted_us && ((f.frame.id >> 8) & 0xFFFFU) == bus::kNodeStatusId &&
                   f.frame.data[0] == 1 && f.frame.data[1] == 0 && (f.frame.data[4] >> 6) == 1;
        })) << "port " << port;
    }

    // The same in the log on every bus, both lives: each bus's bring-up (INFO, 1), then the reset's cause
    // and the warning it gives (WARNING, 2).
    for (unsigned port = 0; port < 3; ++port) {
        const std::vector<std::string> log = logMessagesOf(sent, port);
        const std::vector<std::string> start = {"1 CAN1: 4bxcan init ok", "1 CAN2: 4bxcan init ok",
                                                "1 CAN3: 4bxcan init ok"};
        std::vector<std::string> want = start;
        want.insert(want.end(), {"2 reset cause: watchdog"});
        want.insert(want.end(), start.begin(), start.end());
        want.insert(want.end(), {"2 health: watchdog reset"});
        EXPECT_EQ(log, want) << "port " << port;
    }
}

// GetDataTypeInfo from node 10 on CAN1 for every type the node uses, by ID and kind, then by name, an
// unknown type, and, after an order to ignore CAN1's flight-controller traffic, a command type again.
TEST_P(SitlRun, GetDataTypeInfoListsEveryTypeTheNodeUsesWithItsFlags)
{
    struct Type {
        uint16_t id;
        uint8_t kind;  // 0 service, 1 message
        uint8_t flags;  // 1 known, 2 subscribed, 4 publishing, 8 serving
        uint64_t signature;
        std::string name;
    };
    const std::vector<Type> types = {
        {1, 0, 9, bus::kGetNodeInfoSignature, "uavcan.protocol.GetNodeInfo"},
        {2, 0, 9, 0x1B283338A7BED2D8ULL, "uavcan.protocol.GetDataTypeInfo"},
        {4, 0, 9, 0xBE6F76A7EC312B04ULL, "uavcan.protocol.GetTransportStats"},
        {5, 0, 9, bus::kRestartNodeSignature, "uavcan.protocol.RestartNode"},
        {10, 0, 9, 0x3B131AC5EB69D2CDULL, "uavcan.protocol.param.ExecuteOpcode"},
        {11, 0, 9, bus::kGetSetSignature, "uavcan.protocol.param.GetSet"},
        {1, 1, 1, bus::kAllocationSignature, "uavcan.protocol.dynamic_node_id.Allocation"},
        {341, 1, 7, 0x0F0868D0C1A7C6F1ULL, "uavcan.protocol.NodeStatus"},
        {16383, 1, 5, 0xD654A48E0C049D75ULL, "uavcan.protocol.debug.LogMessage"},
        {5, 1, 3, bus::kPanicSignature, "uavcan.protocol.Panic"},
        {fc::kRawCommandId, 1, 3, fc::kRawCommandSignature, "uavcan.equipment.esc.RawCommand"},
        {fc::kArrayCommandId, 1, 3, fc::kArrayCommandSignature, "uavcan.equipment.actuator.ArrayCommand"},
        {fc::kUseFlightControllerId, 1, 3, fc::kUseFlightControllerSignature, "qon.zb5.UseFlightController"},
        {fc::kVisibleFlightControllerId, 1, 5, fc::kVisibleFlightControllerSignature, "qon.zb5.VisibleFlightController"},
        {fc::kIgnoreCanPortId, 1, 3, fc::kIgnoreCanPortSignature, "qon.zb5.IgnoreCANPort"},
    };
    std::string script;
    uint64_t us = 500000;
    uint8_t tid = 0;
    const auto ask = [&](uint16_t id, uint8_t kind, const std::string& name) {
        std::vector<uint8_t> payload = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), kind};
        payload.insert(payload.end(), name.begin(), name.end());
        for (const sim::CanFrame& f : bus::framesOf(bus::serviceId(30, 2, true, 110, 10), tid++ % 32, payload,
                                                    0x1B283338A7BED2D8ULL)) {
            script += sitl::formatCandump({us, 0, f}) + "\n";
        }
        us += 20000;
    };
    for (const Type& t : types) {
        ask(t.id, t.kind, "");
    }
    ask(0, 0, "qon.zb5.IgnoreCANPort");
    ask(0, 0, "uavcan.protocol.NodeStatu");
    ask(1234, 1, "");
    for (const sim::CanFrame& f : bus::framesOf(bus::messageId(24, fc::kIgnoreCanPortId, 10), 0,
                                                fc::ignoreCanPort(110, true, false, false), fc::kIgnoreCanPortSignature)) {
        script += sitl::formatCandump({us, 0, f}) + "\n";
    }
    us += 20000;
    ask(fc::kRawCommandId, 1, "");
    ask(fc::kVisibleFlightControllerId, 1, "");
    write("in.log", script);
    ASSERT_EQ(run("--replay " + path("in.log") + " --until 1.5 --out " + path("out.log")), 0) << slurp(dir / "stderr.txt");
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(dir / "out.log"), &sent, &error)) << error;
    std::vector<std::pair<sim::CanFrame, uint64_t>> frames;
    for (const sitl::LoggedFrame& f : sent) {
        if (f.port == 0 && bus::isService(f.frame.id) && bus::dataTypeOfService(f.frame.id) == 2) {
            frames.emplace_back(f.frame, f.time_us);
        }
    }
    // Signature (8 bytes, LSB first), ID (2), kind, flags, name: as "ID KIND FLAGS NAME" with the
    // signature checked.
    std::vector<std::string> answers;
    for (const bus::Transfer& t : bus::transfersOf(frames)) {
        ASSERT_GE(t.payload.size(), 12U);
        EXPECT_EQ(t.crc, bus::transferCrc(0x1B283338A7BED2D8ULL, t.payload));
        uint64_t signature = 0;
        for (int i = 7; i >= 0; --i) {
            signature = (signature << 8) | t.payload[static_cast<std::size_t>(i)];
        }
        const std::string name(t.payload.begin() + 12, t.payload.end());
        const auto known = std::find_if(types.begin(), types.end(), [&](const Type& k) { return k.name == name; });
        EXPECT_EQ(signature, known == types.end() ? 0U : known->signature) << name;
        answers.push_back(std::to_string(t.payload[8] | (t.payload[9] << 8)) + " " + std::to_string(t.payload[10]) +
                          " " + std::to_string(t.payload[11]) + " " + name);
    }
    std::vector<std::string> want;
    for (const Type& t : types) {
        want.push_back(std::to_string(t.id) + " " + std::to_string(t.kind) + " " + std::to_string(t.flags) + " " + t.name);
    }
    want.insert(want.end(), {"20113 1 3 qon.zb5.IgnoreCANPort", "0 0 0 uavcan.protocol.NodeStatu", "1234 1 0 ",
                             "1030 1 1 uavcan.equipment.esc.RawCommand", "20112 1 1 qon.zb5.VisibleFlightController"});
    EXPECT_EQ(answers, want);
}

// CAN2 out for 50 ms of every 100 ms for 10 s: the health changes with it (a bus down, ok again) go into
// the log, at most 4 at once and then one a second, on the buses that are up.
TEST_P(SitlRun, ABusFlappingForTenSecondsCannotFloodTheLog)
{
    std::string outages;
    for (unsigned k = 10; k < 110; ++k) {
        outages += " --disconnect can1@" + std::to_string(k / 10) + "." + std::to_string(k % 10) + "0:" +
                   std::to_string(k / 10) + "." + std::to_string(k % 10) + "5";
    }
    ASSERT_EQ(run("--until 12" + outages + " --out " + path("out.log")), 0) << slurp(dir / "stderr.txt");
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(dir / "out.log"), &sent, &error)) << error;
    for (unsigned port : {0U, 2U}) {
        const std::vector<std::string> log = logMessagesOf(sent, port);
        ASSERT_GE(log.size(), 7U) << "port " << port << ": the bring-up and some of the changes";
        EXPECT_EQ(log[3], "2 health: bus down");
        EXPECT_EQ(log[4], "1 health: ok");
        // 4 at once, then one a second over the 12 s.
        EXPECT_LE(log.size(), 4U + 12U) << "port " << port;
    }
}

TEST_F(SitlCli, BadInputIsRefusedWithAReason)
{
    const char* bad[] = {
        "(0.1) can3 1804060A#00\n",         // no such bus
        "(0.1) can0 1804060#00\n",          // 7 identifier digits
        "(0.1) can0 1804060A#0011223344556677889\n",  // odd, too long
        "0.1 can0 1804060A#00\n",           // no parentheses
        "(0.1) can0 3FFFFFFF#00\n",         // above 29 bits
    };
    for (const char* line : bad) {
        write("bad.log", line);
        EXPECT_EQ(run("--replay " + path("bad.log")), 2) << line;
        EXPECT_NE(slurp(dir / "stderr.txt").find("line 1"), std::string::npos) << line;
    }
    EXPECT_EQ(run("--until soon"), 2);
    EXPECT_EQ(run("--uid 1,2"), 2);
    EXPECT_EQ(run("--disconnect can7"), 2);
    EXPECT_EQ(run("--hang never"), 2);
    EXPECT_EQ(run("--replay " + path("missing.log")), 2);
}

// Whatever is wrong with a command line is said before the node runs or any output file is touched.
TEST_F(SitlCli, CommandLinesAreCheckedBeforeTheRun)
{
    write("late.log", "(0.5) can0 1804060A#00\n(0.5) can1 1804060A#00\n(0.499999) can0 1804060A#00\n");
    write("kept.csv", "kept");
    const std::string store(256U * 1024U, '\x5A');
    write("store.bin", store);
    fs::create_hard_link(dir / "store.bin", dir / "store-link");
    const std::string scenario = "(0.05) can0 1804060A#00\n";
    write("sc.log", scenario);
    fs::create_hard_link(dir / "sc.log", dir / "sc-link");
    fs::create_symlink("new.csv", dir / "dangling");  // to a file that does not exist yet
    const std::pair<std::string, std::string> bad[] = {
        {"--replay " + dir.string(), "not a regular file"},
        {"--replay " + path("late.log"), "line 3: out of time order (0.499999 s is before the line above, 0.500000 s)"},
        {"--trace " + path("no/such/dir/t.csv"), "--trace " + path("no/such/dir/t.csv") + ": cannot create it"},
        {"--console " + path("no/dir/c.txt"), "--console"},
        {"--vcd " + path("no/dir/v.vcd"), "--vcd"},
        {"--live --can1 mcast:7 --can3 mcast:7", "--can1 and --can3 are both mcast:7"},
        {"--live --can2 mcast:0", "--can1 and --can2 are both mcast:0"},
        {"--until 1 --until 2", "--until is given twice"},
        {"--live --live", "--live is given twice"},
        {"--trace " + path("kept.csv") + " --out " + path("kept.csv"), "name the same file"},
        {"--trace " + path("kept.csv") + " --replay " + path("late.log"), "out of time order"},
        {"--flash " + path("store.bin") + " --out " + path("store-link"), "name the same file"},
        {"--until 0.1 --replay " + path("sc.log") + " --trace " + path("sc-link"), "name the same file"},
        {"--out " + path("dangling") + " --trace " + path("new.csv"), "name the same file"},
        {"--out " + path("new.csv") + " --vcd " + (dir / "." / "new.csv").string(), "name the same file"},
        {"--until 0.1 --out /dev/full", "--out /dev/full: cannot write to it: No space left on device"},
        {"--quiet", "needs --live"},
        {"--frobnicate", "unknown argument --frobnicate"},
    };
    for (const auto& [args, reason] : bad) {
        EXPECT_EQ(run(args), 2) << args;
        EXPECT_NE(slurp(dir / "stderr.txt").find(reason), std::string::npos) << args << ": " << slurp(dir / "stderr.txt");
        EXPECT_EQ(slurp(dir / "kept.csv"), "kept") << args;
    }
    EXPECT_FALSE(fs::exists(dir / "no"));
    EXPECT_FALSE(fs::exists(dir / "new.csv"));
    EXPECT_TRUE(slurp(dir / "store.bin") == store) << "the store is left as it was";
    EXPECT_EQ(slurp(dir / "sc.log"), scenario);
    EXPECT_EQ(run("--until 0.1 --out /dev/null --trace /dev/null"), 0) << "a device takes several outputs";
    write("empty.log", "");
    EXPECT_EQ(run("--until 0.1 --replay " + path("empty.log")), 0) << "an empty scenario: the node runs alone";
}

TEST_F(SitlCli, ParamWritesTheStoreBeforeStartOrSaysWhyNot)
{
    ASSERT_EQ(run("--param NETID0=42 --param CAN2PWM_CH1=16 --until 1.2 --out " + path("out.log")), 0);
    EXPECT_NE(slurp(dir / "out.log").find(" can0 1801552A#"), std::string::npos) << "NodeStatus from node 42";

    const std::pair<const char*, const char*> bad[] = {
        {"--param NETID9=1", "no parameter named NETID9"},
        {"--param NETID1=128", "NETID1 takes an integer 0..127, not 128"},
        {"--param CAN2PWM_CH1=1.5", "takes an integer 0..16"},
        {"--param FORMATID=6", "not a setting"},
        {"--param CAN1_RXOVF=0", "not a setting"},
        {"--param NETID0", "NAME=VALUE"},
        {"--live --can2 mcast:256", "group number 0..255"},
        {"--live --can1 tcp:1", "not a bus"},
        {"--live --can1 socketcan:nosuchcan0 --can2 none --can3 none", "socketcan:nosuchcan0: "},
        {"--live --replay x.log", "leave out --live"},
        {"--can1 none", "needs --live"},
    };
    for (const auto& [args, reason] : bad) {
        EXPECT_EQ(run(args), 2) << args;
        EXPECT_NE(slurp(dir / "stderr.txt").find(reason), std::string::npos) << args << ": " << slurp(dir / "stderr.txt");
    }
}

TEST_F(SitlCli, HelpPrintsTheUsage)
{
    EXPECT_EQ(run("--help"), 0);
    EXPECT_EQ(slurp(dir / "stdout.txt").rfind("usage: endpoint-sitl [--replay FILE]", 0), 0U);
    EXPECT_EQ(slurp(dir / "stderr.txt"), "");
    const std::string help = slurp(dir / "stdout.txt");
    EXPECT_EQ(run("-h"), 0);
    EXPECT_EQ(slurp(dir / "stdout.txt"), help);
}

TEST_F(SitlCli, VersionNamesTheFirmwareAndItsCommit)
{
    EXPECT_EQ(run("--version"), 0);
    const std::string text = slurp(dir / "stdout.txt");
    EXPECT_EQ(text.rfind("endpoint-sitl: firmware 1.0, commit ", 0), 0U) << text;
    const std::string commit = text.substr(std::string("endpoint-sitl: firmware 1.0, commit ").size(), 8);
    EXPECT_EQ(commit.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
    EXPECT_EQ(slurp(dir / "stderr.txt"), "");
}

// Live, files grow as the node runs and can be followed; a signal ends the run with nothing lost.
TEST_F(SitlCli, OutputsAreWrittenAsTheRunGoesOn)
{
    const std::string command = std::string(ENDPOINT_SITL) +
                                " --live --can1 none --can2 none --can3 none --until 120 --quiet --trace " +
                                path("t.csv") + " --console " + path("c.txt") + " --vcd " + path("v.vcd");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + command + " >/dev/null 2>&1").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Until the start-up's texts and pin changes are there (a bound, not a measurement).
    bool seen = false;
    for (int i = 0; i < 600 && !seen; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        seen = slurp(dir / "c.txt").find("bxcan init ok") != std::string::npos &&
               slurp(dir / "t.csv").find(",can1en,0\n") != std::string::npos &&
               slurp(dir / "v.vcd").find("\n#") != std::string::npos;
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "still running";
    EXPECT_TRUE(seen) << "console, trace and VCD while the node runs";
    kill(child, SIGTERM);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string trace = slurp(dir / "t.csv");
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), '\n') << "whole lines";
}

// GetNodeInfo's software version, as a GUI tool shows it: the commit the firmware was built from; the image
// also its CRC, as its descriptor holds it (built-in firmware is no image: no CRC, not flagged).
TEST_P(SitlRun, GetNodeInfoReportsTheCommitAndTheImageCrc)
{
    write("in.log", "(1.500000) can0 1E01EE8A#C0\n");  // node 10 asks node 110
    ASSERT_EQ(run("--replay " + path("in.log") + " --until 2 --out " + path("out.log")), 0) << slurp(dir / "stderr.txt");
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(dir / "out.log"), &sent, &error)) << error;
    std::vector<std::pair<sim::CanFrame, uint64_t>> answer;
    for (const auto& f : sent) {
        if (f.port == 0 && f.frame.id == bus::serviceId(30, bus::kGetNodeInfoId, false, 10, 110)) {
            answer.emplace_back(f.frame, f.time_us);
        }
    }
    const std::vector<uint8_t> p = bus::transfersOf(answer).at(0).payload;
    ASSERT_GE(p.size(), 22U);
    auto little = [&](std::size_t at, std::size_t bytes) {
        uint64_t v = 0;
        for (std::size_t i = bytes; i-- > 0;) {
            v = (v << 8) | p[at + i];
        }
        return v;
    };
    const uint64_t flags = p[9], vcs_commit = little(10, 4), image_crc = little(14, 8);

    // What the firmware was built from: --version for the built-in one, the descriptor for the image.
    uint64_t want_commit = 0, want_crc = 0;
    if (firmware.empty()) {
        ASSERT_EQ(run("--version"), 0);
        const std::string version = slurp(dir / "stdout.txt");
        want_commit = std::stoull(version.substr(version.find("commit ") + 7, 8), nullptr, 16);
    } else {
        const std::string bin = slurp(std::string(ENDPOINT_IMAGE).substr(0, std::strlen(ENDPOINT_IMAGE) - 4) + ".bin");
        std::size_t at = 0;
        while (at < bin.size() && bin.compare(at, 8, "APDesc00") != 0) {
            at += 8;
        }
        ASSERT_LT(at + 32, bin.size()) << "the image's descriptor";
        for (std::size_t i = 8; i-- > 0;) {
            want_crc = (want_crc << 8) | static_cast<uint8_t>(bin[at + 8 + i]);
        }
        for (std::size_t i = 4; i-- > 0;) {
            want_commit = (want_commit << 8) | static_cast<uint8_t>(bin[at + 20 + i]);
        }
        EXPECT_NE(want_crc, 0U);
    }
    EXPECT_EQ(vcs_commit, want_commit);
    EXPECT_EQ(image_crc, want_crc);
    EXPECT_EQ(flags, (want_commit != 0 ? 1U : 0U) | (want_crc != 0 ? 2U : 0U)) << "each flagged when present";
}

// The VCD's pulse trains read back: every whole frame's high time and length are what the trace says the
// output carried then.
TEST_P(SitlRun, VcdShowsThePulseTrainsTheTraceDescribes)
{
    ASSERT_EQ(run("--replay " + std::string(SCENARIO_DIR) + "/failover.log --until 3.5 --vcd " + path("v.vcd") +
                  " --vcd-timescale 1ns --trace " + path("t.csv")),
              0)
        << slurp(dir / "stderr.txt");

    // Trace: per name, (time us, value) in order.
    std::map<std::string, std::vector<std::pair<uint64_t, int64_t>>> trace;
    std::istringstream lines(slurp(dir / "t.csv"));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t a = line.find(','), b = line.rfind(',');
        trace[line.substr(a + 1, b - a - 1)].emplace_back(std::stoull(line.substr(0, a)), std::stoll(line.substr(b + 1)));
    }
    auto valueAt = [&](const std::string& name, uint64_t us) {
        int64_t v = 0;
        for (const auto& [t, value] : trace[name]) {
            v = t <= us ? value : v;
        }
        return v;
    };
    auto changesIn = [&](const std::string& name, uint64_t from_us, uint64_t to_us) {
        return std::any_of(trace[name].begin(), trace[name].end(),
                           [&](const auto& c) { return c.first > from_us && c.first <= to_us; });
    };

    // VCD: the identifiers by name, then each signal's edges in ns.
    std::map<std::string, std::string> names;
    std::map<std::string, std::vector<std::pair<uint64_t, char>>> edges;
    std::istringstream vcd(slurp(dir / "v.vcd"));
    uint64_t now = 0;
    for (std::string line; std::getline(vcd, line);) {
        std::istringstream words(line);
        std::string first, kind, width, id, name;
        words >> first;
        if (first == "$var" && words >> kind >> width >> id >> name) {
            names[id] = name;
        } else if (!first.empty() && first[0] == '#') {
            const uint64_t t = std::stoull(first.substr(1));
            EXPECT_GE(t, now) << "time never goes back";
            now = t;
        } else if (!first.empty() && (first[0] == '0' || first[0] == '1') && names.count(first.substr(1)) != 0) {
            edges[names[first.substr(1)]].emplace_back(now, first[0]);
        }
    }
    ASSERT_EQ(names.size(), 12U);
    for (unsigned i = 0; i < 6; ++i) {
        const std::string pwm = "pwm" + std::to_string(i);
        const auto& e = edges[pwm];
        unsigned frames = 0;
        for (std::size_t k = 0; k + 2 < e.size(); ++k) {
            if (e[k].second != '1' || e[k + 1].second != '0' || e[k + 2].second != '1') {
                continue;
            }
            const uint64_t rise_us = e[k].first / 1000U, next_us = e[k + 2].first / 1000U;
            if (changesIn(pwm + "_us", rise_us, next_us) || changesIn(pwm + "_hz", rise_us, next_us)) {
                continue;  // a frame cut short by a new setting
            }
            ++frames;
            EXPECT_EQ(static_cast<int64_t>((e[k + 1].first - e[k].first + 500U) / 1000U), valueAt(pwm + "_us", rise_us))
                << pwm << " at " << rise_us << " us";
            const uint64_t period_ns = e[k + 2].first - e[k].first;
            EXPECT_EQ(static_cast<int64_t>((1000000000U + period_ns / 2U) / period_ns), valueAt(pwm + "_hz", rise_us))
                << pwm << " at " << rise_us << " us";
        }
        EXPECT_GT(frames, 100U) << pwm << ": some 3 s of frames, 50 a second or more";
    }
    for (const char* line : {"led1", "led2", "can1en", "can3en"}) {
        ASSERT_FALSE(edges[line].empty()) << line;
        EXPECT_EQ(edges[line].back().second - '0', valueAt(line, UINT64_MAX)) << line << " ends as in the trace";
    }
}

// The bootloader and the application in one flash (--boot): the chip starts the bootloader, which starts
// the application it checked; one changed byte of the application and nothing ever runs but the
// bootloader, which asks for a node ID to serve maintenance.
TEST_F(SitlFixture, TheBootloaderStartsTheApplicationItCheckedAndNoOther)
{
    if (!fs::exists(ENDPOINT_IMAGE) || !fs::exists(ENDPOINT_BOOTLOADER)) {
        GTEST_SKIP() << "no chip images: build the stm32f413 preset first";
    }
    write("in.log", "(1.500000) can0 1E01EE8A#C0\n");  // node 10 asks node 110 for GetNodeInfo
    const auto framesSent = [this](const std::string& app) {
        const std::string args = "--elf " + app + " --boot " + ENDPOINT_BOOTLOADER + " --replay " + path("in.log") +
                                 " --until 2 --out " + path("out.log");
        EXPECT_EQ(run(args), 0) << slurp(dir / "stderr.txt");
        std::vector<sitl::LoggedFrame> sent;
        std::string error;
        EXPECT_TRUE(sitl::parseCandump(slurp(dir / "out.log"), &sent, &error)) << error;
        return sent;
    };
    const std::vector<sitl::LoggedFrame> sent = framesSent(ENDPOINT_IMAGE);
    EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const sitl::LoggedFrame& f) {
        return f.frame.id == bus::serviceId(30, bus::kGetNodeInfoId, false, 10, 110);
    })) << "the application answers";

    // The last byte of the vector table's first handler entry, in the ELF's first loaded segment.
    std::string elf = slurp(ENDPOINT_IMAGE);
    uint32_t first_segment = 0;
    std::memcpy(&first_segment, elf.data() + 0x1C, 4);  // e_phoff
    uint32_t offset = 0;
    std::memcpy(&offset, elf.data() + first_segment + 4, 4);  // its p_offset
    elf[offset + 0x1D0] = static_cast<char>(elf[offset + 0x1D0] ^ 0x01);
    std::ofstream(dir / "changed.elf", std::ios::binary) << elf;
    // The bootloader stays in maintenance: without a node ID, it sends anonymous allocation requests only.
    const std::vector<sitl::LoggedFrame> kept = framesSent(path("changed.elf"));
    EXPECT_FALSE(kept.empty());
    EXPECT_TRUE(std::all_of(kept.begin(), kept.end(), [](const sitl::LoggedFrame& f) {
        return !bus::isService(f.frame.id) && (f.frame.id & 0x7FU) == 0U && ((f.frame.id >> 8) & 3U) == bus::kAllocationId;
    })) << "not started";

    // Two images in the same flash are refused before the run.
    EXPECT_EQ(run("--elf " + std::string(ENDPOINT_IMAGE) + " --boot " + path("changed.elf")), 2);
    EXPECT_NE(slurp(dir / "stderr.txt").find("overlaps"), std::string::npos) << slurp(dir / "stderr.txt");
}

// With the bootloader, a flash file holds the application's sectors too: an update made in one run is the
// application of the next, whatever --elf names.
TEST_F(SitlFixture, AnUpdateLastsFromOneRunToTheNext)
{
    if (!fs::exists(ENDPOINT_IMAGE) || !fs::exists(ENDPOINT_BOOTLOADER) || !fs::exists(ENDPOINT_BIN)) {
        GTEST_SKIP() << "no chip images: build the stm32f413 preset first";
    }
    fs::create_directories(dir / "images");
    ASSERT_EQ(std::system(("python3 " TOOLS_DIR "/app-descriptor.py stamp " ENDPOINT_BIN " " + path("images/b.bin") +
                           " b0b0b0b0 >/dev/null")
                              .c_str()),
              0);
    // Node 100 asks node 110 for the update from node 126 (path "b.bin"), or for GetNodeInfo.
    write("update.log", "(3.000000) can0 1028EEE4#7E622E62696EC0\n");  // once the new store is formatted
    write("info.log", "(1.000000) can0 1001EEE4#C0\n");
    const std::string boot = " --elf " + std::string(ENDPOINT_IMAGE) + " --boot " + ENDPOINT_BOOTLOADER +
                             " --flash " + path("flash.bin");
    ASSERT_EQ(run(boot + " --file-server " + path("images") + " --replay " + path("update.log") + " --until 7"), 0)
        << slurp(dir / "stderr.txt");
    EXPECT_EQ(fs::file_size(dir / "flash.bin"), 917504U) << "sectors 5 to 11";
    ASSERT_EQ(run(boot + " --replay " + path("info.log") + " --until 2 --out " + path("out.log")), 0)
        << slurp(dir / "stderr.txt");
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(dir / "out.log"), &sent, &error)) << error;
    std::vector<std::pair<sim::CanFrame, uint64_t>> frames;
    for (const sitl::LoggedFrame& f : sent) {
        if (f.frame.id == bus::serviceId(16, bus::kGetNodeInfoId, false, 100, 110)) {
            frames.emplace_back(f.frame, f.time_us);
        }
    }
    const std::vector<bus::Transfer> info = bus::transfersOf(frames);
    ASSERT_EQ(info.size(), 1U);
    ASSERT_GE(info[0].payload.size(), 14U);
    uint32_t commit = 0;
    for (unsigned i = 4; i-- > 0;) {
        commit = (commit << 8) | info[0].payload[10U + i];
    }
    EXPECT_EQ(commit, 0xB0B0B0B0U) << "B's commit, from the flash file";
}

TEST(Candump, FormatAndParseAgree)
{
    const std::string text = "(12.000345) can2 1E5B5900#010203C4\n(0.000001) can0 123#\n";
    std::vector<sitl::LoggedFrame> frames;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(text + "# a comment\n\n", &frames, &error)) << error;
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0].time_us, 12000345U);
    EXPECT_EQ(frames[0].port, 2U);
    EXPECT_TRUE(frames[0].frame.extended);
    EXPECT_EQ(frames[0].frame.dlc, 4);
    EXPECT_FALSE(frames[1].frame.extended);
    EXPECT_EQ(frames[1].frame.id, 0x123U);
    EXPECT_EQ(sitl::formatCandump(frames[0]) + "\n" + sitl::formatCandump(frames[1]) + "\n", text);

    // Blanks of any kind between the fields, hex digits of either case; a character next to a range is none.
    ASSERT_TRUE(sitl::parseCandump("\t(1.5)\v can1\t\f1e5b5900#0aFf\r\n", &frames, &error)) << error;
    EXPECT_EQ(frames.back().frame.id, 0x1E5B5900U);
    EXPECT_EQ(frames.back().frame.data[0], 0x0A);
    EXPECT_EQ(frames.back().frame.data[1], 0xFF);
    for (const char* bad : {"(1.5) can1 123#0G", "(1.5) can1 123#0g", "(1.5) can1 123#@0", "(1.5) can1 123#`0",
                            "(1.5) can1 12:#00", "(1.5) can1 12/#00", "(1/5) can1 123#00"}) {
        EXPECT_FALSE(sitl::parseCandump(bad, &frames, &error)) << bad;
    }
}

}  // namespace
