#include "firmware/dsdl/uavcan/protocol/GetTransportStats.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t COUNTER_BITS = 48;
constexpr uint8_t IFACE_LENGTH_BITS = 2;
constexpr uint8_t MAX_IFACES = UAVCAN_PROTOCOL_GETTRANSPORTSTATS_RESPONSE_CAN_IFACE_STATS_MAX_LENGTH;
static_assert(dsdlUnsignedMax<IFACE_LENGTH_BITS>() >= MAX_IFACES);

constexpr uint32_t GETTRANSPORTSTATS_RESPONSE_BITS =
    3 * COUNTER_BITS + IFACE_LENGTH_BITS + MAX_IFACES * UAVCAN_PROTOCOL_CANIFACESTATS_MAX_SIZE * 8;
static_assert(GETTRANSPORTSTATS_RESPONSE_BITS == 578);
static_assert((GETTRANSPORTSTATS_RESPONSE_BITS + 7) / 8 == UAVCAN_PROTOCOL_GETTRANSPORTSTATS_RESPONSE_MAX_SIZE);

}  // namespace

uint32_t uavcan_protocol_GetTransportStatsResponse_encode_internal(
    uavcan_protocol_GetTransportStatsResponse* source, void* msg_buf, uint32_t offset, uint8_t root_item)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    offset = dsdlEncodeField<COUNTER_BITS>(msg_buf, offset, source->transfers_tx);
    offset = dsdlEncodeField<COUNTER_BITS>(msg_buf, offset, source->transfers_rx);
    offset = dsdlEncodeField<COUNTER_BITS>(msg_buf, offset, source->transfer_errors);

    source->can_iface_stats.len = XPORT_INTERNAL_SATURATE_UNSIGNED(source->can_iface_stats.len, MAX_IFACES);
    XPORT_ASSERT(source->can_iface_stats.len == 0 || source->can_iface_stats.data != nullptr);
    if (root_item == 0) {
        offset = dsdlEncodeField<IFACE_LENGTH_BITS>(msg_buf, offset, source->can_iface_stats.len);
    }
    for (uint8_t i = 0; i < source->can_iface_stats.len; ++i) {
        offset = uavcan_protocol_CANIfaceStats_encode_internal(&source->can_iface_stats.data[i], msg_buf, offset, 0);
    }
    return offset;
}

uint32_t uavcan_protocol_GetTransportStatsResponse_encode(uavcan_protocol_GetTransportStatsResponse* source,
                                                          void* msg_buf)
{
    const uint32_t bits = uavcan_protocol_GetTransportStatsResponse_encode_internal(source, msg_buf, 0, 1);
    return dsdlMessageBytes(msg_buf, bits);
}
