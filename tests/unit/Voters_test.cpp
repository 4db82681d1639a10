#include "firmware/node/Voters.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

namespace {

constexpr int8_t kUntouched = 7;  // never a result: shows that the ageing pass did not write

class Voters : public ::testing::Test {
protected:
    // A voter as at start-up, in place of the one before.
    void InitVoters() { voter = Voter{}; }

    Voter voter;


    // A vote heard on the port it says it was sent on, so it counts. Each voter is its own node on port 0.
    int8_t Vote(int64_t id, int8_t port, uint32_t tick = 0)
    {
        const auto node = nodes_.emplace(id, static_cast<uint8_t>(nodes_.size() + 1)).first->second;
        return voter.UpdateVoter(0, 0, node, port, id, tick);
    }
    // A vote heard on port 2 that claims port 1: never counted.
    int8_t Misrouted(int64_t id, int8_t port, uint32_t tick = 0)
    {
        return voter.UpdateVoter(2, 1, 1, port, id, tick);
    }

    int8_t Age(uint32_t tick, bool expectDropped)
    {
        int8_t active = kUntouched;
        EXPECT_EQ(voter.UpdateVoterList50mS(&active, tick), expectDropped) << "tick " << tick;
        return active;
    }

private:
    std::map<int64_t, uint8_t> nodes_;  // voter's UniqID -> its node ID
};

TEST_F(Voters, PluralityWithTiesToTheLowestPort)
{
    struct Row {
        std::vector<int8_t> ports;
        int8_t result;
    };
    const Row rows[] = {
        {{}, -1},       {{1}, 1},          {{0, 1}, 0},          {{1, 2}, 1},
        {{2, 2, 0}, 2}, {{0, 1, 2}, 0},    {{1, 1, 2, 2, 0}, 1}, {{5}, -1},
        {{5, 5, 2}, 2}, {{2, 5, 5, 5}, 2},
    };
    for (const Row& row : rows) {
        InitVoters();
        int8_t result = -1;
        int64_t id = 100;
        for (int8_t port : row.ports) {
            result = Vote(id++, port);
        }
        EXPECT_EQ(result, row.result) << "row of " << row.ports.size() << " votes";
    }

    // A third voter settles a disagreement; a voter changing its mind moves its one vote.
    InitVoters();
    EXPECT_EQ(Vote(1, 0), 0);
    EXPECT_EQ(Vote(2, 1), 0);
    EXPECT_EQ(Vote(3, 1), 1);
    EXPECT_EQ(Vote(3, 0), 0);
    EXPECT_EQ(Vote(3, 2), 0);
}

TEST_F(Voters, UniqueIdsAreWholeSixtyFourBitPatterns)
{
    EXPECT_EQ(Vote(5, 1), 1);
    EXPECT_EQ(Vote(INT64_MIN | 1, 2), 1);  // differs from 1 only in the sign bit
    EXPECT_EQ(Vote(1, 2), 2);
    EXPECT_EQ(Vote(-1, 0), 2);
    EXPECT_EQ(Vote(0xFFFFFFFF, 0), 0);  // differs from -1 only in the upper half: a fifth voter
}

TEST_F(Voters, OnlyAVoteHeardOnTheBusItNamesCounts)
{
    EXPECT_EQ(Misrouted(1, 1), -1);  // nothing held yet
    EXPECT_EQ(voter.UpdateVoter(-1, 0xFF, 1, 1, 1, 0), -1);  // a negative port never matches a stated 255

    EXPECT_EQ(voter.UpdateVoter(1, 1, 1, 1, 1, 0), 1);
    EXPECT_EQ(Misrouted(2, 2), 1);
    EXPECT_EQ(Misrouted(3, 2), 1);
    // Had either misrouted vote been stored, port 2 would now lead.
    EXPECT_EQ(voter.UpdateVoter(2, 2, 1, 2, 4, 0), 1);
}

// One node on one port holds one vote, whatever UniqIDs it sends under: a new ID replaces its old vote.
TEST_F(Voters, ANodeChangingItsUniqueIdKeepsOneVote)
{
    const auto from = [this](int8_t port, uint8_t node, int64_t id, int8_t named) {
        return voter.UpdateVoter(port, static_cast<uint8_t>(port), node, named, id, 0);
    };
    EXPECT_EQ(from(0, 10, 1, 1), 1);
    EXPECT_EQ(from(0, 11, 2, 0), 0);  // a tie: port 0
    for (int64_t forged = 3; forged <= 12; forged++) {
        EXPECT_EQ(from(0, 10, forged, 1), 0) << "ID " << forged;
    }
    // The same node ID on another bus is another node.
    EXPECT_EQ(from(1, 10, 20, 1), 1);

    // Its vote under one voter's ID moves that voter's vote and frees its own (node 10 on port 0 held ID 12).
    EXPECT_EQ(from(0, 10, 2, 2), 1);  // port 1 (node 10 on bus 1) ties port 2 (ID 2)
    EXPECT_EQ(from(0, 11, 2, 0), 0);  // node 11 takes ID 2 back; ID 12 is gone, or port 1 would lead
    EXPECT_EQ(from(0, 11, 30, -1), 1);  // a withdrawal under a new ID withdraws the node's vote

    // A full list still takes a listed node's vote under a new ID.
    InitVoters();
    for (uint8_t node = 1; node <= MAXARBITERS; node++) {
        from(0, node, node, node <= 5 ? 0 : 2);
    }
    EXPECT_EQ(from(0, 1, 99, 2), 2);
}

TEST_F(Voters, VotesAgeOutAtTwoHundredFiftyMilliseconds)
{
    for (uint32_t t = 0; t <= 900; t += 100) {
        EXPECT_EQ(Vote(1, 1, t), 1);
        EXPECT_EQ(Age(t + 50, false), kUntouched);
    }
    EXPECT_EQ(Age(1100, false), kUntouched);
    EXPECT_EQ(Age(1150, true), -1);  // 250 ms after the last vote
    EXPECT_EQ(Age(1200, false), kUntouched);

    InitVoters();
    Vote(1, 2, 1000);
    Vote(2, 0, 1100);
    EXPECT_EQ(Age(1249, false), kUntouched);
    EXPECT_EQ(Age(1250, true), 0);  // only the older voter goes
    EXPECT_EQ(Age(1349, false), kUntouched);
    EXPECT_EQ(Age(1350, true), -1);
}

TEST_F(Voters, AgeingAcrossTheTickWrap)
{
    Vote(1, 1, 0xFFFFFF00);
    Vote(2, 2, 0xFFFFFFF0);
    EXPECT_EQ(Age(0x00000010, true), 2);  // ages 272 and 32
    EXPECT_EQ(Age(0x000000E9, false), kUntouched);  // 249
    EXPECT_EQ(Age(0x000000EA, true), -1);  // 250

    Vote(3, 0, 0x10);
    EXPECT_EQ(Age(0x80000010, true), -1);  // half the tick range late is still old, not negative
}

TEST_F(Voters, ANegativePortWithdrawsTheVote)
{
    EXPECT_EQ(Vote(1, 2, 10), 2);
    EXPECT_EQ(Vote(1, -1, 20), -1);  // at once, not at the next ageing pass
    EXPECT_EQ(Age(10000, false), kUntouched);  // the freed entry does not age

    // A withdrawal from a voter that holds no vote changes nothing.
    EXPECT_EQ(Vote(9, -1), -1);
    EXPECT_EQ(Vote(1, 0), 0);  // the withdrawn voter comes back, counted once
    EXPECT_EQ(Vote(2, 1), 0);
    EXPECT_EQ(Vote(3, 1), 1);

    // Ageing leaves a cleared slot holding ID 0 ahead of the voter with ID 0, which must still be the
    // one its withdrawal reaches.
    InitVoters();
    Vote(5, 2, 0);
    Vote(0, 1, 100);
    EXPECT_EQ(Age(250, true), 1);
    EXPECT_EQ(Vote(0, -1, 260), -1);
}

TEST_F(Voters, TenVotersAreHeldAndTheEleventhWaitsForAFreeSlot)
{
    // Five for port 1 (one of them older), five for port 2: a tie, port 1.
    Vote(1, 1, 0);
    for (int64_t id = 2; id <= 10; id++) {
        Vote(id, id <= 5 ? 1 : 2, 100);
    }
    EXPECT_EQ(Vote(10, 2, 100), 1);  // a repeat, to read the result
    EXPECT_EQ(Vote(11, 2, 120), 1);  // not stored, or port 2 would lead
    EXPECT_EQ(Vote(12, -1, 120), 1);
    EXPECT_EQ(Vote(2, 1, 130), 1);  // a listed voter still refreshes

    EXPECT_EQ(Age(250, true), 2);  // voter 1 goes, port 2 leads
    EXPECT_EQ(Vote(11, 1, 260), 1);  // stored in the freed slot: a tie again
    EXPECT_EQ(Vote(12, 2, 260), 1);  // the list is full again

    // Withdrawn slots are free whatever their leftovers: old and new IDs fill all ten again.
    for (int64_t id = 2; id <= 11; id++) {
        Vote(id, -1, 300);
    }
    EXPECT_EQ(Vote(1, 0, 300), 0);
    for (int64_t id = 11; id <= 19; id++) {
        Vote(id, id <= 15 ? 2 : 0, 300);
    }
    EXPECT_EQ(Vote(19, 0, 300), 0);  // five each
    EXPECT_EQ(Vote(20, 2, 300), 0);  // eleventh
}

TEST_F(Voters, PortsBeyondTheLastHoldASlotButNeverCount)
{
    for (int64_t id = 1; id <= 10; id++) {
        EXPECT_EQ(Vote(id, 5, 0), -1);
    }
    EXPECT_EQ(Vote(11, 0, 100), -1);  // list full
    EXPECT_EQ(Age(250, true), -1);
    EXPECT_EQ(Vote(11, 0, 260), 0);
}

// An uncounted vote returns the standing result. Once ageing has changed that result, the uncounted
// vote must not bring back the port whose votes expired.
TEST_F(Voters, AnUncountedVoteReturnsTheResultOfTheLatestAgeing)
{
    EXPECT_EQ(Vote(1, 1, 0), 1);
    EXPECT_EQ(Age(250, true), -1);
    EXPECT_EQ(Misrouted(2, 1, 260), -1);

    InitVoters();
    Vote(1, 1, 0);
    Vote(2, 1, 0);
    EXPECT_EQ(Vote(3, 0, 100), 1);
    EXPECT_TRUE(voter.UpdateVoterList50mS(nullptr, 250));  // no result pointer: the votes still go
    EXPECT_EQ(Misrouted(4, 1, 260), 0);
}

}  // namespace
