#pragma once
// What the transport's tests share: an instance with its own arena that logs what it received, and frame
// and payload makers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "firmware/xport/xport_internals.hpp"

inline constexpr std::size_t kArenaSize = 3096;      // what the node gives each bus
inline constexpr std::size_t kLargeArenaSize = 8192;  // room to queue a 1023-byte transfer at once
inline constexpr uint64_t kSignature = 0x0123456789ABCDEFULL;

// A transport instance with its own arena and a log of what reception delivered.
struct Node {
    alignas(XportPoolAllocatorBlock) uint8_t arena[kLargeArenaSize]{};
    XportInstance ins{};
    struct Delivered {
        std::vector<uint8_t> payload;
        XportRxTransfer meta;
    };
    std::vector<Delivered> delivered;
    bool accept = true;
    int asked = 0;

    static Node* of(const XportInstance* ins) { return static_cast<Node*>(ins->user_reference); }

    static bool shouldAccept(const XportInstance* ins, uint64_t* sig, uint16_t, XportTransferType, uint8_t)
    {
        Node* self = of(ins);
        ++self->asked;
        *sig = kSignature;
        return self->accept;
    }

    static void onReception(XportInstance* ins, XportRxTransfer* t)
    {
        Delivered d{{}, *t};
        for (uint32_t i = 0; i < t->payload_len; ++i) {
            uint8_t byte = 0;
            EXPECT_EQ(xportDecodeScalar(t, i * 8U, 8, false, &byte), 8);
            d.payload.push_back(byte);
        }
        of(ins)->delivered.push_back(d);
    }

    explicit Node(uint8_t node_id = 0, std::size_t arena_size = kArenaSize)
    {
        xportInit(&ins, arena, arena_size, onReception, shouldAccept, this);
        if (node_id != 0) {
            xportSetLocalNodeID(&ins, node_id);
        }
    }

    std::vector<XportCANFrame> drain()
    {
        std::vector<XportCANFrame> out;
        while (const XportCANFrame* f = xportPeekTxQueue(&ins)) {
            out.push_back(*f);
            xportPopTxQueue(&ins);
        }
        return out;
    }

    void feed(const XportCANFrame& f, uint64_t t_usec) { xportHandleRxFrame(&ins, &f, t_usec); }
    uint16_t used() const { return ins.allocator.statistics.current_usage_blocks; }
};

inline XportCANFrame frame(uint32_t id, std::vector<uint8_t> bytes)
{
    XportCANFrame f{};
    f.id = id;
    f.data_len = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), f.data);
    return f;
}

inline std::vector<uint8_t> sequence(std::size_t n, uint8_t first = 0)
{
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(first + i);
    }
    return v;
}

// Frames of a multi-frame broadcast from node 10 of type 1000, produced by the transmit side.
inline std::vector<XportCANFrame> transferFrames(const std::vector<uint8_t>& payload, uint8_t tid)
{
    Node tx(10, kLargeArenaSize);
    uint8_t t = tid;
    EXPECT_GT(xportBroadcast(&tx.ins, kSignature, 1000, &t, 24, payload.data(), static_cast<uint16_t>(payload.size())),
              0);
    return tx.drain();
}

inline XportRxTransfer contiguous(const uint8_t* bytes, uint16_t len)
{
    XportRxTransfer t{};
    t.payload_head = bytes;
    t.payload_len = len;
    return t;
}

