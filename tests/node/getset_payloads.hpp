#pragma once
// GetSet payloads as a client encodes and reads them, written from the wire format (independent of the
// firmware's codecs).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace getset {

inline std::vector<uint8_t> le64(int64_t v)
{
    std::vector<uint8_t> out;
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
    }
    return out;
}

// Request: 13-bit index, the value's 3-bit tag and body, then the name as the tail.
namespace value {
inline const std::vector<uint8_t> kEmpty = {0};
inline std::vector<uint8_t> integer(int64_t v)
{
    std::vector<uint8_t> out = {1};
    const std::vector<uint8_t> body = le64(v);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
inline const std::vector<uint8_t> kReal1_5 = {2, 0x00, 0x00, 0xC0, 0x3F};
inline const std::vector<uint8_t> kTrue = {3, 1};
}  // namespace value

inline std::vector<uint8_t> request(uint16_t index, const std::vector<uint8_t>& tagged_value,
                                    const std::string& name = "")
{
    std::vector<uint8_t> out = {static_cast<uint8_t>(index),
                                static_cast<uint8_t>(((index >> 8) << 3) | tagged_value[0])};
    out.insert(out.end(), tagged_value.begin() + 1, tagged_value.end());
    out.insert(out.end(), name.begin(), name.end());
    return out;
}

// Response: four integer unions (value, default, max, min), then the name as the tail.
inline std::vector<uint8_t> answer(int64_t val, int64_t def, int64_t max, int64_t min, const std::string& name)
{
    std::vector<uint8_t> out;
    for (const int64_t v : {val, def, max, min}) {
        out.push_back(1);
        const std::vector<uint8_t> body = le64(v);
        out.insert(out.end(), body.begin(), body.end());
    }
    out.insert(out.end(), name.begin(), name.end());
    return out;
}
inline const std::vector<uint8_t> kNoSuchParameter = {0, 0, 0, 0};

inline int64_t valueOf(const std::vector<uint8_t>& response)
{
    EXPECT_GE(response.size(), 9U);
    int64_t v = 0;
    for (int i = 8; i >= 1; --i) {
        v = static_cast<int64_t>((static_cast<uint64_t>(v) << 8) | response.at(static_cast<std::size_t>(i)));
    }
    return v;
}

}  // namespace getset
