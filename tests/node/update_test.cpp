// The update over the bus, on the emulated core with the bootloader and the application in one flash: the
// application hands over to the bootloader, which reads an image from the file server, writes it and
// starts it; what it refuses it never starts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "firmware/drivers/NVM.hpp"
#include "chip.hpp"
#include "platform/sim/sim.hpp"
#include "platform/sim/sim_flash.hpp"
#include "sitl/bus_transfers.hpp"
#include "sitl/file_server.hpp"
#include "sitl/image_runner.hpp"
#include "tests/node/getset_payloads.hpp"
#include "tests/node/update_images.hpp"

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kNode = 110;  // CAN1's compiled-in node ID
constexpr uint8_t kTool = 100;
constexpr uint32_t kModeOperational = 0;
constexpr uint32_t kModeMaintenance = 2;
constexpr uint32_t kModeSoftwareUpdate = 3;
constexpr uint32_t kHealthError = 2;
constexpr uint64_t kNsPerSecond = 1000000000U;
constexpr uint32_t kSysResetRequest = (0x5FAU << 16) | (1U << 2);  // AIRCR's key and SYSRESETREQ

using update::kBeginUpdateId;
using update::kBeginUpdateSignature;
using update::kCrcAt;
using update::kReadId;
using update::kReadSignature;
using update::le;
using update::readFile;

