// The simulated NOR flash: the flash calls' rules, power-loss and error injection, the backing file.
// Every store test trusts this model, so it is checked here on its own.
#include "platform/sim/sim_flash.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "platform/interface/flash.hpp"
#include "platform/sim/sim.hpp"

namespace {

constexpr uint32_t kS10 = sim::kFlashSector10;
constexpr uint32_t kS11 = sim::kFlashSector11;
constexpr uint32_t kSectorHalfWords = sim::kFlashSectorSize / 2U;

class SimFlash : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::flashReset();
        FLASH_Unlock();
    }
    void TearDown() override { sim::flashReset(); }

    // Sector content as half-words.
    static std::vector<uint16_t> sector(uint32_t base)
    {
        const std::vector<uint16_t> all = sim::flashImage();
        const std::size_t first = (base - FLASH_DATA_START) / 2U;
        return {all.begin() + static_cast<std::ptrdiff_t>(first),
                all.begin() + static_cast<std::ptrdiff_t>(first + kSectorHalfWords)};
    }
    // Fills a sector with a pattern through the flash calls.
    static void pattern(uint32_t base)
    {
        for (uint32_t off = 0; off < sim::kFlashSectorSize; off += 2U) {
            ASSERT_EQ(FLASH_ProgramHalfWord(base + off, static_cast<uint16_t>(off * 7U)), FLASH_COMPLETE);
        }
    }
};

TEST_F(SimFlash, FactoryNewIsErasedAndTheCpuReadsTheModel)
{
    for (uint32_t a = FLASH_DATA_START; a < FLASH_DATA_START + FLASH_DATA_SIZE; a += 0x1000U) {
        EXPECT_EQ(sim::flashPeek32(a), 0xFFFFFFFFU);
    }
    ASSERT_EQ(FLASH_ProgramHalfWord(kS11 + 0x1FFFEU, 0x1234U), FLASH_COMPLETE);
    EXPECT_EQ(FLASH_DataView[(kS11 + 0x1FFFEU - FLASH_DATA_START) / 2U], 0x1234U);
    EXPECT_EQ(sim::flashPeek16(kS11 + 0x1FFFEU), 0x1234U);
}

TEST_F(SimFlash, ProgrammingOnlyClearsBitsAndReportsAttemptsToSetThem)
{
    ASSERT_EQ(FLASH_ProgramHalfWord(kS10 + 4U, 0x0F0FU), FLASH_COMPLETE);
    EXPECT_EQ(sim::flashBitRaiseAttempts(), 0U);
    ASSERT_EQ(FLASH_ProgramHalfWord(kS10 + 4U, 0x00FFU), FLASH_COMPLETE);
    EXPECT_EQ(sim::flashPeek16(kS10 + 4U), 0x000FU);
    EXPECT_EQ(sim::flashBitRaiseAttempts(), 1U);
    // Clearing more bits of a programmed half-word is fine (status words go 0xEEEE -> 0x0000).
    ASSERT_EQ(FLASH_ProgramHalfWord(kS10 + 4U, 0x0000U), FLASH_COMPLETE);
    EXPECT_EQ(sim::flashPeek16(kS10 + 4U), 0x0000U);
    EXPECT_EQ(sim::flashBitRaiseAttempts(), 1U);
    EXPECT_EQ(sim::flashPeek16(kS10 + 2U), 0xFFFFU);
    EXPECT_EQ(sim::flashPeek16(kS10 + 6U), 0xFFFFU);
}

TEST_F(SimFlash, EraseSetsExactlyOneSectorAndCountsWear)
{
    pattern(kS10);
    pattern(kS11);
    const std::vector<uint16_t> before11 = sector(kS11);
    ASSERT_EQ(FLASH_EraseSector(FLASH_Sector_10, VoltageRange_3), FLASH_COMPLETE);
    for (uint16_t v : sector(kS10)) {
        ASSERT_EQ(v, 0xFFFFU);
    }
    EXPECT_EQ(sector(kS11), before11);
    EXPECT_EQ(sim::flashEraseCount(10), 1U);
    EXPECT_EQ(sim::flashEraseCount(11), 0U);
    ASSERT_EQ(FLASH_EraseSector(FLASH_Sector_11, VoltageRange_3), FLASH_COMPLETE);
    EXPECT_EQ(sim::flashPeek16(kS11 + 2U), 0xFFFFU);
    EXPECT_EQ(sim::flashEraseCount(11), 1U);
}

