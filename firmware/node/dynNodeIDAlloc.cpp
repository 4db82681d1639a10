#include "firmware/node/dynNodeIDAlloc.hpp"

#include <cstring>
#include <string>

#include "chip.hpp"
#include "firmware/board/System_Config.hpp"
#include "firmware/board/app_descriptor.hpp"
#include "firmware/dsdl/uavcan/protocol/GetNodeInfo.hpp"
#include "firmware/dsdl/uavcan/protocol/dynamic_node_id/Allocation.hpp"

namespace {

constexpr uint8_t kUniqueIdLength = UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_UNIQUE_ID_MAX_LENGTH;
static_assert(kUniqueIdLength == UAVCAN_PROTOCOL_HARDWAREVERSION_UNIQUE_ID_LENGTH,
              "allocation and GetNodeInfo carry the same unique ID");
constexpr uint8_t MaxLenOfUniqueIDInRequest =
    UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_LENGTH_OF_UNIQUE_ID_IN_REQUEST;
constexpr uint32_t kRequestDelayMinMs = UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MIN_REQUEST_PERIOD_MS;
constexpr float kRequestDelaySpreadMs = UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_FOLLOWUP_DELAY_MS;
// A response payload: the node-ID byte, then at most the whole unique ID.
constexpr uint16_t kMaxResponsePayload = 1U + kUniqueIdLength;
constexpr uint8_t kNameLength = static_cast<uint8_t>(std::char_traits<char>::length(NODE_NAME));
static_assert(kNameLength <= UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_NAME_MAX_LENGTH);

constexpr unsigned kRandBits = 31;
constexpr unsigned kRandomBits = 24;
static_assert(kRandomBits <= kRandBits);
constexpr float kRandomScale = 1.0F / static_cast<float>(1UL << kRandomBits);

// Tick a is before tick b, also when the 32-bit tick wraps between them.
bool tickBefore(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

}  // namespace

// The C library's rand() on the chip takes its state from the heap at its first call, and this node has
// no heap: the same 64-bit linear congruential generator is kept here, so the chip and the simulator also
// draw the same sequence.
uint32_t NodeIdentity::randNode()
{
    rand_next = rand_next * 6364136223846793005ULL + 1U;
    return static_cast<uint32_t>(rand_next >> 32) & ((1UL << kRandBits) - 1U);
}

// Seeded from the chip ID, so that nodes on one bus spread their requests differently.
NodeIdentity::NodeIdentity(const UniqueIdWords& uid) : uid_(uid)
{
    // Each seed 32 bits wide, as the C library's srand takes it.
    rand_next = uid_.word[0];
    for (uint8_t i = 1; i < 3; ++i) {
        rand_next = static_cast<uint32_t>(randNode() * uid_.word[i]);
    }
}

UniqueIdWords chipUniqueId() { return {{LL_GetUID_Word0(), LL_GetUID_Word1(), LL_GetUID_Word2()}}; }

uint64_t NodeIdentity::UniqID() const
{
    return (static_cast<uint64_t>(uid_.word[1]) << 32) | (uid_.word[0] ^ uid_.word[2]);
}

// The chip's 96-bit ID, each word least significant byte first, then four zero bytes.
inline void NodeIdentity::readUniqueID(uint8_t* out_uid) const
{
    const uint32_t words[kUniqueIdLength / 4] = {uid_.word[0], uid_.word[1], uid_.word[2], 0U};
    for (uint8_t i = 0; i < kUniqueIdLength; ++i) {
        out_uid[i] = static_cast<uint8_t>(words[i / 4U] >> (8U * (i % 4U)));
    }
}

// In [0, 1). One generator for all ports.
inline float NodeIdentity::getRandomFloat()
{
    // 24 bits convert to float exactly, so the result never rounds up to 1.
    return static_cast<float>(randNode() >> (kRandBits - kRandomBits)) * kRandomScale;
}

// 600..1000 ms from now.
inline uint32_t NodeIdentity::randomRequestTime()
{
    return getUptime() + kRequestDelayMinMs + static_cast<uint32_t>(getRandomFloat() * kRequestDelaySpreadMs);
}

inline void NodeIdentity::sendAllocationRequest(Port& port) const
{
    uint8_t uid[kUniqueIdLength];
    readUniqueID(uid);
    uint8_t offset = port.alloc.node_id_allocation_unique_id_offset;
    if (offset >= kUniqueIdLength) {
        offset = 0;  // never more than the allocator can have confirmed short of a final answer
    }
    const uint8_t left = static_cast<uint8_t>(kUniqueIdLength - offset);

    uavcan_protocol_dynamic_node_id_Allocation request{};
    request.node_id = port.NodeID;
    request.first_part_of_unique_id = offset == 0;
    request.unique_id.len = left < MaxLenOfUniqueIDInRequest ? left : MaxLenOfUniqueIDInRequest;
    request.unique_id.data = &uid[offset];

    uint8_t buffer[UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_SIZE];
    const uint32_t len = uavcan_protocol_dynamic_node_id_Allocation_encode(&request, buffer);
    // Anonymous, so one frame; a request that cannot be queued is simply lost and the cycle goes on.
    (void)xportBroadcast(&port.xport, UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_SIGNATURE,
                         UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID, &port.alloc.node_id_allocation_transfer_id,
                         XPORT_TRANSFER_PRIORITY_LOW, buffer, static_cast<uint16_t>(len));
}

void SetNodeMode(Port& port, uint8_t Mode) { port.node_mode = Mode; }

bool NodeIdentity::DynAllocNodeID(Port& port)
{
    const uint8_t node_id = xportGetLocalNodeID(&port.xport);
    if (node_id != port.NodeID) {
        port.NodeID = node_id;  // onDynNodeRx took the allocator's final answer
        return true;
    }

    DynNodeAlloc& alloc = port.alloc;
    switch (alloc.DynNodeState) {
    case DynNodeState_WaitStart:
        alloc.DynNodeState = DynNodeState_WaitReq;
        alloc.send_next_node_id_allocation_request_at = randomRequestTime();
        break;
    case DynNodeState_WaitReq:
        if (tickBefore(getUptime(), alloc.send_next_node_id_allocation_request_at)) {
            sendXport(port);
            receiveXport(port);
        } else {
            alloc.DynNodeState = DynNodeState_Broadast;
        }
        break;
    case DynNodeState_Broadast:
        sendAllocationRequest(port);
        alloc.node_id_allocation_unique_id_offset = 0;
        alloc.DynNodeState = DynNodeState_WaitStart;
        break;
    }
    return false;
}

void NodeIdentity::onDynNodeRx(Port& port, XportRxTransfer* transfer)
{
    DynNodeAlloc& alloc = port.alloc;
    if (xportGetLocalNodeID(&port.xport) != XPORT_BROADCAST_NODE_ID ||
        transfer->transfer_type != XportTransferTypeBroadcast) {
        return;
    }

    // Any allocation traffic on the bus pushes this port's next request back.
    alloc.send_next_node_id_allocation_request_at = randomRequestTime();

    if (transfer->source_node_id == XPORT_BROADCAST_NODE_ID) {
        // Another node is asking: start over from the first part when our turn comes.
        alloc.node_id_allocation_unique_id_offset = 0;
        return;
    }

    // An allocator's answer that no allocator can have sent (nothing at all, or more unique-ID bytes than a
    // unique ID has) is dropped rather than matched on what the decoder could salvage.
    if (transfer->payload_len == 0 || transfer->payload_len > kMaxResponsePayload) {
        return;
    }
    uint8_t received_uid[kUniqueIdLength] = {};
    uint8_t* arena = received_uid;
    uavcan_protocol_dynamic_node_id_Allocation response{};
    if (uavcan_protocol_dynamic_node_id_Allocation_decode_internal(transfer, transfer->payload_len, &response,
                                                                   &arena, 0) < 0) {
        return;
    }
    const uint8_t len = response.unique_id.len <= kUniqueIdLength ? response.unique_id.len : kUniqueIdLength;

    uint8_t own_uid[kUniqueIdLength];
    readUniqueID(own_uid);
    if (std::memcmp(received_uid, own_uid, len) != 0) {
        alloc.node_id_allocation_unique_id_offset = 0;  // meant for another node
        return;
    }
    if (len < kUniqueIdLength) {
        // The allocator has confirmed this much: send the next part 0..400 ms from now.
        alloc.node_id_allocation_unique_id_offset = len;
        alloc.send_next_node_id_allocation_request_at -= kRequestDelayMinMs;
        return;
    }
    // The whole ID matched: the answer is final. Node ID 0 is no allocation; keep asking.
    if (response.node_id >= XPORT_MIN_NODE_ID && response.node_id <= XPORT_MAX_NODE_ID) {
        xportSetLocalNodeID(&port.xport, response.node_id);
    }
}

// An answer: what the caller's `fill` sets (health, mode, the software), then what every answer has (the
// uptime, the software's flags, the unique ID, the name). The node's and the bootloader's each get their
// own copy: neither image carries the other's.
template <typename Fill>
[[gnu::always_inline]] inline void NodeIdentity::answerNodeInfo(Port& port, const XportRxTransfer* transfer,
                                                                Fill fill) const
{
    uint8_t name[kNameLength];
    std::memcpy(name, NODE_NAME, kNameLength);

    // Everything not set here or by fill stays zero: no sub-mode, no vendor status, hardware version 0.0
    // and no certificate.
    uavcan_protocol_GetNodeInfoResponse info{};
    info.status.uptime_sec = uptimeSec();
    fill(info);
    info.software_version.optional_field_flags = static_cast<uint8_t>(
        (info.software_version.vcs_commit != 0U ? UAVCAN_PROTOCOL_SOFTWAREVERSION_OPTIONAL_FIELD_FLAG_VCS_COMMIT : 0U) |
        (info.software_version.image_crc != 0U ? UAVCAN_PROTOCOL_SOFTWAREVERSION_OPTIONAL_FIELD_FLAG_IMAGE_CRC : 0U));
    readUniqueID(info.hardware_version.unique_id);
    info.name.len = kNameLength;
    info.name.data = name;

    uint8_t buffer[UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE];
    const uint32_t len = uavcan_protocol_GetNodeInfoResponse_encode(&info, buffer);
    uint8_t transfer_id = transfer->transfer_id;
    (void)xportRequestOrRespond(&port.xport, transfer->source_node_id, UAVCAN_PROTOCOL_GETNODEINFO_SIGNATURE,
                                UAVCAN_PROTOCOL_GETNODEINFO_ID, &transfer_id, transfer->priority, XportResponse,
                                buffer, static_cast<uint16_t>(len));
}

void NodeIdentity::onGetNodeInfoRx(Port& port, XportRxTransfer* transfer, uint8_t health) const
{
    if (transfer->transfer_type != XportTransferTypeRequest) {
        return;
    }
    answerNodeInfo(port, transfer, [&port, health](uavcan_protocol_GetNodeInfoResponse& info) {
        info.status.health = health;
        info.status.mode = port.node_mode;
        info.software_version.major = APP_VERSION_MAJOR;
        info.software_version.minor = APP_VERSION_MINOR;
        // The commit built and the CRC the post-link step wrote into the descriptor, read from flash. Each
        // is flagged only when there is one: firmware not built from git has no commit, and firmware that
        // is no linked image (the simulator's built-in node) no CRC.
        info.software_version.vcs_commit = appDescriptorVcsCommit();
        info.software_version.image_crc = appDescriptorImageCrc();
    });
}

void NodeIdentity::respondNodeInfo(Port& port, const XportRxTransfer* transfer, const NodeInfoFacts& facts) const
{
    answerNodeInfo(port, transfer, [&facts](uavcan_protocol_GetNodeInfoResponse& info) {
        info.status.health = facts.health;
        info.status.mode = facts.mode;
        info.software_version.major = facts.major;
        info.software_version.minor = facts.minor;
        info.software_version.vcs_commit = facts.vcs_commit;
        info.software_version.image_crc = facts.image_crc;
    });
}
