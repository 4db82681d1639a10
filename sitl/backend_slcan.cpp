// slcan:pty[:PATH] - the bus behind a pseudo-terminal that behaves as an SLCAN adapter. The host tool
// opens the terminal's side (or the fixed symlink) as it would a USB adapter's serial port.
// The chip's headers first: termios.h defines macros (CR1, ...) that are register names there.
#include "sitl/backend.hpp"
#include "sitl/slcan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sitl {
namespace {

// Output the host has not read yet, beyond what the terminal buffers: past this, whole lines are dropped,
// so the host never sees a line cut in two.
constexpr std::size_t kUnreadLimit = 16384;

class SlcanBackend final : public Backend {
public:
    SlcanBackend(int master, const std::string& path, std::string link)
        : Backend("slcan:pty:" + (link.empty() ? path : link)), master_(master), path_(path), link_(std::move(link))
    {
    }
    ~SlcanBackend() override
    {
        if (!link_.empty()) {
            ::unlink(link_.c_str());
        }
        ::close(master_);
    }

    // While nobody has the terminal open it reads as hung up; it is then read (not waited on) until a
    // host opens it again.
    int pollFd() const override { return connected_ ? master_ : -1; }

    void receive() override
    {
        flush();
        for (;;) {
            char bytes[256];
            const ssize_t n = ::read(master_, bytes, sizeof bytes);
            if (n > 0) {
                connected_ = true;
                SlcanAdapter::Output out;
                adapter_.feed(bytes, static_cast<std::size_t>(n), &out);
                for (const char* why : out.dropped) {
                    drop(why);
                }
                for (const sim::CanFrame& f : out.frames) {
                    deliver(f);
                }
                if (out.closed) {
                    discardUnread();
                }
                write(out.reply);
                continue;
            }
            if (n < 0 && errno == EIO) {
                // The host closed the terminal: the adapter powers down until it is opened again, and
                // the next host must not read this one's frames.
                if (connected_) {
                    discardUnread();
                }
                connected_ = false;
                adapter_.reset();
            } else if (n < 0 && errno == EAGAIN) {
                connected_ = true;
            }
            return;
        }
    }

protected:
    void transmit(const sim::CanFrame& frame) override { write(adapter_.frameLine(frame)); }
    bool online() const override { return connected_ && adapter_.isOpen(); }

private:
    void write(const std::string& text)
    {
        if (unread_.size() + text.size() > kUnreadLimit) {
            drop("host not reading");
            return;
        }
        unread_ += text;
        flush();
    }
    void flush()
    {
        if (unread_.empty()) {
            return;
        }
        const ssize_t n = ::write(master_, unread_.data(), unread_.size());
        if (n > 0) {
            unread_.erase(0, static_cast<std::size_t>(n));
        }
    }

    // Lines queued for the host and those the terminal holds unread: a flush of the terminal's input
    // queue takes a descriptor of its own side (flushing the master's output does not reach it).
    void discardUnread()
    {
        unread_.clear();
        const int slave = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave >= 0) {
            (void)::tcflush(slave, TCIFLUSH);
            ::close(slave);
        }
    }

    int master_;
    std::string path_;
    std::string link_;
    SlcanAdapter adapter_;
    std::string unread_;
    bool connected_ = false;
};

}  // namespace

std::unique_ptr<Backend> openSlcanPty(const std::string& link, std::string* error)
{
    auto fail = [&](const std::string& what, int fd) {
        *error = "slcan:pty: " + what + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    };
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) < 0 || ::unlockpt(master) < 0) {
        return fail("no pseudo-terminal", master);
    }
    const std::string path = ::ptsname(master);
    // Raw, so that a host that does not set the line up itself gets no echo and no CR/LF translation.
    termios tio{};
    if (::tcgetattr(master, &tio) == 0) {
        ::cfmakeraw(&tio);
        (void)::tcsetattr(master, TCSANOW, &tio);
    }
    if (!link.empty()) {
        struct stat st {};
        if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            errno = EEXIST;
            return fail(link + " exists and is not a symlink", master);
        }
        (void)::unlink(link.c_str());
        if (::symlink(path.c_str(), link.c_str()) < 0) {
            return fail("cannot link " + link, master);
        }
    }
    std::printf("slcan:pty: %s%s%s\n", path.c_str(), link.empty() ? "" : " as ", link.c_str());
    (void)std::fflush(stdout);  // the line is for the user; the back-end works without it
    return std::make_unique<SlcanBackend>(master, path, link);
}

}  // namespace sitl
