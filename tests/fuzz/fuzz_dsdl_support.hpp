#pragma once
// Shared by the decoder fuzz targets: the input as a received payload in a heap block of exactly its size
// (the sanitizer catches any read past it), an arena and a record fenced with canary bytes that must
// survive every decode, and the hook each target gives the shared entry (fuzz_dsdl_main.cpp).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "firmware/xport/xport.hpp"

namespace fuzzdsdl {

constexpr uint8_t CANARY = 0xA5;
constexpr std::size_t GUARD = 64;

inline void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

class Input {
public:
    Input(const uint8_t* data, std::size_t size) : bytes_(new uint8_t[size])
    {
        if (size != 0) {
            std::memcpy(bytes_.get(), data, size);
        }
        transfer_.payload_head = bytes_.get();
        transfer_.payload_len = static_cast<uint16_t>(size);
    }
    const XportRxTransfer* transfer() const { return &transfer_; }
    uint16_t len() const { return transfer_.payload_len; }
    int32_t bits() const { return static_cast<int32_t>(transfer_.payload_len) * 8; }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    XportRxTransfer transfer_{};
};

// An arena of `size` bytes followed by canaries, in one heap block, 8-byte aligned.
class Arena {
public:
    explicit Arena(std::size_t size) : size_(size), words_(new uint64_t[(size + GUARD + 7) / 8])
    {
        std::memset(words_.get(), CANARY, ((size + GUARD + 7) / 8) * 8);
        cursor_ = begin();
    }
    uint8_t* begin() { return reinterpret_cast<uint8_t*>(words_.get()); }
    uint8_t* end() { return begin() + size_; }
    uint8_t** cursor() { return &cursor_; }

    // The cursor stayed inside and nothing past the arena changed.
    void checkIntact()
    {
        check(cursor_ >= begin() && cursor_ <= end());
        for (std::size_t i = size_; i < size_ + GUARD; ++i) {
            check(begin()[i] == CANARY);
        }
    }
    bool holds(const void* p, std::size_t n)
    {
        const auto* b = static_cast<const uint8_t*>(p);
        return b >= begin() && b + n <= end();
    }

private:
    std::size_t size_;
    std::unique_ptr<uint64_t[]> words_;
    uint8_t* cursor_ = nullptr;
};

// A record between two canary fences.
template <typename T>
struct Fenced {
    uint8_t before[GUARD];
    T rec;
    uint8_t after[GUARD];

    Fenced()
    {
        std::memset(static_cast<void*>(this), CANARY, sizeof(*this));
        std::memset(static_cast<void*>(&rec), 0, sizeof(rec));
    }
    void checkIntact() const
    {
        for (std::size_t i = 0; i < GUARD; ++i) {
            check(before[i] == CANARY && after[i] == CANARY);
        }
    }
};

// One decode of the input and its checks, with the payload length given (0: decoded as a nested type).
// Each decoder target defines it; fuzz_dsdl_main.cpp calls it.
void decodeOnce(const Input& in, uint16_t payload_len);

}  // namespace fuzzdsdl