struct NodeInfo {
    uint32_t mode;
    uint32_t health;
    uint8_t major;
    uint32_t commit;
    uint64_t crc;
};

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(ENDPOINT_IMAGE) || !fs::exists(ENDPOINT_BOOTLOADER) || !fs::exists(ENDPOINT_BIN)) {
            GTEST_SKIP() << "the stm32f413 preset's images are not built";
        }
        dir_ = fs::temp_directory_path() / ("update_test_" + std::to_string(::getpid()));
        fs::create_directories(dir_ / "images");
        imageA_ = readFile(ENDPOINT_BIN);
        flashChip();
    }

    // A chip flashed with the bootloader and application A, its store formatted as after a first start.
    void flashChip()
    {
        node_.reset();
        tool_.reset();
        server_.reset();
        sim::reset();
        sim::flashReset();
        InitNVM();
        sim::reset();
        sim::canBus(0).setLogLimit(1000000);
        tool_ = std::make_unique<sim::CanPeer>(0);
        server_ = std::make_unique<sitl::FileServer>(0, dir_.string());
        node_ = std::make_unique<sitl::ImageNode>();
        ASSERT_EQ(node_->powerOn(ENDPOINT_IMAGE, ENDPOINT_BOOTLOADER), "");
        allocation_seen_ = 0;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Image B: A with another commit and its CRC filled again.
    std::vector<uint8_t> imageB() const { return update::imageB(imageA_); }
    void publish(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        std::ofstream(dir_ / "images" / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    void runFor(double seconds)
    {
        const uint64_t until = sim::nowNs() + static_cast<uint64_t>(seconds * static_cast<double>(kNsPerSecond));
        ASSERT_TRUE(node_->runUntilNs(until)) << node_->report();
    }

    // As runFor, with an allocator on the bus that gives the node kNode: it echoes the unique ID's parts
    // as they come, and with the whole of it, the node ID.
    void runAllocating(double seconds)
    {
        constexpr uint8_t kAllocator = 1;
        const uint64_t until = sim::nowNs() + static_cast<uint64_t>(seconds * static_cast<double>(kNsPerSecond));
        while (sim::nowNs() < until) {
            ASSERT_TRUE(node_->runUntilNs(std::min(until, sim::nowNs() + kNsPerSecond / 100U))) << node_->report();
            const std::vector<sim::CanBusRecord>& log = sim::canBus(0).log();
            for (; allocation_seen_ < log.size(); ++allocation_seen_) {
                const sim::CanBusRecord& r = log[allocation_seen_];
                const uint8_t n = r.frame.dataBytes();
                if (r.sender < 0 || n < 2 || bus::isService(r.frame.id) || (r.frame.id & 0x7FU) != 0U ||
                    ((r.frame.id >> 8) & 3U) != bus::kAllocationId) {
                    continue;
                }
                if ((r.frame.data[0] & 1U) != 0U) {
                    allocated_uid_.clear();  // a first part starts the exchange again
                }
                allocated_uid_.insert(allocated_uid_.end(), r.frame.data + 1, r.frame.data + n - 1);
                const uint8_t id = allocated_uid_.size() >= 16U ? kNode : 0U;
                std::vector<uint8_t> answer = {static_cast<uint8_t>(id << 1)};
                answer.insert(answer.end(), allocated_uid_.begin(), allocated_uid_.end());
                for (const sim::CanFrame& f : bus::framesOf(bus::messageId(24, bus::kAllocationId, kAllocator), tid_++ & 31U,
                                                            answer, bus::kAllocationSignature)) {
                    tool_->send(f);
                }
            }
        }
    }

    uint8_t request(uint32_t id, uint64_t signature, const std::vector<uint8_t>& payload, uint8_t node = kNode)
    {
        const uint8_t tid = tid_++ & 31U;
        for (const sim::CanFrame& f :
             bus::framesOf(bus::serviceId(16, id, true, node, kTool), tid, payload, signature)) {
            tool_->send(f);
        }
        return tid;
    }

    // The node's answers to the tool of service `id` since `from_ns`.
    std::vector<bus::Transfer> answers(uint32_t id, uint64_t from_ns) const
    {
        std::vector<bus::Transfer> out;
        for (const bus::Transfer& t : bus::transfersOf(bus::nodeFrames(0))) {
            if (t.end_ns >= from_ns && bus::isService(t.can_id) && bus::dataTypeOfService(t.can_id) == id &&
                (t.can_id & (1U << 15)) == 0 && ((t.can_id >> 8) & 0x7FU) == kTool) {
                out.push_back(t);
            }
        }
        return out;
    }

    // The modes of the node's NodeStatus since `from_ns`, in order, each once as it changes.
    std::vector<uint32_t> modes(uint64_t from_ns, uint32_t* last_health = nullptr) const
    {
        std::vector<uint32_t> out;
        for (const bus::Transfer& t : bus::transfersOf(bus::nodeFrames(0))) {
            if (t.end_ns >= from_ns && !bus::isService(t.can_id) && bus::dataTypeOfMessage(t.can_id) == bus::kNodeStatusId) {
                const uint32_t mode = (t.payload.at(4) >> 3) & 7U;
                if (out.empty() || out.back() != mode) {
                    out.push_back(mode);
                }
                if (last_health != nullptr) {
                    *last_health = t.payload.at(4) >> 6;
                }
            }
        }
        return out;
    }

    // Anonymous allocation requests from the node since `from_ns`.
    bool asksForNodeId(uint64_t from_ns) const
    {
        for (const bus::Transfer& t : bus::transfersOf(bus::nodeFrames(0))) {
            if (t.end_ns >= from_ns && !bus::isService(t.can_id) && (t.can_id & 0x7FU) == 0U &&
                ((t.can_id >> 8) & 3U) == bus::kAllocationId) {
                return true;
            }
        }
        return false;
    }

    uint8_t beginUpdate(const std::string& path)
    {
        std::vector<uint8_t> payload = {sitl::kFileServerNodeId};
        payload.insert(payload.end(), path.begin(), path.end());
        return request(kBeginUpdateId, kBeginUpdateSignature, payload);
    }

    // Asks for GetNodeInfo and runs until the answer is in.
    NodeInfo nodeInfo()
    {
        const uint64_t from = sim::nowNs();
        request(bus::kGetNodeInfoId, bus::kGetNodeInfoSignature, {});
        runFor(0.1);
        const std::vector<bus::Transfer> got = answers(bus::kGetNodeInfoId, from);
        EXPECT_EQ(got.size(), 1U);
        if (got.empty()) {
            return {};
        }
        const std::vector<uint8_t>& p = got.back().payload;
        return {(p.at(4) >> 3) & 7U, static_cast<uint32_t>(p.at(4) >> 6), p.at(7),
                static_cast<uint32_t>(le(p, 10, 4)), le(p, 14, 8)};
    }

    int64_t getSet(const std::vector<uint8_t>& value, const std::string& name)
    {
        const uint64_t from = sim::nowNs();
        request(bus::kGetSetId, bus::kGetSetSignature, getset::request(0, value, name));
        runFor(0.1);
        const std::vector<bus::Transfer> got = answers(bus::kGetSetId, from);
        EXPECT_EQ(got.size(), 1U);
        return got.empty() ? -1 : getset::valueOf(got.back().payload);
    }

    // An update from the application asked for and answered OK; then `seconds` of the bootloader's work.
    // Runs until the bootloader's first file.Read request is in.
    void runToFirstRead()
    {
        for (int slice = 0; slice < 1000 && server_->requests() == 0; ++slice) {
            runFor(0.0001);
        }
        ASSERT_EQ(server_->requests(), 1U);
    }

    void updateFromApplication(const std::string& path, double seconds, bool forgedAnswer = false)
    {
        runFor(1.0);
        const uint64_t from = sim::nowNs();
        beginUpdate(path);
        if (forgedAnswer) {
            // Node 99 answers the first request, with zeros: only the file server's answer may count.
            runToFirstRead();
            std::vector<uint8_t> zeros(2U + 256U, 0U);
            for (const sim::CanFrame& f :
                 bus::framesOf(bus::serviceId(16, kReadId, false, kNode, 99), 0, zeros, kReadSignature)) {
                tool_->send(f);
            }
        }
        runFor(seconds);
        const std::vector<bus::Transfer> got = answers(kBeginUpdateId, from);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.front().payload.at(0), 0U) << "answered OK";
    }

    fs::path dir_;
    std::vector<uint8_t> imageA_;
    std::unique_ptr<sitl::ImageNode> node_;
    std::size_t allocation_seen_ = 0;
    std::vector<uint8_t> allocated_uid_;
    std::unique_ptr<sim::CanPeer> tool_;
    std::unique_ptr<sitl::FileServer> server_;
    uint8_t tid_ = 0;
};

TEST_F(UpdateTest, TheApplicationHandsOverAndTheBootloaderWritesAndStartsImageB)
{
    const std::vector<uint8_t> b = imageB();
    publish("b.bin", b);
    runFor(1.0);
    EXPECT_EQ(getSet(getset::value::integer(9), "CAN2PWM_CH1"), 9);

    const uint64_t from = sim::nowNs();
    const uint32_t dataErases = sim::flashEraseCount(10) + sim::flashEraseCount(11);
    updateFromApplication("images/b.bin", 8.0, true);
    EXPECT_EQ(server_->answers(), b.size() / 256U + 1U) << "every chunk read once";
    EXPECT_EQ(modes(from), (std::vector<uint32_t>{kModeOperational, kModeSoftwareUpdate, kModeOperational}));

    const NodeInfo info = nodeInfo();
    EXPECT_EQ(info.mode, kModeOperational);
    EXPECT_EQ(info.commit, update::kCommitOfB);
    EXPECT_EQ(info.crc, le(b, kCrcAt, 8)) << "B's CRC";
    EXPECT_EQ(getSet(getset::value::kEmpty, "CAN2PWM_CH1"), 9) << "the parameter survives the update";
    EXPECT_EQ(sim::flashEraseCount(5), 1U) << "only the sector the image needs";
    EXPECT_EQ(sim::flashEraseCount(6), 0U);
    EXPECT_EQ(sim::flashEraseCount(10) + sim::flashEraseCount(11), dataErases) << "the parameters' sectors untouched";
}

// A bad image is not started: the bootloader stays in maintenance, health ERROR, and takes a good one after.
TEST_F(UpdateTest, ABadImageIsRefusedAndAGoodOneTakenAfter)
{
    std::vector<uint8_t> changed = imageB();
    changed[changed.size() / 2] ^= 0x01U;
    std::vector<uint8_t> shortened = imageB();
    shortened.pop_back();
    std::vector<uint8_t> wrongCrc = imageB();
    wrongCrc[kCrcAt] ^= 0x80U;
    publish("changed.bin", changed);
    publish("short.bin", shortened);
    publish("crc.bin", wrongCrc);
    publish("b.bin", imageB());

    updateFromApplication("images/changed.bin", 8.0);
    for (const char* bad : {"images/short.bin", "images/crc.bin", "images/missing.bin", "../b.bin"}) {
        SCOPED_TRACE(bad);
        NodeInfo info = nodeInfo();
        EXPECT_EQ(info.mode, kModeMaintenance);
        EXPECT_EQ(info.health, kHealthError);
        EXPECT_EQ(info.major, 0U) << "the bootloader's version";
        const uint64_t from = sim::nowNs();
        beginUpdate(bad);
        runFor(6.0);
        ASSERT_FALSE(answers(kBeginUpdateId, from).empty());
        EXPECT_EQ(answers(kBeginUpdateId, from).front().payload.at(0), 0U);
        uint32_t health = 0;
        EXPECT_EQ(modes(from, &health).back(), kModeMaintenance);
        EXPECT_EQ(health, kHealthError);
    }
    const uint64_t from = sim::nowNs();
    beginUpdate("images/b.bin");
    runFor(6.0);
    EXPECT_EQ(modes(from).back(), kModeOperational);
    EXPECT_EQ(nodeInfo().commit, update::kCommitOfB);
}

// A server that stops answering half-way, and one that misses a request: the first leaves the bootloader
// in maintenance, not in the half image; the second costs a retry only.
TEST_F(UpdateTest, AServerThatGoesAwayLeavesMaintenanceAMissedAnswerARetry)
{
    const std::vector<uint8_t> b = imageB();
    publish("b.bin", b);
    server_->ignoreRequest(40);  // while still in the application: counted from its first request on
    server_->answerAtMost(b.size() / 512U);
    updateFromApplication("images/b.bin", 15.0);
    EXPECT_EQ(server_->requests(), b.size() / 512U + 1U + 5U) << "one retry, then five tries of the last";
    EXPECT_EQ(nodeInfo().mode, kModeMaintenance);
    // Reset, the chip stays in the bootloader: without a record it asks for a node ID and sends nothing
    // else; the half image never starts.
    const uint64_t from = sim::nowNs();
    SCB->AIRCR = kSysResetRequest;
    runFor(3.0);
    EXPECT_TRUE(modes(from).empty());
    EXPECT_TRUE(asksForNodeId(from));
}

// A power cut at the update's first erase, at a sample of its programming writes and at its last write:
// powered again, the chip runs A (the cut came before anything of A was lost), or B where the cut let the
// last write finish, or stays in the bootloader, takes a node ID and accepts the update again. It never
// runs what the cut left half-written.
TEST_F(UpdateTest, APowerCutAnywhereLeavesTheOldApplicationOrAnUpdatableBootloader)
{
    const std::vector<uint8_t> b = imageB();
    publish("b.bin", b);
    const uint32_t commitA = static_cast<uint32_t>(le(imageA_, update::kCommitAt, 4));
    runFor(1.0);
    const uint64_t before = sim::flashOperations();
    updateFromApplication("images/b.bin", 6.0);
    const uint64_t operations = sim::flashOperations() - before;
    ASSERT_EQ(nodeInfo().commit, update::kCommitOfB);
    ASSERT_GT(operations, 1000U);

    struct Cut {
        uint64_t operation;
        uint64_t seed;
    };
    const Cut cuts[] = {{1, 0}, {1, 1}, {1, 5}, {2, 4}, {operations / 2, 2}, {operations - 200, 3},
                        {operations - 1, 6}, {operations, 0}, {operations, 1}};
    for (const Cut& cut : cuts) {
        SCOPED_TRACE("cut at operation " + std::to_string(cut.operation) + " of " + std::to_string(operations) +
                     ", seed " + std::to_string(cut.seed));
        flashChip();
        runFor(1.0);
        // Armed once the bootloader asks for the image: the application's reset would disarm it.
        beginUpdate("images/b.bin");
        runToFirstRead();
        sim::flashCutPower(cut.operation, cut.seed);
        runFor(4.0);
        ASSERT_TRUE(sim::flashPowerLost());
        node_->powerCycle();
        const uint64_t from = sim::nowNs();
        runAllocating(3.0);
        if (!modes(from).empty() && modes(from).front() == kModeOperational) {
            // A whole application: A where the cut erase changed nothing, B where the last write was done.
            EXPECT_EQ(nodeInfo().commit, cut.operation == 1U ? commitA : update::kCommitOfB);
            EXPECT_TRUE(cut.operation == 1U || (cut.operation == operations && cut.seed % 8U == 1U));
            continue;
        }
        EXPECT_TRUE(asksForNodeId(from));
        ASSERT_EQ(modes(from), std::vector<uint32_t>{kModeMaintenance});
        const uint64_t again = sim::nowNs();
        beginUpdate("images/b.bin");
        runFor(6.0);
        EXPECT_EQ(modes(again).back(), kModeOperational);
        EXPECT_EQ(nodeInfo().commit, update::kCommitOfB);
    }
}

}  // namespace

