#pragma once
// uavcan.protocol.HardwareVersion: nested in the GetNodeInfo answer.

#include <cstdint>

inline constexpr char UAVCAN_PROTOCOL_HARDWAREVERSION_NAME[] = "uavcan.protocol.HardwareVersion";
inline constexpr uint64_t UAVCAN_PROTOCOL_HARDWAREVERSION_SIGNATURE = 0x0AD5C4C933F4A0C4ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_HARDWAREVERSION_MAX_SIZE = ((2192 + 7) / 8);

inline constexpr uint8_t UAVCAN_PROTOCOL_HARDWAREVERSION_UNIQUE_ID_LENGTH = 16;
inline constexpr uint8_t UAVCAN_PROTOCOL_HARDWAREVERSION_CERTIFICATE_OF_AUTHENTICITY_MAX_LENGTH = 255;

struct uavcan_protocol_HardwareVersion {
    uint8_t major;
    uint8_t minor;
    uint8_t unique_id[UAVCAN_PROTOCOL_HARDWAREVERSION_UNIQUE_ID_LENGTH];
    struct {
        uint8_t len;
        uint8_t* data;
    } certificate_of_authenticity;
};

// The certificate is the last field: encoded at the root it goes without its 8-bit length prefix.
uint32_t uavcan_protocol_HardwareVersion_encode(uavcan_protocol_HardwareVersion* source, void* msg_buf);
uint32_t uavcan_protocol_HardwareVersion_encode_internal(uavcan_protocol_HardwareVersion* source, void* msg_buf,
                                                         uint32_t offset, uint8_t root_item);
