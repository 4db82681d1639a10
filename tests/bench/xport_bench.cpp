// Costs of the transport's hot paths, as the main loop meets them once per frame.
#include <benchmark/benchmark.h>

#include <cstring>

#include "firmware/xport/xport.hpp"

namespace {

constexpr uint64_t kSignature = 0x217F5C87D7EC951DULL;

struct Bus {
    alignas(XportPoolAllocatorBlock) uint8_t arena[3096];
    XportInstance ins;
    bool accept = true;

    explicit Bus(uint8_t node_id)
    {
        xportInit(&ins, arena, sizeof(arena), onReception, shouldAccept, this);
        xportSetLocalNodeID(&ins, node_id);
    }

    static bool shouldAccept(const XportInstance* ins, uint64_t* sig, uint16_t, XportTransferType, uint8_t)
    {
        *sig = kSignature;
        return static_cast<const Bus*>(ins->user_reference)->accept;
    }
    static void onReception(XportInstance*, XportRxTransfer* t) { benchmark::DoNotOptimize(t->payload_len); }
};

// The frames of one transfer of `len` bytes with the given transfer ID, from node 10.
int framesOf(uint16_t len, uint8_t tid, XportCANFrame* out)
{
    Bus tx(10);
    uint8_t payload[64] = {};
    const int n = xportBroadcast(&tx.ins, kSignature, 1030, &tid, 24, payload, len);
    for (int i = 0; i < n; ++i) {
        out[i] = *xportPeekTxQueue(&tx.ins);
        xportPopTxQueue(&tx.ins);
    }
    return n;
}

void BM_SingleFrameReception(benchmark::State& state)
{
    Bus rx(20);
    XportCANFrame frames[32][1];
    for (uint8_t t = 0; t < 32; ++t) {
        framesOf(7, t, frames[t]);
    }
    uint64_t now = 1000;
    unsigned t = 0;
    for (auto _ : state) {
        xportHandleRxFrame(&rx.ins, &frames[t++ % 32][0], now += 1000);
    }
}
BENCHMARK(BM_SingleFrameReception);

void BM_ThreeFrameTransferReception(benchmark::State& state)
{
    Bus rx(20);
    XportCANFrame frames[32][3];
    for (uint8_t t = 0; t < 32; ++t) {
        framesOf(19, t, frames[t]);
    }
    uint64_t now = 1000;
    unsigned t = 0;
    for (auto _ : state) {
        const XportCANFrame* f = frames[t++ % 32];
        now += 1000;
        for (int i = 0; i < 3; ++i) {
            xportHandleRxFrame(&rx.ins, &f[i], now);
        }
    }
}
BENCHMARK(BM_ThreeFrameTransferReception);

void BM_RejectedFrame(benchmark::State& state)
{
    Bus rx(20);
    rx.accept = false;
    XportCANFrame frame[1];
    framesOf(7, 0, frame);
    for (auto _ : state) {
        xportHandleRxFrame(&rx.ins, &frame[0], 1000);
    }
}
BENCHMARK(BM_RejectedFrame);

void BM_EnqueueTwoFrameTransfer(benchmark::State& state)
{
    Bus tx(10);
    uint8_t payload[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint8_t tid = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(xportBroadcast(&tx.ins, kSignature, 1030, &tid, 24, payload, sizeof(payload)));
        xportPopTxQueue(&tx.ins);
        xportPopTxQueue(&tx.ins);
    }
}
BENCHMARK(BM_EnqueueTwoFrameTransfer);

// The bit codec as a RawCommand meets it: four 14-bit signed values from one frame's payload.
void BM_DecodeFourInt14FromOneFrame(benchmark::State& state)
{
    const uint8_t payload[7] = {0x70, 0x5D, 0xC1, 0x77, 0x05, 0xDC, 0x17};
    XportRxTransfer t{};
    t.payload_head = payload;
    t.payload_len = sizeof(payload);
    for (auto _ : state) {
        for (uint32_t i = 0; i < 4; ++i) {
            int16_t value = 0;
            xportDecodeScalar(&t, i * 14U, 14, true, &value);
            benchmark::DoNotOptimize(value);
        }
    }
}
BENCHMARK(BM_DecodeFourInt14FromOneFrame);

// The same as a broadcast meets it when encoding: a 64-bit, a 32-bit and three 1-bit fields.
void BM_EncodeMixedFields(benchmark::State& state)
{
    uint8_t buffer[16] = {};
    const uint64_t uid = 0x0123456789ABCDEFULL;
    const uint32_t uptime = 123456;
    const uint8_t flag = 1;
    for (auto _ : state) {
        xportEncodeScalar(buffer, 0, 64, &uid);
        xportEncodeScalar(buffer, 64, 32, &uptime);
        for (uint32_t i = 0; i < 3; ++i) {
            xportEncodeScalar(buffer, 96U + i, 1, &flag);
        }
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_EncodeMixedFields);

// A request as GetSet by name meets the codec: a 40-byte payload received in seven frames (head, a block,
// the tail), its 64-bit value read across pieces and its 20-byte name read whole. The decoding runs in the
// reception callback, the only place the scattered payload lives.
void BM_DecodeScatteredPayload(benchmark::State& state)
{
    Bus rx(20);
    rx.ins.user_reference = &state;
    rx.ins.on_reception = [](XportInstance* ins, XportRxTransfer* t) {
        for (auto _ : *static_cast<benchmark::State*>(ins->user_reference)) {
            int64_t value = 0;
            uint8_t name[20];
            xportDecodeScalar(t, 16, 64, true, &value);
            benchmark::DoNotOptimize(xportReadPayloadBytes(t, 20, sizeof name, name));
            benchmark::DoNotOptimize(value);
        }
    };
    rx.ins.should_accept = [](const XportInstance*, uint64_t* sig, uint16_t, XportTransferType, uint8_t) {
        *sig = kSignature;
        return true;
    };
    XportCANFrame frames[8];
    const int n = framesOf(40, 0, frames);
    for (int i = 0; i < n; ++i) {
        xportHandleRxFrame(&rx.ins, &frames[i], 1000);
    }
}
BENCHMARK(BM_DecodeScatteredPayload);

}  // namespace
