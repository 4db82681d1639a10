#pragma once
// UAVCAN v0 framing for the tools around the node (the tests, the file server), written from the wire
// format and independent of the firmware's transport:
// cut a transfer into frames for a peer to send, put the node's frames back together, compute the CRCs;
// and the IDs and signatures of the standard data types the node serves and sends.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim.hpp"
#include "sitl/candump.hpp"

namespace bus {

inline constexpr uint32_t kAllocationId = 1;  // a message; service ID 1 is GetNodeInfo
inline constexpr uint64_t kAllocationSignature = 0x0B2A812620A11D40ULL;
inline constexpr uint32_t kGetNodeInfoId = 1;
inline constexpr uint64_t kGetNodeInfoSignature = 0xEE468A8121C46A9EULL;
inline constexpr uint32_t kGetSetId = 11;
inline constexpr uint64_t kGetSetSignature = 0xA7B622F939D1A4D5ULL;
inline constexpr uint32_t kNodeStatusId = 341;
inline constexpr uint32_t kRestartNodeId = 5;
inline constexpr uint64_t kRestartNodeSignature = 0x569E05394A3017F0ULL;
inline constexpr uint32_t kPanicId = 5;  // a message; service ID 5 is RestartNode
inline constexpr uint64_t kPanicSignature = 0x8B79B4101811C1D7ULL;
inline constexpr uint32_t kBeginFirmwareUpdateId = 40;
inline constexpr uint64_t kBeginFirmwareUpdateSignature = 0xB7D725DF72724126ULL;
inline constexpr uint32_t kFileReadId = 48;
inline constexpr uint64_t kFileReadSignature = 0x8DCDCA939F33F678ULL;
inline constexpr uint8_t kRestartMagic[5] = {0x1E, 0x1B, 0x55, 0xCE, 0xAC};  // 0xACCE551B1E, uint40

inline uint16_t crcAdd(uint16_t crc, const uint8_t* bytes, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t c = crc ^ (static_cast<uint32_t>(bytes[i]) << 8U);
        for (int b = 0; b < 8; ++b) {
            c = (c & 0x8000U) != 0 ? (c << 1U) ^ 0x1021U : c << 1U;
        }
        crc = static_cast<uint16_t>(c);
    }
    return crc;
}

// Transfer CRC of a multi-frame transfer: the signature's bytes (least significant first), then the payload.
inline uint16_t transferCrc(uint64_t signature, const std::vector<uint8_t>& payload)
{
    uint8_t sig[8];
    for (int i = 0; i < 8; ++i) {
        sig[i] = static_cast<uint8_t>(signature >> (8 * i));
    }
    return crcAdd(crcAdd(0xFFFFU, sig, 8), payload.data(), payload.size());
}

inline uint32_t messageId(uint32_t prio, uint32_t dtid, uint32_t src) { return (prio << 24) | (dtid << 8) | src; }

inline uint32_t serviceId(uint32_t prio, uint32_t dtid, bool request, uint32_t dst, uint32_t src)
{
    return (prio << 24) | (dtid << 16) | (request ? 1U << 15 : 0U) | (dst << 8) | 0x80U | src;
}

// Anonymous message: discriminator from the payload's CRC, two bits of data type ID, source 0.
inline uint32_t anonymousId(uint32_t prio, uint32_t dtid, const std::vector<uint8_t>& payload)
{
    const uint16_t crc = crcAdd(0xFFFFU, payload.data(), payload.size());
    return (prio << 24) | (((crc & 0x7FFEU) >> 1) << 10) | ((dtid & 3U) << 8);
}

