#pragma once
// Internals of the transport, shared by its sources and its tests; the application never includes this.

#include <array>
#include <cstddef>
#include <cstdint>

#include "firmware/xport/xport.hpp"
#include "firmware/xport/xport_arbitration.hpp"

inline constexpr uint64_t TRANSFER_TIMEOUT_USEC = 2000000U;
inline constexpr uint8_t TRANSFER_ID_BIT_LEN = 5;
inline constexpr uint8_t ANON_MSG_DATA_TYPE_ID_BIT_LEN = 2;
inline constexpr uint16_t XPORT_MAX_RX_PAYLOAD_LEN = 1023;  // what the 10-bit buffered length can hold

// Identifier fields (29-bit extended identifier in the low bits of the frame's id word).
constexpr uint8_t SOURCE_ID_FROM_ID(uint32_t id) { return static_cast<uint8_t>(id & 0x7FU); }
constexpr bool SERVICE_NOT_MSG_FROM_ID(uint32_t id) { return ((id >> 7) & 1U) != 0; }
constexpr bool REQUEST_NOT_RESPONSE_FROM_ID(uint32_t id) { return ((id >> 15) & 1U) != 0; }
constexpr uint8_t DEST_ID_FROM_ID(uint32_t id) { return static_cast<uint8_t>((id >> 8) & 0x7FU); }
constexpr uint8_t PRIORITY_FROM_ID(uint32_t id) { return static_cast<uint8_t>((id >> 24) & 0x1FU); }
constexpr uint16_t MSG_TYPE_FROM_ID(uint32_t id) { return static_cast<uint16_t>((id >> 8) & 0xFFFFU); }
constexpr uint8_t SRV_TYPE_FROM_ID(uint32_t id) { return static_cast<uint8_t>((id >> 16) & 0xFFU); }

// Tail byte fields.
constexpr bool IS_START_OF_TRANSFER(uint8_t tail) { return (tail & 0x80U) != 0; }
constexpr bool IS_END_OF_TRANSFER(uint8_t tail) { return (tail & 0x40U) != 0; }
constexpr uint8_t TOGGLE_BIT(uint8_t tail) { return static_cast<uint8_t>((tail >> 5) & 1U); }
constexpr uint8_t TRANSFER_ID_FROM_TAIL_BYTE(uint8_t tail) { return static_cast<uint8_t>(tail & 0x1FU); }

// Names one transfer stream: data type, kind, source and destination.
constexpr uint32_t MAKE_TRANSFER_DESCRIPTOR(uint16_t data_type_id, uint8_t transfer_type, uint8_t src_node_id,
                                            uint8_t dst_node_id)
{
    return static_cast<uint32_t>(data_type_id) | (static_cast<uint32_t>(transfer_type & 3U) << 16) |
           (static_cast<uint32_t>(src_node_id & 0x7FU) << 18) | (static_cast<uint32_t>(dst_node_id & 0x7FU) << 25);
}

// Links between pool blocks held inside reception states and buffer blocks are signed distances in
// blocks from the block holding the link (0: none). That keeps both records at 32 bytes with the same
// payload split on the 32-bit chip and on a 64-bit PC, so both report the same pool usage.
using XportBlockLink = int32_t;

inline constexpr std::size_t XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE = 6;
inline constexpr std::size_t XPORT_BUFFER_BLOCK_DATA_SIZE = 28;

struct XportBufferBlock {
    XportBlockLink next;
    uint8_t data[XPORT_BUFFER_BLOCK_DATA_SIZE];
};

struct XportRxState {
    XportBlockLink next;
    XportBlockLink buffer_blocks;
    uint64_t timestamp_usec;
    uint32_t dtid_tt_snid_dnid;
    uint16_t payload_crc;
    uint16_t calculated_crc;
    uint16_t payload_len : 10;
    uint16_t transfer_id : 5;
    uint16_t next_toggle : 1;
    uint8_t buffer_head[XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE];
};

struct XportTxQueueItem {
    XportTxQueueItem* next;
    XportCANFrame frame;
};

static_assert(sizeof(XportBufferBlock) == XPORT_MEM_BLOCK_SIZE);
static_assert(sizeof(XportRxState) == XPORT_MEM_BLOCK_SIZE);
static_assert(offsetof(XportRxState, buffer_head) + XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE == XPORT_MEM_BLOCK_SIZE);
static_assert(sizeof(XportTxQueueItem) <= XPORT_MEM_BLOCK_SIZE);
static_assert(alignof(XportRxState) <= alignof(XportPoolAllocatorBlock));

// Follows a block link; null for "none".
template <typename T>
T* followBlockLink(const void* from, XportBlockLink link)
{
    if (link == 0) {
        return nullptr;
    }
    const auto base = reinterpret_cast<uintptr_t>(from);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a link is a distance within one arena, not a pointer
    return reinterpret_cast<T*>(base + static_cast<uintptr_t>(static_cast<intptr_t>(link) *
                                                               static_cast<intptr_t>(XPORT_MEM_BLOCK_SIZE)));
}

// The link from block `from` to block `to` (null: none). Both lie in the same pool.
XportBlockLink makeBlockLink(const void* from, const void* to);

// Pool
// The most blocks reception may hold. The last third of the pool is the node's own: however other nodes
// flood it, its responses and broadcasts still find room (the largest it sends takes nine blocks).
constexpr uint16_t rxBlockLimit(uint16_t capacity_blocks)
{
    return static_cast<uint16_t>(capacity_blocks - capacity_blocks / 3U);
}
void initPoolAllocator(XportPoolAllocator* allocator, XportPoolAllocatorBlock* buf, uint16_t buf_len);
void* allocateBlock(XportPoolAllocator* allocator);
void freeBlock(XportPoolAllocator* allocator, void* p);

// CRC-16-CCITT (0x1021, initial 0xFFFF, no reflection, no final XOR), four bits at a time from a table of
// 16: a bit-serial loop costs eight rounds per byte, too many for every frame of every multi-frame transfer
// on three busy buses, while a byte-wide table takes 512 bytes of a flash that has few to spare for two
// lookups less per byte. Inline, so that the loops over signatures and payloads make no call per byte.
constexpr std::array<uint16_t, 16> makeCrcTable()
{
    std::array<uint16_t, 16> table{};
    for (unsigned nibble = 0; nibble < 16U; ++nibble) {
        unsigned crc = nibble << 12;
        for (int bit = 0; bit < 4; ++bit) {
            crc = (crc & 0x8000U) != 0 ? ((crc << 1) ^ 0x1021U) : (crc << 1);
        }
        table[nibble] = static_cast<uint16_t>(crc);
    }
    return table;
}
inline constexpr std::array<uint16_t, 16> kCrcTable = makeCrcTable();

inline uint16_t crcAddNibble(unsigned crc, unsigned nibble)
{
    return static_cast<uint16_t>((crc << 4) ^ kCrcTable[((crc >> 12) ^ nibble) & 0xFU]);
}
inline uint16_t crcAddByte(uint16_t crc, uint8_t byte)
{
    return crcAddNibble(crcAddNibble(crc, byte >> 4U), byte & 0xFU);
}
uint16_t crcAddSignature(uint16_t crc, uint64_t data_type_signature);
uint16_t crcAdd(uint16_t crc, const uint8_t* bytes, std::size_t len);

