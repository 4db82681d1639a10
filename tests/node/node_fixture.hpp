#pragma once
// Shared by the node tests: the frame vectors under tests/vectors, and the fixture every node test starts
// from, a freshly reset simulated chip with a peer on each bus to acknowledge the node's frames and to
// send to it. The node is powered on by the test itself.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/drivers/NVM.hpp"
#include "firmware/node/main_node.hpp"
#include "platform/sim/sim.hpp"
#include "platform/sim/sim_flash.hpp"
#include "sitl/candump.hpp"

namespace nodetest {

// The chip's node, and its port on bus 0..2.
inline Node& node() { return runningNode(); }
inline Port& port(unsigned index) { return runningNode().ports[index]; }

// Writes a parameter row into the store before the node is powered on, as endpoint-sitl's --param does:
// the node finds it there at start-up.
inline void storeParameter(uint8_t row, int64_t value)
{
    InitNVM();
    ASSERT_TRUE(NVMSet(row, static_cast<NMVVar_t>(static_cast<uint64_t>(value) & 0xFFFFU)));
}

// The node IDs the ports start with on a first boot.
inline constexpr uint8_t kNodeIds[3] = {110, 111, 112};

// A freshly reset chip on a formatted, empty store: a first boot without the blank flash's format (two
// erases, two seconds of stalled chip), which tests not about the store should not depend on.
inline void startFromFormattedStore()
{
    sim::flashReset();
    InitNVM();
    sim::reset();
}

// The frames of one vector file, in candump format.
inline std::vector<sitl::LoggedFrame> vectorFrames(const std::string& name)
{
    std::ifstream in(std::string(NODE_VECTORS_DIR) + "/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<sitl::LoggedFrame> frames;
    std::string error;
    EXPECT_TRUE(sitl::parseCandump(text.str(), &frames, &error)) << error;
    return frames;
}

class NodeFixture : public ::testing::Test {
protected:
    // The chip's unique ID words 0..2; by default words whose bytes, least significant first, read 0..11.
    NodeFixture(uint32_t word0 = 0x03020100U, uint32_t word1 = 0x07060504U, uint32_t word2 = 0x0B0A0908U)
        : uid_{word0, word1, word2}
    {
    }

    void SetUp() override
    {
        startFromFormattedStore();
        sim::setUniqueId(uid_[0], uid_[1], uid_[2]);
        for (unsigned port = 0; port < 3; ++port) {
            peers.push_back(std::make_unique<sim::CanPeer>(port));
        }
    }

    std::vector<std::unique_ptr<sim::CanPeer>> peers;

private:
    uint32_t uid_[3];
};

}  // namespace nodetest
