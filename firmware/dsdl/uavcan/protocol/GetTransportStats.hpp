#pragma once
// uavcan.protocol.GetTransportStats (service): the request is empty; the node answers with its transfer
// counters and the frame counters of each CAN interface.

#include <cstdint>

#include "firmware/dsdl/uavcan/protocol/CANIfaceStats.hpp"

inline constexpr uint8_t UAVCAN_PROTOCOL_GETTRANSPORTSTATS_ID = 4;
inline constexpr char UAVCAN_PROTOCOL_GETTRANSPORTSTATS_NAME[] = "uavcan.protocol.GetTransportStats";
inline constexpr uint64_t UAVCAN_PROTOCOL_GETTRANSPORTSTATS_SIGNATURE = 0xBE6F76A7EC312B04ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_GETTRANSPORTSTATS_REQUEST_MAX_SIZE = 0;
inline constexpr uint16_t UAVCAN_PROTOCOL_GETTRANSPORTSTATS_RESPONSE_MAX_SIZE = ((578 + 7) / 8);

inline constexpr uint8_t UAVCAN_PROTOCOL_GETTRANSPORTSTATS_RESPONSE_CAN_IFACE_STATS_MAX_LENGTH = 3;

// The counters are 48 bits on the wire: the encoder sends the low 48 bits.
struct uavcan_protocol_GetTransportStatsResponse {
    uint64_t transfers_tx;
    uint64_t transfers_rx;
    uint64_t transfer_errors;
    struct {
        uint8_t len;
        uavcan_protocol_CANIfaceStats* data;
    } can_iface_stats;
};

// The interface array is the last field: at the root it goes without its 2-bit prefix, so one interface
// is 18 + 18 bytes. More than three entries are cut to three (and the record's len with it).
uint32_t uavcan_protocol_GetTransportStatsResponse_encode(uavcan_protocol_GetTransportStatsResponse* source,
                                                          void* msg_buf);
uint32_t uavcan_protocol_GetTransportStatsResponse_encode_internal(
    uavcan_protocol_GetTransportStatsResponse* source, void* msg_buf, uint32_t offset, uint8_t root_item);
