// EEPROM emulation on the simulated NOR flash: layout, page transfer, the start-up repair of every page
// pair, and power cuts at every flash operation of a write, a page transfer and a format.
#include "firmware/drivers/eeprom.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "platform/sim/sim_flash.hpp"

namespace {

constexpr uint32_t kSlots = 32767U;

// Randomised campaign: values written (about 2 s under the sanitizers: no need for fewer there), and the
// longest run of flash operations between two cuts.
constexpr uint32_t kRandomWrites = 1000000U;
constexpr uint32_t kMaxOpsBetweenCuts = 4000U;

// What the store holds, per variable index: the value, or -1 for no record.
using Values = std::array<int32_t, NB_OF_VAR>;

uint32_t base(uint16_t page) { return page == PAGE0 ? PAGE0_BASE_ADDRESS : PAGE1_BASE_ADDRESS; }
uint16_t status(uint16_t page) { return sim::flashPeek16(base(page)); }

// The half-word at offset 2 of a spare whose erase completed.
constexpr uint16_t kSpareMark = 0x5AA5U;

// Erased to the last bit, but for the spare's mark.
bool pageErased(uint16_t page)
{
    for (uint32_t off = 0; off < PAGE_SIZE; off += 4U) {
        const uint32_t expected = off == 0U ? 0xFFFFU | (uint32_t{kSpareMark} << 16) : 0xFFFFFFFFU;
        if (sim::flashPeek32(base(page) + off) != expected) {
            return false;
        }
    }
    return true;
}

// The state every start-up must end in: one valid page, the other the spare, erased to the last bit once
// its erase has run (a start-up that finds a valid page leaves that erase for later, when it is allowed).
::testing::AssertionResult oneValidPage()
{
    if (const FLASH_Status erased = EE_EraseSpare(); erased != FLASH_COMPLETE) {
        return ::testing::AssertionFailure() << "the spare's erase failed: " << erased;
    }
    const uint16_t s0 = status(PAGE0);
    const uint16_t s1 = status(PAGE1);
    if (s0 == VALID_PAGE && pageErased(PAGE1)) {
        return ::testing::AssertionSuccess();
    }
    if (s1 == VALID_PAGE && pageErased(PAGE0)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << std::hex << "page states " << s0 << " / " << s1;
}

Values readAll()
{
    Values v{};
    for (uint16_t i = 0; i < NB_OF_VAR; ++i) {
        uint16_t d = 0xA5A5U;
        const uint16_t r = EE_ReadVariable(VirtAddVarTab[i], &d);
        EXPECT_TRUE(r == 0U || (r == 1U && d == 0xA5A5U)) << "variable " << i << " result " << r;
        v[i] = r == 0U ? d : -1;
    }
    return v;
}

Values none()
{
    Values v{};
    v.fill(-1);
    return v;
}

void restart()
{
    sim::flashPowerCycle();
    FLASH_Unlock();
    ASSERT_EQ(EE_Init(), FLASH_COMPLETE);
}

// Writes a page by hand, as a store (possibly an older firmware's) left it.
struct RawPage {
    uint32_t at;
    uint32_t next = 4U;
    explicit RawPage(uint16_t page, uint16_t pageStatus) : at(base(page)) { sim::flashPoke16(at, pageStatus); }
    RawPage& record(uint16_t value, uint16_t address)
    {
        sim::flashPoke16(at + next, value);
        sim::flashPoke16(at + next + 2U, address);
        next += 4U;
        return *this;
    }
    RawPage& garbage(std::mt19937& rng, uint32_t words)
    {
        for (uint32_t i = 0; i < words && next < PAGE_SIZE; ++i, next += 4U) {
            sim::flashPoke16(at + next, static_cast<uint16_t>(rng()));
            sim::flashPoke16(at + next + 2U, static_cast<uint16_t>(rng()));
        }
        return *this;
    }
};

class Eeprom : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::flashReset();
        for (uint16_t i = 0; i < NB_OF_VAR; ++i) {
            VirtAddVarTab[i] = static_cast<uint16_t>(i + 1U);
        }
        FLASH_Unlock();
    }
    void TearDown() override { EXPECT_EQ(sim::flashBitRaiseAttempts(), 0U) << "programmed a 1 over a 0"; }

    static void write(uint16_t index, uint16_t value, Values& mirror)
    {
        ASSERT_EQ(EE_WriteVariable(VirtAddVarTab[index], value), FLASH_COMPLETE);
        mirror[index] = value;
    }

    // Page 0 full to the last slot with variables 0..29 (30 never written); returns what it holds.
    static Values fillPage0()
    {
        Values mirror = none();
        for (uint32_t n = 0; n < kSlots; ++n) {
            const auto index = static_cast<uint16_t>(n % 30U);
            write(index, static_cast<uint16_t>(n * 2654435761U >> 16), mirror);
        }
        return mirror;
    }

    // Flash operations that `action` takes, started from `image`.
    static uint64_t countOps(const std::vector<uint16_t>& image, const std::function<void()>& action)
    {
        sim::flashSetImage(image);
        restart();
        const uint64_t before = sim::flashOperations();
        action();
        return sim::flashOperations() - before;
    }