// The bootloader's calls reach the application's sectors 5 to 9 and nothing else: neither the data
// sectors, whose parameters outlive an update, nor the bootloader's own.
TEST_F(SimFlash, TheBootloaderCallsReachTheApplicationSectorsOnly)
{
    EXPECT_EQ(FLASH_ProgramAppHalfWord(FLASH_APP_START + 2U, 0x1234U), FLASH_COMPLETE);
    EXPECT_EQ(FLASH_ProgramAppHalfWord(FLASH_DATA_START - 2U, 0x0000U), FLASH_COMPLETE);  // sector 9's last
    EXPECT_EQ(sim::flashPeek16(FLASH_APP_START + 2U), 0x1234U);
    EXPECT_EQ(FLASH_EraseAppSector(FLASH_Sector_5, VoltageRange_3), FLASH_COMPLETE);
    EXPECT_EQ(sim::flashPeek16(FLASH_APP_START + 2U), 0xFFFFU);
    EXPECT_EQ(sim::flashPeek16(FLASH_DATA_START - 2U), 0x0000U) << "sector 9 is not sector 5";
    EXPECT_EQ(sim::flashEraseCount(5), 1U);

    const uint64_t ops = sim::flashOperations();
    EXPECT_EQ(FLASH_ProgramAppHalfWord(kS10, 0U), FLASH_ERROR_WRP);
    EXPECT_EQ(FLASH_ProgramAppHalfWord(FLASH_APP_START - 2U, 0U), FLASH_ERROR_WRP);
    EXPECT_EQ(FLASH_ProgramAppHalfWord(FLASH_APP_START + 1U, 0U), FLASH_ERROR_PGA);
    EXPECT_EQ(FLASH_EraseAppSector(FLASH_Sector_10, VoltageRange_3), FLASH_ERROR_WRP);
    EXPECT_EQ(FLASH_EraseAppSector(4U << FLASH_CR_SNB_Pos, VoltageRange_3), FLASH_ERROR_WRP);
    EXPECT_EQ(sim::flashOperations(), ops);
    EXPECT_EQ(sim::flashPeek16(kS10), 0xFFFFU);
}

TEST_F(SimFlash, RefusedOperationsChangeNothingAndAreNotCounted)
{
    const uint64_t ops = sim::flashOperations();
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 1U, 0U), FLASH_ERROR_PGA);
    EXPECT_EQ(FLASH_ProgramHalfWord(0x08020000U, 0U), FLASH_ERROR_WRP);  // the application: not the node's
    EXPECT_EQ(FLASH_ProgramHalfWord(FLASH_DATA_START + FLASH_DATA_SIZE, 0U), FLASH_ERROR_WRP);
    EXPECT_EQ(FLASH_EraseSector(0x0051U, VoltageRange_3), FLASH_ERROR_PGS);  // not a sector code
    EXPECT_EQ(FLASH_EraseSector(0x0060U, VoltageRange_3), FLASH_ERROR_PGS);  // sector 12: none on this part
    EXPECT_EQ(FLASH_EraseSector(0x0028U, VoltageRange_3), FLASH_ERROR_WRP);  // sector 5: the image
    EXPECT_EQ(FLASH_EraseSector(FLASH_Sector_10, 4U), FLASH_ERROR_PGS);
    EXPECT_EQ(sim::flashOperations(), ops);

    // Locked after a power cycle until unlocked again.
    sim::flashPowerCycle();
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10, 0U), FLASH_ERROR_PGS);
    EXPECT_EQ(FLASH_EraseSector(FLASH_Sector_10, VoltageRange_3), FLASH_ERROR_PGS);
    EXPECT_EQ(sim::flashPeek16(kS10), 0xFFFFU);
    EXPECT_EQ(sim::flashOperations(), ops);
    FLASH_Unlock();
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10, 0U), FLASH_COMPLETE);
    EXPECT_EQ(sim::flashOperations(), ops + 1U);
}

