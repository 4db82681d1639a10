#pragma once
// Node identity: dynamic node-ID allocation for the ports that start without a node ID, the 16-byte unique
// ID, the mode each port reports, and the GetNodeInfo answer. All of it runs on the main task.

#include <cstdint>

#include "firmware/drivers/bxcan.hpp"
#include "firmware/node/ports.hpp"
#include "firmware/xport/xport.hpp"

// What a GetNodeInfo answer says besides the name and the unique ID, which are the chip's: the node's or
// the bootloader's health, mode and software. vcs_commit and image_crc are flagged only when not 0.
struct NodeInfoFacts {
    uint8_t health;
    uint8_t mode;
    uint8_t major;
    uint8_t minor;
    uint32_t vcs_commit;
    uint64_t image_crc;
};

// The chip's unique ID, as its three 32-bit words.
struct UniqueIdWords {
    uint32_t word[3];
};
// This chip's.
UniqueIdWords chipUniqueId();

// The node's identity on the buses, from the chip's unique ID: what the allocation client and the
// GetNodeInfo answer send, and the random timing of the allocation requests, seeded from it so that
// nodes on one bus spread their requests differently. A new one is as at power-on.
class NodeIdentity {
public:
    explicit NodeIdentity(const UniqueIdWords& uid);

    // One step of the port's allocation, called on every pass while the port has no node ID. While it
    // waits for the next request it pumps the port itself (responses reach onDynNodeRx through its receive
    // step). Returns true once, in the call that finds the node ID set, after copying it to port.NodeID.
    bool DynAllocNodeID(Port& port);

    // Every received allocation broadcast on the port. Ignored once the port has a node ID.
    void onDynNodeRx(Port& port, XportRxTransfer* transfer);

    // A GetNodeInfo request on the port: answered on the same port, with the node's health.
    void onGetNodeInfoRx(Port& port, XportRxTransfer* transfer, uint8_t health) const;

    // Answers a GetNodeInfo request with these facts, on the port it came on.
    void respondNodeInfo(Port& port, const XportRxTransfer* transfer, const NodeInfoFacts& facts) const;

    // The 64-bit unique ID the visibility broadcast carries: word 1 above, word 0 XOR word 2 below.
    uint64_t UniqID() const;

private:
    float getRandomFloat();
    uint32_t randomRequestTime();
    uint32_t randNode();
    void readUniqueID(uint8_t* out_uid) const;
    void sendAllocationRequest(Port& port) const;
    template <typename Fill>
    void answerNodeInfo(Port& port, const XportRxTransfer* transfer, Fill fill) const;

    UniqueIdWords uid_;
    uint64_t rand_next = 1;
};

// The mode the port reports in GetNodeInfo (ports start in initialisation mode, 1).
void SetNodeMode(Port& port, uint8_t Mode);