    // Runs `action` from `image` with the power cut at its operation k, restarts once more (cut at
    // operation j of that start-up when j > 0) and then for good; the store must hold one valid page.
    static void cutAndRestart(const std::vector<uint16_t>& image, const std::function<void()>& action, uint64_t k,
                              uint64_t seed, uint64_t j = 0, uint64_t seed2 = 0)
    {
        sim::flashSetImage(image);
        restart();
        sim::flashCutPower(k, seed);
        action();
        ASSERT_TRUE(sim::flashPowerLost()) << "operation " << k;
        if (j > 0U) {
            sim::flashPowerCycle();
            FLASH_Unlock();
            sim::flashCutPower(j, seed2);
            (void)EE_Init();
        }
        restart();
        ASSERT_TRUE(oneValidPage()) << "cut at operation " << k << " seed " << seed << ", then " << j;
        // Repaired for good: the next start-up finds nothing to do.
        const uint64_t ops = sim::flashOperations();
        restart();
        EXPECT_EQ(sim::flashOperations(), ops);
    }
};

// ---------------------------------------------------------------------------------------------------------
// Layout and the plain operations

TEST_F(Eeprom, BlankFlashIsFormattedToAnEmptyPage0)
{
    uint16_t d = 7;
    EXPECT_EQ(EE_ReadVariable(1, &d), NO_VALID_PAGE);
    EXPECT_EQ(EE_WriteVariable(1, 1), NO_VALID_PAGE);
    EXPECT_EQ(sim::flashOperations(), 0U);

    ASSERT_EQ(EE_Init(), FLASH_COMPLETE);
    EXPECT_EQ(status(PAGE0), VALID_PAGE);
    EXPECT_TRUE(oneValidPage());
    // Both pages erased although they read blank (what a cut erase can leave), each marked as erased once
    // its erase completed, then the status.
    EXPECT_EQ(sim::flashOperations(), 5U);
    EXPECT_EQ(readAll(), none());
}

TEST_F(Eeprom, RecordsAreValueThenAddressInFourByteSlotsAndTheNewestWins)
{
    restart();
    Values mirror = none();
    write(4, 0xBEEF, mirror);
    write(4, 0x0102, mirror);
    write(9, 0xFFFF, mirror);
    write(4, 0x0102, mirror);  // unchanged values are appended too
    EXPECT_EQ(sim::flashPeek32(PAGE0_BASE_ADDRESS), 0x5AA50000U);  // status, then the mark of its erase
    EXPECT_EQ(sim::flashPeek32(PAGE0_BASE_ADDRESS + 4U), 0x0005BEEFU);
    EXPECT_EQ(sim::flashPeek32(PAGE0_BASE_ADDRESS + 8U), 0x00050102U);
    EXPECT_EQ(sim::flashPeek32(PAGE0_BASE_ADDRESS + 12U), 0x000AFFFFU);
    EXPECT_EQ(sim::flashPeek32(PAGE0_BASE_ADDRESS + 16U), 0x00050102U);
    EXPECT_EQ(sim::flashPeek32(PAGE0_BASE_ADDRESS + 20U), 0xFFFFFFFFU);
    EXPECT_EQ(readAll(), mirror);
    restart();
    EXPECT_EQ(readAll(), mirror);
}

TEST_F(Eeprom, AddressesNoVariableCanHaveAreRefusedAndNeverFound)
{
    restart();
    // Leftovers a store can hold: a record cut before its address, and a transfer's commit record.
    RawPage(PAGE0, VALID_PAGE).record(0x1234, 0xFFFF).record(0x0000, 0x0000).record(0x0042, 0x00FF);
    restart();
    const std::vector<uint16_t> before = sim::flashImage();
    for (uint16_t address : {uint16_t{0}, uint16_t{0x0100}, uint16_t{0xFF01}, uint16_t{0xFFFF}}) {
        EXPECT_EQ(EE_WriteVariable(address, 1), FLASH_ERROR_PROGRAM);
        uint16_t d = 7;
        EXPECT_EQ(EE_ReadVariable(address, &d), 1U);
        EXPECT_EQ(d, 7U);
    }
    EXPECT_EQ(sim::flashImage(), before);
    uint16_t d = 0;
    EXPECT_EQ(EE_ReadVariable(0x00FF, &d), 0U);  // the last usable address
    EXPECT_EQ(d, 0x0042U);
    // A write after the leftovers lands behind them.
    EXPECT_EQ(EE_WriteVariable(3, 0x3333), FLASH_COMPLETE);
    EXPECT_EQ(sim::flashPeek32(PAGE0_BASE_ADDRESS + 16U), 0x00033333U);
}

TEST_F(Eeprom, FillingPage0AndWritingOnceMoreMovesTheLatestValuesToPage1)
{
    restart();
    Values mirror = fillPage0();
    EXPECT_NE(sim::flashPeek32(PAGE0_END_ADDRESS - 3U), 0xFFFFFFFFU);  // the last slot is used
    EXPECT_EQ(status(PAGE1), ERASED);
    const uint32_t erases10 = sim::flashEraseCount(10);
    const uint32_t erases11 = sim::flashEraseCount(11);

    write(7, 0x7777, mirror);
    EXPECT_TRUE(oneValidPage());
    EXPECT_EQ(status(PAGE1), VALID_PAGE);
    EXPECT_EQ(sim::flashEraseCount(10), erases10 + 1U) << "the old page erased once erasing is allowed";
    EXPECT_EQ(sim::flashEraseCount(11), erases11) << "the spare was erased ahead of need";
    // The new record first, then every other variable that has one (index 30 has none), then the commit.
    EXPECT_EQ(sim::flashPeek32(PAGE1_BASE_ADDRESS + 4U), 0x00087777U);
    uint32_t slot = 2;
    for (uint16_t i = 0; i < 30; ++i) {
        if (i == 7) {
            continue;
        }
        EXPECT_EQ(sim::flashPeek32(PAGE1_BASE_ADDRESS + 4U * slot), (uint32_t{i} + 1U) << 16 | uint16_t(mirror[i]))
            << "variable " << i;
        ++slot;
    }
    EXPECT_EQ(sim::flashPeek32(PAGE1_BASE_ADDRESS + 4U * slot), 0x00000000U);
    EXPECT_EQ(sim::flashPeek32(PAGE1_BASE_ADDRESS + 4U * (slot + 1U)), 0xFFFFFFFFU);
    EXPECT_EQ(readAll(), mirror);
    EXPECT_EQ(mirror[30], -1);

    write(7, 0x7778, mirror);
    EXPECT_EQ(sim::flashPeek32(PAGE1_BASE_ADDRESS + 4U * (slot + 1U)), 0x00087778U);
    restart();
    EXPECT_EQ(readAll(), mirror);
}

