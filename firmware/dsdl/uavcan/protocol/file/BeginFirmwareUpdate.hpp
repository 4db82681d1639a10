#pragma once
// uavcan.protocol.file.BeginFirmwareUpdate (service): a tool asks the node to take a new image from a file
// server; the node answers, then its bootloader reads the file.

#include <cstdint>

#include "firmware/dsdl/uavcan/protocol/file/Path.hpp"
#include "firmware/xport/xport.hpp"

inline constexpr uint8_t UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_ID = 40;
inline constexpr char UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_NAME[] = "uavcan.protocol.file.BeginFirmwareUpdate";
inline constexpr uint64_t UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_SIGNATURE = 0xB7D725DF72724126ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_REQUEST_MAX_SIZE = ((1616 + 7) / 8);
inline constexpr uint16_t UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_MAX_SIZE = ((1031 + 7) / 8);

inline constexpr uint16_t UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_REQUEST_DYN_ARR_BUF_SIZE =
    UAVCAN_PROTOCOL_FILE_PATH_PATH_MAX_LENGTH;
inline constexpr uint8_t UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_OPTIONAL_ERROR_MESSAGE_MAX_LENGTH = 127;

inline constexpr uint8_t UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_OK = 0;
inline constexpr uint8_t UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_INVALID_MODE = 1;
inline constexpr uint8_t UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_IN_PROGRESS = 2;
inline constexpr uint8_t UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_UNKNOWN = 255;

struct uavcan_protocol_file_BeginFirmwareUpdateRequest {
    uint8_t source_node_id;  // 0: the node that sent the request
    uavcan_protocol_file_Path image_file_remote_path;
};

struct uavcan_protocol_file_BeginFirmwareUpdateResponse {
    uint8_t error;
    struct {
        uint8_t len;
        uint8_t* data;
    } optional_error_message;
};

// The root form clears *dest, then decodes from offset 0; a non-zero payload_len marks the top-level decode,
// where the path is the payload's remaining bytes. A payload without its first byte is an error.
int32_t uavcan_protocol_file_BeginFirmwareUpdateRequest_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                               uavcan_protocol_file_BeginFirmwareUpdateRequest* dest,
                                                               uint8_t** dyn_arr_buf);
int32_t uavcan_protocol_file_BeginFirmwareUpdateRequest_decode_internal(
    const XportRxTransfer* transfer, uint16_t payload_len, uavcan_protocol_file_BeginFirmwareUpdateRequest* dest,
    uint8_t** dyn_arr_buf, int32_t offset);

// A message longer than 127 bytes is cut to 127 (and the record's len with it); at the root it goes without
// its 7-bit prefix.
uint32_t uavcan_protocol_file_BeginFirmwareUpdateResponse_encode(
    uavcan_protocol_file_BeginFirmwareUpdateResponse* source, void* msg_buf);
uint32_t uavcan_protocol_file_BeginFirmwareUpdateResponse_encode_internal(
    uavcan_protocol_file_BeginFirmwareUpdateResponse* source, void* msg_buf, uint32_t offset, uint8_t root_item);
