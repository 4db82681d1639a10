#include "sitl/slcan.hpp"

#include <cstdio>

namespace sitl {
namespace {

constexpr char kAck = '\r';
constexpr char kBell = '\a';

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Exactly `digits` hex digits at `at`.
bool hexField(const std::string& s, std::size_t at, std::size_t digits, uint32_t* value)
{
    if (at + digits > s.size()) {
        return false;
    }
    uint32_t v = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int d = hexDigit(s[at + i]);
        if (d < 0) {
            return false;
        }
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

// t/T lines: identifier, one length digit 0..8, then exactly that many bytes.
bool parseFrame(const std::string& s, sim::CanFrame* frame)
{
    const bool extended = s[0] == 'T';
    const std::size_t digits = extended ? 8 : 3;
    uint32_t id = 0;
    uint32_t dlc = 0;
    if (!hexField(s, 1, digits, &id) || id > (extended ? 0x1FFFFFFFU : 0x7FFU) || !hexField(s, 1 + digits, 1, &dlc) ||
        dlc > 8 || s.size() != 2 + digits + 2 * std::size_t{dlc}) {
        return false;
    }
    *frame = sim::CanFrame{};
    frame->id = id;
    frame->extended = extended;
    frame->dlc = static_cast<uint8_t>(dlc);
    for (std::size_t i = 0; i < dlc; ++i) {
        uint32_t byte = 0;
        if (!hexField(s, 2 + digits + 2 * i, 2, &byte)) {
            return false;
        }
        frame->data[i] = static_cast<uint8_t>(byte);
    }
    return true;
}

}  // namespace

void SlcanAdapter::reset()
{
    line_.clear();
    overlong_ = false;
    open_ = false;
}

void SlcanAdapter::feed(const char* bytes, std::size_t n, Output* out)
{
    for (std::size_t i = 0; i < n; ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            if (overlong_) {
                out->reply += kBell;
                out->dropped.push_back("line too long");
            } else {
                line(out);
            }
            line_.clear();
            overlong_ = false;
        } else if (c == '\n' && line_.empty()) {
            // Hosts that end lines in CR LF.
        } else if (line_.size() < kSlcanMaxLine) {
            line_ += c;
        } else {
            overlong_ = true;
        }
    }
}

void SlcanAdapter::line(Output* out)
{
    auto refuse = [out](const char* why) {
        out->reply += kBell;
        out->dropped.push_back(why);
    };
    if (line_.empty()) {
        out->reply += kAck;  // hosts send bare CRs to flush a half-typed line
        return;
    }
    const char command = line_[0];
    const bool bare = line_.size() == 1;
    if (command == 'S' && line_.size() == 2 && line_[1] >= '0' && line_[1] <= '8') {
        if (open_) {
            refuse("speed change while open");
        } else {
            out->reply += kAck;
        }
    } else if (command == 'O' && bare) {
        if (open_) {
            refuse("open while open");
        } else {
            open_ = true;
            out->reply += kAck;
        }
    } else if (command == 'C' && bare) {
        open_ = false;
        out->closed = true;
        out->reply += kAck;
    } else if (command == 'F' && bare) {
        out->reply += "F00\r";
    } else if (command == 'V' && bare) {
        out->reply += "V1010\r";
    } else if (command == 'N' && bare) {
        out->reply += "NSITL\r";
    } else if (command == 't' || command == 'T') {
        sim::CanFrame frame;
        if (!open_) {
            refuse("frame while closed");
        } else if (!parseFrame(line_, &frame)) {
            refuse("malformed frame line");
        } else {
            out->frames.push_back(frame);
            out->reply += kAck;
        }
    } else if (command == 'r' || command == 'R') {
        refuse("remote frame refused");
    } else {
        refuse("unknown command");
    }
}

std::string SlcanAdapter::frameLine(const sim::CanFrame& frame) const
{
    if (!open_) {
        return {};
    }
    char text[kSlcanMaxLine + 2];
    int at = frame.extended ? std::snprintf(text, sizeof text, "%c%08X", frame.remote ? 'R' : 'T', frame.id)
                            : std::snprintf(text, sizeof text, "%c%03X", frame.remote ? 'r' : 't', frame.id);
    const uint8_t n = frame.dataBytes();
    at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "%u", static_cast<unsigned>(n));
    for (uint8_t i = 0; i < n && !frame.remote; ++i) {
        at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "%02X", frame.data[i]);
    }
    return std::string(text, static_cast<std::size_t>(at)) + kAck;
}

}  // namespace sitl
