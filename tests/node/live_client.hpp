#pragma once
// What the live tests need to be a user at the desk: a network namespace of their own (so no datagram can
// leave the machine), endpoint-sitl --live as a child process, and clients on a multicast bus and on an
// SLCAN pseudo-terminal that encode and decode the wire formats themselves.

// The chip's headers first: termios.h defines macros (CR1, ...) that are register names there.
#include "sitl/bus_transfers.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace live {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Only a safety net: a test that works finishes long before.
inline constexpr auto kPatience = std::chrono::seconds(20);

// Without root: a user namespace in which this user is root, and a network namespace it owns. The user
// keeps its own ID for files.
inline bool enterOwnUserAndNetwork()
{
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        return false;
    }
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    return true;
}

// This process (and the node it starts) in a fresh network namespace with only loopback, up, and a route
// for 239.0.0.0/8 on it. Empty on success, else why not.
inline std::string enterOwnNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0 && !enterOwnUserAndNetwork()) {
        return std::string("unshare(CLONE_NEWNET), also with a user namespace: ") + std::strerror(errno) +
               " (live tests need network namespaces: run them as root, or allow unprivileged user namespaces)";
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    rtentry route{};
    auto* dst = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    auto* mask = reinterpret_cast<sockaddr_in*>(&route.rt_genmask);
    dst->sin_family = mask->sin_family = AF_INET;
    dst->sin_addr.s_addr = htonl(239U << 24);
    mask->sin_addr.s_addr = htonl(0xFF000000U);
    route.rt_flags = RTF_UP;
    char lo[] = "lo";
    route.rt_dev = lo;
    std::string why;
    if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0 || ::ioctl(s, SIOCADDRT, &route) != 0) {
        why = std::string("loopback set-up in the namespace: ") + std::strerror(errno);
    }
    ::close(s);
    return why;
}

