// Any GetSet request payload as the parameter server receives it (in a heap block of exactly its size, so
// the sanitizer sees any read past it): no crash, every writable row stays within what its users can take,
// FORMATID is never written, a write lands only in the row the request names (its name whole or without
// the trailing blanks and tab, else its index), and at most one answer of at most the type's size is queued.
#include <cstdlib>
#include <optional>
#include <string>

#include "firmware/dsdl/uavcan/protocol/param/GetSet.hpp"
#include "firmware/node/main_node.hpp"
#include "platform/sim/sim.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

namespace {

constexpr uint8_t kNode = 110;
constexpr uint8_t kClient = 10;
constexpr std::size_t kMaxAnswerFrames = (UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_MAX_SIZE + 2U + 6U) / 7U;

alignas(XportPoolAllocatorBlock) uint8_t pool[4096];
XportInstance ins;
std::optional<Node> node;
param_t* parameters;

void start()
{
    sim::reset();
    sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
    node.emplace(chipNodeDevices());
    (void)node->paramserver.loadParameters();
    for (Port& port : node->ports) {
        node->startTransport(port);  // the statistics rows read the ports' pools
    }
    parameters = node->parameters;
    xportInit(&ins, pool, sizeof pool, nullptr, nullptr, nullptr);
    xportSetLocalNodeID(&ins, kNode);
}

// The row the request names, as a client means it; -1 for none.
int namedRow(const uavcan_protocol_param_GetSetRequest& request)
{
    if (request.name.len == 0 || request.name.data[0] == 0) {
        return request.index < Var_Last ? request.index : -1;
    }
    const std::string name(reinterpret_cast<const char*>(request.name.data), request.name.len);
    for (int i = 0; i < Var_Last; ++i) {
        std::string row = parameterRows[i].name;
        if (name == row || name == row.erase(row.find_last_not_of(" \t") + 1)) {
            return i;
        }
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool started = false;
    if (!started) {
        start();
        started = true;
    }
    if (size > UINT16_MAX) {
        return 0;
    }
    const Input in(data, size);
    XportRxTransfer transfer = *in.transfer();
    transfer.data_type_id = UAVCAN_PROTOCOL_PARAM_GETSET_ID;
    transfer.transfer_type = XportTransferTypeRequest;
    transfer.source_node_id = kClient;
    transfer.dest_node_id = kNode;
    transfer.transfer_id = size > 0 ? static_cast<uint8_t>(data[0] & 31U) : 0;
    transfer.priority = 30;
    int64_t before[Var_Last];
    for (uint8_t i = 0; i < Var_Last; ++i) {
        before[i] = parameters[i].val;
    }
    node->paramserver.getsetHandleXport(&ins, &transfer);

    uint8_t arena[UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE];
    uint8_t* dyn_arr_buf = arena;
    uavcan_protocol_param_GetSetRequest request{};
    if (uavcan_protocol_param_GetSetRequest_decode(&transfer, transfer.payload_len, &request, &dyn_arr_buf) >= 0) {
        for (int i = 0; i < Var_CAN_TotBlocks; ++i) {  // the statistics rows change by themselves
            check(parameters[i].val == before[i] || namedRow(request) == i);
        }
    }

    check(parameters[Var_EEFormat].val == 6);
    for (uint8_t i = Var_NETID0; i < Var_Last; ++i) {
        const param_t& p = parameters[i];
        check(p.val >= p.min && p.val <= p.max);
        check(i > Var_NETID2 || p.val <= XPORT_MAX_NODE_ID);
    }

    std::size_t frames = 0;
    while (const XportCANFrame* f = xportPeekTxQueue(&ins)) {
        check(((f->id >> 16) & 0xFFU) == UAVCAN_PROTOCOL_PARAM_GETSET_ID && (f->id & 0x8000U) == 0);
        check(((f->id >> 8) & 0x7FU) == kClient && (f->id & 0x7FU) == kNode);
        check((f->data[f->data_len - 1] & 31U) == transfer.transfer_id);
        xportPopTxQueue(&ins);
        ++frames;
    }
    check(frames <= kMaxAnswerFrames);
    check(ins.allocator.statistics.current_usage_blocks == 0);
    return 0;
}
