// The bit codec: scalars to and from bit offsets of a payload, wherever its bytes lie.

#include "firmware/xport/xport.hpp"

#include <cstring>

#include "firmware/xport/xport_internals.hpp"

namespace {

uint8_t standardWidthBytes(uint8_t bit_length)
{
    if (bit_length <= 8) {
        return 1;
    }
    if (bit_length <= 16) {
        return 2;
    }
    if (bit_length <= 32) {
        return 4;
    }
    return 8;
}

}  // namespace

uint16_t xportReadPayloadBytes(const XportRxTransfer* transfer, uint16_t byte_offset, uint16_t len, uint8_t* out)
{
    XPORT_ASSERT(transfer != nullptr && (len == 0U || out != nullptr));
    const uint32_t payload_len = transfer->payload_len;
    const uint32_t wanted_end = static_cast<uint32_t>(byte_offset) + len;
    const uint32_t end = wanted_end < payload_len ? wanted_end : payload_len;
    if (byte_offset >= end) {
        return 0;
    }
    // The pieces in order: the head (all of a payload that needed no blocks), each buffer block, the tail of
    // the last frame.
    const bool contiguous = transfer->payload_middle == nullptr && transfer->payload_tail == nullptr;
    const XportBufferBlock* next_block = transfer->payload_middle;
    const uint8_t* piece = transfer->payload_head;
    uint32_t piece_start = 0;
    uint32_t piece_end = (contiguous || payload_len < XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE)
                             ? payload_len
                             : XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE;
    uint32_t at = byte_offset;
    for (;;) {
        if (at < piece_end) {
            const uint32_t n = (piece_end < end ? piece_end : end) - at;
            std::memcpy(out + (at - byte_offset), piece + (at - piece_start), n);
            at += n;
            if (at == end) {
                return static_cast<uint16_t>(at - byte_offset);
            }
        }
        piece_start = piece_end;
        if (next_block != nullptr) {
            piece = next_block->data;
            const uint32_t left = payload_len - piece_start;
            piece_end = piece_start + (left < XPORT_BUFFER_BLOCK_DATA_SIZE ? left : XPORT_BUFFER_BLOCK_DATA_SIZE);
            next_block = followBlockLink<const XportBufferBlock>(next_block, next_block->next);
        } else {
            XPORT_ASSERT(transfer->payload_tail != nullptr);  // the payload's length says there is more
            piece = transfer->payload_tail;
            piece_end = payload_len;
        }
    }
}

namespace {

// A scalar's value as the caller holds it: a standard-width integer (1, 2, 4 or 8 bytes) in host order.
uint64_t loadStandardWidth(const void* from, uint8_t width)
{
    switch (width) {
    case 1: {
        uint8_t v = 0;
        std::memcpy(&v, from, sizeof v);
        return v;
    }
    case 2: {
        uint16_t v = 0;
        std::memcpy(&v, from, sizeof v);
        return v;
    }
    case 4: {
        uint32_t v = 0;
        std::memcpy(&v, from, sizeof v);
        return v;
    }
    default: {
        uint64_t v = 0;
        std::memcpy(&v, from, sizeof v);
        return v;
    }
    }
}

void storeStandardWidth(void* to, uint8_t width, uint64_t value)
{
    switch (width) {
    case 1: {
        const auto v = static_cast<uint8_t>(value);
        std::memcpy(to, &v, sizeof v);
        break;
    }
    case 2: {
        const auto v = static_cast<uint16_t>(value);
        std::memcpy(to, &v, sizeof v);
        break;
    }
    case 4: {
        const auto v = static_cast<uint32_t>(value);
        std::memcpy(to, &v, sizeof v);
        break;
    }
    default:
        std::memcpy(to, &value, sizeof value);
        break;
    }
}

// A decoded field's bits (its first byte lowest), sign-extended if asked, stored at its standard width.
void storeField(uint64_t value, uint8_t bit_length, bool value_is_signed, void* out_value)
{
    if (value_is_signed && bit_length < 64U && ((value >> (bit_length - 1U)) & 1U) != 0U) {
        value |= ~uint64_t{0} << bit_length;
    }
    storeStandardWidth(out_value, standardWidthBytes(bit_length), value);
}

// A field that lies whole in one contiguous run of bytes (the payload of every single-frame transfer and of
// short multi-frame ones, or the bytes gathered for a field of a scattered payload): its bytes are taken
// from a 16-bit window, least significant byte first as they travel.
int decodeContiguousField(const uint8_t* payload, uint32_t payload_len, uint32_t bit_offset, uint8_t bit_length,
                          bool value_is_signed, void* out_value)
{
    uint64_t value = 0;
    uint32_t pos = bit_offset;
    for (uint32_t shift = 0, remaining = bit_length; remaining > 0; shift += 8U) {
        const uint32_t n = remaining < 8U ? remaining : 8U;
        const uint32_t index = pos / 8U;
        const uint32_t window = (static_cast<uint32_t>(payload[index]) << 8) |
                                (index + 1U < payload_len ? payload[index + 1U] : 0U);
        const uint32_t bits = (window >> (16U - pos % 8U - n)) & ((1U << n) - 1U);
        value |= static_cast<uint64_t>(bits) << shift;
        pos += n;
        remaining -= n;
    }
    storeField(value, bit_length, value_is_signed, out_value);
    return bit_length;
}

}  // namespace

