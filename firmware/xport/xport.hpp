#pragma once
// UAVCAN v0 transport over CAN 2.0B: one instance per bus, a priority-ordered TX queue, reassembly of
// received transfers, a fixed block pool per instance and the bit-level field codec.
// The transport does no I/O: the caller moves frames between the queue, the driver and reception.

#include <cstddef>
#include <cstdint>

inline constexpr int XPORT_VERSION_MAJOR = 0;
inline constexpr int XPORT_VERSION_MINOR = 1;

// Results: non-negative on success, the negated codes below on failure.
inline constexpr int XPORT_OK = 0;
inline constexpr int XPORT_ERROR_INVALID_ARGUMENT = 2;
inline constexpr int XPORT_ERROR_OUT_OF_MEMORY = 3;
inline constexpr int XPORT_ERROR_NODE_ID_NOT_SET = 4;
inline constexpr int XPORT_ERROR_INTERNAL = 9;

inline constexpr std::size_t XPORT_MEM_BLOCK_SIZE = 32;

inline constexpr uint8_t XPORT_BROADCAST_NODE_ID = 0;
inline constexpr uint8_t XPORT_MIN_NODE_ID = 1;
inline constexpr uint8_t XPORT_MAX_NODE_ID = 127;

inline constexpr uint8_t XPORT_TRANSFER_PRIORITY_HIGHEST = 0;
inline constexpr uint8_t XPORT_TRANSFER_PRIORITY_HIGH = 8;
inline constexpr uint8_t XPORT_TRANSFER_PRIORITY_MEDIUM = 16;
inline constexpr uint8_t XPORT_TRANSFER_PRIORITY_LOW = 24;
inline constexpr uint8_t XPORT_TRANSFER_PRIORITY_LOWEST = 31;

inline constexpr uint64_t XPORT_RECOMMENDED_STALE_TRANSFER_CLEANUP_INTERVAL_USEC = 1000000U;

// CAN frame identifier word: bits 0..28 identifier, then the frame-kind flags.
inline constexpr uint32_t XPORT_CAN_FRAME_EFF = 1U << 31;
inline constexpr uint32_t XPORT_CAN_FRAME_RTR = 1U << 30;
inline constexpr uint32_t XPORT_CAN_FRAME_ERR = 1U << 29;
inline constexpr uint32_t XPORT_CAN_EXT_ID_MASK = 0x1FFFFFFFU;
inline constexpr uint32_t XPORT_CAN_STD_ID_MASK = 0x000007FFU;
inline constexpr uint8_t XPORT_CAN_FRAME_MAX_DATA_LEN = 8;

struct XportCANFrame {
    uint32_t id;
    uint8_t data[XPORT_CAN_FRAME_MAX_DATA_LEN];
    uint8_t data_len;
};

enum XportTransferType : uint8_t {
    XportTransferTypeResponse = 0,
    XportTransferTypeRequest = 1,
    XportTransferTypeBroadcast = 2,
};

enum XportRequestResponse : uint8_t {
    XportResponse = 0,
    XportRequest = 1,
};

struct XportInstance;
struct XportRxState;
struct XportTxQueueItem;
struct XportBufferBlock;

// A received transfer, built for the reception callback and valid only during that call. Its payload is
// scattered over the head, a chain of buffer blocks and the tail of the last frame; read it with
// xportDecodeScalar.
struct XportRxTransfer {
    uint64_t timestamp_usec;
    const uint8_t* payload_head;
    XportBufferBlock* payload_middle;
    const uint8_t* payload_tail;
    uint16_t payload_len;
    uint16_t data_type_id;
    uint8_t transfer_type;
    uint8_t transfer_id;
    uint8_t priority;
    uint8_t source_node_id;
    uint8_t dest_node_id;
    uint64_t data_type_signature;
};

// Asked at the first frame of every incoming transfer; writes the data type signature and returns true
// to receive the transfer.
using XportShouldAcceptTransfer = bool (*)(const XportInstance* ins, uint64_t* out_data_type_signature,
                                           uint16_t data_type_id, XportTransferType transfer_type,
                                           uint8_t source_node_id);
// Given each complete incoming transfer.
using XportOnTransferReception = void (*)(XportInstance* ins, XportRxTransfer* transfer);

union XportPoolAllocatorBlock {
    char bytes[XPORT_MEM_BLOCK_SIZE];
    XportPoolAllocatorBlock* next;
    uint64_t align_;  // reception states hold a 64-bit timestamp
};
static_assert(sizeof(XportPoolAllocatorBlock) == XPORT_MEM_BLOCK_SIZE);

struct XportPoolAllocatorStatistics {
    uint16_t capacity_blocks;
    uint16_t current_usage_blocks;
    uint16_t peak_usage_blocks;
};

struct XportPoolAllocator {
    XportPoolAllocatorBlock* free_list;
    XportPoolAllocatorStatistics statistics;
};

