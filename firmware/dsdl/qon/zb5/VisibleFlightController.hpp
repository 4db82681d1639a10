#pragma once
// qon.zb5.VisibleFlightController: the node's report of the ports on which actuator commands arrive.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint16_t QON_ZB5_VISIBLEFLIGHTCONTROLLER_ID = 20112;
inline constexpr char QON_ZB5_VISIBLEFLIGHTCONTROLLER_NAME[] = "qon.zb5.VisibleFlightController";
inline constexpr uint64_t QON_ZB5_VISIBLEFLIGHTCONTROLLER_SIGNATURE = 0x338F695EA65AE92CULL;
inline constexpr uint16_t QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE = ((67 + 7) / 8);

inline constexpr uint8_t QON_ZB5_VISIBLEFLIGHTCONTROLLER_CANPRESENT_LENGTH = 3;

struct qon_zb5_VisibleFlightController {
    uint64_t UniqID;  // the sending node
    bool CANPresent[QON_ZB5_VISIBLEFLIGHTCONTROLLER_CANPRESENT_LENGTH];  // per port 0, 1, 2
};

// Writes only the 67 bits of the fields: the caller zeroes the buffer so the padding goes out as 0.
uint32_t qon_zb5_VisibleFlightController_encode(qon_zb5_VisibleFlightController* source, void* msg_buf);
uint32_t qon_zb5_VisibleFlightController_encode_internal(qon_zb5_VisibleFlightController* source, void* msg_buf,
                                                         uint32_t offset, uint8_t root_item);

// No dynamic arrays: payload_len and dyn_arr_buf are not used. The padding is not read.
int32_t qon_zb5_VisibleFlightController_decode(const XportRxTransfer* transfer, uint16_t payload_len,
                                               qon_zb5_VisibleFlightController* dest, uint8_t** dyn_arr_buf);
int32_t qon_zb5_VisibleFlightController_decode_internal(const XportRxTransfer* transfer, uint16_t payload_len,
                                                        qon_zb5_VisibleFlightController* dest,
                                                        uint8_t** dyn_arr_buf, int32_t offset);