TEST_F(Eeprom, FlashErrorsAreReportedAsTheyCome)
{
    restart();
    sim::flashFailOperation(1, FLASH_ERROR_WRP);
    EXPECT_EQ(EE_WriteVariable(1, 0x1111), FLASH_ERROR_WRP);
    sim::flashFailOperation(2, FLASH_ERROR_PGP);
    EXPECT_EQ(EE_WriteVariable(2, 0x2222), FLASH_ERROR_PGP);  // value written, address not
    EXPECT_EQ(EE_WriteVariable(3, 0x3333), FLASH_COMPLETE);
    Values want = none();
    want[2] = 0x3333;
    EXPECT_EQ(readAll(), want);
    restart();
    EXPECT_EQ(readAll(), want);

    sim::flashSetImage({});
    sim::flashPowerCycle();
    FLASH_Unlock();
    sim::flashFailOperation(1, FLASH_ERROR_OPERATION);
    EXPECT_EQ(EE_Init(), FLASH_ERROR_OPERATION);
}

// ---------------------------------------------------------------------------------------------------------
// Start-up: every pair of page states

TEST_F(Eeprom, PairsThatHoldNothingUsableAreFormatted)
{
    const std::array<std::pair<uint16_t, uint16_t>, 5> pairs = {{
        {VALID_PAGE, VALID_PAGE},
        {RECEIVE_DATA, RECEIVE_DATA},
        {ERASED, 0x1234},
        {0x1234, ERASED},
        {0x5A5A, 0xA5A5},
    }};
    for (const auto& [s0, s1] : pairs) {
        sim::flashSetImage({});
        if (s0 != ERASED) {
            RawPage(PAGE0, s0).record(0x1111, 1);
        }
        if (s1 != ERASED) {
            RawPage(PAGE1, s1).record(0x2222, 2);
        }
        restart();
        EXPECT_TRUE(oneValidPage()) << std::hex << s0 << " / " << s1;
        EXPECT_EQ(readAll(), none()) << std::hex << s0 << " / " << s1;
    }
}

TEST_F(Eeprom, AReceivingPageWhoseOldPageIsGoneOrGarbageIsKept)
{
    // Left by a transfer cut after its copy: the old page erased, half erased (any status but valid),
    // or the new page's status cut on its way to valid.
    std::mt19937 rng(7);
    const std::array<std::pair<uint16_t, uint16_t>, 5> pairs = {{
        {ERASED, RECEIVE_DATA},
        {RECEIVE_DATA, ERASED},
        {0x1234, RECEIVE_DATA},
        {RECEIVE_DATA, 0xF00F},
        {ERASED, 0x4444},  // RECEIVE_DATA -> VALID_PAGE cut short
    }};
    for (const auto& [s0, s1] : pairs) {
        sim::flashSetImage({});
        const uint16_t dst = s0 == RECEIVE_DATA ? PAGE0 : (s1 == ERASED ? PAGE0 : PAGE1);
        const uint16_t src = dst == PAGE0 ? PAGE1 : PAGE0;
        RawPage(dst, dst == PAGE0 ? s0 : s1).record(0x0303, 3).record(0x0101, 1).record(0x0202, 2);
        const uint16_t srcStatus = dst == PAGE0 ? s1 : s0;
        if (srcStatus != ERASED) {
            RawPage(src, srcStatus).garbage(rng, 1000);
        }
        restart();
        EXPECT_EQ(status(dst), VALID_PAGE) << std::hex << s0 << " / " << s1;
        EXPECT_TRUE(oneValidPage());
        Values want = none();
        want[0] = 0x0101;
        want[1] = 0x0202;
        want[2] = 0x0303;
        EXPECT_EQ(readAll(), want) << std::hex << s0 << " / " << s1;
    }
}

