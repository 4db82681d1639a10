#include "sitl/candump.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace sitl {
namespace {

// The C locale's classes, without a library call per character: a replay at full load has a million lines.
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool hexValue(char c, unsigned* v)
{
    const char lower = static_cast<char>(c | 0x20);  // 'A'..'F' to 'a'..'f'; no digit changes
    if (isDigit(c)) {
        *v = static_cast<unsigned>(c - '0');
    } else if (lower >= 'a' && lower <= 'f') {
        *v = static_cast<unsigned>(lower - 'a' + 10);
    } else {
        return false;
    }
    return true;
}

bool parseHex(std::string_view s, uint32_t* out)
{
    uint32_t v = 0;
    for (const char c : s) {
        unsigned d = 0;
        if (!hexValue(c, &d)) {
            return false;
        }
        v = (v << 4) | d;
    }
    *out = v;
    return !s.empty();
}

// "(SECONDS.MICROS)": microseconds, whatever the number of fraction digits up to six.
bool parseTime(std::string_view s, uint64_t* us)
{
    if (s.size() < 3 || s.front() != '(' || s.back() != ')') {
        return false;
    }
    const std::string_view body = s.substr(1, s.size() - 2);
    const auto dot = body.find('.');
    const std::string_view whole = body.substr(0, dot);
    const std::string_view frac = dot == std::string_view::npos ? std::string_view() : body.substr(dot + 1);
    if (whole.empty() || frac.size() > 6) {
        return false;
    }
    uint64_t v = 0;
    for (const std::string_view digits : {whole, frac}) {
        for (const char c : digits) {
            if (!isDigit(c)) {
                return false;
            }
            v = v * 10U + static_cast<uint64_t>(c - '0');
        }
    }
    for (std::size_t i = frac.size(); i < 6; ++i) {
        v *= 10U;
    }
    *us = v;
    return true;
}

std::string timeText(uint64_t us)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%llu.%06llu", static_cast<unsigned long long>(us / 1000000U),
                  static_cast<unsigned long long>(us % 1000000U));
    return text;
}

// The next word of rest, as a stream's >> would read it (blanks of any kind between words); rest loses it.
std::string_view nextWord(std::string_view* rest)
{
    std::size_t begin = 0;
    while (begin < rest->size() && isBlank((*rest)[begin])) {
        ++begin;
    }
    std::size_t end = begin;
    while (end < rest->size() && !isBlank((*rest)[end])) {
        ++end;
    }
    const std::string_view word = rest->substr(begin, end - begin);
    rest->remove_prefix(end);
    return word;
}

// Without a stream or a string per field: a replay at full load has a million lines.
bool parseLine(std::string_view line, LoggedFrame* out, std::string* why)
{
    const std::string_view time = nextWord(&line);
    const std::string_view iface = nextWord(&line);
    const std::string_view body = nextWord(&line);
    if (body.empty()) {
        *why = "expected (SECONDS.MICROS) canN ID#DATA";
        return false;
    }
    if (!parseTime(time, &out->time_us)) {
        *why = "bad time stamp";
        return false;
    }
    if (iface.size() != 4 || iface.compare(0, 3, "can") != 0 || iface[3] < '0' || iface[3] > '2') {
        *why = "interface must be can0, can1 or can2";
        return false;
    }
    out->port = static_cast<unsigned>(iface[3] - '0');

    const auto hash = body.find('#');
    if (hash == std::string_view::npos) {
        *why = "missing '#'";
        return false;
    }
    const std::string_view id = body.substr(0, hash);
    const std::string_view data = body.substr(hash + 1);
    uint32_t id_value = 0;
    if ((id.size() != 8 && id.size() != 3) || !parseHex(id, &id_value)) {
        *why = "identifier must be 3 or 8 hex digits";
        return false;
    }
    const bool extended = id.size() == 8;
    if ((extended && id_value > 0x1FFFFFFFU) || (!extended && id_value > 0x7FFU)) {
        *why = "identifier out of range";
        return false;
    }
    if (data.size() % 2 != 0 || data.size() > 16) {
        *why = "data must be 0..8 bytes in hex";
        return false;
    }
    sim::CanFrame frame{};
    frame.id = id_value;
    frame.extended = extended;
    frame.dlc = static_cast<uint8_t>(data.size() / 2);
    for (std::size_t i = 0; i < frame.dlc; ++i) {
        uint32_t byte = 0;
        if (!parseHex(data.substr(2 * i, 2), &byte)) {
            *why = "bad data byte";
            return false;
        }
        frame.data[i] = static_cast<uint8_t>(byte);
    }
    out->frame = frame;
    return true;
}

bool parseLog(const std::string& text, bool inTimeOrder, std::vector<LoggedFrame>* out, std::string* error)
{
    unsigned number = 0;
    uint64_t previous_us = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line(text.data() + at, end - at);
        at = end + 1;
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos || line[0] == '#') {
            continue;
        }
        LoggedFrame logged{};
        std::string why;
        if (!parseLine(line, &logged, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        // A frame stamped before the one above it would reach the bus late, after frames logged later.
        if (inTimeOrder && logged.time_us < previous_us) {
            *error = "line " + std::to_string(number) + ": out of time order (" + timeText(logged.time_us) +
                     " s is before the line above, " + timeText(previous_us) + " s)";
            return false;
        }
        previous_us = logged.time_us;
        out->push_back(logged);
    }
    return true;
}

}  // namespace

bool parseCandump(const std::string& text, std::vector<LoggedFrame>* out, std::string* error)
{
    return parseLog(text, false, out, error);
}

bool parseScript(const std::string& text, std::vector<LoggedFrame>* out, std::string* error)
{
    return parseLog(text, true, out, error);
}

std::string formatCandump(const LoggedFrame& logged)
{
    char id[16];
    std::snprintf(id, sizeof(id), logged.frame.extended ? "%08X#" : "%03X#", logged.frame.id);
    std::string text = "(" + timeText(logged.time_us) + ") can" + std::to_string(logged.port) + " " + id;
    for (unsigned i = 0; i < logged.frame.dataBytes(); ++i) {
        char byte[3];
        std::snprintf(byte, sizeof(byte), "%02X", logged.frame.data[i]);
        text += byte;
    }
    return text;
}

}  // namespace sitl
