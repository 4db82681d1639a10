#pragma once
// Helpers shared by the message codecs. Scalar fields go through xportEncodeScalar / xportDecodeScalar,
// byte arrays on a byte boundary are copied whole; these keep the per-type sources short and uniform. Not
// for the application.

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "firmware/xport/xport.hpp"

// Limits an unsigned field to what its wire width can carry.
template <typename T>
constexpr T XPORT_INTERNAL_SATURATE_UNSIGNED(T x, T max)
{
    return (x < max) ? x : max;
}

// Largest unsigned value of a field of `Bits` bits.
template <uint8_t Bits>
constexpr uint64_t dsdlUnsignedMax()
{
    static_assert(Bits >= 1 && Bits <= 64);
    return (Bits == 64) ? ~uint64_t{0} : ((uint64_t{1} << Bits) - 1U);
}

// Bytes of the standard width the scalar codec uses for a field of `bits` bits.
constexpr std::size_t dsdlStandardWidth(uint8_t bits)
{
    return (bits <= 8) ? 1U : (bits <= 16) ? 2U : (bits <= 32) ? 4U : 8U;
}

// Bytes of an encoded message of `bits` bits, with the bits after its last field cleared. The encoders
// write every bit of every field, voids included, and leave the rest of the buffer as it was, so with this
// every byte a message reports is defined and callers need not clear a buffer of the largest size first.
inline uint32_t dsdlMessageBytes(void* msg_buf, uint32_t bits)
{
    const uint32_t spare = (8U - bits % 8U) % 8U;
    if (spare != 0U) {
        uint8_t& last = static_cast<uint8_t*>(msg_buf)[bits / 8U];  // a partial byte fills from the top
        last = static_cast<uint8_t>(last & (0xFFU << spare));
    }
    return (bits + 7U) / 8U;
}

// Writes one scalar field; returns the offset after it.
template <uint8_t Bits, typename T>
inline uint32_t dsdlEncodeField(void* msg_buf, uint32_t offset, T value)
{
    static_assert(Bits >= 1 && Bits <= 64);
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) == dsdlStandardWidth(Bits),
                  "the scalar codec reads a value of the field's standard width");
    xportEncodeScalar(msg_buf, offset, Bits, &value);
    return offset + Bits;
}

// Reads one scalar field whole. On success stores it and returns 0; otherwise leaves *out untouched and
// returns the decoder's result: the scalar codec's own error, or -XPORT_ERROR_INTERNAL when the payload
// ends before the field does.
template <uint8_t Bits, bool Signed = false, typename T>
inline int32_t dsdlDecodeField(const XportRxTransfer* transfer, int32_t offset, T* out)
{
    static_assert(Bits >= 1 && Bits <= 64);
    static_assert(!(Signed && Bits == 1));
    if (offset < 0) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    if constexpr (std::is_same_v<T, bool>) {
        static_assert(Bits == 1);
        uint8_t raw = 0;
        const int32_t result = dsdlDecodeField<1>(transfer, offset, &raw);
        if (result == 0) {
            *out = (raw != 0);
        }
        return result;
    } else {
        static_assert(std::is_trivially_copyable_v<T> && sizeof(T) == dsdlStandardWidth(Bits),
                      "the scalar codec writes a value of the field's standard width");
        T value{};
        const int got = xportDecodeScalar(transfer, static_cast<uint32_t>(offset), Bits, Signed, &value);
        if (got == Bits) {
            *out = value;
            return 0;
        }
        return (got < 0) ? got : -XPORT_ERROR_INTERNAL;
    }
}

// Length of the last array of a top-level type, which travels without its prefix: as many whole elements
// as the payload has bits left, cut to the type's maximum so no caller's arena is ever overrun. N is the
// record's length type (uint16_t for an array of more than 255 elements).
template <typename N>
inline N dsdlTailArrayLength(uint16_t payload_len, int32_t offset, uint32_t element_bits, N max_length)
{
    const int32_t left = static_cast<int32_t>(payload_len) * 8 - offset;
    if (left <= 0) {
        return 0;
    }
    const uint32_t count = static_cast<uint32_t>(left) / element_bits;
    return (count < max_length) ? static_cast<N>(count) : max_length;
}

// Reads the length prefix of a dynamic array; a prefix above the type's maximum is cut to it.
template <uint8_t PrefixBits, typename N>
inline int32_t dsdlDecodeArrayLength(const XportRxTransfer* transfer, int32_t offset, N max_length, N* out_length)
{
    N length = 0;
    const int32_t result = dsdlDecodeField<PrefixBits>(transfer, offset, &length);
    if (result == 0) {
        *out_length = XPORT_INTERNAL_SATURATE_UNSIGNED(length, max_length);
    }
    return result;
}

