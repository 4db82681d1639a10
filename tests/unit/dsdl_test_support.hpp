#pragma once
// Helpers for the codec tests: payloads held in exactly-sized heap blocks (so the sanitizer build catches
// any read past them), arenas with guard bytes, and bit-level payload building.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "firmware/xport/xport.hpp"

namespace dsdltest {

using Bytes = std::vector<uint8_t>;

inline Bytes fromHex(const std::string& hex)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline Bytes fromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A received payload in single-frame geometry (head only, any length), stored in a heap block of exactly
// its size.
class Payload {
public:
    explicit Payload(const Bytes& bytes) : size_(bytes.size()), data_(new uint8_t[bytes.size()])
    {
        std::copy(bytes.begin(), bytes.end(), data_.get());
        transfer_.payload_head = data_.get();
        transfer_.payload_middle = nullptr;
        transfer_.payload_tail = nullptr;
        transfer_.payload_len = static_cast<uint16_t>(size_);
    }
    Payload(std::initializer_list<uint8_t> bytes) : Payload(Bytes(bytes)) {}

    const XportRxTransfer* transfer() const { return &transfer_; }
    uint16_t len() const { return static_cast<uint16_t>(size_); }

private:
    std::size_t size_;
    std::unique_ptr<uint8_t[]> data_;
    XportRxTransfer transfer_{};
};

// A dynamic-array arena of a given size, 8-byte aligned, with guard bytes on both sides.
class Arena {
public:
    static constexpr std::size_t GUARD = 32;
    static constexpr uint8_t FILL = 0xA5;

    explicit Arena(std::size_t size) : size_(size), words_((size + 2 * GUARD + 7) / 8)
    {
        std::memset(words_.data(), FILL, words_.size() * 8);
        cursor_ = begin();
    }

    uint8_t* begin() { return reinterpret_cast<uint8_t*>(words_.data()) + GUARD; }
    uint8_t** cursor() { return &cursor_; }
    std::size_t used() { return static_cast<std::size_t>(cursor_ - begin()); }

    // True if nothing was written before the arena or after its last byte.
    bool guardsIntact()
    {
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(words_.data());
        const std::size_t total = words_.size() * 8;
        for (std::size_t i = 0; i < total; ++i) {
            const bool inside = i >= GUARD && i < GUARD + size_;
            if (!inside && raw[i] != FILL) {
                return false;
            }
        }
        return true;
    }

private:
    std::size_t size_;
    std::vector<uint64_t> words_;
    uint8_t* cursor_ = nullptr;
};

// Builds a payload field by field, most significant bit first, with the scalar encoder.
class BitWriter {
public:
    template <typename T>
    BitWriter& put(uint8_t bits, T value)
    {
        uint64_t wide = 0;
        std::memcpy(&wide, &value, sizeof(T));
        ensure(offset_ + bits);
        // The scalar encoder reads a value of the field's standard width, little-endian on every host we test.
        xportEncodeScalar(buf_.data(), offset_, bits, &wide);
        offset_ += bits;
        return *this;
    }
    BitWriter& bytes(const Bytes& b)
    {
        for (const uint8_t v : b) {
            put(8, v);
        }
        return *this;
    }

    uint32_t bits() const { return offset_; }
    Bytes done() const { return Bytes(buf_.begin(), buf_.begin() + (offset_ + 7) / 8); }

private:
    void ensure(uint32_t bits)
    {
        if (buf_.size() * 8 < bits + 64) {
            buf_.resize(bits / 8 + 16, 0);
        }
    }

    Bytes buf_;
    uint32_t offset_ = 0;
};

}  // namespace dsdltest
