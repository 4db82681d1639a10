#pragma once
// qon.zb5.UseFlightController: a flight controller's vote for the bus whose commands the node follows.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint16_t QON_ZB5_USEFLIGHTCONTROLLER_ID = 20111;
inline constexpr char QON_ZB5_USEFLIGHTCONTROLLER_NAME[] = "qon.zb5.UseFlightController";
inline constexpr uint64_t QON_ZB5_USEFLIGHTCONTROLLER_SIGNATURE = 0xB5B7819BAF5FDD7AULL;
inline constexpr uint16_t QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE = ((80 + 7) / 8);

struct qon_zb5_UseFlightController {
    uint64_t UniqID;    // the voter
    int8_t UseFConBus;  // port voted for; negative withdraws the vote
    int8_t ThisBus;     // port the vote is sent on
};

uint32_t qon_zb5_UseFlightController_encode(qon_zb5_UseFlightController* source, void* msg_buf);
uint32_t qon_zb5_UseFlightController_encode_internal(qon_zb5_UseFlightController* source, void* msg_buf,
                                                     uint32_t offset, uint8_t root_item);

// No dynamic arrays: payload_len and dyn_arr_buf are not used. Bytes after the 80 bits are ignored.
int32_t qon_zb5_UseFlightController_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                           qon_zb5_UseFlightController* dest, uint8_t** dyn_arr_buf);
int32_t qon_zb5_UseFlightController_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                    qon_zb5_UseFlightController* dest, uint8_t** dyn_arr_buf,
                                                    int32_t offset);
