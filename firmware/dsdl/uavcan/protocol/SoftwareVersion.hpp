#pragma once
// uavcan.protocol.SoftwareVersion: nested in the GetNodeInfo answer.

#include <cstdint>

inline constexpr char UAVCAN_PROTOCOL_SOFTWAREVERSION_NAME[] = "uavcan.protocol.SoftwareVersion";
inline constexpr uint64_t UAVCAN_PROTOCOL_SOFTWAREVERSION_SIGNATURE = 0xDD46FD376527FEA1ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_SOFTWAREVERSION_MAX_SIZE = ((120 + 7) / 8);

inline constexpr uint8_t UAVCAN_PROTOCOL_SOFTWAREVERSION_OPTIONAL_FIELD_FLAG_VCS_COMMIT = 1;
inline constexpr uint8_t UAVCAN_PROTOCOL_SOFTWAREVERSION_OPTIONAL_FIELD_FLAG_IMAGE_CRC = 2;

struct uavcan_protocol_SoftwareVersion {
    uint8_t major;
    uint8_t minor;
    uint8_t optional_field_flags;
    uint32_t vcs_commit;
    uint64_t image_crc;
};

uint32_t uavcan_protocol_SoftwareVersion_encode(uavcan_protocol_SoftwareVersion* source, void* msg_buf);
uint32_t uavcan_protocol_SoftwareVersion_encode_internal(uavcan_protocol_SoftwareVersion* source, void* msg_buf,
                                                         uint32_t offset, uint8_t root_item);