inline std::vector<sim::CanFrame> framesOf(uint32_t can_id, uint8_t transfer_id, const std::vector<uint8_t>& payload,
                                           uint64_t signature)
{
    std::vector<sim::CanFrame> frames;
    auto frame = [&](const std::vector<uint8_t>& data, bool sot, bool eot, bool toggle) {
        sim::CanFrame f{};
        f.id = can_id;
        f.extended = true;
        std::copy(data.begin(), data.end(), f.data);
        f.data[data.size()] =
            static_cast<uint8_t>((sot ? 0x80 : 0) | (eot ? 0x40 : 0) | (toggle ? 0x20 : 0) | (transfer_id & 31));
        f.dlc = static_cast<uint8_t>(data.size() + 1);
        frames.push_back(f);
    };
    if (payload.size() <= 7) {
        frame(payload, true, true, false);
        return frames;
    }
    const uint16_t crc = transferCrc(signature, payload);
    std::vector<uint8_t> stream = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
    stream.insert(stream.end(), payload.begin(), payload.end());
    bool toggle = false;
    for (std::size_t at = 0; at < stream.size(); at += 7) {
        const std::size_t n = std::min<std::size_t>(7, stream.size() - at);
        frame(std::vector<uint8_t>(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n)),
              at == 0, at + n == stream.size(), toggle);
        toggle = !toggle;
    }
    return frames;
}

struct Transfer {
    uint32_t can_id;
    uint8_t transfer_id;
    std::vector<uint8_t> payload;  // without the transfer CRC
    uint16_t crc;                  // multi-frame only
    std::size_t frames;
    uint64_t end_ns;  // end of the last frame
};

// Reassembles transfers from frames in bus order (frames of one identifier never interleave here).
inline std::vector<Transfer> transfersOf(const std::vector<std::pair<sim::CanFrame, uint64_t>>& frames)
{
    std::vector<Transfer> out;
    std::vector<Transfer> open;
    for (const auto& [f, end_ns] : frames) {
        const uint8_t n = f.dataBytes();
        if (n == 0) {
            continue;
        }
        const uint8_t tail = f.data[n - 1];
        const bool sot = (tail & 0x80) != 0;
        const bool eot = (tail & 0x40) != 0;
        Transfer* t = nullptr;
        for (Transfer& o : open) {
            if (o.can_id == f.id) {
                t = &o;
            }
        }
        if (sot) {
            if (t == nullptr) {
                open.push_back({f.id, static_cast<uint8_t>(tail & 31), {}, 0, 0, 0});
                t = &open.back();
            }
            *t = {f.id, static_cast<uint8_t>(tail & 31), {}, 0, 0, 0};
        } else if (t == nullptr) {
            continue;
        }
        t->payload.insert(t->payload.end(), f.data, f.data + n - 1);
        ++t->frames;
        t->end_ns = end_ns;
        if (eot) {
            if (t->frames > 1) {
                t->crc = static_cast<uint16_t>(t->payload[0] | (t->payload[1] << 8));
                t->payload.erase(t->payload.begin(), t->payload.begin() + 2);
            }
            out.push_back(*t);
            for (std::size_t i = 0; i < open.size(); ++i) {
                if (open[i].can_id == f.id) {
                    open.erase(open.begin() + static_cast<long>(i));
                    break;
                }
            }
        }
    }
    return out;
}

// Acknowledged frames the node's controller on `port` sent, with their end times.
inline std::vector<std::pair<sim::CanFrame, uint64_t>> nodeFrames(unsigned port)
{
    std::vector<std::pair<sim::CanFrame, uint64_t>> out;
    for (const sim::CanBusRecord& r : sim::canBus(port).log()) {
        if (r.sender >= 0 && r.acknowledged) {
            out.emplace_back(r.frame, r.endNs);
        }
    }
    return out;
}

inline uint32_t dataTypeOfMessage(uint32_t can_id) { return (can_id >> 8) & 0xFFFFU; }
inline bool isService(uint32_t can_id) { return (can_id & 0x80U) != 0; }
inline uint32_t dataTypeOfService(uint32_t can_id) { return (can_id >> 16) & 0xFFU; }

inline std::vector<uint8_t> bytesOf(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

}  // namespace bus