// What the instance has carried since xportInit. Kept apart from the pool's statistics, whose layout the
// parameter rows show.
struct XportStats {
    uint64_t transfers_tx;  // transfers queued whole by xportBroadcast / xportRequestOrRespond
    uint64_t transfers_rx;  // transfers handed to the reception callback
    // Reception losses, +1 per event: a transfer with a bad CRC; a frame with the wrong toggle or transfer
    // ID inside a transfer (out of order, repeated, or the rest of one already lost); a continuation after
    // its transfer timed out; a first frame too short for its CRC; a payload beyond the largest; a frame
    // that found no pool block for its state or payload; a transfer in progress given up to make room.
    uint64_t rx_errors;
};

struct XportInstance {
    uint8_t node_id;
    XportShouldAcceptTransfer should_accept;
    XportOnTransferReception on_reception;
    XportPoolAllocator allocator;
    XportRxState* rx_states;
    XportTxQueueItem* tx_queue;
    uint16_t tx_blocks;  // pool blocks the TX queue holds; reception holds the rest of those in use
    void* user_reference;
    XportStats stats;
};

// The transport's assertion: false is a fatal stop of the node, never an error code. The macro tests in
// place (an inline function is not always inlined at -Os) and calls the assertion only to stop, so that a
// check that holds costs no call on the receive path; the stop never returns, so the static analyser knows
// what follows runs only when the condition holds.
[[noreturn]] void XPORT_fail(const char* file, int line);
inline void XPORT_assert(bool test, const char* file = nullptr, int line = 0)
{
    if (!test) {
        XPORT_fail(file, line);
    }
}
#define XPORT_ASSERT(x) ((x) ? static_cast<void>(0) : XPORT_assert(false, __FILE__, __LINE__))

// mem_arena must be aligned for XportPoolAllocatorBlock and outlive the instance.
void xportInit(XportInstance* out_ins, void* mem_arena, std::size_t mem_arena_size,
               XportOnTransferReception on_reception, XportShouldAcceptTransfer should_accept,
               void* user_reference);

void xportSetLocalNodeID(XportInstance* ins, uint8_t self_node_id);
uint8_t xportGetLocalNodeID(const XportInstance* ins);

int xportBroadcast(XportInstance* ins, uint64_t data_type_signature, uint16_t data_type_id,
                   uint8_t* inout_transfer_id, uint8_t priority, const void* payload, uint16_t payload_len);
int xportBroadcast_internal(XportInstance* ins, uint64_t data_type_signature, uint16_t data_type_id,
                            uint8_t* inout_transfer_id, uint8_t priority, const void* payload,
                            uint16_t payload_len, uint8_t LocalNodeID);

int xportRequestOrRespond(XportInstance* ins, uint8_t destination_node_id, uint64_t data_type_signature,
                          uint8_t data_type_id, uint8_t* inout_transfer_id, uint8_t priority,
                          XportRequestResponse kind, const void* payload, uint16_t payload_len);
int xportRequestOrRespond_internal(XportInstance* ins, uint8_t destination_node_id,
                                   uint64_t data_type_signature, uint8_t data_type_id,
                                   uint8_t* inout_transfer_id, uint8_t priority, XportRequestResponse kind,
                                   const void* payload, uint16_t payload_len, uint8_t LocalNodeID);

const XportCANFrame* xportPeekTxQueue(const XportInstance* ins);
void xportPopTxQueue(XportInstance* ins);

void xportHandleRxFrame(XportInstance* ins, const XportCANFrame* frame, uint64_t timestamp_usec);
void xportHandleRxFrame_internal(XportInstance* ins, const XportCANFrame* frame, uint64_t timestamp_usec,
                                 bool AcceptAllAddr);
void xportCleanupStaleTransfers(XportInstance* ins, uint64_t current_time_usec);
void xportReleaseRxTransferPayload(XportInstance* ins, XportRxTransfer* transfer);

// Bit-level field codec. value / out_value point to an object of the field's standard width: 8 bits for
// 1..8, 16 for 9..16, 32 for 17..32, 64 for 33..64 (floats as their bit pattern).
void xportEncodeScalar(void* destination, uint32_t bit_offset, uint8_t bit_length, const void* value);
int xportDecodeScalar(const XportRxTransfer* transfer, uint32_t bit_offset, uint8_t bit_length,
                      bool value_is_signed, void* out_value);
// Copies `len` payload bytes from byte `byte_offset` on into `out`, or as many as the payload has; returns
// how many. Byte arrays on a byte boundary are their bytes, in order, so this reads them whole.
uint16_t xportReadPayloadBytes(const XportRxTransfer* transfer, uint16_t byte_offset, uint16_t len, uint8_t* out);
float xportConvertFloat16ToNativeFloat(uint16_t value);
