// The SocketCAN back-end over a socket pair that carries struct can_frame records, as a raw CAN socket
// does: frames both ways through a virtual bus, and records that are no frame for a classic controller.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "sitl/backend.hpp"

namespace {

class SocketCanBackend : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        backend = sitl::socketCanOnFd(fds[0], "socketcan:pair");
        backend->attach(0);
    }
    void TearDown() override { ::close(fds[1]); }

    void world(const can_frame& raw, std::size_t size = sizeof(can_frame))
    {
        ASSERT_EQ(::send(fds[1], &raw, size, 0), static_cast<ssize_t>(size));
    }

    int fds[2] = {-1, -1};
    std::unique_ptr<sitl::Backend> backend;
    sim::CanPeer node{0};  // stands in for the node's controller
};

TEST_F(SocketCanBackend, FramesBothWaysAndRecordsThatAreNoFrame)
{
    can_frame raw{};
    raw.can_id = 0x1E01EE8A | CAN_EFF_FLAG;
    raw.len = 2;
    raw.data[0] = 0xC0;
    raw.data[1] = 0x0A;
    world(raw, 3);  // cut short
    raw.can_id |= CAN_ERR_FLAG;
    world(raw);
    raw.can_id &= ~CAN_ERR_FLAG;
    world(raw);
    sim::advanceUs(100);  // the bus idle, with nothing scheduled: what arrives must make itself due
    backend->receive();
    sim::advanceUs(500);
    ASSERT_EQ(node.received.size(), 1U);
    EXPECT_EQ(node.received[0].frame, sim::CanFrame::extendedFrame(0x1E01EE8A, {0xC0, 0x0A}));
    EXPECT_EQ(backend->dropped("not a CAN frame record"), 1U);
    EXPECT_EQ(backend->dropped("error frame"), 1U);

    node.send(sim::CanFrame::standard(0x123, {1, 2, 3}));
    sim::advanceUs(500);
    ASSERT_EQ(node.sent.size(), 1U);
    EXPECT_TRUE(node.sent[0].acknowledged) << "the interface acknowledges the node";
    can_frame out{};
    ASSERT_EQ(::recv(fds[1], &out, sizeof out, MSG_DONTWAIT), static_cast<ssize_t>(sizeof out));
    EXPECT_EQ(out.can_id, 0x123U);
    EXPECT_EQ(out.len, 3U);
    EXPECT_EQ(std::memcmp(out.data, "\1\2\3", 3), 0);
    EXPECT_EQ(backend->summary(),
              "socketcan:pair: 1 frames in, 1 out; dropped 1 (error frame); dropped 1 (not a CAN frame record)");
}

}  // namespace
