// endpoint-sitl --live as a user's tools see it: clients on the multicast buses and on an SLCAN
// pseudo-terminal, each test in a network namespace of its own so that nothing can leave the machine.
#include "tests/node/live_client.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

#include "tests/node/fc_payloads.hpp"
#include "tests/node/getset_payloads.hpp"
#include "tests/node/sitl_firmware.hpp"
#include "tests/node/update_images.hpp"

namespace {

using live::Clock;
using live::McastClient;
namespace fs = std::filesystem;

constexpr uint8_t kClient = 10;
constexpr uint8_t kFirstNodeId = 110;  // of port 0; the others follow

auto nodeStatusFrom(uint8_t node_id)
{
    return [node_id](const bus::Transfer& t) {
        return !bus::isService(t.can_id) && bus::dataTypeOfMessage(t.can_id) == bus::kNodeStatusId &&
               (t.can_id & 0x7FU) == node_id;
    };
}

auto responseFrom(uint32_t dtid, uint8_t node_id)
{
    return [dtid, node_id](const bus::Transfer& t) {
        return bus::isService(t.can_id) && (t.can_id & (1U << 15)) == 0 && bus::dataTypeOfService(t.can_id) == dtid &&
               (t.can_id & 0x7FU) == node_id && ((t.can_id >> 8) & 0x7FU) == kClient;
    };
}

// The node's answer to one service request (empty payload: no answer).
std::vector<uint8_t> call(live::Client& client, uint8_t node_id, uint32_t dtid, uint64_t signature,
                          const std::vector<uint8_t>& payload, uint8_t tid = 0)
{
    client.forget();
    client.sendTransfer(bus::serviceId(30, dtid, true, node_id, kClient), tid, payload, signature);
    const auto answer = client.await(responseFrom(dtid, node_id));
    return answer ? answer->payload : std::vector<uint8_t>{};
}

// GetNodeInfo answered whole: the transfer CRC holds and the hardware version carries the unique ID
// given with --uid 1,2,3 (after the status, 7 bytes, the software version, 15, and two version bytes).
void expectNodeInfo(live::Client& client, uint8_t node_id)
{
    client.forget();
    client.sendTransfer(bus::serviceId(30, bus::kGetNodeInfoId, true, node_id, kClient), 0, {},
                        bus::kGetNodeInfoSignature);
    const auto info = client.await(responseFrom(bus::kGetNodeInfoId, node_id));
    ASSERT_TRUE(info.has_value()) << "no GetNodeInfo answer";
    EXPECT_EQ(info->crc, bus::transferCrc(bus::kGetNodeInfoSignature, info->payload));
    ASSERT_GE(info->payload.size(), 40U);
    const std::vector<uint8_t> uid(info->payload.begin() + 24, info->payload.begin() + 40);
    EXPECT_EQ(uid, std::vector<uint8_t>({1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
}

class Live : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = live::enterOwnNetwork();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        dir = fs::temp_directory_path() / ("live_test_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        if (!dir.empty()) {
            fs::remove_all(dir);
        }
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }

    fs::path dir;
};

TEST_F(Live, EveryPortServesAndAWriteSurvivesSigtermAndARestart)
{
    const std::vector<std::string> args = {"--flash", path("flash.bin"), "--uid", "1,2,3"};
    {
        live::Node node(dir, args);
        McastClient buses[3] = {McastClient(0), McastClient(1), McastClient(2)};
        for (uint8_t port = 0; port < 3; ++port) {
            EXPECT_TRUE(buses[port].await(nodeStatusFrom(static_cast<uint8_t>(kFirstNodeId + port))))
                << "no NodeStatus on mcast:" << int{port};
        }

        const auto sent = Clock::now();
        expectNodeInfo(buses[0], 110);
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count();
        std::cout << "GetNodeInfo round trip over mcast: " << us << " us\n";
        RecordProperty("getnodeinfo_round_trip_us", std::to_string(us));

        using getset::request;
        namespace value = getset::value;
        EXPECT_EQ(getset::valueOf(call(buses[1], 111, bus::kGetSetId, bus::kGetSetSignature,
                                       request(1, value::kEmpty))),
                  110);
        EXPECT_EQ(call(buses[2], 112, bus::kGetSetId, bus::kGetSetSignature, request(0, value::kEmpty, "NETID2")),
                  getset::answer(112, 112, 127, 0, "NETID2"));
        EXPECT_EQ(call(buses[1], 111, bus::kGetSetId, bus::kGetSetSignature,
                       request(0, value::integer(5), "CAN2PWM_CH1"), 1),
                  getset::answer(5, 1, 16, 0, "CAN2PWM_CH1"));
        EXPECT_EQ(node.stop(SIGTERM), 0);
    }
    live::Node node(dir, args);
    McastClient bus0(0);
    ASSERT_TRUE(bus0.await(nodeStatusFrom(110)));
    EXPECT_EQ(getset::valueOf(call(bus0, 110, bus::kGetSetId, bus::kGetSetSignature,
                                   getset::request(4, getset::value::kEmpty))),
              5)
        << "the write is in the flash file after SIGTERM";
    EXPECT_EQ(node.stop(SIGTERM), 0);
}

TEST_F(Live, VotesAndRawCommandsShowAsPulseWidthsInTheTrace)
{
    live::Node node(dir, {"--trace", path("trace.csv"), "--until", "3", "--can2", "none", "--can3", "none"});
    McastClient bus0(0);
    ASSERT_TRUE(bus0.await(nodeStatusFrom(110)));
    // A voter (node 10) elects port 0, a flight controller (node 11) commands, for a while.
    uint8_t vote_tid = 0;
    uint8_t raw_tid = 0;
    for (int i = 0; i < 40; ++i) {
        if (i % 5 == 0) {
            bus0.sendTransfer(bus::messageId(24, fc::kUseFlightControllerId, 10), vote_tid++,
                              fc::useFlightController(0xA0A0A0A0A0A0A0A0ULL, 0, 0), fc::kUseFlightControllerSignature);
        }
        bus0.sendTransfer(bus::messageId(24, fc::kRawCommandId, 11), raw_tid++, fc::rawCommand({0, 4171, 8181, 8191}),
                          fc::kRawCommandSignature);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(node.stop(0), 0) << "--until ends a live run";
    const std::string trace = live::slurp(dir / "trace.csv");
    EXPECT_NE(trace.find(",pwm0_us,1000\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find(",pwm1_us,1500\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find(",pwm2_us,1999\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find(",pwm3_us,2000\n"), std::string::npos) << trace;
}

TEST_F(Live, APortStartedWithoutANodeIdGetsOneFromAnAllocator)
{
    live::Node node(dir, {"--param", "NETID1=0", "--uid", "03020100,07060504,0B0A0908", "--can1", "none", "--can3",
                          "none"});
    McastClient bus1(1);
    // Each anonymous request brings the next part of the unique ID; the answer repeats what is known, and
    // names the node ID once all 16 bytes are.
    std::vector<uint8_t> known;
    uint8_t tid = 0;
    while (known.size() < 16) {
        const auto request = bus1.await([](const bus::Transfer& t) {
            return (t.can_id & 0x7FU) == 0 && !bus::isService(t.can_id) && ((t.can_id >> 8) & 3U) == bus::kAllocationId;
        });
        ASSERT_TRUE(request.has_value()) << "no allocation request after " << known.size() << " bytes";
        bus1.forget();
        const std::vector<uint8_t>& p = request->payload;
        ASSERT_FALSE(p.empty());
        if ((p[0] & 1U) != 0) {
            known.clear();
        }
        known.insert(known.end(), p.begin() + 1, p.end());
        ASSERT_LE(known.size(), 16U);
        std::vector<uint8_t> answer = {static_cast<uint8_t>(known.size() == 16 ? 42 << 1 : 0)};
        answer.insert(answer.end(), known.begin(), known.end());
        bus1.sendTransfer(bus::messageId(24, bus::kAllocationId, kClient), tid++, answer, bus::kAllocationSignature);
    }
    EXPECT_EQ(known, std::vector<uint8_t>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0, 0, 0, 0}));
    EXPECT_TRUE(bus1.await(nodeStatusFrom(42))) << "the port did not take node ID 42";
    EXPECT_EQ(node.stop(SIGTERM), 0);
}

// The built-in firmware, and the flashed image on the emulated core: the same back-ends and pacing.
class LiveBothWays : public Live, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override
    {
        SITL_SKIP_WITHOUT_IMAGE(GetParam());
#if defined(__SANITIZE_ADDRESS__)
        // Paced by the wall clock, the image has to keep up with real time, which it cannot under the
        // sanitizers on a loaded machine: the plain build runs it; here the scenario tests run the image.
        if (!GetParam().empty()) {
            GTEST_SKIP() << "the image in live mode is run by the plain build, not under the sanitizers";
        }
#endif
        Live::SetUp();
    }
    // The way's arguments, one by one.
    std::vector<std::string> firmware() const
    {
        std::vector<std::string> args;
        std::istringstream words(GetParam());
        for (std::string w; words >> w;) {
            args.push_back(w);
        }
        return args;
    }
};
INSTANTIATE_TEST_SUITE_P(Firmware, LiveBothWays, sitl_firmware::kBothWays, sitl_firmware::name);

TEST_P(LiveBothWays, AGarbageBurstIsCountedAndARequestAfterItIsAnswered)
{
    std::vector<std::string> args = {"--uid", "1,2,3", "--can2", "none", "--can3", "none", "--profile",
                                     path("profile.csv")};
    const std::vector<std::string> how = firmware();
    args.insert(args.end(), how.begin(), how.end());
    live::Node node(dir, args);
    McastClient bus0(0);
    ASSERT_TRUE(bus0.await(nodeStatusFrom(110)));

    const sim::CanFrame frame = sim::CanFrame::extendedFrame(bus::serviceId(30, 1, true, 110, kClient), {0xC0});
    auto recrc = [](std::vector<uint8_t> d) {
        const uint16_t crc = bus::crcAdd(0xFFFF, d.data() + 4, d.size() - 4);
        d[2] = static_cast<uint8_t>(crc);
        d[3] = static_cast<uint8_t>(crc >> 8);
        return d;
    };
    std::vector<uint8_t> magic = McastClient::datagram(frame);
    magic[1] = 0x30;
    std::vector<uint8_t> crc = McastClient::datagram(frame);
    crc[2] ^= 0xFF;
    std::vector<uint8_t> nine = McastClient::datagram(sim::CanFrame::extendedFrame(1, {1, 2, 3, 4, 5, 6, 7, 8}));
    nine.push_back(9);
    const std::vector<std::vector<uint8_t>> garbage = {
        {},
        {0x34, 0x29, 0, 0},
        std::vector<uint8_t>(1500, 0x34),
        magic,
        crc,
        McastClient::datagram(frame, 1),
        recrc(nine),
    };
    for (int round = 0; round < 10; ++round) {
        for (const auto& g : garbage) {
            bus0.sendBytes(g);
        }
    }
    expectNodeInfo(bus0, 110);
    ASSERT_EQ(node.stop(SIGINT), 0);

    const std::string summary = node.stderrText();
    EXPECT_NE(summary.find("mcast:0: 1 frames in, "), std::string::npos) << summary;
    for (const char* counted : {"dropped 20 (short datagram)", "dropped 10 (oversized datagram)",
                                "dropped 10 (wrong magic)", "dropped 10 (wrong CRC)", "dropped 10 (CAN FD frame)",
                                "dropped 10 (DLC above 8)"}) {
        EXPECT_NE(summary.find(counted), std::string::npos) << counted << " in " << summary;
    }
    const std::string profile = live::slurp(dir / "profile.csv");
    EXPECT_NE(profile.find("can1_frames_in,1\n"), std::string::npos) << profile;
    EXPECT_NE(profile.find("can1_dropped,70\n"), std::string::npos) << profile;
}

TEST_P(LiveBothWays, RestartNodeFromAToolBringsTheNodeBackOnItsNodeId)
{
    std::vector<std::string> args = {"--can2", "none", "--can3", "none"};
    const std::vector<std::string> how = firmware();
    args.insert(args.end(), how.begin(), how.end());
    live::Node node(dir, args);
    McastClient bus0(0);
    const auto uptimeOf = [](const bus::Transfer& t) {
        return static_cast<uint32_t>(t.payload[0] | (t.payload[1] << 8) | (t.payload[2] << 16)) |
               (static_cast<uint32_t>(t.payload[3]) << 24);
    };
    const auto before = bus0.await(nodeStatusFrom(110));
    ASSERT_TRUE(before.has_value());
    ASSERT_EQ(uptimeOf(*before), 1U);
    EXPECT_EQ(call(bus0, 110, bus::kRestartNodeId, bus::kRestartNodeSignature,
                   std::vector<uint8_t>(std::begin(bus::kRestartMagic), std::end(bus::kRestartMagic))),
              std::vector<uint8_t>{0x80})
        << "ok";
    bus0.forget();
    const auto after = bus0.await(nodeStatusFrom(110));
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(uptimeOf(*after), 1U) << "counted again from the restart; without one it would be 2";
    EXPECT_EQ(node.stop(SIGINT), 0);
}

// A DroneCAN GUI tool's session on a node without an ID: the tool is the allocator and, as a real one
// does, forgets a unique ID whose next part comes more than 500 ms after its answer; then it reads the
// parameters one by one. Only a node that keeps up with the wall clock gets its follow-ups in on time.
TEST_P(LiveBothWays, AnAllocatorWithAFollowUpTimeoutGivesAnIdAndTheParametersAreRead)
{
    constexpr auto kFollowUpTimeout = std::chrono::milliseconds(500);
    constexpr uint8_t kGiven = 42;
    std::vector<std::string> args = {"--param", "NETID1=0", "--uid", "03020100,07060504,0B0A0908", "--can1", "none",
                                     "--can3", "none"};
    const std::vector<std::string> how = firmware();
    args.insert(args.end(), how.begin(), how.end());
    live::Node node(dir, args);
    McastClient bus1(1);

    std::vector<uint8_t> known;
    Clock::time_point answered{};
    unsigned late = 0;
    uint8_t tid = 0;
    const auto giveUp = Clock::now() + 3 * live::kPatience;
    while (known.size() < 16) {
        const auto request = bus1.await([](const bus::Transfer& t) {
            return (t.can_id & 0x7FU) == 0 && !bus::isService(t.can_id) && ((t.can_id >> 8) & 3U) == bus::kAllocationId;
        });
        ASSERT_TRUE(request.has_value() && Clock::now() < giveUp)
            << "no node ID after " << known.size() << " bytes; " << late << " follow-ups came after the timeout";
        bus1.forget();
        const std::vector<uint8_t>& p = request->payload;
        ASSERT_FALSE(p.empty());
        const bool first = (p[0] & 1U) != 0;
        if (!first && (known.empty() || Clock::now() - answered > kFollowUpTimeout)) {
            late += known.empty() ? 0U : 1U;
            known.clear();
            continue;
        }
        if (first) {
            known.clear();
        }
        known.insert(known.end(), p.begin() + 1, p.end());
        ASSERT_LE(known.size(), 16U);
        std::vector<uint8_t> answer = {static_cast<uint8_t>(known.size() == 16 ? kGiven << 1 : 0)};
        answer.insert(answer.end(), known.begin(), known.end());
        bus1.sendTransfer(bus::messageId(24, bus::kAllocationId, kClient), tid++, answer, bus::kAllocationSignature);
        answered = Clock::now();
    }
    std::cout << late << " follow-ups came after the allocator's timeout\n";
    ASSERT_TRUE(bus1.await(nodeStatusFrom(kGiven))) << "the port did not take node ID " << int{kGiven};

    // Every parameter by index, as a tool lists them, up to the empty answer after the last.
    std::vector<std::string> names;
    for (uint16_t index = 0; index < 256; ++index) {
        const std::vector<uint8_t> answer = call(bus1, kGiven, bus::kGetSetId, bus::kGetSetSignature,
                                                 getset::request(index, getset::value::kEmpty),
                                                 static_cast<uint8_t>(index & 31U));
        ASSERT_FALSE(answer.empty()) << "no answer for index " << index;
        if (answer == getset::kNoSuchParameter) {
            break;
        }
        constexpr std::size_t kIntegerUnions = 4 * 9;
        ASSERT_GT(answer.size(), kIntegerUnions) << "index " << index;
        names.emplace_back(answer.begin() + kIntegerUnions, answer.end());
    }
    ASSERT_GT(names.size(), 3U);
    EXPECT_EQ(names[0], "FORMATID");
    EXPECT_EQ(names[2], "NETID1");
    EXPECT_EQ(node.stop(SIGTERM), 0);
}

TEST_F(Live, SlcanHandshakeRefusalsReconnectAndGetNodeInfo)
{
    const fs::path link = dir / "slcan0";
    const uint32_t getNodeInfoRequest = bus::serviceId(30, bus::kGetNodeInfoId, true, 110, kClient);
    live::Node node(dir, {"--uid", "1,2,3", "--can1", "slcan:pty:" + link.string(), "--can2", "none", "--can3", "none"});
    const auto until = Clock::now() + live::kPatience;
    while (!fs::exists(link) && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        live::SlcanClient host(link);
        EXPECT_EQ(host.command("C"), "\r");
        EXPECT_EQ(host.command("S8"), "\r");
        EXPECT_EQ(host.command("V"), "V1010\r");
        EXPECT_EQ(host.command("O"), "\r");
        EXPECT_EQ(host.command("r1230"), "\a");
        EXPECT_EQ(host.command("X"), "\a");
        EXPECT_EQ(host.command(std::string(300, '5')), "\a");
        EXPECT_EQ(host.command("F"), "F00\r") << "the adapter still answers after the garbage";
        EXPECT_TRUE(host.await(nodeStatusFrom(110)));
        expectNodeInfo(host, 110);
        // An answer left unread when the host goes away.
        host.sendTransfer(getNodeInfoRequest, 1, {}, bus::kGetNodeInfoSignature);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // A host that goes away and comes back finds the adapter closed again and nothing of the last host's;
    // a real one takes longer than this pause to reconnect, and the node looks for it at every slice.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    {
        live::SlcanClient host(link);
        EXPECT_EQ(host.readFor(300), "");
        EXPECT_EQ(host.command("O"), "\r");
        EXPECT_TRUE(host.await(nodeStatusFrom(110)));
        host.sendTransfer(getNodeInfoRequest, 2, {}, bus::kGetNodeInfoSignature);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        host.write("C\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(host.readFor(1500), "\r") << "a close discards the frames the host has not read";
    }
    ASSERT_EQ(node.stop(SIGTERM), 0);
    EXPECT_NE(node.stdoutText().find("slcan:pty: /dev/pts/"), std::string::npos) << node.stdoutText();
    const std::string summary = node.stderrText();
    for (const char* counted :
         {"dropped 1 (line too long)", "dropped 1 (remote frame refused)", "dropped 1 (unknown command)"}) {
        EXPECT_NE(summary.find(counted), std::string::npos) << counted << " in " << summary;
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the symlink is removed at exit";
}

// Image `b` runs on the node after an update: its NodeStatus says OPERATIONAL again and its GetNodeInfo has
// b's commit and CRC.
void expectImageRunning(live::Client& bus0, const std::vector<uint8_t>& b)
{
    bus0.forget();
    ASSERT_TRUE(bus0.await([](const bus::Transfer& t) {
        return nodeStatusFrom(110)(t) && t.payload.size() >= 5 && ((t.payload[4] >> 3) & 7U) == 0;
    }));
    const std::vector<uint8_t> info = call(bus0, 110, bus::kGetNodeInfoId, bus::kGetNodeInfoSignature, {});
    ASSERT_GE(info.size(), 22U);
    EXPECT_EQ(update::le(info, 10, 4), update::kCommitOfB);
    EXPECT_EQ(update::le(info, 14, 8), update::le(b, update::kCrcAt, 8));
}

// The update as a tool's "Update firmware" makes it: the tool asks the node, which answers OK and resets into
// the bootloader; the tool is the file server (source_node_id 0) and answers each Read over the live bus;
// the new image then runs and says so in GetNodeInfo.
TEST_F(Live, AnUpdateFromTheToolsOwnFileServerStartsTheNewImage)
{
    if (!fs::exists(ENDPOINT_BIN) || !fs::exists(ENDPOINT_BOOTLOADER)) {
        GTEST_SKIP() << "the stm32f413 preset's images are not built";
    }
    const std::vector<uint8_t> b = update::imageB(update::readFile(ENDPOINT_BIN));
    live::Node node(dir, {"--elf", ENDPOINT_IMAGE, "--boot", ENDPOINT_BOOTLOADER, "--flash", path("flash.bin"),
                          "--uid", "1,2,3"});
    McastClient bus0(0);
    ASSERT_TRUE(bus0.await(nodeStatusFrom(110)));

    const std::string file = "images/b.bin";
    std::vector<uint8_t> begin = {0};  // the caller serves the file
    begin.insert(begin.end(), file.begin(), file.end());
    const std::vector<uint8_t> answer = call(bus0, 110, update::kBeginUpdateId, update::kBeginUpdateSignature, begin);
    ASSERT_FALSE(answer.empty()) << "no BeginFirmwareUpdate answer";
    ASSERT_EQ(answer[0], 0U) << "OK";

    const auto readRequest = [](const bus::Transfer& t) {
        return bus::isService(t.can_id) && (t.can_id & (1U << 15)) != 0 &&
               bus::dataTypeOfService(t.can_id) == update::kReadId && (t.can_id & 0x7FU) == 110 &&
               ((t.can_id >> 8) & 0x7FU) == kClient;
    };
    uint64_t served = 0;
    for (bool ended = false; !ended;) {
        const auto request = bus0.await(readRequest);
        ASSERT_TRUE(request.has_value()) << "the bootloader stopped reading at " << served;
        bus0.forget();
        ASSERT_GE(request->payload.size(), 5U);
        const uint64_t offset = update::le(request->payload, 0, 5);
        ASSERT_EQ(std::string(request->payload.begin() + 5, request->payload.end()), file);
        ASSERT_LE(offset, b.size());
        const std::size_t n = std::min<std::size_t>(update::kReadChunk, b.size() - offset);
        std::vector<uint8_t> data = {0, 0};  // error OK
        data.insert(data.end(), b.begin() + static_cast<std::ptrdiff_t>(offset),
                    b.begin() + static_cast<std::ptrdiff_t>(offset + n));
        bus0.sendTransfer(bus::serviceId((request->can_id >> 24) & 31U, update::kReadId, false, 110, kClient),
                          request->transfer_id, data, update::kReadSignature);
        served = offset + n;
        ended = n < update::kReadChunk;
    }
    EXPECT_EQ(served, b.size());

    expectImageRunning(bus0, b);
    EXPECT_EQ(node.stop(SIGTERM), 0);
}

// A tool with no file server of its own: endpoint-sitl's (node 126, --file-server) serves the image live.
TEST_F(Live, AnUpdateFromTheInProcessFileServerStartsTheNewImage)
{
    if (!fs::exists(ENDPOINT_BIN) || !fs::exists(ENDPOINT_BOOTLOADER)) {
        GTEST_SKIP() << "the stm32f413 preset's images are not built";
    }
    const std::vector<uint8_t> b = update::imageB(update::readFile(ENDPOINT_BIN));
    fs::create_directories(dir / "images");
    std::ofstream(dir / "images" / "b.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    live::Node node(dir, {"--elf", ENDPOINT_IMAGE, "--boot", ENDPOINT_BOOTLOADER, "--flash", path("flash.bin"),
                          "--uid", "1,2,3", "--file-server", path("images")});
    McastClient bus0(0);
    ASSERT_TRUE(bus0.await(nodeStatusFrom(110)));
    const std::string file = "b.bin";
    std::vector<uint8_t> begin = {126};
    begin.insert(begin.end(), file.begin(), file.end());
    const std::vector<uint8_t> answer = call(bus0, 110, update::kBeginUpdateId, update::kBeginUpdateSignature, begin);
    ASSERT_FALSE(answer.empty()) << "no BeginFirmwareUpdate answer";
    ASSERT_EQ(answer[0], 0U) << "OK";
    expectImageRunning(bus0, b);
    EXPECT_EQ(node.stop(SIGTERM), 0);
}

}  // namespace