TEST_F(SimFlash, AnInjectedErrorIsReportedOnceAndChangesNothing)
{
    sim::flashFailOperation(2, FLASH_ERROR_PGP);
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 4U, 0x1111U), FLASH_COMPLETE);
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 8U, 0x2222U), FLASH_ERROR_PGP);
    EXPECT_EQ(sim::flashPeek16(kS10 + 8U), 0xFFFFU);
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 8U, 0x2222U), FLASH_COMPLETE);
    EXPECT_EQ(sim::flashPeek16(kS10 + 8U), 0x2222U);

    pattern(kS11);
    sim::flashFailOperation(1, FLASH_ERROR_OPERATION);
    EXPECT_EQ(FLASH_EraseSector(FLASH_Sector_11, VoltageRange_3), FLASH_ERROR_OPERATION);
    EXPECT_EQ(sim::flashPeek16(kS11 + 2U), 14U);
    EXPECT_EQ(sim::flashEraseCount(11), 0U);
}

// A sector whose option byte clears its nWRP bit refuses every erase and program with WRPERR, across
// power cycles; the other sector and reads go on.
TEST_F(SimFlash, AWriteProtectedSectorRefusesErasesAndProgramsUntilReleased)
{
    ASSERT_EQ(FLASH_ProgramHalfWord(kS10 + 4U, 0x1111U), FLASH_COMPLETE);
    sim::flashSetWriteProtection(10, true);
    EXPECT_EQ((FLASH->OPTCR >> 16) & 0xFFFU, 0xFFFU & ~(1U << 10)) << "nWRP10 cleared";
    sim::flashPowerCycle();
    FLASH_Unlock();
    const uint64_t ops = sim::flashOperations();
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 8U, 0x2222U), FLASH_ERROR_WRP);
    EXPECT_EQ(FLASH_EraseSector(FLASH_Sector_10, VoltageRange_3), FLASH_ERROR_WRP);
    EXPECT_EQ(sim::flashPeek16(kS10 + 4U), 0x1111U);
    EXPECT_EQ(sim::flashPeek16(kS10 + 8U), 0xFFFFU);
    EXPECT_EQ(sim::flashEraseCount(10), 0U);
    EXPECT_EQ(FLASH_ProgramHalfWord(kS11 + 8U, 0x3333U), FLASH_COMPLETE);
    EXPECT_EQ(sim::flashOperations(), ops + 1U) << "refused operations are not counted";

    sim::flashSetWriteProtection(10, false);
    FLASH_Unlock();
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 8U, 0x2222U), FLASH_COMPLETE);
}

TEST_F(SimFlash, ACutProgramLeavesSomeOfItsBitsAndThenTheChipIsOff)
{
    bool sawPartial = false;
    for (uint64_t seed = 0; seed < 64; ++seed) {
        sim::flashReset();
        FLASH_Unlock();
        ASSERT_EQ(FLASH_ProgramHalfWord(kS10 + 4U, 0x3CF0U), FLASH_COMPLETE);  // old
        sim::flashCutPower(2, seed);
        EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 8U, 0x0101U), FLASH_COMPLETE);  // before the cut
        EXPECT_FALSE(sim::flashPowerLost());
        FLASH_ProgramHalfWord(kS10 + 4U, 0x0C30U);  // cut: from 0x3CF0 towards 0x0C30
        EXPECT_TRUE(sim::flashPowerLost());
        const uint16_t torn = sim::flashPeek16(kS10 + 4U);
        EXPECT_EQ(torn & 0x0C30U, 0x0C30U) << "seed " << seed;  // bits to keep stay
        EXPECT_EQ(torn & ~0x3CF0U & 0xFFFFU, 0U) << "seed " << seed;  // nothing set
        const int stillSet = std::popcount(static_cast<unsigned>(torn & 0x30C0U));  // of the bits to clear
        if (seed % 8U == 0U) {
            EXPECT_EQ(torn, 0x3CF0U);
        } else if (seed % 8U == 1U) {
            EXPECT_EQ(torn, 0x0C30U);
        } else if (seed % 8U == 2U) {
            EXPECT_EQ(stillSet, 1);  // all but one cleared
        } else if (seed % 8U == 3U) {
            EXPECT_EQ(stillSet, 3);  // just one cleared
        } else {
            sawPartial = sawPartial || (torn != 0x3CF0U && torn != 0x0C30U);
        }

        // Off: nothing the firmware does from here reaches the flash, and it is not stopped either.
        const std::vector<uint16_t> frozen = sim::flashImage();
        EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 12U, 0U), FLASH_COMPLETE);
        EXPECT_EQ(FLASH_EraseSector(FLASH_Sector_10, VoltageRange_3), FLASH_COMPLETE);
        EXPECT_EQ(sim::flashImage(), frozen);

        // On again: the content is what the cut left, the interface locked, the power good.
        sim::flashPowerCycle();
        EXPECT_FALSE(sim::flashPowerLost());
        EXPECT_EQ(sim::flashImage(), frozen);
        EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 12U, 0U), FLASH_ERROR_PGS);
        FLASH_Unlock();
        EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 12U, 0U), FLASH_COMPLETE);
        EXPECT_EQ(sim::flashPeek16(kS10 + 12U), 0U);
    }
    EXPECT_TRUE(sawPartial);
}

