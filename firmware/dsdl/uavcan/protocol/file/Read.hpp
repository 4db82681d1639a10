#pragma once
// uavcan.protocol.file.Read (service): up to 256 bytes of a file from an offset; fewer mean the file ends.

#include <cstdint>

#include "firmware/dsdl/uavcan/protocol/file/Path.hpp"
#include "firmware/xport/xport.hpp"

inline constexpr uint8_t UAVCAN_PROTOCOL_FILE_READ_ID = 48;
inline constexpr char UAVCAN_PROTOCOL_FILE_READ_NAME[] = "uavcan.protocol.file.Read";
inline constexpr uint64_t UAVCAN_PROTOCOL_FILE_READ_SIGNATURE = 0x8DCDCA939F33F678ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_FILE_READ_REQUEST_MAX_SIZE = ((1648 + 7) / 8);
inline constexpr uint16_t UAVCAN_PROTOCOL_FILE_READ_RESPONSE_MAX_SIZE = ((2073 + 7) / 8);

inline constexpr uint16_t UAVCAN_PROTOCOL_FILE_READ_RESPONSE_DATA_MAX_LENGTH = 256;
inline constexpr uint16_t UAVCAN_PROTOCOL_FILE_READ_RESPONSE_DYN_ARR_BUF_SIZE =
    UAVCAN_PROTOCOL_FILE_READ_RESPONSE_DATA_MAX_LENGTH;

// uavcan.protocol.file.Error's value: 0 is success; every other value (NOT_FOUND 2, IO_ERROR 5, ...) a
// failure.
inline constexpr int16_t UAVCAN_PROTOCOL_FILE_ERROR_OK = 0;

struct uavcan_protocol_file_ReadRequest {
    uint64_t offset;  // 40 bits on the wire
    uavcan_protocol_file_Path path;
};

struct uavcan_protocol_file_ReadResponse {
    int16_t error;  // the nested uavcan.protocol.file.Error, a single int16
    struct {
        uint16_t len;
        uint8_t* data;
    } data;
};

// Writes the low 40 bits of the offset; at the root the path goes without its prefix.
uint32_t uavcan_protocol_file_ReadRequest_encode(uavcan_protocol_file_ReadRequest* source, void* msg_buf);
uint32_t uavcan_protocol_file_ReadRequest_encode_internal(uavcan_protocol_file_ReadRequest* source, void* msg_buf,
                                                          uint32_t offset, uint8_t root_item);

// The root form clears *dest, then decodes from offset 0; a non-zero payload_len marks the top-level decode,
// where the data is the payload's remaining bytes, at most 256 (nested: a 9-bit prefix cut to 256). The
// data goes to the arena (at least ..._DYN_ARR_BUF_SIZE bytes). A payload without its error is an error.
int32_t uavcan_protocol_file_ReadResponse_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                                 uavcan_protocol_file_ReadResponse* dest, uint8_t** dyn_arr_buf);
int32_t uavcan_protocol_file_ReadResponse_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                          uavcan_protocol_file_ReadResponse* dest,
                                                          uint8_t** dyn_arr_buf, int32_t offset);