namespace {

// What the file server gives, before any bus: the files under its directory only.
TEST(FileServer, ServesItsDirectoryOnly)
{
    const fs::path dir = fs::temp_directory_path() / ("file_server_test_" + std::to_string(::getpid()));
    fs::create_directories(dir / "sub");
    std::ofstream(dir / "sub" / "f.bin", std::ios::binary) << std::string(300, 'x');
    std::ofstream(dir.parent_path() / "outside.bin") << "secret";
    sim::reset();
    const sitl::FileServer server(0, dir.string());
    std::vector<uint8_t> data;
    EXPECT_EQ(server.read("sub/f.bin", 0, 256, &data), sitl::kFileOk);
    EXPECT_EQ(data.size(), 256U);
    EXPECT_EQ(server.read("sub/f.bin", 256, 256, &data), sitl::kFileOk);
    EXPECT_EQ(data.size(), 44U) << "fewer: the end of the file";
    EXPECT_EQ(server.read("sub/f.bin", 300, 256, &data), sitl::kFileOk);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(server.read("../outside.bin", 0, 256, &data), sitl::kFileAccessDenied);
    EXPECT_EQ(server.read("sub/../../outside.bin", 0, 256, &data), sitl::kFileAccessDenied);
    EXPECT_EQ(server.read((dir.parent_path() / "outside.bin").string(), 0, 256, &data), sitl::kFileAccessDenied);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(server.read("sub/missing.bin", 0, 256, &data), sitl::kFileNotFound);
    EXPECT_EQ(server.read("sub", 0, 256, &data), sitl::kFileIsDirectory);
    EXPECT_EQ(server.read("", 0, 256, &data), sitl::kFileAccessDenied);
    // The system would take "sub/f.bin" from this one, cut at the NUL: another file than the path names.
    EXPECT_EQ(server.read(std::string("sub/f.bin\0.txt", 14), 0, 256, &data), sitl::kFileInvalidValue);
    EXPECT_TRUE(data.empty());
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    fs::remove(dir.parent_path() / "outside.bin", ignored);
}

}  // namespace