TEST_F(SimFlash, ACutEraseLeavesArbitraryContentInThatSectorOnly)
{
    pattern(kS11);
    const std::vector<uint16_t> other = sector(kS11);
    std::vector<uint16_t> old;
    bool statusStillOld = false;
    bool bodyRandom = false;
    for (uint64_t seed = 0; seed < 16; ++seed) {
        sim::flashSetImage({});
        sim::flashPowerCycle();
        FLASH_Unlock();
        pattern(kS10);
        pattern(kS11);
        old = sector(kS10);
        sim::flashCutPower(1, seed);
        EXPECT_EQ(FLASH_EraseSector(FLASH_Sector_10, VoltageRange_3), FLASH_COMPLETE);
        ASSERT_TRUE(sim::flashPowerLost());
        const std::vector<uint16_t> now = sector(kS10);
        EXPECT_EQ(sector(kS11), other) << "seed " << seed;
        std::size_t erased = 0;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < now.size(); ++i) {
            erased += now[i] == 0xFFFFU ? 1U : 0U;
            kept += now[i] == old[i] ? 1U : 0U;
        }
        switch (seed % 8U) {
        case 0:
            EXPECT_EQ(now, old);
            break;
        case 1:
            EXPECT_EQ(erased, now.size());
            break;
        case 2:  // a leading part erased: the status reads erased
            EXPECT_EQ(now[0], 0xFFFFU);
            EXPECT_EQ(now.back(), old.back());
            break;
        case 3:  // a trailing part erased: the status still reads as before
            EXPECT_EQ(now[0], old[0]);
            EXPECT_EQ(now[1], old[1]);
            EXPECT_EQ(now.back(), 0xFFFFU);
            statusStillOld = true;
            break;
        case 5:  // bits went up, none came down
            for (std::size_t i = 0; i < now.size(); ++i) {
                ASSERT_EQ(now[i] & old[i], old[i]);
            }
            EXPECT_LT(kept, now.size());
            break;
        case 6:
            EXPECT_EQ(now[0], old[0]);
            EXPECT_EQ(now[1], old[1]);
            EXPECT_LT(kept, now.size() / 2U);
            bodyRandom = true;
            break;
        default:
            EXPECT_LT(kept, now.size() / 2U);
            EXPECT_LT(erased, now.size() / 2U);
            break;
        }
        EXPECT_EQ(sim::flashEraseCount(10), 0U);  // not a complete erase
        sim::flashReset();
        FLASH_Unlock();
    }
    EXPECT_TRUE(statusStillOld && bodyRandom);
}

TEST_F(SimFlash, OperationsAreCountedFromTheArmingCall)
{
    const uint64_t base = sim::flashOperations();
    sim::flashCutPower(3, 1);  // complete, but the power is gone afterwards
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 4U, 1U), FLASH_COMPLETE);
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 6U, 2U), FLASH_COMPLETE);
    EXPECT_FALSE(sim::flashPowerLost());
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 8U, 3U), FLASH_COMPLETE);
    EXPECT_TRUE(sim::flashPowerLost());
    EXPECT_EQ(sim::flashPeek16(kS10 + 8U), 3U);
    EXPECT_EQ(sim::flashOperations(), base + 3U);

    // A power cycle disarms what was armed and did not happen yet.
    sim::flashPowerCycle();
    FLASH_Unlock();
    sim::flashCutPower(1, 0);
    sim::flashFailOperation(1, FLASH_ERROR_PGS);
    sim::flashPowerCycle();
    FLASH_Unlock();
    EXPECT_EQ(FLASH_ProgramHalfWord(kS10 + 10U, 4U), FLASH_COMPLETE);
    EXPECT_FALSE(sim::flashPowerLost());
    EXPECT_EQ(sim::flashPeek16(kS10 + 10U), 4U);
}

