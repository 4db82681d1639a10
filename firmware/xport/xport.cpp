#include "firmware/xport/xport.hpp"

#include <cstring>

#include "firmware/xport/xport_internals.hpp"
#include "platform/interface/core.hpp"

namespace {

// Written at every accepted start frame on any bus and handed to should_accept; the transport is driven
// from one thread only, so one variable serves all instances.
uint64_t rx_data_type_signature;

constexpr uint32_t kMaxNodeIdBits = 0x7FU;

// ---------------------------------------------------------------------------------------------------------
// Typed pool wrappers: every record takes exactly one block.

XportTxQueueItem** insertTxItem(XportTxQueueItem** link, XportTxQueueItem* item)
{
    item->next = *link;
    *link = item;
    return &item->next;
}

// Only after the caller made sure the pool has the block.
XportTxQueueItem* createTxItem(XportInstance* ins)
{
    auto* item = static_cast<XportTxQueueItem*>(allocateBlock(&ins->allocator));
    XPORT_ASSERT(item != nullptr);
    std::memset(item, 0, sizeof(XportTxQueueItem));
    ins->tx_blocks++;
    return item;
}

void releaseBlockChain(XportPoolAllocator* allocator, XportBufferBlock* block)
{
    while (block != nullptr) {
        XportBufferBlock* const next = followBlockLink<XportBufferBlock>(block, block->next);
        freeBlock(allocator, block);
        block = next;
    }
}

uint16_t freeBlocks(const XportPoolAllocator* allocator)
{
    return static_cast<uint16_t>(allocator->statistics.capacity_blocks - allocator->statistics.current_usage_blocks);
}

// Unlinks `state` (`prev` is the one before it in the list, null for the first) and frees it with its payload.
void removeRxState(XportInstance* ins, XportRxState* prev, XportRxState* state)
{
    releaseBlockChain(&ins->allocator, followBlockLink<XportBufferBlock>(state, state->buffer_blocks));
    XportRxState* const next = followBlockLink<XportRxState>(state, state->next);
    if (prev == nullptr) {
        ins->rx_states = next;
    } else {
        prev->next = makeBlockLink(prev, next);
    }
    freeBlock(&ins->allocator, state);
}

// Frees the state whose transfer started longest ago, `keep` aside; a transfer it was assembling is lost.
// False when there is none.
bool evictStalestRxState(XportInstance* ins, const XportRxState* keep)
{
    XportRxState* victim = nullptr;
    XportRxState* victim_prev = nullptr;
    XportRxState* prev = nullptr;
    for (XportRxState* state = ins->rx_states; state != nullptr;
         prev = state, state = followBlockLink<XportRxState>(state, state->next)) {
        if (state != keep && (victim == nullptr || state->timestamp_usec < victim->timestamp_usec)) {
            victim = state;
            victim_prev = prev;
        }
    }
    if (victim == nullptr) {
        return false;
    }
    if (victim->payload_len != 0) {
        ins->stats.rx_errors++;
    }
    removeRxState(ins, victim_prev, victim);
    return true;
}

// A block for reception, which may hold rxBlockLimit of the pool. At that limit, or when transmission holds
// all the rest, the stalest state other than `keep` makes room: under a flood of cut-off transfers the
// newest transfers are the ones that may still complete.
void* allocateRxBlock(XportInstance* ins, const XportRxState* keep)
{
    const XportPoolAllocatorStatistics& pool = ins->allocator.statistics;
    while (pool.current_usage_blocks - ins->tx_blocks >= rxBlockLimit(pool.capacity_blocks) ||
           ins->allocator.free_list == nullptr) {
        if (!evictStalestRxState(ins, keep)) {
            return nullptr;
        }
    }
    return allocateBlock(&ins->allocator);
}

XportBufferBlock* createBufferBlock(XportInstance* ins, const XportRxState* owner)
{
    auto* block = static_cast<XportBufferBlock*>(allocateRxBlock(ins, owner));
    if (block != nullptr) {
        block->next = 0;
    }
    return block;
}

XportRxState* createRxState(XportInstance* ins, uint32_t transfer_descriptor)
{
    auto* state = static_cast<XportRxState*>(allocateRxBlock(ins, nullptr));
    if (state != nullptr) {
        std::memset(state, 0, sizeof(XportRxState));
        state->dtid_tt_snid_dnid = transfer_descriptor;
    }
    return state;
}

// ---------------------------------------------------------------------------------------------------------
// Transmission

void incrementTransferID(uint8_t* transfer_id)
{
    XPORT_ASSERT(transfer_id != nullptr);
    *transfer_id = static_cast<uint8_t>(*transfer_id + 1U);
    if (*transfer_id >= 32U) {
        *transfer_id = 0;
    }
}

// Links the item in behind every queued frame of equal or higher priority, so that frames of equal
// identifiers, in particular the frames of one transfer, leave in the order they were queued. Returns the
// link behind the item: the next frame of the same transfer belongs exactly there, as the queue is sorted,
// so a transfer's later frames need no walk of their own.
XportTxQueueItem** pushTxQueue(XportInstance* ins, XportTxQueueItem* item)
{
    XPORT_ASSERT(ins != nullptr);
    XPORT_ASSERT(item->frame.data_len > 0);

    XportTxQueueItem** link = &ins->tx_queue;
    while (*link != nullptr && !isPriorityHigher((*link)->frame.id, item->frame.id)) {
        link = &(*link)->next;
    }
    return insertTxItem(link, item);
}

int enqueueTxFrames(XportInstance* ins, uint32_t can_id, const uint8_t* transfer_id, uint16_t crc,
                    const uint8_t* payload, uint16_t payload_len)
{
    XPORT_ASSERT(ins != nullptr);
    XPORT_ASSERT((can_id & ~XPORT_CAN_EXT_ID_MASK) == 0);
    if (transfer_id == nullptr || (payload_len != 0 && payload == nullptr)) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    const uint8_t tid = static_cast<uint8_t>(*transfer_id & 0x1FU);
    // Queued whole or not at all: a receiver can do nothing with part of a transfer, and the frames would
    // only hold the bus and the pool.
    constexpr unsigned kBytesPerFrame = XPORT_CAN_FRAME_MAX_DATA_LEN - 1U;  // the tail byte aside
    const unsigned frames_needed = payload_len < XPORT_CAN_FRAME_MAX_DATA_LEN
                                       ? 1U
                                       : (2U + payload_len + kBytesPerFrame - 1U) / kBytesPerFrame;  // CRC first
    if (freeBlocks(&ins->allocator) < frames_needed) {
        return -XPORT_ERROR_OUT_OF_MEMORY;
    }

    if (payload_len < XPORT_CAN_FRAME_MAX_DATA_LEN) {
        XportTxQueueItem* item = createTxItem(ins);
        if (payload_len > 0) {
            std::memcpy(item->frame.data, payload, payload_len);
        }
        item->frame.data[payload_len] = static_cast<uint8_t>(0xC0U | tid);
        item->frame.data_len = static_cast<uint8_t>(payload_len + 1U);
        item->frame.id = can_id | XPORT_CAN_FRAME_EFF;
        pushTxQueue(ins, item);
        ins->stats.transfers_tx++;
        return 1;
    }

    uint16_t position = 0;
    uint8_t toggle = 0;
    uint8_t start_flag = 0x80;
    int count = 0;
    XportTxQueueItem** behind_previous = nullptr;
    while (position != payload_len) {
        XportTxQueueItem* item = createTxItem(ins);
        uint8_t i = 0;
        if (position == 0) {
            item->frame.data[0] = static_cast<uint8_t>(crc & 0xFFU);
            item->frame.data[1] = static_cast<uint8_t>(crc >> 8);
            i = 2;
        }
        const uint16_t room = static_cast<uint16_t>(XPORT_CAN_FRAME_MAX_DATA_LEN - 1U - i);
        const uint16_t left = static_cast<uint16_t>(payload_len - position);
        const uint16_t chunk = left < room ? left : room;
        std::memcpy(&item->frame.data[i], &payload[position], chunk);
        i = static_cast<uint8_t>(i + chunk);
        position = static_cast<uint16_t>(position + chunk);
        const uint8_t end_or_start = (position == payload_len) ? 0x40U : start_flag;
        item->frame.data[i] = static_cast<uint8_t>(end_or_start | (toggle << 5) | tid);
        item->frame.data_len = static_cast<uint8_t>(i + 1U);
        item->frame.id = can_id | XPORT_CAN_FRAME_EFF;
        behind_previous = behind_previous == nullptr ? pushTxQueue(ins, item) : insertTxItem(behind_previous, item);

        ++count;
        start_flag = 0;
        toggle ^= 1U;
    }
    ins->stats.transfers_tx++;
    return count;
}

bool invalidSendArguments(uint8_t priority, const void* payload, uint16_t payload_len)
{
    return (payload == nullptr && payload_len != 0) || priority > XPORT_TRANSFER_PRIORITY_LOWEST;
}

uint16_t multiFrameCrc(uint64_t data_type_signature, const void* payload, uint16_t payload_len)
{
    if (payload_len < XPORT_CAN_FRAME_MAX_DATA_LEN) {
        return 0xFFFFU;  // single frame: no CRC on the wire
    }
    const uint16_t crc = crcAddSignature(0xFFFFU, data_type_signature);
    return crcAdd(crc, static_cast<const uint8_t*>(payload), payload_len);
}

// ---------------------------------------------------------------------------------------------------------
// Reception

XportRxState* findRxState(XportRxState* state, uint32_t transfer_descriptor)
{
    while (state != nullptr) {
        if (state->dtid_tt_snid_dnid == transfer_descriptor) {
            return state;
        }
        state = followBlockLink<XportRxState>(state, state->next);
    }
    return nullptr;
}

XportRxState* prependRxState(XportInstance* ins, uint32_t transfer_descriptor)
{
    XportRxState* state = createRxState(ins, transfer_descriptor);
    if (state == nullptr) {
        return nullptr;
    }
    state->next = makeBlockLink(state, ins->rx_states);
    ins->rx_states = state;
    return state;
}

XportRxState* traverseRxStates(XportInstance* ins, uint32_t transfer_descriptor)
{
    XportRxState* state = findRxState(ins->rx_states, transfer_descriptor);
    return state != nullptr ? state : prependRxState(ins, transfer_descriptor);
}

void releaseStatePayload(XportInstance* ins, XportRxState* state)
{
    releaseBlockChain(&ins->allocator, followBlockLink<XportBufferBlock>(state, state->buffer_blocks));
    state->buffer_blocks = 0;
    state->payload_len = 0;
}

void prepareForNextTransfer(XportRxState* state)
{
    XPORT_ASSERT(state->buffer_blocks == 0);
    state->transfer_id = (state->transfer_id + 1U) & 0x1FU;
    state->payload_len = 0;
    state->next_toggle = 0;
}

// Abandons the transfer in progress and waits for the next one of the stream.
void abandonTransfer(XportInstance* ins, XportRxState* state)
{
    releaseStatePayload(ins, state);
    prepareForNextTransfer(state);
}

uint8_t computeTransferIDForwardDistance(uint8_t a, uint8_t b)
{
    int d = static_cast<int>(b) - static_cast<int>(a);
    if (d < 0) {
        d += 1 << TRANSFER_ID_BIT_LEN;
    }
    return static_cast<uint8_t>(d);
}

XportBufferBlock* lastBufferBlock(XportRxState* state, unsigned* block_count)
{
    XportBufferBlock* block = followBlockLink<XportBufferBlock>(state, state->buffer_blocks);
    *block_count = 0;
    if (block == nullptr) {
        return nullptr;
    }
    *block_count = 1;
    for (XportBufferBlock* next = followBlockLink<XportBufferBlock>(block, block->next); next != nullptr;
         next = followBlockLink<XportBufferBlock>(next, next->next)) {
        block = next;
        ++*block_count;
    }
    return block;
}

// Appends bytes to the state's payload: head first, then 28-byte blocks. 1 on success, -3 when reception
// finds no block or the transfer would outgrow what the 10-bit length can hold.
int bufferBlockPushBytes(XportInstance* ins, XportRxState* state, const uint8_t* data, uint8_t data_len)
{
    if (state->payload_len + data_len > XPORT_MAX_RX_PAYLOAD_LEN) {
        return -XPORT_ERROR_OUT_OF_MEMORY;
    }
    uint8_t taken = 0;
    while (static_cast<std::size_t>(state->payload_len + taken) < XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE && taken < data_len) {
        state->buffer_head[state->payload_len + taken] = data[taken];
        ++taken;
    }
    if (taken == data_len) {
        state->payload_len = (state->payload_len + data_len) & XPORT_MAX_RX_PAYLOAD_LEN;
        return 1;
    }

    unsigned block_count = 0;
    XportBufferBlock* block = lastBufferBlock(state, &block_count);
    std::size_t index = 0;
    if (block == nullptr) {
        block = createBufferBlock(ins, state);
        if (block == nullptr) {
            return -XPORT_ERROR_OUT_OF_MEMORY;
        }
        state->buffer_blocks = makeBlockLink(state, block);
    } else {
        index = (state->payload_len - XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE) % XPORT_BUFFER_BLOCK_DATA_SIZE;
        if (index == 0) {
            // The last block is exactly full: continue in a new one.
            index = XPORT_BUFFER_BLOCK_DATA_SIZE;
        }
    }

    while (taken < data_len) {
        if (index == XPORT_BUFFER_BLOCK_DATA_SIZE) {
            XportBufferBlock* const fresh = createBufferBlock(ins, state);
            if (fresh == nullptr) {
                return -XPORT_ERROR_OUT_OF_MEMORY;
            }
            block->next = makeBlockLink(block, fresh);
            block = fresh;
            index = 0;
        }
        block->data[index++] = data[taken++];
    }
    state->payload_len = (state->payload_len + data_len) & XPORT_MAX_RX_PAYLOAD_LEN;
    return 1;
}

// Copies the leading bytes of the last frame into the free room of the head or the last block, without
// changing payload_len. Returns how many were copied; the rest is reached through payload_tail.
uint8_t copyIntoFreeRoom(XportRxState* state, const uint8_t* data, uint8_t n)
{
    uint8_t copied = 0;
    if (state->payload_len < XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE) {
        for (std::size_t i = state->payload_len; i < XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE && copied < n; ++i) {
            state->buffer_head[i] = data[copied++];
        }
        return copied;
    }
    unsigned block_count = 0;
    XportBufferBlock* block = lastBufferBlock(state, &block_count);
    if (block == nullptr) {
        return 0;
    }
    const std::size_t fill = state->payload_len - XPORT_MULTIFRAME_RX_PAYLOAD_HEAD_SIZE -
                             XPORT_BUFFER_BLOCK_DATA_SIZE * (block_count - 1U);
    // Senders may cut frames short, so the last block can be exactly full: then the whole frame is tail.
    XPORT_ASSERT(fill <= XPORT_BUFFER_BLOCK_DATA_SIZE);
    for (std::size_t i = fill; i < XPORT_BUFFER_BLOCK_DATA_SIZE && copied < n; ++i) {
        block->data[i] = data[copied++];
    }
    return copied;
}

void fillTransferIdentity(XportRxTransfer* transfer, const XportCANFrame* frame, uint16_t data_type_id,
                          XportTransferType transfer_type, uint8_t dest_node_id, uint64_t timestamp_usec)
{
    const uint8_t tail = frame->data[frame->data_len - 1U];
    transfer->timestamp_usec = timestamp_usec;
    transfer->data_type_id = data_type_id;
    transfer->transfer_type = transfer_type;
    transfer->transfer_id = TRANSFER_ID_FROM_TAIL_BYTE(tail);
    transfer->priority = PRIORITY_FROM_ID(frame->id);
    transfer->source_node_id = SOURCE_ID_FROM_ID(frame->id);
    transfer->dest_node_id = dest_node_id;
    transfer->data_type_signature = rx_data_type_signature;
}

XportTransferType extractTransferType(uint32_t id)
{
    if (!SERVICE_NOT_MSG_FROM_ID(id)) {
        return XportTransferTypeBroadcast;
    }
    return REQUEST_NOT_RESPONSE_FROM_ID(id) ? XportTransferTypeRequest : XportTransferTypeResponse;
}

uint16_t extractDataType(uint32_t id)
{
    if (extractTransferType(id) != XportTransferTypeBroadcast) {
        return SRV_TYPE_FROM_ID(id);
    }
    if (SOURCE_ID_FROM_ID(id) == XPORT_BROADCAST_NODE_ID) {
        return static_cast<uint16_t>(MSG_TYPE_FROM_ID(id) & 3U);
    }
    return MSG_TYPE_FROM_ID(id);
}

// ---------------------------------------------------------------------------------------------------------
// Bit codec

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

// =============================================================================================================

void XPORT_fail(const char* file, int line) { coreFatalStop(file, line); }

XportBlockLink makeBlockLink(const void* from, const void* to)
{
    if (to == nullptr) {
        return 0;
    }
    const auto distance = reinterpret_cast<intptr_t>(to) - reinterpret_cast<intptr_t>(from);
    return static_cast<XportBlockLink>(distance / static_cast<intptr_t>(XPORT_MEM_BLOCK_SIZE));
}

// ---------------------------------------------------------------------------------------------------------
// Pool

void initPoolAllocator(XportPoolAllocator* allocator, XportPoolAllocatorBlock* buf, uint16_t buf_len)
{
    allocator->free_list = buf_len > 0 ? buf : nullptr;
    for (uint16_t i = 0; i < buf_len; ++i) {
        buf[i].next = (i + 1U < buf_len) ? &buf[i + 1U] : nullptr;
    }
    allocator->statistics.capacity_blocks = buf_len;
    allocator->statistics.current_usage_blocks = 0;
    allocator->statistics.peak_usage_blocks = 0;
}

void* allocateBlock(XportPoolAllocator* allocator)
{
    XportPoolAllocatorBlock* const result = allocator->free_list;
    if (result == nullptr) {
        return nullptr;
    }
    allocator->free_list = result->next;
    XportPoolAllocatorStatistics& stats = allocator->statistics;
    ++stats.current_usage_blocks;
    if (stats.current_usage_blocks > stats.peak_usage_blocks) {
        stats.peak_usage_blocks = stats.current_usage_blocks;
    }
    return result;
}

void freeBlock(XportPoolAllocator* allocator, void* p)
{
    auto* block = static_cast<XportPoolAllocatorBlock*>(p);
    block->next = allocator->free_list;
    allocator->free_list = block;
    XPORT_ASSERT(allocator->statistics.current_usage_blocks > 0);
    --allocator->statistics.current_usage_blocks;
}

// ---------------------------------------------------------------------------------------------------------
// CRC and arbitration

uint16_t crcAddSignature(uint16_t crc, uint64_t data_type_signature)
{
    for (unsigned shift = 0; shift < 64; shift += 8) {
        crc = crcAddByte(crc, static_cast<uint8_t>(data_type_signature >> shift));
    }
    return crc;
}

uint16_t crcAdd(uint16_t crc, const uint8_t* bytes, std::size_t len)
{
    for (std::size_t i = 0; i < len; ++i) {
        crc = crcAddByte(crc, bytes[i]);
    }
    return crc;
}

bool isPriorityHigher(uint32_t rhs, uint32_t id)
{
    const uint32_t clean_id = id & XPORT_CAN_EXT_ID_MASK;
    const uint32_t clean_rhs = rhs & XPORT_CAN_EXT_ID_MASK;
    const bool ext = (id & XPORT_CAN_FRAME_EFF) != 0;
    const bool rhs_ext = (rhs & XPORT_CAN_FRAME_EFF) != 0;

    if (ext != rhs_ext) {
        const uint32_t arb11 = ext ? (clean_id >> 18) : clean_id;
        const uint32_t rhs_arb11 = rhs_ext ? (clean_rhs >> 18) : clean_rhs;
        if (arb11 != rhs_arb11) {
            return arb11 < rhs_arb11;
        }
        return rhs_ext;  // a standard frame beats an extended one with the same base identifier
    }

    const bool rtr = (id & XPORT_CAN_FRAME_RTR) != 0;
    const bool rhs_rtr = (rhs & XPORT_CAN_FRAME_RTR) != 0;
    if (clean_id == clean_rhs && rtr != rhs_rtr) {
        return rhs_rtr;  // a data frame beats a remote frame with the same identifier
    }
    return clean_id < clean_rhs;
}

// ---------------------------------------------------------------------------------------------------------
// Instance and transmission

void xportInit(XportInstance* out_ins, void* mem_arena, std::size_t mem_arena_size,
               XportOnTransferReception on_reception, XportShouldAcceptTransfer should_accept,
               void* user_reference)
{
    XPORT_ASSERT(out_ins != nullptr);
    XPORT_ASSERT(reinterpret_cast<uintptr_t>(mem_arena) % alignof(XportPoolAllocatorBlock) == 0);
    std::memset(out_ins, 0, sizeof(*out_ins));
    out_ins->node_id = XPORT_BROADCAST_NODE_ID;
    out_ins->on_reception = on_reception;
    out_ins->should_accept = should_accept;
    out_ins->user_reference = user_reference;

    std::size_t blocks = mem_arena_size / XPORT_MEM_BLOCK_SIZE;
    if (blocks > 0xFFFFU) {
        blocks = 0xFFFFU;
    }
    initPoolAllocator(&out_ins->allocator, static_cast<XportPoolAllocatorBlock*>(mem_arena),
                      static_cast<uint16_t>(blocks));
}

void xportSetLocalNodeID(XportInstance* ins, uint8_t self_node_id)
{
    XPORT_ASSERT(ins != nullptr);
    XPORT_ASSERT(ins->node_id == XPORT_BROADCAST_NODE_ID && self_node_id >= XPORT_MIN_NODE_ID &&
                 self_node_id <= XPORT_MAX_NODE_ID);
    ins->node_id = self_node_id;
}

uint8_t xportGetLocalNodeID(const XportInstance* ins) { return ins->node_id; }

int xportBroadcast(XportInstance* ins, uint64_t data_type_signature, uint16_t data_type_id,
                   uint8_t* inout_transfer_id, uint8_t priority, const void* payload, uint16_t payload_len)
{
    return xportBroadcast_internal(ins, data_type_signature, data_type_id, inout_transfer_id, priority, payload,
                                   payload_len, ins->node_id);
}

int xportBroadcast_internal(XportInstance* ins, uint64_t data_type_signature, uint16_t data_type_id,
                            uint8_t* inout_transfer_id, uint8_t priority, const void* payload,
                            uint16_t payload_len, uint8_t LocalNodeID)
{
    if (invalidSendArguments(priority, payload, payload_len)) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    uint32_t can_id = 0;
    uint16_t crc = 0xFFFFU;
    if (LocalNodeID != XPORT_BROADCAST_NODE_ID) {
        can_id = (static_cast<uint32_t>(priority) << 24) | (static_cast<uint32_t>(data_type_id) << 8) |
                 (LocalNodeID & kMaxNodeIdBits);
        crc = multiFrameCrc(data_type_signature, payload, payload_len);
    } else {
        if (payload_len >= XPORT_CAN_FRAME_MAX_DATA_LEN) {
            return -XPORT_ERROR_NODE_ID_NOT_SET;  // anonymous transfers must fit one frame
        }
        if (data_type_id > (1U << ANON_MSG_DATA_TYPE_ID_BIT_LEN) - 1U) {
            return -XPORT_ERROR_INVALID_ARGUMENT;
        }
        const uint16_t payload_crc = crcAdd(0xFFFFU, static_cast<const uint8_t*>(payload), payload_len);
        const uint32_t discriminator = (payload_crc & 0x7FFEU) >> 1;
        can_id = (static_cast<uint32_t>(priority) << 24) | (discriminator << 10) |
                 (static_cast<uint32_t>(data_type_id & 3U) << 8);
    }
    const int result = enqueueTxFrames(ins, can_id, inout_transfer_id, crc, static_cast<const uint8_t*>(payload),
                                       payload_len);
    incrementTransferID(inout_transfer_id);
    return result;
}

int xportRequestOrRespond(XportInstance* ins, uint8_t destination_node_id, uint64_t data_type_signature,
                          uint8_t data_type_id, uint8_t* inout_transfer_id, uint8_t priority,
                          XportRequestResponse kind, const void* payload, uint16_t payload_len)
{
    return xportRequestOrRespond_internal(ins, destination_node_id, data_type_signature, data_type_id,
                                          inout_transfer_id, priority, kind, payload, payload_len, ins->node_id);
}

int xportRequestOrRespond_internal(XportInstance* ins, uint8_t destination_node_id,
                                   uint64_t data_type_signature, uint8_t data_type_id,
                                   uint8_t* inout_transfer_id, uint8_t priority, XportRequestResponse kind,
                                   const void* payload, uint16_t payload_len, uint8_t LocalNodeID)
{
    if (invalidSendArguments(priority, payload, payload_len)) {
        return -XPORT_ERROR_INVALID_ARGUMENT;
    }
    if (LocalNodeID == XPORT_BROADCAST_NODE_ID) {
        return -XPORT_ERROR_NODE_ID_NOT_SET;
    }
    // Masked so that a caller's out-of-range destination or kind cannot spill into other identifier fields.
    const uint32_t can_id = (static_cast<uint32_t>(priority) << 24) | (static_cast<uint32_t>(data_type_id) << 16) |
                            (static_cast<uint32_t>(kind & 1U) << 15) |
                            ((destination_node_id & kMaxNodeIdBits) << 8) | 0x80U | (LocalNodeID & kMaxNodeIdBits);
    const uint16_t crc = multiFrameCrc(data_type_signature, payload, payload_len);
    const int result = enqueueTxFrames(ins, can_id, inout_transfer_id, crc, static_cast<const uint8_t*>(payload),
                                       payload_len);
    if (kind == XportRequest) {
        incrementTransferID(inout_transfer_id);
    }
    return result;
}

const XportCANFrame* xportPeekTxQueue(const XportInstance* ins)
{
    return ins->tx_queue != nullptr ? &ins->tx_queue->frame : nullptr;
}

void xportPopTxQueue(XportInstance* ins)
{
    XportTxQueueItem* const item = ins->tx_queue;
    XPORT_ASSERT(item != nullptr);
    ins->tx_queue = item->next;
    freeBlock(&ins->allocator, item);
    ins->tx_blocks--;
}

// ---------------------------------------------------------------------------------------------------------
// Reception

void xportHandleRxFrame(XportInstance* ins, const XportCANFrame* frame, uint64_t timestamp_usec)
{
    xportHandleRxFrame_internal(ins, frame, timestamp_usec, false);
}

void xportHandleRxFrame_internal(XportInstance* ins, const XportCANFrame* frame, uint64_t timestamp_usec,
                                 bool AcceptAllAddr)
{
    const XportTransferType transfer_type = extractTransferType(frame->id);
    const uint8_t dest_node_id =
        transfer_type == XportTransferTypeBroadcast ? XPORT_BROADCAST_NODE_ID : DEST_ID_FROM_ID(frame->id);

    if ((frame->id & XPORT_CAN_FRAME_EFF) == 0 || (frame->id & (XPORT_CAN_FRAME_RTR | XPORT_CAN_FRAME_ERR)) != 0 ||
        frame->data_len == 0 || frame->data_len > XPORT_CAN_FRAME_MAX_DATA_LEN) {
        return;
    }
    if (transfer_type != XportTransferTypeBroadcast && dest_node_id != xportGetLocalNodeID(ins) && !AcceptAllAddr) {
        return;
    }

    const uint8_t source_node_id = SOURCE_ID_FROM_ID(frame->id);
    const uint16_t data_type_id = extractDataType(frame->id);
    const uint32_t descriptor =
        MAKE_TRANSFER_DESCRIPTOR(data_type_id, transfer_type, source_node_id, dest_node_id);
    const uint8_t tail = frame->data[frame->data_len - 1U];
    const uint8_t frame_tid = TRANSFER_ID_FROM_TAIL_BYTE(tail);

    XportRxState* state = nullptr;
    if (IS_START_OF_TRANSFER(tail)) {
        rx_data_type_signature = 0;
        if (!ins->should_accept(ins, &rx_data_type_signature, data_type_id, transfer_type, source_node_id)) {
            return;
        }
        state = traverseRxStates(ins, descriptor);
        if (state == nullptr) {
            ins->stats.rx_errors++;  // no block for the state
            return;
        }
    } else {
        state = findRxState(ins->rx_states, descriptor);
        if (state == nullptr) {
            return;
        }
    }

    const bool never_used = state->timestamp_usec == 0;
    const bool timed_out = (timestamp_usec - state->timestamp_usec) > TRANSFER_TIMEOUT_USEC;
    const bool tid_jumped =
        IS_START_OF_TRANSFER(tail) &&
        computeTransferIDForwardDistance(static_cast<uint8_t>(state->transfer_id), frame_tid) > 1;
    if (never_used || timed_out || tid_jumped) {
        releaseStatePayload(ins, state);
        state->transfer_id = frame_tid & 0x1FU;
        state->next_toggle = 0;
        if (!IS_START_OF_TRANSFER(tail)) {
            state->transfer_id = (frame_tid + 1U) & 0x1FU;
            ins->stats.rx_errors++;  // the rest of a transfer whose start is lost or timed out
            return;
        }
    }

    if (IS_START_OF_TRANSFER(tail) && IS_END_OF_TRANSFER(tail)) {
        // A single frame supersedes whatever multi-frame transfer of the stream was half received.
        releaseStatePayload(ins, state);
        state->timestamp_usec = timestamp_usec;
        XportRxTransfer transfer{};
        fillTransferIdentity(&transfer, frame, data_type_id, transfer_type, dest_node_id, timestamp_usec);
        transfer.payload_head = frame->data;
        transfer.payload_len = static_cast<uint16_t>(frame->data_len - 1U);
        ins->stats.transfers_rx++;
        ins->on_reception(ins, &transfer);
        prepareForNextTransfer(state);
        return;
    }

    if (TOGGLE_BIT(tail) != state->next_toggle || frame_tid != state->transfer_id) {
        ins->stats.rx_errors++;
        return;
    }

    if (IS_START_OF_TRANSFER(tail)) {
        if (frame->data_len < 4) {
            ins->stats.rx_errors++;  // two CRC bytes, at least one payload byte and the tail
            return;
        }
        // A first frame starts a fresh payload: bytes of an unfinished transfer with the same ID and a
        // matching toggle must not be glued in front of it (the CRC covers only the new bytes).
        releaseStatePayload(ins, state);
        state->timestamp_usec = timestamp_usec;
        const uint8_t n = static_cast<uint8_t>(frame->data_len - 3U);
        if (bufferBlockPushBytes(ins, state, &frame->data[2], n) < 0) {
            ins->stats.rx_errors++;
            abandonTransfer(ins, state);
            return;
        }
        state->payload_crc = static_cast<uint16_t>(frame->data[0] | (frame->data[1] << 8));
        // Seeded here, not for every start of transfer: a single frame carries no CRC, and the seed is
        // most of the work of receiving one.
        state->calculated_crc = crcAdd(crcAddSignature(0xFFFFU, rx_data_type_signature), &frame->data[2], n);
        state->next_toggle ^= 1U;
        return;
    }

    const uint8_t n = static_cast<uint8_t>(frame->data_len - 1U);
    if (!IS_END_OF_TRANSFER(tail)) {
        if (bufferBlockPushBytes(ins, state, frame->data, n) < 0) {
            ins->stats.rx_errors++;
            abandonTransfer(ins, state);
            return;
        }
        state->calculated_crc = crcAdd(state->calculated_crc, frame->data, n);
        state->next_toggle ^= 1U;
        return;
    }

    if (state->payload_len + n > XPORT_MAX_RX_PAYLOAD_LEN) {
        ins->stats.rx_errors++;
        abandonTransfer(ins, state);
        return;
    }
    const uint8_t copied = copyIntoFreeRoom(state, frame->data, n);
    XportRxTransfer transfer{};
    fillTransferIdentity(&transfer, frame, data_type_id, transfer_type, dest_node_id, timestamp_usec);
    transfer.payload_head = state->buffer_head;
    transfer.payload_middle = followBlockLink<XportBufferBlock>(state, state->buffer_blocks);
    transfer.payload_tail = copied < n ? &frame->data[copied] : nullptr;
    transfer.payload_len = static_cast<uint16_t>(state->payload_len + n);
    state->buffer_blocks = 0;

    state->calculated_crc = crcAdd(state->calculated_crc, frame->data, n);
    if (state->calculated_crc == state->payload_crc) {
        ins->stats.transfers_rx++;
        ins->on_reception(ins, &transfer);
    } else {
        ins->stats.rx_errors++;
    }
    xportReleaseRxTransferPayload(ins, &transfer);
    prepareForNextTransfer(state);
}

void xportCleanupStaleTransfers(XportInstance* ins, uint64_t current_time_usec)
{
    XportRxState* prev = nullptr;
    XportRxState* state = ins->rx_states;
    while (state != nullptr) {
        XportRxState* const next = followBlockLink<XportRxState>(state, state->next);
        if (current_time_usec - state->timestamp_usec > TRANSFER_TIMEOUT_USEC) {
            removeRxState(ins, prev, state);
        } else {
            prev = state;
        }
        state = next;
    }
}

void xportReleaseRxTransferPayload(XportInstance* ins, XportRxTransfer* transfer)
{
    releaseBlockChain(&ins->allocator, transfer->payload_middle);
    transfer->payload_middle = nullptr;
    transfer->payload_head = nullptr;
    transfer->payload_tail = nullptr;
    transfer->payload_len = 0;
}

// ---------------------------------------------------------------------------------------------------------
// Bit codec

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
