// The scalar decoder over a payload scattered as reception lays it out (head, chain of blocks, tail) must
// agree with the same payload read contiguously, and never write beyond the value's standard width.
#include <cstdlib>
#include <cstring>

#include "firmware/xport/xport_internals.hpp"

namespace {

uint8_t widthOf(uint8_t bits) { return bits <= 8 ? 1 : bits <= 16 ? 2 : bits <= 32 ? 4 : 8; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) {
        return 0;
    }
    const uint8_t bit_length = data[0];
    const bool is_signed = (data[1] & 1U) != 0;
    const uint32_t bit_offset = data[2] | (static_cast<uint32_t>(data[1] >> 1) << 8);
    const uint8_t tail_len = data[3] % 8U;
    const uint8_t* payload = data + 4;
    const size_t len = size - 4 > 1023 ? 1023 : size - 4;

    // Scattered layout: 6 bytes of head, full 28-byte blocks, the last block partly filled, then the tail.
    static XportBufferBlock blocks[40];
    static uint8_t head[XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE];
    XportRxTransfer scattered{};
    scattered.payload_len = static_cast<uint16_t>(len);
    scattered.payload_head = head;
    // A tail exists only behind a full head or a full last block, as reception leaves it.
    size_t in_tail = len > XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE + tail_len ? tail_len : 0;
    if ((len - in_tail - XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE) % XPORT_BUFFER_BLOCK_DATA_SIZE != 0) {
        in_tail = 0;
    }
    const size_t buffered = len - in_tail;
    std::memcpy(head, payload, buffered < 6 ? buffered : 6);
    size_t nblocks = 0;
    for (size_t at = 6; at < buffered; at += XPORT_BUFFER_BLOCK_DATA_SIZE, ++nblocks) {
        const size_t n = buffered - at < XPORT_BUFFER_BLOCK_DATA_SIZE ? buffered - at : XPORT_BUFFER_BLOCK_DATA_SIZE;
        std::memcpy(blocks[nblocks].data, payload + at, n);
        blocks[nblocks].next = 0;
        if (nblocks > 0) {
            blocks[nblocks - 1].next = makeBlockLink(&blocks[nblocks - 1], &blocks[nblocks]);
        }
    }
    scattered.payload_middle = nblocks > 0 ? &blocks[0] : nullptr;
    scattered.payload_tail = in_tail > 0 ? payload + buffered : nullptr;
    if (scattered.payload_middle == nullptr && scattered.payload_tail == nullptr) {
        scattered.payload_head = payload;  // short payloads live in the head alone
    }

    XportRxTransfer flat{};
    flat.payload_head = payload;
    flat.payload_len = static_cast<uint16_t>(len);

    uint8_t a[16];
    uint8_t b[16];
    std::memset(a, 0xA5, sizeof(a));
    std::memset(b, 0xA5, sizeof(b));
    const int ra = xportDecodeScalar(&scattered, bit_offset, bit_length, is_signed, a);
    const int rb = xportDecodeScalar(&flat, bit_offset, bit_length, is_signed, b);
    if (ra != rb || std::memcmp(a, b, sizeof(a)) != 0) {
        std::abort();
    }
    const size_t written = ra > 0 ? widthOf(bit_length) : 0;
    for (size_t i = written; i < sizeof(a); ++i) {
        if (a[i] != 0xA5) {
            std::abort();
        }
    }
    return 0;
}