TEST_F(SimFlash, ABackingFileKeepsTheContentAcrossProcesses)
{
    char dir[] = "/tmp/sim_flash_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/flash.bin";

    ASSERT_TRUE(sim::flashUseFile(path));  // new: erased
    EXPECT_EQ(sim::flashPeek32(kS10), 0xFFFFFFFFU);
    ASSERT_EQ(FLASH_ProgramHalfWord(kS10 + 4U, 0xA55AU), FLASH_COMPLETE);
    ASSERT_EQ(FLASH_ProgramHalfWord(kS11 + 0x1FFFEU, 0x0042U), FLASH_COMPLETE);
    // A cut operation is written through as it was left.
    sim::flashCutPower(1, 1);
    FLASH_ProgramHalfWord(kS11 + 6U, 0x0000U);
    sim::flashPowerCycle();

    sim::flashReset();  // a new process: factory flash, no file
    EXPECT_EQ(sim::flashPeek16(kS10 + 4U), 0xFFFFU);
    ASSERT_TRUE(sim::flashUseFile(path));
    EXPECT_EQ(sim::flashPeek16(kS10 + 4U), 0xA55AU);
    EXPECT_EQ(sim::flashPeek16(kS11 + 0x1FFFEU), 0x0042U);
    EXPECT_EQ(sim::flashPeek16(kS11 + 6U), 0x0000U);
    {
        std::ifstream f(path, std::ios::binary | std::ios::ate);
        EXPECT_EQ(static_cast<uint32_t>(f.tellg()), FLASH_DATA_SIZE);
    }
    // Raw bytes, little-endian, sector 10 first.
    {
        std::ifstream f(path, std::ios::binary);
        f.seekg(4);
        unsigned char b[2] = {};
        f.read(reinterpret_cast<char*>(b), 2);
        EXPECT_EQ(b[0], 0x5AU);
        EXPECT_EQ(b[1], 0xA5U);
    }
    sim::flashCloseFile();

    // Something that is not a flash image is replaced by erased flash.
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << "not a flash image";
    }
    ASSERT_TRUE(sim::flashUseFile(path));
    EXPECT_EQ(sim::flashPeek16(kS10 + 4U), 0xFFFFU);
    sim::flashCloseFile();
    {
        std::ifstream f(path, std::ios::binary | std::ios::ate);
        EXPECT_EQ(static_cast<uint32_t>(f.tellg()), FLASH_DATA_SIZE);
    }

    EXPECT_FALSE(sim::flashUseFile(std::string(dir) + "/missing/dir/flash.bin"));
    std::remove(path.c_str());
    rmdir(dir);
}

