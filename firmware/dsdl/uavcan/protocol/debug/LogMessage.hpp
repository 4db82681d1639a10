#pragma once
// uavcan.protocol.debug.LogMessage (message): a line of the node's log, as tools show it in their log pane.
// The node only sends it.

#include <cstdint>

#include "firmware/xport/xport.hpp"

inline constexpr uint16_t UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_ID = 16383;
inline constexpr char UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_NAME[] = "uavcan.protocol.debug.LogMessage";
inline constexpr uint64_t UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_SIGNATURE = 0xD654A48E0C049D75ULL;
inline constexpr uint8_t UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_SOURCE_MAX_LENGTH = 31;
inline constexpr uint8_t UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_TEXT_MAX_LENGTH = 90;
inline constexpr uint16_t UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_MAX_SIZE = ((3 + 5 + 31 * 8 + 90 * 8 + 7) / 8);

// uavcan.protocol.debug.LogLevel
inline constexpr uint8_t UAVCAN_PROTOCOL_DEBUG_LOGLEVEL_DEBUG = 0;
inline constexpr uint8_t UAVCAN_PROTOCOL_DEBUG_LOGLEVEL_INFO = 1;
inline constexpr uint8_t UAVCAN_PROTOCOL_DEBUG_LOGLEVEL_WARNING = 2;
inline constexpr uint8_t UAVCAN_PROTOCOL_DEBUG_LOGLEVEL_ERROR = 3;

struct uavcan_protocol_debug_LogMessage {
    uint8_t level;  // 3 bits on the wire
    struct {
        uint8_t len;
        const uint8_t* data;
    } source, text;
};

// A level or lengths beyond the type's maxima are cut to them (and so stored back). The text, the last field, travels
// without its length.
uint32_t uavcan_protocol_debug_LogMessage_encode(uavcan_protocol_debug_LogMessage* source, void* msg_buf);
