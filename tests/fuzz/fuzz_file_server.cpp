// Frames from anywhere to the file server that a replay gives endpoint-sitl: whole requests with any offset
// and path, and raw frames with any tail bytes. The server answers only whole Read requests addressed to
// it, with one response from its own node ID to the asker, never more data than a Read carries; a path
// that leaves its directory, or that a NUL byte would cut short, is refused before anything is opened.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "sitl/bus_transfers.hpp"
#include "sitl/file_server.hpp"

namespace {

constexpr std::size_t kMaxAnswer = 2 + 256;  // error and data

// A directory with one 600-byte file, and one beside it that no path may reach.
std::string servedDirectory()
{
    static const std::string dir = [] {
        const auto root = std::filesystem::temp_directory_path() / ("fuzz_file_server_" + std::to_string(::getpid()));
        std::filesystem::create_directories(root / "served");
        std::ofstream(root / "served" / "a.bin", std::ios::binary) << std::string(600, 'a');
        std::ofstream(root / "secret.bin", std::ios::binary) << "secret";
        return (root / "served").string();
    }();
    return dir;
}

// Every frame the server queued, each sent and acknowledged; aborts on one that is not a Read response of
// the server's to `asker`.
std::vector<sim::CanFrame> drain(sitl::FileServer& server, uint8_t asker)
{
    std::vector<sim::CanFrame> sent;
    std::size_t bytes = 0;  // the transfer's, its CRC and tail bytes aside
    while (const sim::CanFrame* f = server.offer(0)) {
        const bool answer = f->extended && !f->remote && bus::isService(f->id) && (f->id & (1U << 15)) == 0 &&
                            bus::dataTypeOfService(f->id) == bus::kFileReadId &&
                            (f->id & 0x7FU) == sitl::kFileServerNodeId && ((f->id >> 8) & 0x7FU) == asker &&
                            f->dlc >= 1 && f->dlc <= 8;
        bytes += answer ? f->dlc - 1U : 0U;
        if (!answer || bytes > kMaxAnswer + 2U) {
            std::abort();
        }
        sent.push_back(*f);
        server.onSent(true, 0);
    }
    return sent;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    sitl::FileServer server(0, servedDirectory());
    const auto asker = static_cast<uint8_t>(1U + data[0] % 125U);
    const uint32_t request = bus::serviceId(16, bus::kFileReadId, true, sitl::kFileServerNodeId, asker);
    const std::vector<uint8_t> payload(data + 2, data + size);
    if ((data[1] & 1U) != 0) {
        // Raw frames, the last byte of each its tail byte.
        for (std::size_t at = 0; at < payload.size(); at += 8) {
            sim::CanFrame f{};
            f.id = (data[1] & 2U) != 0 ? request : static_cast<uint32_t>(payload[at]) << 8 | request;
            f.extended = true;
            f.dlc = static_cast<uint8_t>(std::min<std::size_t>(8, payload.size() - at));
            std::copy_n(payload.begin() + static_cast<std::ptrdiff_t>(at), f.dlc, f.data);
            server.onFrame(f, 0);
            (void)drain(server, asker);
        }
    } else {
        // A whole request: offset (5 bytes) and path as the payload holds them.
        for (const sim::CanFrame& f : bus::framesOf(request, data[1] >> 3, payload, bus::kFileReadSignature)) {
            server.onFrame(f, 0);
        }
        const std::vector<sim::CanFrame> answer = drain(server, asker);
        if (payload.size() >= 5 && answer.empty()) {
            std::abort();  // a whole request is always answered
        }
        const auto pathAt = static_cast<std::ptrdiff_t>(std::min<std::size_t>(5, payload.size()));
        const std::string path(payload.begin() + pathAt, payload.end());
        std::vector<uint8_t> bytes;
        const bool leaves = path.find("..") != std::string::npos || (!path.empty() && path[0] == '/');
        const bool cut = path.find('\0') != std::string::npos;
        const int16_t error = server.read(path, 0, 256, &bytes);
        const bool onlyServed = std::all_of(bytes.begin(), bytes.end(), [](uint8_t c) { return c == 'a'; });
        if ((cut && error != sitl::kFileInvalidValue) ||
            (leaves && error != sitl::kFileAccessDenied && error != sitl::kFileNotFound && !cut) ||
            bytes.size() > 256 || (error != sitl::kFileOk && !bytes.empty()) || !onlyServed) {
            std::abort();
        }
    }
    return server.answers() <= server.requests() ? 0 : (std::abort(), 0);
}
