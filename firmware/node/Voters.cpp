#include "firmware/node/Voters.hpp"

#include <array>
#include <cstddef>
#include <cstring>

namespace {

static_assert(sizeof(FCList_t) == 16, "voter entry layout");

// The tally's 8-bit counters must hold a full list.
static_assert(MAXARBITERS <= UINT8_MAX, "tally counters too narrow");
// Port indices and "none" must fit the int8 result.
static_assert(VoterCANPorts <= INT8_MAX, "port index does not fit the result");

// The list helpers take everything through their arguments, so that their parameter names cannot shadow
// the voter's members.

// Stores Entry's vote in its voter's slot: the one holding its UniqID, else the one its source (port and
// node) holds under another UniqID, else the first free slot. False when none of these exists: the vote is
// dropped. Keeping both keys unique among the slots in use means a source never holds two: when the UniqID
// has a slot and the source another, the source's old one is freed. A negative SelectedFC frees the slot.
bool InsertEntry(FCList_t* List, FCList_t* Entry, uint16_t ListLen, uint32_t TickmS)
{
    int FreeEntry = -1;
    int SameVoter = -1;
    int SameSource = -1;
    for (uint16_t i = 0; i < ListLen; i++) {
        const FCList_t& Item = List[i];
        if (Item.SelectedFC < 0) {
            if (FreeEntry < 0) {
                FreeEntry = i;
            }
            continue;  // leftovers in a free slot never match
        }
        if (Item.UniqID == Entry->UniqID) {
            SameVoter = i;
        } else if (Item.SrcBus == Entry->SrcBus && Item.SrcNodeID == Entry->SrcNodeID) {
            SameSource = i;
        }
    }
    int Slot = SameVoter;
    if (Slot < 0) {
        Slot = SameSource >= 0 ? SameSource : FreeEntry;
    } else if (SameSource >= 0) {
        List[SameSource] = CLEARED_ENTRY;
    }
    if (Slot < 0) {
        return false;
    }
    Entry->LastTick = TickmS;
    List[Slot] = *Entry;
    return true;
}

// Plurality over the ports 0..2; a tie goes to the lowest port, no counted vote gives -1. Entries naming
// a port beyond the last hold their slot but are not counted.
int8_t FindMajorityEntry(const FCList_t* List, uint16_t ListLen)
{
    std::array<uint8_t, VoterCANPorts> Vote{};
    for (uint16_t i = 0; i < ListLen; i++) {
        const auto Port = static_cast<uint8_t>(List[i].SelectedFC);  // free slots (negative) become >= 128
        if (Port < VoterCANPorts) {
            Vote[Port]++;
        }
    }
    int8_t Winner = -1;
    uint8_t WinnerCount = 0;
    // From the highest port down, taking equal counts too, so the lowest of a tie is the last one taken.
    for (std::size_t Port = VoterCANPorts; Port-- > 0;) {
        if (Vote[Port] > 0 && Vote[Port] >= WinnerCount) {
            Winner = static_cast<int8_t>(Port);
            WinnerCount = Vote[Port];
        }
    }
    return Winner;
}

}  // namespace

// Every slot free: SelectedFC -1, and the rest, which a free slot keeps stale, all ones too.
Voter::Voter() { std::memset(ActiveFCList.data(), 0xFF, sizeof ActiveFCList); }

int8_t Voter::UpdateVoter(int8_t Port, uint8_t SrcBus, uint8_t SrcNodeID, int8_t SelectedFC, int64_t UniqID,
                   uint32_t TickMs)
{
    // Only a vote heard on the bus it was sent on counts; a negative Port never matches.
    if (Port < 0 || static_cast<uint8_t>(Port) != SrcBus) {
        return LastRes;
    }
    Entry.SelectedFC = SelectedFC;
    Entry.UniqID = static_cast<uint64_t>(UniqID);
    Entry.SrcBus = SrcBus;
    Entry.SrcNodeID = SrcNodeID;
    if (InsertEntry(ActiveFCList.data(), &Entry, MAXARBITERS, TickMs)) {
        LastRes = FindMajorityEntry(ActiveFCList.data(), MAXARBITERS);
    }
    return LastRes;
}

bool Voter::UpdateVoterList50mS(int8_t* ActiveFCPort, uint32_t TickmS)
{
    bool Changed = false;
    for (FCList_t& Item : ActiveFCList) {
        // Unsigned difference: the age stays right across the 2^32 ms tick wrap.
        if (Item.SelectedFC >= 0 && static_cast<uint32_t>(TickmS - Item.LastTick) >= ARBITER_TIMEOUT_MS) {
            Item = CLEARED_ENTRY;
            Changed = true;
        }
    }
    if (Changed) {
        // The ageing result is the current result too: a vote that is not counted afterwards must not
        // bring back a port whose votes have expired.
        LastRes = FindMajorityEntry(ActiveFCList.data(), MAXARBITERS);
        if (ActiveFCPort != nullptr) {
            *ActiveFCPort = LastRes;
        }
    }
    return Changed;
}
