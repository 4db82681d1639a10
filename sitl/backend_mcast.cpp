// mcast:N - the bus as a UDP multicast group on this host. One socket receives the group; another sends,
// so that the node's own datagrams, looped back, are told apart by their source port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sitl/backend.hpp"
#include "sitl/mcast_datagram.hpp"

namespace sitl {
namespace {

class McastBackend final : public Backend {
public:
    McastBackend(unsigned group, int rx, int tx, const sockaddr_in& to, uint16_t txPort)
        : Backend("mcast:" + std::to_string(group)), rx_(rx), tx_(tx), to_(to), txPort_(txPort)
    {
    }
    ~McastBackend() override
    {
        ::close(rx_);
        ::close(tx_);
    }

    int pollFd() const override { return rx_; }

    void receive() override
    {
        for (;;) {
            uint8_t bytes[kDatagramMax + 1];
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            // MSG_TRUNC: the real size of a datagram longer than the buffer, so it counts as oversized.
            const ssize_t n = ::recvfrom(rx_, bytes, sizeof bytes, MSG_DONTWAIT | MSG_TRUNC,
                                         reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0) {
                return;
            }
            if (from.sin_port == txPort_) {
                continue;  // our own, looped back
            }
            sim::CanFrame frame;
            if (const char* why = decodeDatagram(bytes, static_cast<std::size_t>(n), &frame)) {
                drop(why);
            } else {
                deliver(frame);
            }
        }
    }

protected:
    void transmit(const sim::CanFrame& frame) override
    {
        uint8_t bytes[kDatagramMax];
        const std::size_t n = encodeDatagram(frame, bytes);
        if (::sendto(tx_, bytes, n, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to_), sizeof to_) < 0) {
            drop(std::string("send failed: ") + std::strerror(errno));
        }
    }

private:
    int rx_;
    int tx_;
    sockaddr_in to_;
    uint16_t txPort_;
};

}  // namespace

std::unique_ptr<Backend> openMcast(unsigned group, std::string* error)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kMcastPort);
    addr.sin_addr.s_addr = htonl((239U << 24) | (65U << 16) | (82U << 8) | group);
    const std::string name = "mcast:" + std::to_string(group);
    auto fail = [&](const char* what, int rx, int tx) {
        *error = name + ": " + what + ": " + std::strerror(errno);
        if (rx >= 0) {
            ::close(rx);
        }
        if (tx >= 0) {
            ::close(tx);
        }
        return nullptr;
    };

    const int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (rx < 0) {
        return fail("socket", rx, -1);
    }
    const int one = 1;
    (void)::setsockopt(rx, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    (void)::setsockopt(rx, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    // Bound to the group, not to any address: only this bus's datagrams arrive here.
    if (::bind(rx, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        return fail("bind", rx, -1);
    }
    ip_mreq join{};
    join.imr_multiaddr = addr.sin_addr;
    join.imr_interface.s_addr = htonl(INADDR_ANY);
    if (::setsockopt(rx, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) < 0) {
        return fail("join group (no multicast route?)", rx, -1);
    }

    const int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (tx < 0) {
        return fail("socket", rx, tx);
    }
    // TTL 0: looped back to this host's listeners and never sent on any wire.
    const unsigned char ttl = 0;
    const unsigned char loop = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t localLen = sizeof local;
    if (::setsockopt(tx, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0 ||
        ::setsockopt(tx, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0 ||
        ::bind(tx, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0 ||
        ::getsockname(tx, reinterpret_cast<sockaddr*>(&local), &localLen) < 0) {
        return fail("sending socket", rx, tx);
    }
    return std::make_unique<McastBackend>(group, rx, tx, addr, local.sin_port);
}

}  // namespace sitl
