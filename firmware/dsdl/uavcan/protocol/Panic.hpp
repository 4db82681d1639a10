#pragma once
// uavcan.protocol.Panic (message): a node asks every actuator to stop. Its ID is also RestartNode's, as a
// service; the transfer kind tells them apart.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint16_t UAVCAN_PROTOCOL_PANIC_ID = 5;
inline constexpr char UAVCAN_PROTOCOL_PANIC_NAME[] = "uavcan.protocol.Panic";
inline constexpr uint64_t UAVCAN_PROTOCOL_PANIC_SIGNATURE = 0x8B79B4101811C1D7ULL;
inline constexpr uint16_t UAVCAN_PROTOCOL_PANIC_MAX_SIZE = ((59 + 7) / 8);

// Stop once this many messages came, each no later than MAX_INTERVAL_MS after the one before; go on once
// MAX_INTERVAL_MS pass without one.
inline constexpr uint8_t UAVCAN_PROTOCOL_PANIC_MIN_MESSAGES = 3;
inline constexpr uint16_t UAVCAN_PROTOCOL_PANIC_MAX_INTERVAL_MS = 500;

inline constexpr uint8_t UAVCAN_PROTOCOL_PANIC_REASON_TEXT_MAX_LENGTH = 7;
inline constexpr uint16_t UAVCAN_PROTOCOL_PANIC_DYN_ARR_BUF_SIZE = UAVCAN_PROTOCOL_PANIC_REASON_TEXT_MAX_LENGTH;

struct uavcan_protocol_Panic {
    struct {
        uint8_t len;
        uint8_t* data;
    } reason_text;
};

// Encoders limit reason_text.len to 7 and leave the limited value in *source. At the root the text goes
// without its 3-bit length prefix.
uint32_t uavcan_protocol_Panic_encode(uavcan_protocol_Panic* source, void* msg_buf);
uint32_t uavcan_protocol_Panic_encode_internal(uavcan_protocol_Panic* source, void* msg_buf, uint32_t offset,
                                               uint8_t root_item);

// A non-zero payload_len marks the top-level decode: the text takes the payload's whole bytes, at most 7.
// Text bytes go to the arena (*dyn_arr_buf, at least ..._DYN_ARR_BUF_SIZE bytes); a null dyn_arr_buf only
// checks them.
int32_t uavcan_protocol_Panic_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                     uavcan_protocol_Panic* dest, uint8_t** dyn_arr_buf);
int32_t uavcan_protocol_Panic_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                              uavcan_protocol_Panic* dest, uint8_t** dyn_arr_buf, int32_t offset);
