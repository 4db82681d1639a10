// socketcan:IFACE - the bus bridged to a Linux CAN interface (vcan0, can0, ...) through a raw socket.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sitl/backend.hpp"

namespace sitl {
namespace {

class SocketCanBackend final : public Backend {
public:
    SocketCanBackend(int fd, const std::string& name) : Backend(name), fd_(fd) {}
    ~SocketCanBackend() override { ::close(fd_); }

    int pollFd() const override { return fd_; }

    void receive() override
    {
        for (;;) {
            can_frame raw{};
            const ssize_t n = ::recv(fd_, &raw, sizeof raw, MSG_DONTWAIT | MSG_TRUNC);
            if (n < 0) {
                return;
            }
            if (n != static_cast<ssize_t>(sizeof raw)) {
                drop("not a CAN frame record");
            } else if ((raw.can_id & CAN_ERR_FLAG) != 0) {
                drop("error frame");
            } else if (raw.len > CAN_MAX_DLEN) {
                drop("DLC above 8");
            } else {
                sim::CanFrame frame;
                frame.extended = (raw.can_id & CAN_EFF_FLAG) != 0;
                frame.remote = (raw.can_id & CAN_RTR_FLAG) != 0;
                frame.id = raw.can_id & (frame.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
                frame.dlc = raw.len;
                std::memcpy(frame.data, raw.data, raw.len);
                deliver(frame);
            }
        }
    }

protected:
    void transmit(const sim::CanFrame& frame) override
    {
        can_frame raw{};
        raw.can_id = frame.id | (frame.extended ? CAN_EFF_FLAG : 0U) | (frame.remote ? CAN_RTR_FLAG : 0U);
        raw.len = frame.dataBytes();
        std::memcpy(raw.data, frame.data, raw.len);
        if (::send(fd_, &raw, sizeof raw, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof raw)) {
            drop(std::string("send failed: ") + std::strerror(errno));
        }
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<Backend> socketCanOnFd(int fd, const std::string& name)
{
    return std::make_unique<SocketCanBackend>(fd, name);
}

std::unique_ptr<Backend> openSocketCan(const std::string& iface, std::string* error)
{
    const std::string name = "socketcan:" + iface;
    const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        *error = name + ": this kernel offers no CAN sockets (" + std::strerror(errno) + ")";
        return nullptr;
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(::if_nametoindex(iface.c_str()));
    if (addr.can_ifindex == 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        *error = name + ": no such CAN interface (" + std::strerror(errno) + ")";
        ::close(fd);
        return nullptr;
    }
    return socketCanOnFd(fd, name);
}

}  // namespace sitl
