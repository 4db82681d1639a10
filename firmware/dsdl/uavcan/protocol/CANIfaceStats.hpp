#pragma once
// uavcan.protocol.CANIfaceStats: the frame counters of one CAN interface, nested in GetTransportStats.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr char UAVCAN_PROTOCOL_CANIFACESTATS_NAME[] = "uavcan.protocol.CANIfaceStats";
inline constexpr uint64_t UAVCAN_PROTOCOL_CANIFACESTATS_SIGNATURE = 0x13B106F0C44CA350ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_CANIFACESTATS_MAX_SIZE = ((144 + 7) / 8);

// Each counter is 48 bits on the wire: the encoder sends the low 48 bits, so a count wraps as the type says.
struct uavcan_protocol_CANIfaceStats {
    uint64_t frames_tx;
    uint64_t frames_rx;
    uint64_t errors;
};

uint32_t uavcan_protocol_CANIfaceStats_encode(uavcan_protocol_CANIfaceStats* source, void* msg_buf);
uint32_t uavcan_protocol_CANIfaceStats_encode_internal(uavcan_protocol_CANIfaceStats* source, void* msg_buf,
                                                       uint32_t offset, uint8_t root_item);
