#pragma once
// uavcan.protocol.NodeStatus: the node's periodic heartbeat, also the first part of its GetNodeInfo answer.

#include <cstdint>

inline constexpr uint16_t UAVCAN_PROTOCOL_NODESTATUS_ID = 341;
inline constexpr char UAVCAN_PROTOCOL_NODESTATUS_NAME[] = "uavcan.protocol.NodeStatus";
inline constexpr uint64_t UAVCAN_PROTOCOL_NODESTATUS_SIGNATURE = 0x0F0868D0C1A7C6F1ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_NODESTATUS_MAX_SIZE = ((56 + 7) / 8);

inline constexpr uint16_t UAVCAN_PROTOCOL_NODESTATUS_MAX_BROADCASTING_PERIOD_MS = 1000;
inline constexpr uint16_t UAVCAN_PROTOCOL_NODESTATUS_MIN_BROADCASTING_PERIOD_MS = 2;
inline constexpr uint16_t UAVCAN_PROTOCOL_NODESTATUS_OFFLINE_TIMEOUT_MS = 3000;

inline constexpr uint8_t UAVCAN_PROTOCOL_NODESTATUS_HEALTH_OK = 0;
inline constexpr uint8_t UAVCAN_PROTOCOL_NODESTATUS_HEALTH_WARNING = 1;
inline constexpr uint8_t UAVCAN_PROTOCOL_NODESTATUS_HEALTH_ERROR = 2;
inline constexpr uint8_t UAVCAN_PROTOCOL_NODESTATUS_HEALTH_CRITICAL = 3;

inline constexpr uint8_t UAVCAN_PROTOCOL_NODESTATUS_MODE_OPERATIONAL = 0;
inline constexpr uint8_t UAVCAN_PROTOCOL_NODESTATUS_MODE_INITIALIZATION = 1;
inline constexpr uint8_t UAVCAN_PROTOCOL_NODESTATUS_MODE_MAINTENANCE = 2;
inline constexpr uint8_t UAVCAN_PROTOCOL_NODESTATUS_MODE_SOFTWARE_UPDATE = 3;
inline constexpr uint8_t UAVCAN_PROTOCOL_NODESTATUS_MODE_OFFLINE = 7;

struct uavcan_protocol_NodeStatus {
    uint32_t uptime_sec;
    uint8_t health;    // 2 bits on the wire
    uint8_t mode;      // 3 bits
    uint8_t sub_mode;  // 3 bits
    uint16_t vendor_specific_status_code;
};

// Encoders limit health, mode and sub_mode to their wire widths and leave the limited values in *source.
uint32_t uavcan_protocol_NodeStatus_encode(uavcan_protocol_NodeStatus* source, void* msg_buf);
uint32_t uavcan_protocol_NodeStatus_encode_internal(uavcan_protocol_NodeStatus* source, void* msg_buf,
                                                    uint32_t offset, uint8_t root_item);