TEST_F(Eeprom, AnUnfinishedCopyIsCompletedFromTheValidPageWithoutCopyingTwice)
{
    for (uint16_t dstStatus : {RECEIVE_DATA, uint16_t{0xEFFE}, uint16_t{0xFFEE}}) {
        for (uint16_t srcPage : {PAGE0, PAGE1}) {
            sim::flashSetImage({});
            const uint16_t dstPage = srcPage == PAGE0 ? PAGE1 : PAGE0;
            RawPage(srcPage, VALID_PAGE)
                .record(0x0001, 1)
                .record(0x0002, 2)
                .record(0x0003, 3)
                .record(0x0011, 1)
                .record(0x0005, 5);
            RawPage dst(dstPage, dstStatus);
            if (dstStatus == RECEIVE_DATA) {
                dst.record(0x0333, 3).record(0x0011, 1);  // the new write, one copy done
            }
            restart();
            EXPECT_EQ(status(dstPage), VALID_PAGE);
            EXPECT_TRUE(oneValidPage());
            Values want = none();
            want[0] = 0x0011;
            want[1] = 0x0002;
            want[2] = dstStatus == RECEIVE_DATA ? 0x0333 : 0x0003;
            want[4] = 0x0005;
            EXPECT_EQ(readAll(), want) << std::hex << dstStatus << " from page " << srcPage;
            // Variable 1 (address 1) is not copied a second time.
            uint32_t records = 0;
            for (uint32_t off = 4; off < PAGE_SIZE; off += 4) {
                records += sim::flashPeek32(base(dstPage) + off) != 0xFFFFFFFFU ? 1U : 0U;
            }
            EXPECT_EQ(records, (dstStatus == RECEIVE_DATA ? 2U + 2U : 4U) + 1U);  // + the commit
        }
    }
}

TEST_F(Eeprom, AFinishedCopyHoldsEveryVariableWhereverItsNewestRecordLay)
{
    // Addresses spread up to the last one; a full valid page with the newest records of some variables at
    // its start and of the others at its end, and between them older values and records no variable reads
    // (commits, an address cut before its high byte, one beyond the range, one outside the table).
    for (uint16_t i = 0; i < NB_OF_VAR; ++i) {
        VirtAddVarTab[i] = static_cast<uint16_t>(EE_LAST_VIRT_ADDRESS - 8U * i);
    }
    constexpr uint16_t kAtStart = 10;
    const std::array<uint16_t, 4> unread = {0x0000, static_cast<uint16_t>(0xFF00U | VirtAddVarTab[2]),
                                            static_cast<uint16_t>(0x0100U | VirtAddVarTab[1]), 16};
    Values want = none();
    RawPage src(PAGE0, VALID_PAGE);
    for (uint16_t i = 0; i < kAtStart; ++i) {
        want[i] = 0x1000 + i;
        src.record(uint16_t(want[i]), VirtAddVarTab[i]);
    }
    for (uint16_t n = 0; src.next < PAGE_SIZE - 4U * (NB_OF_VAR - kAtStart); ++n) {
        src.record(n, n % 2U == 0U ? unread[n / 2U % 4U] : VirtAddVarTab[kAtStart + n / 2U % (NB_OF_VAR - kAtStart)]);
    }
    for (uint16_t i = kAtStart; i < NB_OF_VAR; ++i) {
        want[i] = 0x2000 + i;
        src.record(uint16_t(want[i]), VirtAddVarTab[i]);
    }
    // A transfer cut after the new write (variable 3) and one copy.
    want[3] = 0x3333;
    RawPage(PAGE1, RECEIVE_DATA).record(0x3333, VirtAddVarTab[3]).record(uint16_t(want[0]), VirtAddVarTab[0]);
    restart();
    EXPECT_EQ(status(PAGE1), VALID_PAGE);
    EXPECT_TRUE(oneValidPage());
    EXPECT_EQ(readAll(), want);
    EXPECT_EQ(sim::flashPeek32(PAGE1_BASE_ADDRESS + 4U * (NB_OF_VAR + 1U)), 0x00000000U) << "each copied once";
}

TEST_F(Eeprom, ACommittedCopyWinsOverAHalfErasedPageEvenIfItStillReadsValid)
{
    std::mt19937 rng(11);
    for (uint16_t garbageStatus : {VALID_PAGE, RECEIVE_DATA, ERASED, uint16_t{0x0880}}) {
        sim::flashSetImage({});
        RawPage(PAGE0, garbageStatus).garbage(rng, kSlots);
        RawPage(PAGE1, RECEIVE_DATA).record(0x0303, 3).record(0x0404, 4).record(0, 0);
        restart();
        EXPECT_EQ(status(PAGE1), VALID_PAGE) << std::hex << garbageStatus;
        EXPECT_TRUE(oneValidPage());
        Values want = none();
        want[2] = 0x0303;
        want[3] = 0x0404;
        EXPECT_EQ(readAll(), want);
    }
}

TEST_F(Eeprom, AValidPageBesideAnUnexplainedOneKeepsItsVariables)
{
    std::mt19937 rng(5);
    for (uint16_t validPage : {PAGE0, PAGE1}) {
        for (uint16_t other : {uint16_t{0x1234}, uint16_t{0x0440}}) {  // unexplained; on its way to valid
            sim::flashSetImage({});
            RawPage(validPage, VALID_PAGE).record(0x0101, 1).record(0x0202, 2);
            RawPage(validPage == PAGE0 ? PAGE1 : PAGE0, other).garbage(rng, 500).record(0x0999, 1);
            restart();
            EXPECT_EQ(status(validPage), VALID_PAGE);
            EXPECT_TRUE(oneValidPage());
            Values want = none();
            want[0] = 0x0101;
            want[1] = 0x0202;
            EXPECT_EQ(readAll(), want) << std::hex << other << " beside page " << validPage;
        }
    }
}

