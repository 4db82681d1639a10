// Any bytes from the host, in pieces of the sizes the input's first byte chooses: every line gets exactly
// one reply, every frame taken is one a classic controller can send, and a frame line written for a frame
// taken reads back as the same frame.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "sitl/slcan.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t piece = 1U + data[0] % 32U;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::size_t n = size - 1;
    sitl::SlcanAdapter adapter;
    sitl::SlcanAdapter::Output out;
    for (std::size_t at = 0; at < n; at += piece) {
        adapter.feed(text + at, std::min(piece, n - at), &out);
    }
    const std::size_t lines = static_cast<std::size_t>(std::count(text, text + n, '\r'));
    const std::size_t replies = static_cast<std::size_t>(std::count(out.reply.begin(), out.reply.end(), '\r') +
                                                         std::count(out.reply.begin(), out.reply.end(), '\a'));
    if (replies != lines || out.dropped.size() + out.frames.size() > lines) {
        std::abort();
    }
    sitl::SlcanAdapter echo;
    sitl::SlcanAdapter::Output back;
    echo.feed("O\r", 2, &back);
    for (const sim::CanFrame& f : out.frames) {
        if (f.dlc > 8 || f.remote || f.id > (f.extended ? 0x1FFFFFFFU : 0x7FFU)) {
            std::abort();
        }
        const std::string line = echo.frameLine(f);
        back = {};
        echo.feed(line.data(), line.size(), &back);
        if (back.frames.size() != 1 || !(back.frames[0] == f)) {
            std::abort();
        }
    }
    return 0;
}
