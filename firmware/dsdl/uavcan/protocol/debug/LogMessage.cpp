#include "firmware/dsdl/uavcan/protocol/debug/LogMessage.hpp"

#include "firmware/dsdl/dsdl_internals.hpp"

namespace {

constexpr uint8_t LEVEL_BITS = 3;
constexpr uint8_t SOURCE_LENGTH_BITS = 5;
static_assert(dsdlUnsignedMax<SOURCE_LENGTH_BITS>() >= UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_SOURCE_MAX_LENGTH);
// The level and the source's length fill the first byte, so that both byte arrays lie on byte boundaries.
static_assert(LEVEL_BITS + SOURCE_LENGTH_BITS == 8);

}  // namespace

uint32_t uavcan_protocol_debug_LogMessage_encode(uavcan_protocol_debug_LogMessage* source, void* msg_buf)
{
    XPORT_ASSERT(source != nullptr && msg_buf != nullptr);
    source->level = XPORT_INTERNAL_SATURATE_UNSIGNED(source->level, static_cast<uint8_t>(dsdlUnsignedMax<LEVEL_BITS>()));
    source->source.len =
        XPORT_INTERNAL_SATURATE_UNSIGNED(source->source.len, UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_SOURCE_MAX_LENGTH);
    source->text.len =
        XPORT_INTERNAL_SATURATE_UNSIGNED(source->text.len, UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_TEXT_MAX_LENGTH);
    uint8_t* const out = static_cast<uint8_t*>(msg_buf);
    // A field fills its byte from the top: the level's 3 bits, then the length's 5.
    out[0] = static_cast<uint8_t>((source->level << SOURCE_LENGTH_BITS) | source->source.len);
    uint32_t offset = dsdlEncodeIntArray<8>(out, 8, source->source.data, source->source.len);
    offset = dsdlEncodeIntArray<8>(out, offset, source->text.data, source->text.len);
    return offset / 8U;
}
