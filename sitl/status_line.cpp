#include "sitl/status_line.hpp"

#include "sitl/pins.hpp"

namespace sitl {
namespace {

constexpr unsigned kLedCount = 3;  // the first board lines

}  // namespace

StatusLine::StatusLine(const std::vector<std::unique_ptr<Backend>>& backends, std::FILE* out)
    : backends_(backends), out_(out), due_(std::chrono::steady_clock::now())
{
}

StatusLine::~StatusLine()
{
    if (written_) {
        (void)std::fputs("\n", out_);
        (void)std::fflush(out_);
    }
}

std::string StatusLine::text() const
{
    std::string leds;
    unsigned lit = 0;
    unsigned elected = 0;
    for (unsigned led = 0; led < kLedCount; ++led) {
        const bool on = boardLineLevel(led);
        leds += on ? '1' : '0';
        if (on) {
            ++lit;
            elected = led + 1;
        }
    }
    std::string text = std::to_string(sim::nowNs() / 1000000000U) + " s  fc " +
                       (lit == 1 ? "CAN" + std::to_string(elected) : std::string("none")) + "  pwm";
    for (unsigned i = 0; i < sim::kPwmOutputs; ++i) {
        const sim::PwmOutput out = sim::pwmOutput(i);
        // Appended piece by piece: GCC 12 at -O3 takes `"literal" + std::string&&` for an overlapping copy.
        text += ' ';
        text += std::to_string(out.pulseUs());
        text += "us@";
        text += std::to_string(out.frameHz());
    }
    text += "  led ";
    text += leds;
    for (const auto& b : backends_) {
        text += "  ";
        text += b->name() + " " + std::to_string(b->framesIn()) + "/" + std::to_string(b->framesOut()) + "/" +
                std::to_string(b->droppedTotal());
    }
    return text;
}

void StatusLine::refresh()
{
    const auto now = std::chrono::steady_clock::now();
    if (now < due_) {
        return;
    }
    due_ = now + std::chrono::seconds(1);
    // Back to the line's start and clear it: the new text may be shorter.
    (void)std::fprintf(out_, "\r\033[K%s", text().c_str());
    (void)std::fflush(out_);
    written_ = true;
}

}  // namespace sitl