// Reads `count` integer elements. With an arena they are stored at *dyn_arr_buf, which moves past them;
// without one they are only checked against the payload. *len counts the elements read whole, so it
// never claims more than was stored. Returns the offset after the last element or a negative error.
// Out of line, as is the encoder: one copy per element type serves every codec, some 800 bytes of flash
// less than a copy inlined in each.
template <uint8_t Bits, bool Signed, typename T, typename N>
__attribute__((noinline)) int32_t dsdlDecodeIntArray(const XportRxTransfer* transfer, int32_t offset, N count,
                                                     N* len, T** data, uint8_t** dyn_arr_buf)
{
    if (dyn_arr_buf != nullptr) {
        XPORT_ASSERT(*dyn_arr_buf != nullptr);
        // The record reads the elements through a T*; a misaligned arena would fault on the chip.
        XPORT_ASSERT(reinterpret_cast<uintptr_t>(*dyn_arr_buf) % alignof(T) == 0);
        *data = reinterpret_cast<T*>(*dyn_arr_buf);
    }
    *len = 0;
    if constexpr (Bits == 8 && sizeof(T) == 1) {
        // Byte arrays (names, strings) on a byte boundary are their bytes, in order: read whole rather
        // than a field at a time, which walks a long payload's blocks once per byte.
        if (transfer != nullptr && offset >= 0 && offset % 8 == 0) {
            const auto first = static_cast<uint32_t>(offset) / 8U;
            const uint32_t left = transfer->payload_len > first ? transfer->payload_len - first : 0U;
            const auto whole = static_cast<N>(count < left ? count : left);
            if (dyn_arr_buf != nullptr) {
                (void)xportReadPayloadBytes(transfer, static_cast<uint16_t>(first), whole, *dyn_arr_buf);
                *dyn_arr_buf += whole;
            }
            *len = whole;
            return whole == count ? offset + 8 * count : -XPORT_ERROR_INTERNAL;
        }
    }
    for (N i = 0; i < count; ++i) {
        T value{};
        const int32_t result = dsdlDecodeField<Bits, Signed>(transfer, offset, &value);
        if (result < 0) {
            return result;
        }
        if (dyn_arr_buf != nullptr) {
            std::memcpy(*dyn_arr_buf, &value, sizeof(T));
            *dyn_arr_buf += sizeof(T);
        }
        *len = static_cast<N>(i + 1U);
        offset += Bits;
    }
    return offset;
}

// Writes `len` integer elements; returns the offset after them.
template <uint8_t Bits, typename T, typename N>
__attribute__((noinline)) uint32_t dsdlEncodeIntArray(void* msg_buf, uint32_t offset, const T* data, N len)
{
    XPORT_ASSERT(len == 0 || data != nullptr);
    if constexpr (Bits == 8 && sizeof(T) == 1) {
        // Byte arrays (names, unique IDs) on a byte boundary are their bytes, in order: copied whole
        // rather than bit by bit.
        if (offset % 8U == 0U) {
            if (len != 0U) {
                std::memcpy(static_cast<uint8_t*>(msg_buf) + offset / 8U, data, len);
            }
            return offset + 8U * len;
        }
    }
    for (N i = 0; i < len; ++i) {
        offset = dsdlEncodeField<Bits>(msg_buf, offset, data[i]);
    }
    return offset;
}

// A dynamic array that is the last field of its type. At the top level (payload_len non-zero) it travels
// without its prefix and takes the payload's remaining whole elements; nested, a PrefixBits prefix comes
// first. Either way at most max_length elements, stored as dsdlDecodeIntArray does.
template <uint8_t PrefixBits, uint8_t Bits, bool Signed, typename T, typename N>
inline int32_t dsdlDecodeLastArray(const XportRxTransfer* transfer, uint16_t payload_len, int32_t offset,
                                   N max_length, N* len, T** data, uint8_t** dyn_arr_buf)
{
    *len = 0;
    N count = 0;
    if (payload_len != 0) {
        count = dsdlTailArrayLength(payload_len, offset, Bits, max_length);
    } else {
        const int32_t result = dsdlDecodeArrayLength<PrefixBits>(transfer, offset, max_length, &count);
        if (result < 0) {
            return result;
        }
        offset += PrefixBits;
    }
    return dsdlDecodeIntArray<Bits, Signed>(transfer, offset, count, len, data, dyn_arr_buf);
}

// The encoding side of dsdlDecodeLastArray: *len is cut to max_length (and left so); the prefix is written
// only when the type is not the root (root_item 0).
template <uint8_t PrefixBits, uint8_t Bits, typename T, typename N>
inline uint32_t dsdlEncodeLastArray(void* msg_buf, uint32_t offset, uint8_t root_item, N max_length, N* len,
                                    const T* data)
{
    *len = XPORT_INTERNAL_SATURATE_UNSIGNED(*len, max_length);
    if (root_item == 0) {
        offset = dsdlEncodeField<PrefixBits>(msg_buf, offset, *len);
    }
    return dsdlEncodeIntArray<Bits>(msg_buf, offset, data, *len);
}
