// The send queue: transfers cut into frames, queued in arbitration order, taken off by the driver.

#include "firmware/xport/xport.hpp"

#include <cstring>

#include "firmware/xport/xport_internals.hpp"

namespace {

constexpr uint32_t kMaxNodeIdBits = 0x7FU;

// Every queue item takes exactly one block.
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

uint16_t freeBlocks(const XportPoolAllocator* allocator)
{
    return static_cast<uint16_t>(allocator->statistics.capacity_blocks - allocator->statistics.current_usage_blocks);
}

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
    while (*link != nullptr && !isPriorityHigher(item->frame.id, (*link)->frame.id)) {
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

}  // namespace

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
