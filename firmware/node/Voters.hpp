#pragma once
// Flight-controller voter: keeps the latest vote of each flight controller and elects the CAN port whose
// actuator commands the node follows. Pure logic with no clock of its own: the caller passes the kernel's
// millisecond tick. Call from the application task only; nothing here is locked.

#include <array>
#include <cstdint>

inline constexpr uint16_t MAXARBITERS = 10;         // voters held at once
inline constexpr uint32_t ARBITER_TIMEOUT_MS = 250; // a vote not repeated for this long is dropped
inline constexpr uint8_t VoterCANPorts = 3;         // electable ports 0..2

// One voter's latest vote, with the port and node ID it came from. SelectedFC < 0 marks a free slot; a
// free slot may keep a stale UniqID, source and LastTick, which nothing looks at.
struct FCList_t {
    uint64_t UniqID;
    int8_t SelectedFC;
    uint8_t SrcBus;
    uint8_t SrcNodeID;
    uint32_t LastTick;
};
inline constexpr FCList_t CLEARED_ENTRY{0, -1, 0, 0, 0};

// The votes held and the election over them. A new Voter holds no vote and elects no port, as at start-up.
class Voter {
public:
    Voter();

    // Records one received vote and returns the elected port (0..2), or -1 when no counted vote is held.
    // Port: the port the vote arrived on; SrcBus: the port the sender says it sent on. A vote whose two
    // ports differ, or that finds the list full, is not stored and the current result is returned
    // unchanged. SrcNodeID: the node ID the vote's transfer came from. SelectedFC: the port the voter
    // names; negative withdraws the voter's vote, 3 or more holds a slot but is never counted. UniqID: the
    // voter's key, compared as a 64-bit pattern. One source node on one port holds at most one entry: its
    // vote under a new UniqID replaces its vote under the old one, so a node cannot outvote others by
    // changing IDs.
    int8_t UpdateVoter(int8_t Port, uint8_t SrcBus, uint8_t SrcNodeID, int8_t SelectedFC, int64_t UniqID,
                       uint32_t TickMs);

    // Ageing, every 50 ms: drops votes ARBITER_TIMEOUT_MS or more old at TickmS. Only if one was dropped is
    // the new result written through ActiveFCPort; returns true exactly then.
    bool UpdateVoterList50mS(int8_t* ActiveFCPort, uint32_t TickmS);

private:
    std::array<FCList_t, MAXARBITERS> ActiveFCList;
    int8_t LastRes = -1;  // the election over the list as it stands
    FCList_t Entry{};     // the incoming vote while it is stored
};