void xportEncodeScalar(void* destination, uint32_t bit_offset, uint8_t bit_length, const void* value)
{
    XPORT_ASSERT(destination != nullptr && value != nullptr);
    XPORT_ASSERT(bit_length > 0 && bit_length <= 64);

    // Least significant byte first, each byte's bits (a last partial byte's low bits) most significant
    // first, every bit outside the field left as it was.
    uint64_t bits_of_value = loadStandardWidth(value, standardWidthBytes(bit_length));
    auto* dst = static_cast<uint8_t*>(destination) + bit_offset / 8U;
    const uint32_t lead = bit_offset % 8U;
    uint32_t remaining = bit_length;
    if (lead == 0U) {
        for (; remaining >= 8U; remaining -= 8U, bits_of_value >>= 8) {
            *dst++ = static_cast<uint8_t>(bits_of_value);  // a whole byte in place
        }
    }
    // The value is consumed a byte at a time by constant shifts: a 64-bit shift by a variable amount costs
    // a sequence of instructions on the chip.
    for (; remaining > 0U; bits_of_value >>= 8, ++dst) {
        const uint32_t n = remaining < 8U ? remaining : 8U;
        remaining -= n;
        const bool spills = lead + n > 8U;  // only then is the next byte read or written
        const uint32_t up = 16U - lead - n;
        const uint32_t mask = ((1U << n) - 1U) << up;
        const uint32_t bits = (static_cast<uint32_t>(bits_of_value) << up) & mask;
        const uint32_t window = (((static_cast<uint32_t>(dst[0]) << 8) | (spills ? dst[1] : 0U)) & ~mask) | bits;
        dst[0] = static_cast<uint8_t>(window >> 8);
        if (spills) {
            dst[1] = static_cast<uint8_t>(window);
        }
    }
}

int xportDecodeScalar(const XportRxTransfer* transfer, uint32_t bit_offset, uint8_t bit_length, bool value_is_signed,
                      void* out_value)
{
    if (transfer == nullptr || out_value == nullptr || bit_length == 0 || bit_length > 64 ||
        (value_is_signed && bit_length == 1)) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    if (transfer->payload_middle == nullptr && transfer->payload_tail == nullptr &&
        bit_offset + bit_length <= static_cast<uint32_t>(transfer->payload_len) * 8U) {
        return decodeContiguousField(transfer->payload_head, transfer->payload_len, bit_offset, bit_length,
                                     value_is_signed, out_value);
    }
    // A field in a scattered payload, or one the payload ends inside: the at most nine bytes it touches,
    // gathered from wherever they lie, with zeros past the payload's end, decoded as a contiguous field.
    const uint32_t payload_bits = static_cast<uint32_t>(transfer->payload_len) * 8U;
    if (bit_offset >= payload_bits) {
        return 0;
    }
    uint8_t bytes[9] = {};
    const uint32_t lead = bit_offset % 8U;
    (void)xportReadPayloadBytes(transfer, static_cast<uint16_t>(bit_offset / 8U),
                                static_cast<uint16_t>((lead + bit_length + 7U) / 8U), bytes);
    (void)decodeContiguousField(bytes, sizeof bytes, lead, bit_length, value_is_signed, out_value);
    const uint32_t left = payload_bits - bit_offset;
    return static_cast<int>(left < bit_length ? left : bit_length);
}

float xportConvertFloat16ToNativeFloat(uint16_t value)
{
    constexpr uint32_t kMagic = 0x77800000U;        // 2^112: rebiases the exponent
    constexpr uint32_t kInfNanLimit = 0x47800000U;  // 65536.0f
    float magic = 0;
    float limit = 0;
    std::memcpy(&magic, &kMagic, sizeof(magic));
    std::memcpy(&limit, &kInfNanLimit, sizeof(limit));

    uint32_t bits = static_cast<uint32_t>(value & 0x7FFFU) << 13;
    float result = 0;
    std::memcpy(&result, &bits, sizeof(result));
    result *= magic;
    std::memcpy(&bits, &result, sizeof(bits));
    if (result >= limit) {
        bits |= 0x7F800000U;
    }
    bits |= static_cast<uint32_t>(value & 0x8000U) << 16;
    std::memcpy(&result, &bits, sizeof(result));
    return result;
}
