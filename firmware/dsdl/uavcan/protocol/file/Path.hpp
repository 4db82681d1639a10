#pragma once
// uavcan.protocol.file.Path (nested): a file path of up to 200 bytes, '/' separating its parts.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint8_t UAVCAN_PROTOCOL_FILE_PATH_PATH_MAX_LENGTH = 200;
inline constexpr uint16_t UAVCAN_PROTOCOL_FILE_PATH_MAX_SIZE = ((1608 + 7) / 8);

struct uavcan_protocol_file_Path {
    struct {
        uint8_t len;
        uint8_t* data;
    } path;
};

// As the last field of a root type (root_item 1) the path goes without its 8-bit prefix. A longer path is
// cut to 200 bytes, and the record's len with it.
uint32_t uavcan_protocol_file_Path_encode_internal(uavcan_protocol_file_Path* source, void* msg_buf, uint32_t offset,
                                                   uint8_t root_item);

// A non-zero payload_len marks the last field of a top-level decode: the path takes the payload's remaining
// whole bytes, at most 200. Its bytes go to the arena (*dyn_arr_buf, at least 200 bytes); a null dyn_arr_buf
// only checks them.
int32_t uavcan_protocol_file_Path_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                  uavcan_protocol_file_Path* dest, uint8_t** dyn_arr_buf,
                                                  int32_t offset);
