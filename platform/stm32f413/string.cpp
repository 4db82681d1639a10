// The C library's memory and string functions the firmware calls, small rather than unrolled: newlib's
// speed-tuned ones took 780 bytes of a 32 KB image whose copies are a few dozen bytes each. Whole words
// move while both ends are aligned, so that a block copy costs about what newlib's did.
// Built with -fno-builtin and without loop-pattern distribution (CMakeLists.txt): the compiler would
// otherwise see these loops for what they are and call the very function being defined.
#include <cstddef>
#include <cstdint>

namespace {

bool wordAligned(const void* a, const void* b)
{
    return ((reinterpret_cast<uintptr_t>(a) | reinterpret_cast<uintptr_t>(b)) & 3U) == 0U;
}

}  // namespace

extern "C" {

void* memcpy(void* dst, const void* src, size_t n)
{
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    if (wordAligned(d, s)) {
        for (; n >= 4; n -= 4, d += 4, s += 4) {
            *reinterpret_cast<uint32_t*>(d) = *reinterpret_cast<const uint32_t*>(s);
        }
    }
    for (; n != 0; --n) {
        *d++ = *s++;
    }
    return dst;
}

void* memset(void* dst, int value, size_t n)
{
    auto* d = static_cast<uint8_t*>(dst);
    const auto byte = static_cast<uint8_t>(value);
    if (wordAligned(d, d)) {
        const uint32_t word = byte * 0x01010101U;
        for (; n >= 4; n -= 4, d += 4) {
            *reinterpret_cast<uint32_t*>(d) = word;
        }
    }
    for (; n != 0; --n) {
        *d++ = byte;
    }
    return dst;
}

int memcmp(const void* a, const void* b, size_t n)
{
    const auto* p = static_cast<const uint8_t*>(a);
    const auto* q = static_cast<const uint8_t*>(b);
    for (; n != 0; --n, ++p, ++q) {
        if (*p != *q) {
            return *p - *q;
        }
    }
    return 0;
}

size_t strlen(const char* s)
{
    const char* end = s;
    while (*end != '\0') {
        ++end;
    }
    return static_cast<size_t>(end - s);
}

}  // extern "C"
