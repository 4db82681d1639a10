// The transfer CRC over the data type signature and the payload.

#include "firmware/xport/xport_internals.hpp"

uint16_t crcAddSignature(uint16_t crc, uint64_t data_type_signature)
{
    for (unsigned shift = 0; shift < 64; shift += 8) {
        crc = crcAddByte(crc, static_cast<uint8_t>(data_type_signature >> shift));
    }
    return crc;
}

uint16_t crcAdd(uint16_t crc, const uint8_t* bytes, std::size_t len)
{
    for (std::size_t i = 0; i < len; ++i) {
        crc = crcAddByte(crc, bytes[i]);
    }
    return crc;
}
