#include "firmware/node/Voters.hpp"

#include <array>
#include <cstddef>

namespace {

// One voter's latest vote. SelectedFC < 0 marks a free slot; a free slot may keep a stale UniqID and
// LastTick, which nothing looks at.
struct FCList_t {
    uint64_t UniqID;
    int8_t SelectedFC;
    uint32_t LastTick;
};
static_assert(sizeof(FCList_t) == 16, "voter entry layout");

constexpr FCList_t CLEARED_ENTRY{0, -1, 0};

// The tally's 8-bit counters must hold a full list.
static_assert(MAXARBITERS <= UINT8_MAX, "tally counters too narrow");
// Port indices and "none" must fit the int8 result.
static_assert(VoterCANPorts <= INT8_MAX, "port index does not fit the result");

// The list helpers take everything through their arguments and come before the module state, so their
// parameter names cannot shadow it.

// Refreshes the vote of Entry's voter, or stores it in the first free slot. False when the voter is not
// listed and no slot is free: the vote is dropped. A refresh with a negative SelectedFC frees the slot.
bool InsertEntry(FCList_t* List, FCList_t* Entry, uint16_t ListLen, uint32_t TickmS)
{
    int FreeEntry = -1;
    for (uint16_t i = 0; i < ListLen; i++) {
        FCList_t& Item = List[i];
        if (Item.SelectedFC < 0) {
            if (FreeEntry < 0) {
                FreeEntry = i;
            }
            continue;  // a leftover UniqID in a free slot never matches
        }
        if (Item.UniqID == Entry->UniqID) {
            Item.SelectedFC = Entry->SelectedFC;
            Item.LastTick = TickmS;
            return true;
        }
    }
    if (FreeEntry < 0) {
        return false;
    }
    Entry->LastTick = TickmS;
    List[FreeEntry] = *Entry;
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

// Module state. Constant-initialised: no start-up code runs for it.
constexpr std::array<FCList_t, MAXARBITERS> freeList()
{
    std::array<FCList_t, MAXARBITERS> List{};
    for (FCList_t& Item : List) {
        Item = CLEARED_ENTRY;
    }
    return List;
}

constinit std::array<FCList_t, MAXARBITERS> ActiveFCList = freeList();
constinit int8_t LastRes = -1;   // the election over the list as it stands
constinit FCList_t Entry{};      // the incoming vote while it is stored

}  // namespace

int8_t UpdateVoter(int8_t Port, uint8_t SrcBus, int8_t SelectedFC, int64_t UniqID, uint32_t TickMs)
{
    // Only a vote heard on the bus it was sent on counts; a negative Port never matches.
    if (Port < 0 || static_cast<uint8_t>(Port) != SrcBus) {
        return LastRes;
    }
    Entry.SelectedFC = SelectedFC;
    Entry.UniqID = static_cast<uint64_t>(UniqID);
    if (InsertEntry(ActiveFCList.data(), &Entry, MAXARBITERS, TickMs)) {
        LastRes = FindMajorityEntry(ActiveFCList.data(), MAXARBITERS);
    }
    return LastRes;
}

bool UpdateVoterList50mS(int8_t* ActiveFCPort, uint32_t TickmS)
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

void InitVoters()
{
    ActiveFCList = freeList();
    LastRes = -1;
    Entry = FCList_t{};
}