TEST_F(Eeprom, OfTwoPagesThatLookCommittedTheOneStillReceivingWins)
{
    // Only a half-erased page can look like a second committed copy; the real one still reads
    // RECEIVE_DATA while the old page is erased.
    for (uint16_t realPage : {PAGE0, PAGE1}) {
        sim::flashSetImage({});
        const uint16_t fakePage = realPage == PAGE0 ? PAGE1 : PAGE0;
        RawPage(fakePage, 0x0440).record(0x0909, 3).record(0, 0);
        RawPage(realPage, RECEIVE_DATA).record(0x0303, 3).record(0, 0);
        restart();
        EXPECT_EQ(status(realPage), VALID_PAGE);
        EXPECT_TRUE(oneValidPage());
        uint16_t d = 0;
        EXPECT_EQ(EE_ReadVariable(3, &d), 0U);
        EXPECT_EQ(d, 0x0303U) << "real copy on page " << realPage;
    }
}

TEST_F(Eeprom, AReceivingPageWithNoRoomLeftIsDroppedAndTheValidPageKept)
{
    std::mt19937 rng(3);
    RawPage(PAGE0, VALID_PAGE).record(0x0101, 1).record(0x0202, 2);
    RawPage(PAGE1, RECEIVE_DATA).garbage(rng, kSlots);
    sim::flashPoke16(PAGE1_END_ADDRESS - 1U, 0x0001);  // not a commit record
    restart();
    EXPECT_EQ(status(PAGE0), VALID_PAGE);
    EXPECT_TRUE(oneValidPage());
    Values want = none();
    want[0] = 0x0101;
    want[1] = 0x0202;
    EXPECT_EQ(readAll(), want);
}

TEST_F(Eeprom, StartUpErasesOnlyWhatIsNotErasedAlready)
{
    restart();
    Values mirror = none();
    write(1, 5, mirror);
    const uint32_t erases = sim::flashEraseCount(10) + sim::flashEraseCount(11);
    for (int i = 0; i < 3; ++i) {
        restart();
    }
    EXPECT_EQ(sim::flashEraseCount(10) + sim::flashEraseCount(11), erases);
    // An erased status over a dirty page (an erase cut short) is not taken for an erased page; its erase
    // waits until erasing is allowed, not for the start-up.
    sim::flashPoke16(PAGE1_END_ADDRESS - 1U, 0x0000);
    restart();
    EXPECT_EQ(sim::flashEraseCount(11), erases / 2U);
    EXPECT_TRUE(EE_ErasePending());
    EXPECT_TRUE(oneValidPage());
    EXPECT_EQ(sim::flashEraseCount(11), erases / 2U + 1U);
    EXPECT_EQ(readAll(), mirror);
}

// Whether the spare is ready takes all of its 128 KB read: EE_CheckSpare reads 8 KB a call, so that no
// main-loop pass reads the whole page, and still finds a stray word wherever it lies.
TEST_F(Eeprom, TheSparesBlankCheckReadsASliceACallAndFindsAStrayWordAnywhere)
{
    constexpr uint32_t kNone = 0;
    for (const uint32_t stray : {kNone, PAGE_SIZE - 2U, 4U}) {
        SCOPED_TRACE(stray);
        sim::flashReset();
        restart();  // blank flash, formatted: page 1 is the spare
        if (stray != kNone) {
            sim::flashPoke16(PAGE1_BASE_ADDRESS + stray, 0x1234U);
        }
        restart();
        unsigned calls = 1;
        while (!EE_CheckSpare()) {
            ++calls;
        }
        EXPECT_EQ(calls, stray == PAGE_SIZE - 2U ? 1U : 16U);
        EXPECT_EQ(EE_ErasePending(), stray != kNone);
    }
}

