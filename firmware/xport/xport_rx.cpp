// Reception: frames matched to their transfer stream, multi-frame payloads reassembled into pool blocks,
// whole transfers handed to the application.

#include "firmware/xport/xport.hpp"

#include <cstring>

#include "firmware/xport/xport_internals.hpp"

namespace {

void releaseBlockChain(XportPoolAllocator* allocator, XportBufferBlock* block)
{
    while (block != nullptr) {
        XportBufferBlock* const next = followBlockLink<XportBufferBlock>(block, block->next);
        freeBlock(allocator, block);
        block = next;
    }
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
                          XportTransferType transfer_type, uint8_t dest_node_id, uint64_t timestamp_usec,
                          uint64_t data_type_signature)
{
    const uint8_t tail = frame->data[frame->data_len - 1U];
    transfer->timestamp_usec = timestamp_usec;
    transfer->data_type_id = data_type_id;
    transfer->transfer_type = transfer_type;
    transfer->transfer_id = TRANSFER_ID_FROM_TAIL_BYTE(tail);
    transfer->priority = PRIORITY_FROM_ID(frame->id);
    transfer->source_node_id = SOURCE_ID_FROM_ID(frame->id);
    transfer->dest_node_id = dest_node_id;
    transfer->data_type_signature = data_type_signature;
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

}  // namespace

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

    XportRxState* state = findRxState(ins->rx_states, descriptor);
    // Made by this frame: the stream's first. Said by the state's birth, not by a timestamp of 0, which is
    // a time like any other (the node's first millisecond).
    bool fresh = false;
    uint64_t signature = 0;  // what acceptance says, at a first frame
    if (IS_START_OF_TRANSFER(tail)) {
        if (!ins->should_accept(ins, &signature, data_type_id, transfer_type, source_node_id)) {
            return;
        }
        if (state == nullptr) {
            state = prependRxState(ins, descriptor);
            if (state == nullptr) {
                ins->stats.rx_errors++;  // no block for the state
                return;
            }
            fresh = true;
        }
    } else if (state == nullptr) {
        return;
    }

    const bool timed_out = (timestamp_usec - state->timestamp_usec) > TRANSFER_TIMEOUT_USEC;
    // A first frame with any other ID than the expected one starts a new transfer: the sender gave up the
    // one in progress or the ones between were lost, and a loss must cost that transfer only. So does the
    // ID just received: a client may reuse one, and the only duplicate the bus makes whole, a single frame
    // received twice, does nothing twice that matters here (commands, votes and orders are idempotent;
    // Panic needs three). A repeated frame of the transfer in progress has no start bit, or the wrong
    // toggle, and restarts nothing.
    const bool other_transfer = IS_START_OF_TRANSFER(tail) && frame_tid != state->transfer_id;
    if (fresh || timed_out || other_transfer) {
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
        fillTransferIdentity(&transfer, frame, data_type_id, transfer_type, dest_node_id, timestamp_usec, signature);
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
        state->calculated_crc = crcAdd(crcAddSignature(0xFFFFU, signature), &frame->data[2], n);
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
    // The state has no room for the signature its first frame was given: acceptance says it again, as it
    // said it then (a transfer of this stream was accepted, so it is one of the accepted types).
    (void)ins->should_accept(ins, &signature, data_type_id, transfer_type, source_node_id);
    XportRxTransfer transfer{};
    fillTransferIdentity(&transfer, frame, data_type_id, transfer_type, dest_node_id, timestamp_usec, signature);
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