// The interface as the reference manual describes it, register by register: what the driver's sequences
// depend on, so that a driver with swapped keys, a wrong PSIZE or SNB fails here and in every test above.
TEST_F(SimFlash, TheInterfaceKeepsToTheReferenceSequences)
{
    sim::flashPowerCycle();
    EXPECT_EQ(FLASH->CR, FLASH_CR_LOCK) << "locked out of reset";
    FLASH->CR = FLASH_CR_PG;
    EXPECT_EQ(FLASH->CR, FLASH_CR_LOCK) << "a locked CR takes no writes";

    FLASH->KEYR = FLASH_KEY2;  // the keys in the wrong order
    FLASH->KEYR = FLASH_KEY1;
    FLASH->KEYR = FLASH_KEY1;
    FLASH->KEYR = FLASH_KEY2;
    EXPECT_NE(FLASH->CR & FLASH_CR_LOCK, 0U) << "a wrong sequence locks until the next reset";
    sim::flashPowerCycle();
    FLASH->KEYR = FLASH_KEY1;
    FLASH->KEYR = FLASH_KEY2;
    EXPECT_EQ(FLASH->CR & FLASH_CR_LOCK, 0U);

    // A write into the sectors outside the programming sequence, or wider than PSIZE, programs nothing.
    FLASH_DataWrite[2] = 0x1234U;
    EXPECT_EQ(FLASH->SR & FLASH_SR_PGSERR, FLASH_SR_PGSERR);
    FLASH->SR = FLASH_SR_PGSERR;
    EXPECT_EQ(FLASH->SR, 0U) << "error flags clear by writing 1";
    FLASH->CR = FLASH_CR_PG | (2U << FLASH_CR_PSIZE_Pos);  // x32 parallelism
    FLASH_DataWrite[2] = 0x1234U;
    EXPECT_EQ(FLASH->SR & FLASH_SR_PGPERR, FLASH_SR_PGPERR);
    EXPECT_EQ(sim::flashPeek16(kS10 + 4U), 0xFFFFU);
    FLASH->SR = FLASH_SR_PGPERR;
    FLASH->CR = FLASH_CR_PG | (1U << FLASH_CR_PSIZE_Pos);
    FLASH_DataWrite[2] = 0x1234U;
    EXPECT_EQ(FLASH->SR, 0U);
    EXPECT_EQ(sim::flashPeek16(kS10 + 4U), 0x1234U);

    // SNB selects the sector STRT erases; naming a bootloader sector stops the run, as it would kill the chip.
    FLASH->CR = FLASH_CR_SER | FLASH_Sector_10;
    FLASH->CR = FLASH_CR_SER | FLASH_Sector_10 | FLASH_CR_STRT;
    EXPECT_EQ(sim::flashPeek16(kS10 + 4U), 0xFFFFU);
    EXPECT_EQ(sim::flashEraseCount(10), 1U);
    EXPECT_DEATH(FLASH->CR = FLASH_CR_SER | (4U << FLASH_CR_SNB_Pos) | FLASH_CR_STRT, "sector 4");
    FLASH_Lock();
    EXPECT_NE(FLASH->CR & FLASH_CR_LOCK, 0U);
}

// BSY lasts the datasheet's time; the core stalls at its next read of SR until then, and no sooner.
TEST_F(SimFlash, OperationsKeepBsySetForTheDatasheetTimes)
{
    sim::reset();
    FLASH_Unlock();
    const auto timed = [](auto operation) {
        const uint64_t start = sim::nowNs();
        EXPECT_EQ(operation(), FLASH_COMPLETE);
        return sim::nowNs() - start;
    };
    EXPECT_EQ(timed([] { return FLASH_EraseSector(FLASH_Sector_10, VoltageRange_3); }), 1000000000U);
    EXPECT_EQ(timed([] { return FLASH_EraseSector(FLASH_Sector_11, VoltageRange_1); }), 2000000000U) << "x8";
    EXPECT_EQ(timed([] { return FLASH_ProgramHalfWord(kS10 + 4U, 0x1234U); }), 16000U);
    sim::flashSetTiming(sim::FlashTiming::Maximum);
    EXPECT_EQ(timed([] { return FLASH_EraseSector(FLASH_Sector_10, VoltageRange_2); }), 2600000000U) << "x16";
    EXPECT_EQ(timed([] { return FLASH_ProgramHalfWord(kS10 + 4U, 0x1234U); }), 100000U);

    // Register by register: BSY from STRT on, the same time whatever the firmware does before it reads SR.
    FLASH->CR = FLASH_CR_SER | FLASH_Sector_11 | (2U << FLASH_CR_PSIZE_Pos);
    FLASH->CR = FLASH->CR | FLASH_CR_STRT;
    const uint64_t started = sim::nowNs();
    EXPECT_EQ(sim::flashBusyUntilNs(), started + 2000000000U);
    sim::advanceUs(500000);
    EXPECT_EQ(FLASH->SR & FLASH_SR_BSY, 0U);
    EXPECT_EQ(sim::nowNs(), started + 2000000000U);
    EXPECT_EQ(sim::flashBusyUntilNs(), 0U);
    sim::advanceUs(1);
    EXPECT_EQ(FLASH->SR & FLASH_SR_BSY, 0U);
    EXPECT_EQ(sim::nowNs(), started + 2000001000U) << "no stall once BSY is clear";
}

}  // namespace
