#pragma once
// qon.zb5.IgnoreCANPort: orders the addressed node to ignore flight-controller traffic on some ports.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint16_t QON_ZB5_IGNORECANPORT_ID = 20113;
inline constexpr char QON_ZB5_IGNORECANPORT_NAME[] = "qon.zb5.IgnoreCANPort";
inline constexpr uint64_t QON_ZB5_IGNORECANPORT_SIGNATURE = 0xA8739EC093192F7FULL;
inline constexpr uint16_t QON_ZB5_IGNORECANPORT_MAX_SIZE = ((11 + 7) / 8);

inline constexpr uint8_t QON_ZB5_IGNORECANPORT_IGNORECANPORT_LENGTH = 3;

struct qon_zb5_IgnoreCANPort {
    uint8_t NodeID;  // the addressed node, on the bus where the message arrives
    bool IgnoreCANPort[QON_ZB5_IGNORECANPORT_IGNORECANPORT_LENGTH];  // per port 0, 1, 2
};

// Writes only the 11 bits of the fields: the caller zeroes the buffer so the padding goes out as 0.
uint32_t qon_zb5_IgnoreCANPort_encode(qon_zb5_IgnoreCANPort* source, void* msg_buf);
uint32_t qon_zb5_IgnoreCANPort_encode_internal(qon_zb5_IgnoreCANPort* source, void* msg_buf, uint32_t offset,
                                               uint8_t root_item);

// No dynamic arrays: payload_len and dyn_arr_buf are not used. The padding is not read.
int32_t qon_zb5_IgnoreCANPort_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                     qon_zb5_IgnoreCANPort* dest, uint8_t** dyn_arr_buf);
int32_t qon_zb5_IgnoreCANPort_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                              qon_zb5_IgnoreCANPort* dest, uint8_t** dyn_arr_buf, int32_t offset);