TEST_F(Eeprom, AnyPageContentStartsUpToOneValidPage)
{
    std::mt19937 rng(2024);
    const auto pickStatus = [&rng]() -> uint16_t {
        switch (rng() % 7U) {
        case 0: return ERASED;
        case 1: return RECEIVE_DATA;
        case 2: return VALID_PAGE;
        case 3: return static_cast<uint16_t>(RECEIVE_DATA | rng());
        case 4: return static_cast<uint16_t>(RECEIVE_DATA & rng());
        default: return static_cast<uint16_t>(rng());
        }
    };
    for (int round = 0; round < 200; ++round) {
        sim::flashSetImage({});
        for (uint16_t page : {PAGE0, PAGE1}) {
            RawPage p(page, pickStatus());
            switch (rng() % 5U) {
            case 0:
                break;
            case 1:
                p.garbage(rng, kSlots);
                break;
            case 2:
                p.garbage(rng, static_cast<uint32_t>(rng() % kSlots));
                break;
            default:
                for (auto n = static_cast<uint32_t>(rng() % 100U); n > 0; --n) {
                    p.record(static_cast<uint16_t>(rng()), static_cast<uint16_t>(rng() % 40U));
                }
                if (rng() % 2U == 0U) {
                    p.record(0, 0);
                }
                break;
            }
        }
        restart();
        ASSERT_TRUE(oneValidPage()) << "round " << round;
        Values v = readAll();
        ASSERT_EQ(EE_WriteVariable(5, 0x5555), FLASH_COMPLETE);
        v[4] = 0x5555;
        const uint64_t ops = sim::flashOperations();
        restart();
        EXPECT_EQ(sim::flashOperations(), ops);
        EXPECT_EQ(readAll(), v) << "round " << round;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Power cuts at every flash operation

TEST_F(Eeprom, ACutWriteLeavesTheOldOrTheNewValueAndNothingElseChanges)
{
    restart();
    Values before = none();
    for (uint16_t i = 0; i < 20; ++i) {
        write(i, static_cast<uint16_t>(0x1000U + i), before);
    }
    const std::vector<uint16_t> image = sim::flashImage();
    for (const auto& [index, value] : {std::pair<uint16_t, uint16_t>{9, 0x2222}, {25, 0x0000}, {3, 0xFFFF}}) {
        const auto action = [index = index, value = value] { (void)EE_WriteVariable(VirtAddVarTab[index], value); };
        const uint64_t ops = countOps(image, action);
        ASSERT_EQ(ops, 3U);  // value, address low byte, address high byte
        for (uint64_t k = 1; k <= ops; ++k) {
            for (uint64_t seed = 0; seed < 24; ++seed) {
                cutAndRestart(image, action, k, seed);
                Values now = readAll();
                EXPECT_TRUE(now[index] == before[index] || now[index] == value)
                    << "variable " << index << " reads " << now[index] << " after a cut at " << k;
                now[index] = before[index];
                EXPECT_EQ(now, before) << "cut at " << k << " seed " << seed;
                // The store goes on working.
                Values after = readAll();
                write(index, 0x4242, after);
                restart();
                EXPECT_EQ(readAll(), after);
            }
        }
    }
}

class EepromTransfer : public Eeprom {
protected:
    void SetUp() override
    {
        Eeprom::SetUp();
        restart();
        before = fillPage0();
        image = sim::flashImage();
        ops = countOps(image, action);
        // Status, new record, copies, commit, spent mark, valid; then the old page's erase and its mark.
        ASSERT_EQ(ops, 1U + 3U + 29U * 3U + 3U + 1U + 1U + 1U + 1U);
    }
    void check(uint64_t k, uint64_t j) const
    {
        Values now = readAll();
        EXPECT_TRUE(now[7] == before[7] || now[7] == 0x7777) << "cut at " << k << " then " << j;
        now[7] = before[7];
        EXPECT_EQ(now, before) << "cut at " << k << " then " << j;
    }
    // The write that moves to the other page, then the old page's erase, as the node runs it later.
    static void action()
    {
        (void)EE_WriteVariable(VirtAddVarTab[7], 0x7777);
        (void)EE_EraseSpare();
    }
    // The flash after the transfer was cut at its operation k, what the cut left chosen by seed.
    std::vector<uint16_t> cutTransfer(uint64_t k, uint64_t seed) const
    {
        sim::flashSetImage(image);
        restart();
        sim::flashCutPower(k, seed);
        action();
        EXPECT_TRUE(sim::flashPowerLost()) << "operation " << k;
        return sim::flashImage();
    }
    // Cuts spread over the transfer's phases, and all of its last steps.
    bool sampled(uint64_t k) const { return k % 7U == 1U || k + 8U > ops; }

    Values before{};
    std::vector<uint16_t> image;
    uint64_t ops = 0;
};

TEST_F(EepromTransfer, ACutAtAnyOperationLosesNothing)
{
    for (uint64_t k = 1; k <= ops; ++k) {
        // The erase of the old page gets many more of the arbitrary contents it can leave behind.
        const uint64_t seeds = k == ops - 1U ? 128U : 8U;
        for (uint64_t seed = 0; seed < seeds; ++seed) {
            cutAndRestart(image, action, k, seed);
            check(k, 0);
        }
    }
}

TEST_F(EepromTransfer, ACutInTheStartUpThatRepairsACutTransferLosesNothing)
{
    // Every operation of the repair, after cuts spread over the transfer's phases and its last steps.
    for (uint64_t k = 1; k <= ops; ++k) {
        if (!sampled(k)) {
            continue;
        }
        const std::vector<uint16_t> cut = cutTransfer(k, k);
        sim::flashPowerCycle();
        FLASH_Unlock();
        const uint64_t start = sim::flashOperations();
        ASSERT_EQ(EE_Init(), FLASH_COMPLETE);
        const uint64_t repairOps = sim::flashOperations() - start;
        for (uint64_t j = 1; j <= repairOps; ++j) {
            sim::flashSetImage(cut);
            sim::flashPowerCycle();
            FLASH_Unlock();
            sim::flashCutPower(j, j * 7U + k);
            (void)EE_Init();
            ASSERT_TRUE(sim::flashPowerLost());
            restart();
            ASSERT_TRUE(oneValidPage()) << "cut at " << k << " then " << j;
            check(k, j);
        }
    }
}

TEST_F(EepromTransfer, AnEraseCutThatLeftAPageBlankOrAllZerosIsErasedAgain)
{
    // The erase of the old page after the copy committed, cut where it reads blank (its cells may still not
    // keep what is programmed next) or where it reads as a valid page of zeros; and the erase of the new page
    // before the copy (a spare not ready), cut at zeros, which leaves two pages that read valid. The erase
    // runs again once allowed (the start-up leaves it for later).
    struct Cut {
        uint64_t at;
        uint64_t shape;
        unsigned sector;  // the one that must be erased again
        uint16_t status;  // what it reads after the cut
    };
    const Cut cuts[] = {{ops - 1U, 1U, 10U, ERASED}, {ops - 1U, 7U, 10U, VALID_PAGE}, {1U, 7U, 11U, VALID_PAGE}};
    std::vector<uint16_t> spareNotReady = image;
    spareNotReady[(PAGE1_BASE_ADDRESS + 2U - FLASH_DATA_START) / 2U] = 0xFFFFU;
    for (const Cut& c : cuts) {
        if (c.sector == 11U) {
            image.swap(spareNotReady);
        }
        cutTransfer(c.at, c.shape);
        if (c.sector == 11U) {
            image.swap(spareNotReady);
        }
        EXPECT_EQ(status(c.sector == 10U ? PAGE0 : PAGE1), c.status);
        const uint32_t erases = sim::flashEraseCount(c.sector);
        restart();
        EXPECT_TRUE(oneValidPage());
        EXPECT_EQ(sim::flashEraseCount(c.sector), erases + 1U) << "cut at " << c.at << " shape " << c.shape;
        check(c.at, 0);
    }
}

TEST_F(EepromTransfer, StartUpsCutAgainAndAgainUntilOneCompletesLoseNothing)
{
    // After a cut transfer, each start-up is cut one operation later than the one before it, from every
    // first operation of the repair, until a start-up gets through.
    for (uint64_t k = 1; k <= ops; ++k) {
        if (!sampled(k)) {
            continue;
        }
        const std::vector<uint16_t> cut = cutTransfer(k, k);
        for (uint64_t first = 1; first <= 8U; ++first) {
            sim::flashSetImage(cut);
            bool completed = false;
            for (uint64_t j = first; j < first + 64U && !completed; ++j) {
                sim::flashPowerCycle();
                FLASH_Unlock();
                sim::flashCutPower(j, j * 13U + k);
                (void)EE_Init();
                completed = !sim::flashPowerLost();
            }
            ASSERT_TRUE(completed) << "cut at " << k << ", start-ups from operation " << first;
            restart();
            ASSERT_TRUE(oneValidPage()) << "cut at " << k << ", start-ups from operation " << first;
            check(k, first);
        }
    }
}

// While erasing is not allowed (outputs driven), a transfer only programs: it takes the spare erased ahead
// of need and leaves the old page spent. A cut anywhere in it, and the start-up after it, erase nothing and
// lose nothing; once the new page is full too, a write is refused, unwritten, until the erase has run.
TEST_F(EepromTransfer, WithoutErasingATransferOnlyProgramsAndTheNextWriteWaitsForTheErase)
{
    const auto flying = [] {
        EE_SetEraseAllowed(false);
        action();
    };
    const auto erases = [] { return sim::flashEraseCount(10) + sim::flashEraseCount(11); };
    ASSERT_EQ(countOps(image, flying), ops - 2U) << "the transfer without the old page's erase and its mark";
    for (uint64_t k = 1; k <= ops - 2U; ++k) {
        for (uint64_t seed = 0; seed < 4; ++seed) {
            sim::flashSetImage(image);
            restart();
            sim::flashCutPower(k, seed);
            flying();
            ASSERT_TRUE(sim::flashPowerLost());
            const uint32_t erased = erases();
            restart();
            EXPECT_EQ(erases(), erased) << "a start-up that finds a valid page erases nothing; cut at " << k;
            check(k, seed);
        }
    }

    sim::flashSetImage(image);
    restart();
    flying();
    EXPECT_TRUE(EE_ErasePending());
    EXPECT_EQ(status(PAGE0), VALID_PAGE) << "spent, not erased";
    Values mirror = readAll();
    uint32_t n = 0;
    while (!EE_WriteNeedsErase()) {
        const auto index = static_cast<uint16_t>(n++ % 31U);
        write(index, static_cast<uint16_t>(n), mirror);
    }
    EXPECT_EQ(n, kSlots - 31U) << "the copies, the commit record, and the page is full";
    const std::vector<uint16_t> full = sim::flashImage();
    const uint32_t erased = erases();
    EXPECT_EQ(EE_WriteVariable(VirtAddVarTab[3], 0x3333), FLASH_BUSY);
    EXPECT_EQ(EE_EraseSpare(), FLASH_BUSY);
    EXPECT_EQ(sim::flashImage(), full) << "refused: nothing written, nothing erased";
    EXPECT_EQ(readAll(), mirror);

    EE_SetEraseAllowed(true);
    EXPECT_EQ(EE_EraseSpare(), FLASH_COMPLETE);
    EXPECT_EQ(erases(), erased + 1U);
    EXPECT_FALSE(EE_ErasePending());
    write(3, 0x3333, mirror);
    EXPECT_EQ(status(PAGE0), VALID_PAGE);
    EXPECT_TRUE(oneValidPage());
    restart();
    EXPECT_EQ(readAll(), mirror);
}

TEST_F(Eeprom, ACutFormatLeavesEitherTheOldStoreOrAnEmptyOne)
{
    restart();
    Values before = none();
    for (uint16_t i = 0; i < 31; ++i) {
        write(i, static_cast<uint16_t>(i * 3U), before);
    }
    for (uint16_t onPage1 = 0; onPage1 < 2; ++onPage1) {
        if (onPage1 != 0U) {
            sim::flashSetImage({});
            restart();
            fillPage0();
            for (uint16_t i = 0; i < 31; ++i) {
                write(i, static_cast<uint16_t>(i * 3U), before);
            }
            ASSERT_EQ(status(PAGE1), VALID_PAGE);
            ASSERT_EQ(EE_EraseSpare(), FLASH_COMPLETE);
        }
        const std::vector<uint16_t> image = sim::flashImage();
        const auto action = [] {
            (void)EE_Format();
            (void)EE_EraseSpare();
        };
        const uint64_t ops = countOps(image, action);
        // Receiving, commit record, spent mark, valid; then the old page's erase and its mark.
        ASSERT_EQ(ops, 1U + 3U + 1U + 1U + 1U + 1U);
        EXPECT_TRUE(oneValidPage());
        EXPECT_EQ(readAll(), none());
        for (uint64_t k = 1; k <= ops; ++k) {
            for (uint64_t seed = 0; seed < 8; ++seed) {
                cutAndRestart(image, action, k, seed);
                const Values now = readAll();
                EXPECT_TRUE(now == before || now == none()) << "cut at " << k << " seed " << seed;
                for (uint64_t j = 1; j <= 8 && seed < 2; ++j) {
                    cutAndRestart(image, action, k, seed, j, seed + j);
                    const Values again = readAll();
                    EXPECT_TRUE(again == before || again == none()) << "cut at " << k << " then " << j;
                }
            }
        }
    }
}

TEST_F(Eeprom, ACutFirstFormatOfBlankFlashStartsUpEmpty)
{
    for (uint64_t seed = 0; seed < 64; ++seed) {
        sim::flashSetImage({});
        sim::flashPowerCycle();
        FLASH_Unlock();
        sim::flashCutPower(1, seed);
        (void)EE_Init();
        restart();
        ASSERT_TRUE(oneValidPage()) << "seed " << seed;
        EXPECT_EQ(readAll(), none());
    }
}

// A million values to random variables against a RAM mirror, with the power cut at random operations
// (writes, page transfers and the start-ups that repair them) and the store compared after every start.
TEST_F(Eeprom, RandomWritesWithRandomPowerCutsMatchARamMirror)
{
    // The erase a transfer leaves for later, run before the next write, where a cut may hit it too.
    const auto eraseSpareUnlessCut = [] {
        if (!sim::flashPowerLost()) {
            (void)EE_EraseSpare();
        }
    };
    std::mt19937_64 rng(0x5EED);
    // Cuts land anywhere within a few thousand operations; when the valid page is about to fill, most are
    // aimed at the page transfer (or the start-up that repairs it) instead.
    const auto armCut = [&rng] {
        uint64_t distance = 1U + rng() % kMaxOpsBetweenCuts;
        const uint16_t page = status(PAGE0) == VALID_PAGE ? PAGE0 : PAGE1;
        if (status(page) == VALID_PAGE && rng() % 4U != 0U) {
            uint32_t lo = 0;  // first free slot: the used ones come first
            uint32_t hi = kSlots;
            while (lo < hi) {
                const uint32_t mid = (lo + hi) / 2U;
                if (sim::flashPeek32(base(page) + 4U + 4U * mid) == 0xFFFFFFFFU) {
                    hi = mid;
                } else {
                    lo = mid + 1U;
                }
            }
            const uint64_t toTransfer = 3U * (kSlots - lo);
            if (toTransfer < 4U * kMaxOpsBetweenCuts) {
                distance = toTransfer + 1U + rng() % 120U;
            }
        }
        sim::flashCutPower(distance, rng());
    };
    restart();
    Values mirror = none();
    uint32_t cuts = 0;
    uint32_t cutStarts = 0;
    uint32_t transferCuts = 0;
    uint32_t written = 0;
    armCut();
    while (written < kRandomWrites) {
        const auto index = static_cast<uint16_t>(rng() % NB_OF_VAR);
        const auto value = static_cast<uint16_t>(rng());
        const uint64_t opsBefore = sim::flashOperations();
        const uint16_t result = EE_WriteVariable(VirtAddVarTab[index], value);
        eraseSpareUnlessCut();  // as the node does once erasing is allowed
        ++written;
        if (!sim::flashPowerLost()) {
            ASSERT_EQ(result, FLASH_COMPLETE);
            mirror[index] = value;
            uint16_t d = 0;
            ASSERT_EQ(EE_ReadVariable(VirtAddVarTab[index], &d), 0U);
            ASSERT_EQ(d, value);
            continue;
        }
        // Off and on again, maybe with more cuts while the start-up repairs.
        ++cuts;
        transferCuts += sim::flashOperations() - opsBefore > 3U ? 1U : 0U;
        for (;;) {
            sim::flashPowerCycle();
            FLASH_Unlock();
            armCut();
            const uint16_t init = EE_Init();
            eraseSpareUnlessCut();
            if (!sim::flashPowerLost()) {
                ASSERT_EQ(init, FLASH_COMPLETE);
                break;
            }
            ++cutStarts;
        }
        ASSERT_TRUE(oneValidPage()) << "after write " << written;
        Values now = readAll();
        ASSERT_TRUE(now[index] == mirror[index] || now[index] == value) << "after write " << written;
        mirror[index] = now[index];
        ASSERT_EQ(now, mirror) << "after write " << written;
    }
    EXPECT_GT(cuts, kRandomWrites * 3U / kMaxOpsBetweenCuts);
    EXPECT_GT(transferCuts, kRandomWrites / kSlots / 2U);
    EXPECT_GT(cutStarts, 0U);
    EXPECT_GE(sim::flashEraseCount(10) + sim::flashEraseCount(11), kRandomWrites / kSlots);
    ::testing::Test::RecordProperty("cuts", static_cast<int>(cuts));
    ::testing::Test::RecordProperty("cutStartUps", static_cast<int>(cutStarts));
    ::testing::Test::RecordProperty("cutTransfers", static_cast<int>(transferCuts));
    std::printf("%u cuts, %u of them in page transfers, %u in start-ups\n", cuts, transferCuts, cutStarts);
}

}  // namespace
