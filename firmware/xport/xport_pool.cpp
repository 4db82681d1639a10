// The transport's memory: a pool of equal blocks from one arena, and the instance that owns it.

#include "firmware/xport/xport.hpp"

#include <cstring>

#include "firmware/xport/xport_internals.hpp"
#include "platform/interface/core.hpp"

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
// Instance

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