inline std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// endpoint-sitl --live ARGS, its stdout and stderr in files of dir.
class Node {
public:
    Node(const fs::path& dir, const std::vector<std::string>& args) : dir_(dir)
    {
        std::fflush(nullptr);  // or the child's copy of the buffers is written a second time
        pid_ = ::fork();
        if (pid_ == 0) {
            std::vector<std::string> all = {ENDPOINT_SITL, "--live"};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& a : all) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            (void)std::freopen((dir / "stdout.txt").c_str(), "w", stdout);
            (void)std::freopen((dir / "stderr.txt").c_str(), "w", stderr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Node()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Exit status after the signal (or after it ends by itself with signal 0); -1 if it does not end.
    int stop(int signal)
    {
        if (signal != 0) {
            ::kill(pid_, signal);
        }
        const auto until = Clock::now() + kPatience;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > until) {
                return -1;
            }
            ::usleep(10000);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string stdoutText() const { return slurp(dir_ / "stdout.txt"); }
    std::string stderrText() const { return slurp(dir_ / "stderr.txt"); }

private:
    fs::path dir_;
    pid_t pid_ = -1;
};

// Frames from the node as a client collects them, put back together into transfers.
class Client {
public:
    virtual ~Client() = default;
    virtual void send(const sim::CanFrame& frame) = 0;

    void sendTransfer(uint32_t can_id, uint8_t transfer_id, const std::vector<uint8_t>& payload, uint64_t signature)
    {
        for (const sim::CanFrame& f : bus::framesOf(can_id, transfer_id, payload, signature)) {
            send(f);
        }
    }

    // The first transfer after the last forget() that matches, waiting for it; none after kPatience.
    std::optional<bus::Transfer> await(const std::function<bool(const bus::Transfer&)>& match)
    {
        const auto until = Clock::now() + kPatience;
        for (;;) {
            for (const bus::Transfer& t : bus::transfersOf(frames_)) {
                if (match(t)) {
                    return t;
                }
            }
            if (Clock::now() > until) {
                return std::nullopt;
            }
            collect(50);
        }
    }
    void forget() { frames_.clear(); }

protected:
    // Waits up to ms for frames and takes what came.
    virtual void collect(int ms) = 0;
    void took(const sim::CanFrame& frame) { frames_.emplace_back(frame, 0); }

private:
    std::vector<std::pair<sim::CanFrame, uint64_t>> frames_;
};

// A tool on bus mcast:N: its own datagrams, looped back, are told apart by the source port.
class McastClient final : public Client {
public:
    explicit McastClient(unsigned group)
    {
        group_.sin_family = AF_INET;
        group_.sin_port = htons(57732);
        group_.sin_addr.s_addr = htonl((239U << 24) | (65U << 16) | (82U << 8) | group);
        rx_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int one = 1;
        ::setsockopt(rx_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        EXPECT_EQ(::bind(rx_, reinterpret_cast<const sockaddr*>(&group_), sizeof group_), 0) << std::strerror(errno);
        ip_mreq join{};
        join.imr_multiaddr = group_.sin_addr;
        EXPECT_EQ(::setsockopt(rx_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0) << std::strerror(errno);
        tx_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        socklen_t n = sizeof local;
        ::bind(tx_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        ::getsockname(tx_, reinterpret_cast<sockaddr*>(&local), &n);
        txPort_ = local.sin_port;
    }
    McastClient(const McastClient&) = delete;
    McastClient& operator=(const McastClient&) = delete;
    ~McastClient() override
    {
        ::close(rx_);
        ::close(tx_);
    }

    void sendBytes(const std::vector<uint8_t>& datagram)
    {
        ASSERT_EQ(::sendto(tx_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&group_),
                           sizeof group_),
                  static_cast<ssize_t>(datagram.size()))
            << std::strerror(errno);
    }
    // Magic, CRC over the rest, flags, message ID (bit 31: extended), data; little-endian.
    static std::vector<uint8_t> datagram(const sim::CanFrame& f, uint16_t flags = 0)
    {
        const uint32_t id = f.id | (f.extended ? 1U << 31 : 0U);
        std::vector<uint8_t> body = {static_cast<uint8_t>(flags), static_cast<uint8_t>(flags >> 8)};
        for (int i = 0; i < 4; ++i) {
            body.push_back(static_cast<uint8_t>(id >> (8 * i)));
        }
        body.insert(body.end(), f.data, f.data + f.dlc);
        const uint16_t crc = bus::crcAdd(0xFFFF, body.data(), body.size());
        std::vector<uint8_t> out = {0x34, 0x29, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
    void send(const sim::CanFrame& frame) override { sendBytes(datagram(frame)); }

protected:
    void collect(int ms) override
    {
        pollfd p{rx_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) {
            return;
        }
        for (;;) {
            uint8_t b[128];
            sockaddr_in from{};
            socklen_t n = sizeof from;
            const ssize_t size = ::recvfrom(rx_, b, sizeof b, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &n);
            if (size < 0) {
                return;
            }
            if (from.sin_port == txPort_) {
                continue;
            }
            // Whatever the node sends must be well-formed.
            EXPECT_GE(size, 10);
            EXPECT_LE(size, 18);
            EXPECT_EQ(b[0] | (b[1] << 8), 0x2934);
            EXPECT_EQ(b[2] | (b[3] << 8), bus::crcAdd(0xFFFF, b + 4, static_cast<std::size_t>(size) - 4));
            uint32_t id = 0;
            for (int i = 3; i >= 0; --i) {
                id = (id << 8) | b[6 + i];
            }
            sim::CanFrame f{};
            f.extended = (id >> 31) != 0;
            f.id = id & 0x1FFFFFFFU;
            f.dlc = static_cast<uint8_t>(size - 10);
            std::memcpy(f.data, b + 10, f.dlc);
            took(f);
        }
    }

private:
    sockaddr_in group_{};
    int rx_ = -1;
    int tx_ = -1;
    uint16_t txPort_ = 0;
};

// A host on the SLCAN pseudo-terminal: lines out, replies and frame lines in.
class SlcanClient final : public Client {
public:
    explicit SlcanClient(const fs::path& path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd_, 0) << path << ": " << std::strerror(errno);
        termios tio{};
        ::tcgetattr(fd_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd_, TCSANOW, &tio);
    }
    ~SlcanClient() override { ::close(fd_); }

    // Sends a command line and returns the adapter's reply to it (up to its '\r' or BEL); frame lines that
    // arrive meanwhile are taken as frames.
    std::string command(const std::string& line)
    {
        write(line + "\r");
        const auto until = Clock::now() + kPatience;
        while (replies_.empty() && Clock::now() < until) {
            collect(50);
        }
        if (replies_.empty()) {
            return "(no reply)";
        }
        std::string r = replies_.front();
        replies_.erase(replies_.begin());
        return r;
    }
    // Everything the adapter sends within ms, as it comes.
    std::string readFor(int ms)
    {
        std::string text;
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        pollfd p{fd_, POLLIN, 0};
        char b[512];
        for (ssize_t n = 0; Clock::now() < until; text.append(b, static_cast<std::size_t>(n > 0 ? n : 0))) {
            n = ::poll(&p, 1, 10) > 0 ? ::read(fd_, b, sizeof b) : 0;
        }
        return text;
    }
    void write(const std::string& text) { ASSERT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
    void send(const sim::CanFrame& f) override
    {
        char line[32];
        int at = std::snprintf(line, sizeof line, "T%08X%u", f.id, static_cast<unsigned>(f.dlc));
        for (unsigned i = 0; i < f.dlc; ++i) {
            at += std::snprintf(line + at, sizeof line - static_cast<std::size_t>(at), "%02X", f.data[i]);
        }
        EXPECT_EQ(command(line), "\r");
    }

protected:
    void collect(int ms) override
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) {
            return;
        }
        char b[512];
        const ssize_t n = ::read(fd_, b, sizeof b);
        for (ssize_t i = 0; i < n; ++i) {
            pending_ += b[i];
            if (b[i] != '\r' && b[i] != '\a') {
                continue;
            }
            if (pending_[0] == 'T' && pending_.size() > 10) {
                took(parse(pending_));
            } else {
                replies_.push_back(pending_);
            }
            pending_.clear();
        }
    }

private:
    static sim::CanFrame parse(const std::string& line)
    {
        sim::CanFrame f{};
        f.extended = true;
        f.id = static_cast<uint32_t>(std::stoul(line.substr(1, 8), nullptr, 16));
        f.dlc = static_cast<uint8_t>(line[9] - '0');
        EXPECT_EQ(line.size(), 11U + 2U * f.dlc) << line;
        for (unsigned i = 0; i < f.dlc && 12 + 2 * i <= line.size(); ++i) {
            f.data[i] = static_cast<uint8_t>(std::stoul(line.substr(10 + 2 * i, 2), nullptr, 16));
        }
        return f;
    }

    int fd_ = -1;
    std::string pending_;
    std::vector<std::string> replies_;
};

}  // namespace live
